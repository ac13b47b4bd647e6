// IecScheduleHandling: schedule nodes of the model into the store, the reset
// of consumed nodes, the evaluation of the active schedule of a CLS and its
// publication into the model and to the listeners.

#include "schedules/IecScheduleHandling.h"

#include <sdbus-c++/sdbus-c++.h>
#include <syslog.h>

#include <algorithm>
#include <exception>
#include <functional>
#include <iostream>
#include <limits>
#include <map>
#include <stdexcept>

#include "schedules/RoadLock.h"
#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleNode.h"
#include "foundation/Clock.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/SharedConstants.h"

// The one schedule store, made before the entry point runs; never deleted.
ScheduleManager* scheduleManager = new ScheduleManager("Manager");

namespace {

constexpr const char* kController = "ActPow_FSCC001";
constexpr const char* kOutputNode = "ActPow_GGIO001";
constexpr std::array<const char*, 8> kCalendarComponents = {"occ", "occType", "occPer", "weekDay",
                                                             "month", "day", "hr", "mn"};
// Calendar handed over for start times without one: every component 0 but
// occType 5 (no period).
constexpr std::array<int, 8> kNoCalendar = {0, 5, 0, 0, 0, 0, 0, 0};
constexpr std::array<const char*, 5> kTriggerNodes = {"SysComEr_FSCH220001", "SysSoft_FSCH110001",
                                                      "SysSoft_FSCH110002", "SysSoft_FSCH110003",
                                                      "SysSoft_FSCH110004"};
constexpr auto kActiveScheduleLogPeriod = std::chrono::seconds(60);

std::string clsDevice(int cls) { return "CLS" + std::to_string(cls); }

// The entries of an array member of a stored schedule, each read by read
// (an entry of another type reads as T{}); empty for a member that is no array.
template <typename T, typename Read>
std::vector<T> entriesOf(const rapidjson::Value& doc, const char* key, Read read) {
    std::vector<T> out;
    if (const rapidjson::Value* array = schedulefile::getArray(doc, key)) {
        for (const auto& v : array->GetArray()) out.push_back(read(v));
    }
    return out;
}

// A stored value as the model's float (a value beyond float saturates).
float toModelFloat(const rapidjson::Value& v) {
    if (!v.IsNumber()) return 0.0f;
    constexpr double kMax = std::numeric_limits<float>::max();
    return static_cast<float>(std::clamp(v.GetDouble(), -kMax, kMax));
}

std::string valAsg(int k) { return entryObjectName("ValASG", k, 3); }
std::string strTm(int k) { return entryObjectName("StrTm", k, 2); }

}  // namespace

IecScheduleHandling::IecScheduleHandling(IedServer* serverHandle, CallbackMap* registry)
    : server(serverHandle), callbacks(registry), outputTimestamp(Clock::get().wallMs()) {
    previousSchedule.fill(kNoScheduleActive);
    previousValue.fill(-1.0f);
    valMag.fill(-1.0f);
    logLevel = 5;
    readLogLevel(&logLevel);

    std::cout << "Initializing DBus in IecScheduleHandling" << std::endl;
    logMessage(&logLevel, LOG_INFO, "handling: Initializing DBus in IecScheduleHandling");
    try {
        auto connection = sdbus::createSystemBusConnection();
        connection.reset();
    } catch (const sdbus::Error& e) {
        logMessage(&logLevel, LOG_ERR, "handling: system bus not reachable: %s", e.what());
        throw;
    }

    ScheduleNode nameplate(iedServer(), "STB", "LLN0");
    DataAttribute* configRev = nameplate.attr("NamPlt", "configRev");
    const char* version = configRev && iedServer() ? IedServer_getStringAttributeValue(iedServer(), configRev) : nullptr;
    if (version) {
        std::cout << std::endl << " **** Version: " << version << std::endl << std::endl;
        icdVersion = version;
        allSchedules = getAllScheduleNames();
        RoadLock::Guard road;  // the construction is an entry of the road
        scheduleManager->setAllScheduleNames(allSchedules);
    } else {
        std::cout << std::endl << " **** Version: not found" << std::endl << std::endl;
    }
}

