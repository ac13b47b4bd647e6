// ScheduleManager: integrity checks of stored schedules and their states.

#include <syslog.h>

#include <algorithm>
#include <iomanip>
#include <iostream>

#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"
#include "foundation/Logging.h"
#include "foundation/SharedConstants.h"

namespace {

bool listed(const std::vector<std::string>& list, const std::string& name) {
    return std::find(list.begin(), list.end(), name) != list.end();
}

// A required member is present only with the type the writer gives it.
bool hasTyped(const rapidjson::Value& doc, std::string_view key) {
    const std::string k(key);
    if (!doc.IsObject()) return false;
    auto it = doc.FindMember(k.c_str());
    if (it == doc.MemberEnd()) return false;
    const rapidjson::Value& v = it->value;
    if (k == "SchdName") return v.IsString();
    if (k == "ValASG" || k == "StrTm") return v.IsArray();
    if (k == "SchdReuse" || k == "EvTrg" || k == "currentTrg") return v.IsBool();
    if (k == "LatestUpdate") return v.IsInt64();
    return v.IsInt();  // SchdPrio, NumEntr, SchdIntv
}

std::string textOf(const rapidjson::Value& v) {
    std::string out;
    return schedulefile::serialise(v, out) ? out : std::string("?");
}

}  // namespace

bool ScheduleManager::allListsEmpty() const {
    return schedulesNames12_Base_all.empty() && schedulesNames12_Direct_all.empty() &&
           schedulesNames12_Trigger_all.empty() && schedulesNames13_Base_Lo.empty() &&
           schedulesNames13_Direct_Lo.empty() && schedulesNames13_Trigger_Lo.empty() &&
           schedulesNames13_Base_Gn.empty() && schedulesNames13_Direct_Gn.empty() &&
           schedulesNames13_Trigger_Gn.empty();
}

int ScheduleManager::checkStatusOfSchedule(int cls, const std::string& name) {
    if (checkIfAllScheduleListsEmpty(cls, name) == kStateNoScheduleNames) {
        return kStateNoScheduleNames;
    }
    if (debugOutput) {
        std::cout << "SM: Checking status of schedule: CLS" << cls << " " << std::left << std::setw(20) << name
                  << std::right << ": ";
    }
    if (checkIntegrityOfJSON(cls, name, debugOutput)) {
        return determineScheduleStateKind(cls, name);
    }
    return setScheduleStateKind(cls, name, kStateNotReady, "Not Ready");
}

int ScheduleManager::checkIfAllScheduleListsEmpty(int cls, const std::string& name) {
    if (name == "SysRes_FSCH010001") {
        if (debugOutput) std::cout << std::endl;
        logMessage(&logLevel, LOG_DEBUG,
                   "SM: 1.0 ---------------------- check all schedules on CLS %d ----------------------", cls);
    }
    if (allListsEmpty()) {
        std::cout << "SM: SM 1.0 Alle Vektoren sind leer." << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.0 Alle Vektoren sind leer.");
        return kStateNoScheduleNames;
    }
    return 0;
}

bool ScheduleManager::checkIntegrityOfJSON(int cls, const std::string& name, bool verbose) {
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        if (verbose) std::cout << "SM: check IntegrityOfJSON -> JSON is not valid";
        return false;
    }
    if (!checkIntegrity(doc, name, cls, verbose)) return false;
    if (!checkCommonMembers(doc, name)) return false;
    logMessage(&logLevel, LOG_DEBUG, "SM: Integrity is valid for %s", name.c_str());
    return true;
}

bool ScheduleManager::checkIntegrity(const rapidjson::Document& doc, const std::string& name, int cls,
                                     bool verbose) {
    if (listed(schedulesNames12_Base_all, name)) {
        for (std::string_view key : normalScheduleMembers) {
            if (!hasTyped(doc, key)) {
                std::cout << "SM: ERROR! -> Missing member in normal schedule: " << key;
                logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR on CLS%d! -> Missing member in normal schedule: %s",
                           cls, std::string(key).c_str());
                return false;
            }
        }
        if (!checkStrTm(doc, name, verbose) && !checkIntegrityCal(doc, name, cls, verbose)) {
            return false;
        }
        if (schedulefile::getInt(doc, "SchdIntv").value_or(0) <= 0) {
            std::cout << "SM: ERROR! -> SchdIntv is not valid";
            logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> SchdIntv is at 0", name.c_str());
            return false;
        }
        if (name == "SysRes_FSCH010001") return true;
        return checkEnaReq(doc, name);
    }
    if (listed(schedulesNames12_Trigger_all, name)) {
        checkTriggerMembers(doc, name);
        return false;  // trigger schedules never run
    }
    if (listed(schedulesNames12_Direct_all, name)) {
        return checkEnaReq(doc, name);
    }
    return true;
}

bool ScheduleManager::checkCommonMembers(const rapidjson::Document& doc, const std::string& name) {
    if (schedulefile::getString(doc, "SchdName").value_or("").empty()) {
        std::cout << "SM: ERROR! -> name is empty";
        return false;
    }
    const int prio = schedulefile::getInt(doc, "SchdPrio").value_or(0);
    if (std::find(allowedSchedulePriorities.begin(), allowedSchedulePriorities.end(), prio) ==
        allowedSchedulePriorities.end()) {
        std::cout << "SM: ERROR! -> priority is not valid";
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> priority is not valid", name.c_str());
        return false;
    }
    if (schedulefile::getInt(doc, "NumEntr").value_or(0) < 1) {
        std::cout << "SM: ERROR! -> number of entries is 0 for " << name << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> number of entries is not valid", name.c_str());
        return false;
    }
    const rapidjson::Value* values = schedulefile::getArray(doc, "ValASG");
    if (!values || values->Empty()) {
        std::cout << "SM: ERROR! -> ValASG is invalid or empty";
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> ValASG is invalid or empty", name.c_str());
        return false;
    }
    if (schedulefile::getInt64(doc, "LatestUpdate").value_or(0) <= 0) {
        std::cout << "SM: ERROR! -> latest update is not valid";
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> latest update is not valid", name.c_str());
        return false;
    }
    return true;
}