// --- Model to store ---------------------------------------------------------

bool IecScheduleHandling::sendIECValuesToScheduleManager(const std::string& lnName, int cls) {
    RoadLock::assertHeld();
    return handOver(clsDevice(cls), lnName, cls);
}

bool IecScheduleHandling::handOver(const std::string& ld, const std::string& lnName, int cls) {
    if (!validCls(cls)) return false;
    rememberState(ld, lnName, cls);
    if (storeNode(ld, lnName, cls)) return true;  // stored once its file is written (syncHandedOver)
    auto remembered = awaitingCommit[cls].extract(lnName);
    markUnstored(ld, lnName, cls, remembered ? &remembered.mapped() : nullptr);
    return false;
}

bool IecScheduleHandling::isStored(int cls, const std::string& lnName) const {
    return validCls(cls) && unstored[cls].count(lnName) == 0;
}

void IecScheduleHandling::rememberState(const std::string& ld, const std::string& lnName, int cls) {
    if (awaitingCommit[cls].count(lnName) != 0) return;  // the first in this road counts
    ScheduleNode node(iedServer(), ld, lnName);
    DataAttribute* stVal = node.attr("SchdSt", "stVal");
    DataAttribute* t = node.attr("SchdSt", "t");
    awaitingCommit[cls][lnName] = RememberedState{stVal != nullptr, node.int32(stVal), node.timeMs(t)};
}

void IecScheduleHandling::markUnstored(const std::string& ld, const std::string& lnName, int cls,
                                       const RememberedState* before) {
    // The model goes back to what the store holds in force: the node's
    // attributes (so that no later hand-over of the model, a resend or a
    // restart included, brings the refused command into force) and its
    // state as it was before the road.
    unstored[cls].insert(lnName);
    restoreNode(ld, lnName, cls);
    ScheduleNode node(iedServer(), ld, lnName);
    DataAttribute* state = node.attr("SchdSt", "stVal");
    if (!state) return;
    if (before && before->known) {
        node.setInt32(state, before->state);
        node.setTimestamp(node.attr("SchdSt", "t"), before->timeMs);
    }
    std::cout << "2.1 Schedule " << lnName << " not stored; what was in force stays" << std::endl;
    logMessage(&logLevel, LOG_WARNING, "handling: %s/%s was not stored; the model shows again what is in force",
               ld.c_str(), lnName.c_str());
}

void IecScheduleHandling::restoreNode(const std::string& ld, const std::string& lnName, int cls) {
    ScheduleNode node(iedServer(), ld, lnName);
    const rapidjson::Document doc = scheduleManager->readJSON(cls, lnName);
    if (!doc.IsObject()) {
        // Nothing in force: the refused command must not enable the node later.
        node.setBoolean(node.attr("EnaReq", "stVal"), false);
        return;
    }
    auto setInt = [&](const char* dataObject, const char* key) {
        if (auto v = schedulefile::getInt(doc, key)) node.setInt32(node.attr(dataObject, "setVal"), *v);
    };
    auto setBool = [&](const char* dataObject, const char* da, const char* key) {
        if (auto v = schedulefile::getBool(doc, key)) node.setBoolean(node.attr(dataObject, da), *v);
    };
    setInt("SchdPrio", "SchdPrio");
    setInt("NumEntr", "NumEntr");
    setInt("SchdIntv", "SchdIntv");
    const std::vector<float> values = entriesOf<float>(doc, "ValASG", toModelFloat);
    for (size_t i = 0; i < values.size(); ++i) {
        node.setReal(node.sub(valAsg(static_cast<int>(i) + 1), "setMag", "f"), values[i]);
    }
    if (auto mult = schedulefile::getInt(doc, "Multiplier")) {
        node.setInt32(node.sub(valAsg(1), "units", "multiplier"), *mult);
    }
    constexpr uint64_t kLatestSecond = std::numeric_limits<uint64_t>::max() / 1000;
    const std::vector<uint64_t> times = entriesOf<uint64_t>(doc, "StrTm", schedulefile::startTimeOf);
    for (size_t i = 0; i < times.size(); ++i) {
        DataAttribute* setTm = node.attr(strTm(static_cast<int>(i) + 1), "setTm");
        if (!setTm) break;
        node.setTimestamp(setTm, std::min(times[i], kLatestSecond) * 1000);
    }
    if (node.attr(strTm(1), "setCal")) {
        const std::vector<int> calendar =
            entriesOf<int>(doc, "StrCal", [](const rapidjson::Value& v) { return v.IsInt() ? v.GetInt() : 0; });
        for (size_t i = 0; i < kCalendarComponents.size() && i < calendar.size(); ++i) {
            node.setIntegral(node.sub(strTm(1), "setCal", kCalendarComponents[i]), calendar[i]);
        }
    }
    setBool("SchdReuse", "setVal", "SchdReuse");
    setBool("EvTrg", "setVal", "EvTrg");
    setBool("EnaReq", "stVal", "EnaReq");
    setBool("DsaReq", "stVal", "DsaReq");
}

std::map<std::string, IecScheduleHandling::RememberedState> IecScheduleHandling::endHandOvers(
    int cls, const std::vector<std::string>& refused) {
    std::map<std::string, RememberedState> handedOver;
    handedOver.swap(awaitingCommit[cls]);
    for (const auto& name : refused) {
        auto remembered = handedOver.find(name);
        markUnstored(clsDevice(cls), name, cls, remembered == handedOver.end() ? nullptr : &remembered->second);
    }
    return handedOver;
}

void IecScheduleHandling::abandonHandOvers(int cls) noexcept {
    if (!validCls(cls)) return;
    try {
        endHandOvers(cls, scheduleManager->dropHandedOver(cls));
    } catch (...) {
        // Dropping comes first; the model may keep showing the hand-over.
    }
}

bool IecScheduleHandling::syncHandedOver(int cls) {
    if (!validCls(cls)) return true;
    std::vector<std::string> refused;
    const bool stored = scheduleManager->syncHandedOverFiles(cls, &refused);
    for (const auto& [name, state] : endHandOvers(cls, refused)) {
        if (std::find(refused.begin(), refused.end(), name) == refused.end()) unstored[cls].erase(name);
    }
    return stored;
}

bool IecScheduleHandling::storeNode(const std::string& ld, const std::string& lnName, int cls) {
    ScheduleNode node(iedServer(), ld, lnName);
    DataAttribute* prio = node.attr("SchdPrio", "setVal");
    if (!prio) {
        logMessage(&logLevel, LOG_INFO, "handling: send IECValuesToScheduleManager DA for SchdPrio not found");
        return false;
    }
    const int schdPrio = node.int32(prio);
    const int numEntr = node.int32(node.attr("NumEntr", "setVal"));
    const int schdIntv = node.int32(node.attr("SchdIntv", "setVal"));

    // Values up to NumEntr, ending at the first entry the node does not have;
    // the store refuses a count that then differs from NumEntr.
    std::vector<double> values;
    for (int k = 1; k <= numEntr; ++k) {
        DataAttribute* f = node.sub(valAsg(k), "setMag", "f");
        if (!f) {
            logMessage(&logLevel, LOG_ERR, "handling: %s/%s has no %s for NumEntr %d", ld.c_str(), lnName.c_str(),
                       valAsg(k).c_str(), numEntr);
            break;
        }
        values.push_back(node.real(f));
    }
    const int mult = node.int32(node.sub(valAsg(1), "units", "multiplier"));
    const int64_t latestUpdate = static_cast<int64_t>(Clock::get().wallMs());
    const bool schdReuse = node.boolean(node.attr("SchdReuse", "setVal"));
    const bool enaReq = node.boolean(node.attr("EnaReq", "stVal"));
    const bool dsaReq = node.boolean(node.attr("DsaReq", "stVal"));

    if (!node.attr(strTm(1), "setTm")) {
        const bool evTrg = node.boolean(node.attr("EvTrg", "setVal"));
        const bool currentTrg =
            std::find(kTriggerNodes.begin(), kTriggerNodes.end(), lnName) != kTriggerNodes.end();
        return scheduleManager->addScheduleJSONTrg(cls, lnName, schdPrio, numEntr, schdIntv, values, mult, schdReuse,
                                                   evTrg, latestUpdate, currentTrg);
    }

    std::vector<int64_t> startTimes;
    for (int k = 1;; ++k) {
        DataAttribute* setTm = node.attr(strTm(k), "setTm");
        if (!setTm) break;
        const int64_t seconds = static_cast<int64_t>(node.timeMs(setTm) / 1000);
        startTimes.push_back(seconds);
        if (seconds != 0) {
            std::cout << "StrTmSec: " << seconds << std::endl;
            std::lock_guard<std::mutex> lock(stateMutex);
            latestStartTime[cls] = std::max(latestStartTime[cls], seconds);
        }
    }
    std::array<int, 8> calendar = kNoCalendar;
    if (node.attr(strTm(1), "setCal")) {
        for (size_t i = 0; i < kCalendarComponents.size(); ++i) {
            calendar[i] = node.integral(node.sub(strTm(1), "setCal", kCalendarComponents[i]));
        }
    } else if (ld == "CLS1") {
        std::cout << "DA for: " << lnName << " setCal not found" << std::endl;
    }
    return scheduleManager->addScheduleJSON(cls, lnName, enaReq, dsaReq, schdPrio, numEntr, schdIntv, values, mult,
                                            startTimes, calendar, schdReuse, latestUpdate);
}