bool ScheduleManager::checkStrTm(const rapidjson::Document& doc, const std::string& name, bool verbose) {
    const rapidjson::Value* strTm = schedulefile::getArray(doc, "StrTm");
    if (!strTm) {
        const char* text = "SM: ERROR! -> StrTm is not an array";
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 -> %s -> %s", name.c_str(), text);
        std::cout << text << std::endl;
        return false;
    }
    if (strTm->Empty()) {
        std::cout << "SM: ERROR! -> StrTm has 0 entries in the array" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> StrTm has 0 entries in the array", name.c_str());
        return false;
    }
    for (const auto& entry : strTm->GetArray()) {
        if (entry.IsInt64() && entry.GetInt64() > 0) return true;
    }
    if (verbose) std::cout << "SM: ERROR! -> StrTm has 0 entries > 0" << std::endl;
    return false;
}

bool ScheduleManager::checkIntegrityCal(const rapidjson::Document& doc, const std::string& name, int cls,
                                        bool verbose) {
    const rapidjson::Value* cal = schedulefile::getArray(doc, "StrCal");
    if (!cal) {
        logMessage(&logLevel, LOG_DEBUG, "SM 1.2 ERROR! -> %s -> StrCal is not an array", name.c_str());
        std::cout << "SM ERROR! -> StrCal is not an array" << std::endl;
        return false;
    }
    if (cal->Empty()) {
        std::cout << "SM ERROR! -> StrCal has 0 entries in the array" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM 1.2 ERROR! -> %s -> StrCal has 0 entries in the array", name.c_str());
        return false;
    }
    if (cal->Size() == 1) {
        std::cout << "SM ERROR! -> StrCal does not have enough entries." << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM 1.2 ERROR! -> %s -> StrCal does not have enough entries", name.c_str());
        return false;
    }
    constexpr int64_t kOccTypeNotPeriodic = 5;
    const rapidjson::Value& occType = (*cal)[1];
    if (!occType.IsInt64() || occType.GetInt64() == kOccTypeNotPeriodic) {
        if (verbose) std::cout << "SM ERROR! -> StrCal is not periodically!" << std::endl;
        return false;
    }
    std::cout << "checkIntegrityCal for CLS" << cls << " is valid because StrCalArray[1] is " << occType.GetInt64()
              << std::endl;
    writeTmIfCal(cls, name);
    for (rapidjson::SizeType i = 0; i < cal->Size(); ++i) {
        std::cout << "StrCalArray[" << i << "]: " << textOf((*cal)[i]) << std::endl;
    }
    return true;
}

bool ScheduleManager::checkEnaReq(const rapidjson::Document& doc, const std::string& name) {
    (void)name;
    const auto enaReq = schedulefile::getBool(doc, "EnaReq");
    if (!enaReq) {
        if (debugOutput) std::cout << "SM: ERROR! -> EnaReq is missing or not a boolean" << std::endl;
        return false;
    }
    if (!*enaReq) {
        if (debugOutput) std::cout << "SM: ERROR! -> EnaReq is not true";
        return false;
    }
    const auto dsaReq = schedulefile::getBool(doc, "DsaReq");
    if (!dsaReq) {
        std::cout << "SM: ERROR! -> DsaReq is missing or not a boolean" << std::endl;
        return false;
    }
    if (*dsaReq) {
        std::cout << "SM: ERROR! -> DsaReq is true" << std::endl;
        return false;
    }
    return true;
}

bool ScheduleManager::checkTriggerMembers(const rapidjson::Document& doc, const std::string& name) {
    for (std::string_view key : triggerScheduleMembers) {
        if (!hasTyped(doc, key)) {
            std::cout << "SM: ERROR! -> Missing member in Trigger schedule: " << key;
            logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> Missing member in Trigger schedule: %s",
                       std::string(key).c_str());
            return false;
        }
    }
    if (!schedulefile::getBool(doc, "EvTrg").value_or(false)) {
        std::cout << "SM: ERROR! -> EvTrg is not true";
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> EvTrg is not true", name.c_str());
        return false;
    }
    return true;
}

int ScheduleManager::determineScheduleStateKind(int cls, const std::string& name) {
    if (listed(schedulesNames12_Direct_all, name)) {
        return setScheduleStateKind(cls, name, kStateRunning, "Direct Command");
    }
    if (listed(schedulesNames12_Base_all, name)) {
        if (checkInSMIfActualTimeInScheduleInterval(cls, name, debugOutput)) {
            return setScheduleStateKind(cls, name, kStateRunning, "Base Schedule Running");
        }
        return setScheduleStateKind(cls, name, kStateReady, "Base Schedule Ready");
    }
    return kStateNotReady;
}

int ScheduleManager::setScheduleStateKind(int cls, const std::string& name, int state, const std::string& text) {
    if (debugOutput) std::cout << "SM:   -> " << text << std::endl;
    if (changeStateKindInJSON(cls, name, state)) return state;
    // The file keeps its old state, and that is what the choice of the
    // active schedule reads: answer it, so the model tells no other story.
    const int stored = schedulefile::getInt(readJSON(cls, name), "ScheduleStateKind").value_or(kStateNotReady);
    return stored >= kStateNotReady && stored <= kStateRunning ? stored : kStateNotReady;
}