void IecScheduleHandling::deleteScheduleData(const std::string& ldName, const std::string& lnName) {
    RoadLock::assertHeld();
    logMessage(&logLevel, LOG_INFO, "handling: deleteScheduleData - LD: %s, LN: %s", ldName.c_str(), lnName.c_str());
    auto known = clsNameToIndex.find(ldName);
    if (known == clsNameToIndex.end()) {
        logMessage(&logLevel, LOG_ERR, "handling: deleteScheduleData - unknown logical device %s", ldName.c_str());
        return;
    }
    // The state before the reset is what the model shows again when the
    // store does not take the reset node.
    rememberState(ldName, lnName, known->second);
    ScheduleNode node(iedServer(), ldName, lnName);
    for (int k = 1;; ++k) {
        DataAttribute* f = node.sub(valAsg(k), "setMag", "f");
        if (!f) break;
        node.setReal(f, 0.0f);
    }
    std::cout << "delete ValASG done" << std::endl;

    // Every start time of the node, with its calendar where it has one.
    constexpr uint64_t kEpoch = 0;
    for (int k = 1;; ++k) {
        DataAttribute* setTm = node.attr(strTm(k), "setTm");
        DataAttribute* setCal = node.attr(strTm(k), "setCal");
        if (!setTm && !setCal) break;
        node.setTimestamp(setTm, kEpoch);
        node.zeroStructure(setCal);
    }
    std::cout << "delete StrTm done" << std::endl;

    struct Reset {
        const char* dataObject;
        const char* da;
        const char* missing;
        std::function<void(DataAttribute*)> write;
    };
    const Reset resets[] = {
        {"NumEntr", "setVal", "handling: DA NumEntr not found", [&](DataAttribute* a) { node.setInt32(a, 1); }},
        {"SchdIntv", "setVal", "handling: DA SchdIntv not found", [&](DataAttribute* a) { node.setInt32(a, 0); }},
        {"EnaReq", "stVal", "handling: DA EnaReq not found", [&](DataAttribute* a) { node.setBoolean(a, false); }},
        {"DsaReq", "stVal", "handling: DA DsaReq not found", [&](DataAttribute* a) { node.setBoolean(a, false); }},
        {"SchdSt", "stVal", "handling: DA SchdSt not found", [&](DataAttribute* a) { node.setInt32(a, 0); }},
        {"SchdSt", "t", "handling: DA SchdSt time not found",
         [&](DataAttribute* a) { node.setTimestamp(a, kEpoch); }},
    };
    for (const auto& reset : resets) {
        DataAttribute* a = node.attr(reset.dataObject, reset.da);
        if (a) {
            reset.write(a);
        } else {
            logMessage(&logLevel, LOG_INFO, "%s", reset.missing);
        }
        if (reset.dataObject == std::string("DsaReq")) std::cout << "delete DsaReq done" << std::endl;
        if (reset.dataObject == std::string("SchdSt")) {
            std::cout << (reset.da == std::string("t") ? "delete SchdSt time done" : "delete SchdSt done")
                      << std::endl;
        }
    }
    node.setReal(node.sub("ValMV", "mag", "f"), 0.0f);
    node.setTimestamp(node.attr("ValMV", "t"), kEpoch);

    handOver(ldName, lnName, known->second);
    syncHandedOver(known->second);
}

void IecScheduleHandling::updateStatesOfAllCls() {
    RoadLock::assertHeld();
    try {
        for (int cls = 1; cls <= kClsCount; ++cls) {
            for (const auto& name : allSchedules) handOver(clsDevice(cls), name, cls);
        }
        for (int cls : {1, 2}) {
            updateSchedule(cls);
            callCallback(cls);
            std::cout << "-- States of CLS " << cls << (cls == 1 ? " (LPC) are updated" : " (LPP) are updated")
                      << std::endl;
        }
        // The CLS not evaluated above.
        for (int cls = 1; cls <= kClsCount; ++cls) syncHandedOver(cls);
    } catch (...) {
        for (int cls = 1; cls <= kClsCount; ++cls) abandonHandOvers(cls);
        throw;
    }
}

// --- Evaluation ---------------------------------------------------------------

void IecScheduleHandling::updateSchedule(int cls) {
    if (!validCls(cls)) return;
    RoadLock::assertHeld();
    try {
        schedulesOfCls = scheduleManager->getSchedulesWithEnaReq(allSchedules, cls);
        for (const auto& name : schedulesOfCls) checkScheduleState(name, cls);
        // A schedule disabled since the last evaluation gets its state written
        // too, so its model state stops saying Running.
        for (const auto& name : enabledBefore[cls]) {
            if (std::find(schedulesOfCls.begin(), schedulesOfCls.end(), name) == schedulesOfCls.end()) {
                checkScheduleState(name, cls);
            }
        }
    } catch (...) {
        abandonHandOvers(cls);  // the road fails: nothing it handed over is written later
        throw;
    }
    // The hand-overs (with the states just written into them) are written
    // durably before the result is published; one that cannot be written is
    // dropped, and the evaluation below sees what was in force.
    if (!syncHandedOver(cls)) schedulesOfCls = scheduleManager->getSchedulesWithEnaReq(allSchedules, cls);
    enabledBefore[cls] = schedulesOfCls;
    updateActiveSchedule(cls);
}

bool IecScheduleHandling::checkScheduleState(const std::string& lnName, int cls) {
    RoadLock::assertHeld();
    ScheduleNode node(iedServer(), clsDevice(cls), lnName);
    DataAttribute* stVal = node.attr("SchdSt", "stVal");
    DataAttribute* t = node.attr("SchdSt", "t");
    if (!stVal || !t) return false;
    // The state of what the store holds: a staged hand-over within its road,
    // else what is in force.
    const int state = scheduleManager->checkStatusOfSchedule(cls, lnName);
    switch (state) {
        case kStateNotReady:
            break;
        case kStateStartTimeRequired:
            std::cout << "2.1 Schedule " << lnName << " Start Time required " << std::endl;
            logMessage(&logLevel, LOG_INFO, "handling: 2.1 Schedule: %s Start Time required", lnName.c_str());
            break;
        case kStateReady:
            std::cout << "2.1 Schedule " << lnName << " Ready " << std::endl;
            logMessage(&logLevel, LOG_INFO, "handling: 2.1 Schedule: %s Ready", lnName.c_str());
            break;
        case kStateRunning:
            std::cout << "2.1 Schedule " << lnName << " Running " << std::endl;
            logMessage(&logLevel, LOG_INFO, "handling: 2.1 Schedule: %s Running", lnName.c_str());
            break;
        case kStateNoScheduleNames:
            scheduleManager->setAllScheduleNames(allSchedules);
            return false;
        default:
            return false;
    }
    node.setInt32(stVal, state);
    node.setTimestamp(t, Clock::get().wallMs());
    return true;
}

void IecScheduleHandling::updateActiveSchedule(int cls) {
    if (!validCls(cls)) return;
    RoadLock::assertHeld();
    const std::string name = scheduleManager->getActivateSchedule(cls);
    Published now{-1.0f, getActiveMultiplier(cls)};
    if (name != kNoScheduleActive) {
        auto published = update_ActualSchedule(cls, name);
        if (!published) return;  // keep the last published state
        now = *published;
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        nameOfActiveSchedule[cls] = name;
        valMag[cls] = now.value;
        multiplier[cls] = now.multiplier;
    }
    std::cout << "3.0 Active Schedule of CLS " << cls << " is: ----- " << name << " ----- with value: " << now.value
              << " and multiplier: " << now.multiplier << std::endl;
    const auto steady = Clock::get().steadyNow();
    if (!lastActiveScheduleLog || steady - *lastActiveScheduleLog >= kActiveScheduleLogPeriod) {
        logMessage(&logLevel, LOG_INFO,
                   "handling: 3.0 Active Schedule of  CLS%i is: ----- %s ----- with value: %f and multiplier: %i", cls,
                   name.c_str(), static_cast<double>(now.value), now.multiplier);
        lastActiveScheduleLog = steady;
    }

    if (icdVersion == "1.2.0") {
        updateActSchdRef(cls, kController);
    } else if (icdVersion == "1.3.0") {
        updateActSchdRef(cls, "WLod_FSCC001");
        updateActSchdRef(cls, "WGn_FSCC001");
    } else {
        std::cerr << "SH: ICD_version not found! Version: " << icdVersion << std::endl;
    }

    const bool nameChanged = name != previousSchedule[cls];
    const bool valueChanged = now.value != previousValue[cls] || now.multiplier != previousMultiplier[cls];
    if (!nameChanged && !valueChanged) return;
    if (nameChanged) std::cout << "change in schedule -> " << std::endl;
    if (valueChanged) std::cout << "change in value -> " << std::endl;
    logMessage(&logLevel, LOG_INFO, "handling: Schedule has changed in CLS%i from %s to %s", cls,
               previousSchedule[cls].c_str(), name.c_str());
    updateActPowOutput(cls);
    previousSchedule[cls] = name;
    previousValue[cls] = now.value;
    previousMultiplier[cls] = now.multiplier;
    std::cout << "3.1 callCallback on CLS" << cls << std::endl;
    callCallback(cls);
}

std::optional<IecScheduleHandling::Published> IecScheduleHandling::update_ActualSchedule(int cls,
                                                                                         const std::string& name) {
    ScheduleNode node(iedServer(), clsDevice(cls), name);
    const int index = scheduleManager->getValIndex(cls, name, Clock::get().wallSeconds());
    float value = 0.0f;
    if (index != -1) {
        DataAttribute* entry = node.attr("SchdEntr", "stVal");
        if (!entry) {
            std::cout << "Error: DA in CLS" << cls << " for SchdEntr not found" << std::endl;
            logMessage(&logLevel, LOG_ERR, "handling: Error: DA in CLS%i for SchdEntr not found", cls);
            return std::nullopt;
        }
        node.setInt32(entry, index);
        node.setTimestamp(node.attr("SchdEntr", "t"), outputTimestamp);
        const auto [ok, v] = scheduleManager->getVal(cls, name, index);
        logMessage(&logLevel, LOG_INFO, "handling: update_ActualSchedule: CLS%i, nameOfActiveSchedule: %s, valIndex: %i, valMag: %f",
                   cls, name.c_str(), index, v);
        if (!ok) {
            std::cout << "Error: valMag not found" << std::endl;
            logMessage(&logLevel, LOG_ERR, "handling: Error: valMag not found");
            return std::nullopt;
        }
        value = static_cast<float>(v);
    }
    // The multiplier belongs to the stored values it scales.
    const auto mult = scheduleManager->getMultiplier(cls, name);
    if (!mult) {
        std::cout << "Error: valMag not found" << std::endl;
        logMessage(&logLevel, LOG_ERR, "handling: Error: multiplier of %s in CLS%i not found", name.c_str(), cls);
        return std::nullopt;
    }

    DataAttribute* mag = node.sub("ValMV", "mag", "f");
    if (!mag) {
        std::cout << "DA for ValMV not found" << std::endl;
        logMessage(&logLevel, LOG_ERR, "handling: Error: DA for ValMV not found");
        return std::nullopt;
    }
    node.setReal(mag, value);
    node.setTimestamp(node.attr("ValMV", "t"), outputTimestamp);
    const Published published{value, *mult};

    struct StartTime {
        const char* dataObject;
        uint64_t seconds;
    };
    const StartTime times[] = {{"ActStrTm", scheduleManager->getActStrTm(cls, name)},
                               {"NxtStrTm", scheduleManager->getNxtStrTm(cls, name)}};
    for (const auto& st : times) {
        DataAttribute* stVal = node.attr(st.dataObject, "stVal");
        if (!stVal) {
            std::cout << "DA for " << st.dataObject << " not found" << std::endl;
            logMessage(&logLevel, LOG_INFO, "handling: Error: DA for %s not found", st.dataObject);
            break;
        }
        node.setTimestamp(stVal, st.seconds * 1000);
        node.setTimestamp(node.attr(st.dataObject, "t"), outputTimestamp);
    }
    return published;
}

void IecScheduleHandling::updateActSchdRef(int cls, const std::string& controllerNode) {
    if (!validCls(cls)) return;
    RoadLock::assertHeld();
    ScheduleNode node(iedServer(), clsDevice(cls), controllerNode);
    std::string name;
    float value;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        name = nameOfActiveSchedule[cls];
        value = valMag[cls];
    }
    // Built by appends: GCC 12 at -O3 warns (-Wrestrict, a false positive)
    // on "@" + std::string + "/" + std::string.
    std::string ref = "@";
    ref += clsDevice(cls);
    ref += '/';
    ref += name;
    const uint64_t stamp = Clock::get().wallMs();
    DataAttribute* stVal = node.attr("ActSchdRef", "stVal");
    if (!stVal) {
        std::cout << "DA for: " << clsDevice(cls) << controllerNode << " ActSchdRef stVal NOT found" << std::endl;
        logMessage(&logLevel, LOG_INFO, "handling: Error: DA for ActSchdRef (stVal) not found");
        return;
    }
    node.setString(stVal, ref);
    DataAttribute* t = node.attr("ActSchdRef", "t");
    if (!t) {
        std::cout << "DA for: " << clsDevice(cls) << controllerNode << " ActSchdRef t NOT found" << std::endl;
        logMessage(&logLevel, LOG_INFO, "handling: Error: DA for ActSchdRef (t) not found");
        return;
    }
    node.setTimestamp(t, stamp);
    node.setReal(node.sub("ValMV", "mag", "f"), value);
    node.setTimestamp(node.attr("ValMV", "t"), outputTimestamp);
}

void IecScheduleHandling::updateActPowOutput(int cls) {
    if (!validCls(cls)) return;
    RoadLock::assertHeld();
    ScheduleNode node(iedServer(), clsDevice(cls), kOutputNode);
    float value;
    int32_t mult;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        value = valMag[cls];
        mult = multiplier[cls];
    }
    outputTimestamp = Clock::get().wallMs();
    node.setReal(node.sub("AnOut1", "mxVal", "f"), value);
    node.setTimestamp(node.attr("AnOut1", "t"), outputTimestamp);
    node.setInt32(node.sub("AnOut1", "units", "multiplier"), mult);
}

void IecScheduleHandling::callCallback(int cls) {
    RoadLock::assertHeld();
    if (!callbacks || callbacks->empty()) {
        std::cout << "Error: No callbacks registered." << std::endl;
        logMessage(&logLevel, LOG_INFO, "handling: Error: No callbacks registered.");
        return;
    }
    // A copy, so a listener that registers another one cannot upset the walk.
    const CallbackMap listeners = *callbacks;
    for (const auto& [name, listener] : listeners) {
        if (!listener) continue;
        try {
            listener(cls);
        } catch (const std::exception& e) {
            logMessage(&logLevel, LOG_ERR, "handling: listener %s failed for CLS%i: %s", name.c_str(), cls, e.what());
        } catch (...) {
            logMessage(&logLevel, LOG_ERR, "handling: listener %s failed for CLS%i", name.c_str(), cls);
        }
    }
}

// --- Questions of the server core ---------------------------------------------

std::vector<int> IecScheduleHandling::getClsWithActiveSchedule() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<int> result;
    for (int cls = 1; cls <= kClsCount; ++cls) {
        const auto& name = nameOfActiveSchedule[cls];
        if (!name.empty() && name != kNoScheduleActive) result.push_back(cls);
    }
    return result;
}

std::vector<int> IecScheduleHandling::getClsWithFutureTimestamp() const {
    const int64_t now = static_cast<int64_t>(Clock::get().wallSeconds());
    std::lock_guard<std::mutex> lock(stateMutex);
    std::vector<int> result;
    for (int cls = 1; cls <= kClsCount; ++cls) {
        if (now < latestStartTime[cls]) {
            std::cout << "Timestamp in future for CLS " << cls << ": " << latestStartTime[cls] << std::endl;
            result.push_back(cls);
        }
    }
    return result;
}

std::string IecScheduleHandling::getActiveScheduleName(int cls) const {
    if (!validCls(cls)) return {};
    std::lock_guard<std::mutex> lock(stateMutex);
    return nameOfActiveSchedule[cls];
}

float IecScheduleHandling::getActiveValue(int cls) const {
    if (!validCls(cls)) return -1.0f;
    std::lock_guard<std::mutex> lock(stateMutex);
    return valMag[cls];
}

int32_t IecScheduleHandling::getActiveMultiplier(int cls) const {
    if (!validCls(cls)) return 0;
    std::lock_guard<std::mutex> lock(stateMutex);
    return multiplier[cls];
}

bool IecScheduleHandling::checkIfActualTimeInScheduleInterval(int cls, const std::string& lnName) {
    RoadLock::assertHeld();
    return scheduleManager->checkInSMIfActualTimeInScheduleInterval(cls, lnName, false);
}

bool IecScheduleHandling::checkIfSlotIsInFuture(int cls, const std::string& lnName) {
    RoadLock::assertHeld();
    return scheduleManager->checkInSMIfSlotIsInFuture(cls, lnName, false);
}

int64_t IecScheduleHandling::getTotalDuration() {
    std::cout << "getTotalDuration" << std::endl;
    const PowerLimitSchedule limits = getScheduleData(1);
    if (limits.empty()) {
        std::cout << "Required timestamps not found in the map." << std::endl;
        return -1;
    }
    return static_cast<int64_t>((limits.rbegin()->first - limits.begin()->first) / 1000);
}

PowerLimitSchedule IecScheduleHandling::getScheduleData(int cls) {
    // No file is read: callable inside and outside the road.
    return scheduleManager->getPowerLimitSchedule(cls);
}

std::shared_ptr<ScheduleService> createScheduleHandling(IedServer* server, CallbackMap* callbacks) {
    return std::make_shared<IecScheduleHandling>(server, callbacks);
}
