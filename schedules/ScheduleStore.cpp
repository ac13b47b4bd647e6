// ScheduleManager: the name lists and the schedule files (layouts, reading,
// atomic writing, in-place changes of single members).

#include <syslog.h>

#include <cmath>
#include <iostream>
#include <limits>

#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"
#include "foundation/Clock.h"
#include "foundation/Logging.h"

namespace {

bool contains(const std::string& text, const char* part) { return text.find(part) != std::string::npos; }

// Index of the first value that is not finite, or -1.
int firstNonFinite(const std::vector<double>& values) {
    for (size_t i = 0; i < values.size(); ++i) {
        if (!std::isfinite(values[i])) return static_cast<int>(i);
    }
    return -1;
}

// Index of the first value whose truncation does not fit an int, or -1.
int firstOutsideInt(const std::vector<double>& values) {
    constexpr double kLow = static_cast<double>(std::numeric_limits<int>::min()) - 1.0;
    constexpr double kHigh = static_cast<double>(std::numeric_limits<int>::max()) + 1.0;
    for (size_t i = 0; i < values.size(); ++i) {
        if (!(values[i] > kLow && values[i] < kHigh)) return static_cast<int>(i);
    }
    return -1;
}

}  // namespace

int64_t getCurrentTimeMs() { return static_cast<int64_t>(Clock::get().wallMs()); }

ScheduleManager::ScheduleManager(const char* name) {
    logLevel = 5;
    readLogLevel(&logLevel);
    std::cout << "SM: name: " << (name ? name : "") << std::endl;
}

void ScheduleManager::setAllScheduleNames(const std::vector<std::string>& names) {
    std::cout << "SM: setAllScheduleNames" << std::endl;
    std::cout << "SM: allScheduleNames: " << names.size() << std::endl;
    logMessage(&logLevel, LOG_DEBUG, "SM: number of schedule types found: %zu", names.size());

    for (const auto& name : names) {
        if (contains(name, "Lo") || contains(name, "Gn")) continue;
        if (contains(name, "DC")) {
            schedulesNames12_Direct_all.push_back(name);
        } else if (contains(name, "SysSoft") || contains(name, "SysCom")) {
            schedulesNames12_Trigger_all.push_back(name);
        } else {
            schedulesNames12_Base_all.push_back(name);
        }
    }
    std::cout << "SM: schedulesNames12_Base_all: " << schedulesNames12_Base_all.size() << std::endl;
    std::cout << "SM: schedulesNames12_Direct_all: " << schedulesNames12_Direct_all.size() << std::endl;
    std::cout << "SM: schedulesNames12_Trigger_all: " << schedulesNames12_Trigger_all.size() << std::endl;

    auto sortInto = [](const std::string& name, std::vector<std::string>& direct, std::vector<std::string>& trigger,
                       std::vector<std::string>& base) {
        if (contains(name, "Dc")) {
            direct.push_back(name);
        } else if (contains(name, "So") || contains(name, "Ce")) {
            trigger.push_back(name);
        } else {
            base.push_back(name);
        }
    };
    for (const auto& name : names) {
        if (contains(name, "Lo")) {
            sortInto(name, schedulesNames13_Direct_Lo, schedulesNames13_Trigger_Lo, schedulesNames13_Base_Lo);
        } else if (contains(name, "Gn")) {
            sortInto(name, schedulesNames13_Direct_Gn, schedulesNames13_Trigger_Gn, schedulesNames13_Base_Gn);
        }
    }
    std::cout << "SM: schedulesNames13_Base_Lo: " << schedulesNames13_Base_Lo.size() << std::endl;
    std::cout << "SM: schedulesNames13_Direct_Lo: " << schedulesNames13_Direct_Lo.size() << std::endl;
    std::cout << "SM: schedulesNames13_Trigger_Lo: " << schedulesNames13_Trigger_Lo.size() << std::endl;
    std::cout << "SM: schedulesNames13_Base_Gn: " << schedulesNames13_Base_Gn.size() << std::endl;
    std::cout << "SM: schedulesNames13_Direct_Gn: " << schedulesNames13_Direct_Gn.size() << std::endl;
    std::cout << "SM: schedulesNames13_Trigger_Gn: " << schedulesNames13_Trigger_Gn.size() << std::endl;
}

bool ScheduleManager::addScheduleJSON(int cls, const std::string& name, bool enaReq, bool dsaReq, int schdPrio,
                                      int numEntr, int schdIntv, const std::vector<double>& values, int multiplier,
                                      const std::vector<int64_t>& strTm, const std::array<int, 8>& strCal,
                                      bool schdReuse, int64_t latestUpdate) {
    if (numEntr < 0 || static_cast<size_t>(numEntr) != values.size()) {
        std::cerr << "Error: Mismatch in expected number of entries and provided values/times." << std::endl;
        logMessage(&logLevel, LOG_DEBUG,
                   "SM: 1.2 ERROR! -> %s -> Mismatch in expected number of entries (%d) and provided values/times (%zu).",
                   name.c_str(), numEntr, values.size());
        rejectSchedule(cls, name, "entry count mismatch");
        return false;
    }
    if (int bad = firstNonFinite(values); bad >= 0) {
        std::cerr << "Error: value " << bad << " of " << name << " is not a finite number." << std::endl;
        rejectSchedule(cls, name, "value not finite");
        return false;
    }

    rapidjson::Document doc(rapidjson::kObjectType);
    auto& a = doc.GetAllocator();
    doc.AddMember("SchdName", rapidjson::Value(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), a), a);
    doc.AddMember("ScheduleStateKind", kStateNotEvaluated, a);
    doc.AddMember("EnaReq", enaReq, a);
    doc.AddMember("DsaReq", dsaReq, a);
    doc.AddMember("SchdPrio", schdPrio, a);
    doc.AddMember("NumEntr", numEntr, a);
    doc.AddMember("SchdIntv", schdIntv, a);
    rapidjson::Value valArray(rapidjson::kArrayType);
    for (double v : values) valArray.PushBack(v, a);
    doc.AddMember("ValASG", valArray, a);
    doc.AddMember("Multiplier", multiplier, a);
    rapidjson::Value strTmArray(rapidjson::kArrayType);
    for (int64_t t : strTm) strTmArray.PushBack(rapidjson::Value(static_cast<int64_t>(t)), a);
    doc.AddMember("StrTm", strTmArray, a);
    rapidjson::Value calArray(rapidjson::kArrayType);
    for (int c : strCal) calArray.PushBack(c, a);
    doc.AddMember("StrCal", calArray, a);
    doc.AddMember("SchdReuse", schdReuse, a);
    doc.AddMember("LatestUpdate", rapidjson::Value(static_cast<int64_t>(latestUpdate)), a);
    return storeSchedule(doc, cls, name);
}

bool ScheduleManager::addScheduleJSONTrg(int cls, const std::string& name, int schdPrio, int numEntr, int schdIntv,
                                         const std::vector<double>& values, int multiplier, bool schdReuse,
                                         bool evTrg, int64_t latestUpdate, bool currentTrg) {
    if (numEntr < 0 || static_cast<size_t>(numEntr) != values.size()) {
        std::cerr << "Error: Mismatch in expected number of entries and provided values/times." << std::endl;
        logMessage(&logLevel, LOG_DEBUG,
                   "SM: 1.2 ERROR! addScheduleJSONTrg -> %s -> Mismatch in expected number of entries and provided "
                   "values/times.",
                   name.c_str());
        rejectSchedule(cls, name, "entry count mismatch");
        return false;
    }
    if (int bad = firstOutsideInt(values); bad >= 0) {
        std::cerr << "Error: value " << bad << " of " << name << " is not a number within the int range."
                  << std::endl;
        rejectSchedule(cls, name, "value not finite or outside the int range");
        return false;
    }

    rapidjson::Document doc(rapidjson::kObjectType);
    auto& a = doc.GetAllocator();
    doc.AddMember("SchdName", rapidjson::Value(name.c_str(), static_cast<rapidjson::SizeType>(name.size()), a), a);
    doc.AddMember("ScheduleStateKind", kStateNotEvaluated, a);
    doc.AddMember("SchdPrio", schdPrio, a);
    doc.AddMember("NumEntr", numEntr, a);
    doc.AddMember("SchdIntv", schdIntv, a);
    rapidjson::Value valArray(rapidjson::kArrayType);
    for (double v : values) valArray.PushBack(static_cast<int>(v), a);
    doc.AddMember("ValASG", valArray, a);
    doc.AddMember("Multiplier", multiplier, a);
    doc.AddMember("SchdReuse", schdReuse, a);
    doc.AddMember("EvTrg", evTrg, a);
    doc.AddMember("LatestUpdate", rapidjson::Value(static_cast<int64_t>(latestUpdate)), a);
    doc.AddMember("currentTrg", currentTrg, a);
    return storeSchedule(doc, cls, name);
}

bool ScheduleManager::storeSchedule(rapidjson::Document& doc, int cls, const std::string& name) {
    // A schedule handed over again without any change (a full state push, a
    // resend after a reconnect) stays as stored: its "LatestUpdate" keeps the
    // time of its last real change, so equal priorities keep their order, and
    // its evaluated state stays valid because nothing it depends on changed.
    rapidjson::Document old = readJSON(cls, name);
    auto oldLatest = schedulefile::getInt64(old, "LatestUpdate");
    if (oldLatest && schedulefile::getInt(old, "ScheduleStateKind")) {
        old["ScheduleStateKind"].SetInt(kStateNotEvaluated);
        rapidjson::Value& latest = doc["LatestUpdate"];
        const int64_t newLatest = latest.GetInt64();
        latest.SetInt64(*oldLatest);
        std::string oldText, newText;
        if (schedulefile::serialise(old, oldText) && schedulefile::serialise(doc, newText) && oldText == newText) {
            return true;
        }
        latest.SetInt64(newLatest);
    }
    return saveJSON(doc, cls, name);
}

void ScheduleManager::rejectSchedule(int cls, const std::string& name, const char* reason) {
    // An earlier hand-over of this road, and a text kept in force, go too.
    staged.erase({cls, name});
    inForce.erase({cls, name});
    const std::string file = schedulefile::path(cls, name);
    const std::string aside = file + schedulefile::kRejectedSuffix;
    if (std::rename(file.c_str(), aside.c_str()) == 0) {
        logMessage(&logLevel, LOG_ERR, "SM: %s of CLS%d refused (%s); the stored schedule is set aside as %s",
                   name.c_str(), cls, reason, aside.c_str());
    } else {
        logMessage(&logLevel, LOG_ERR, "SM: %s of CLS%d refused (%s); no stored schedule", name.c_str(), cls,
                   reason);
    }
}

rapidjson::Document ScheduleManager::readJSON(int cls, const std::string& name) const {
    if (auto it = staged.find({cls, name}); it != staged.end()) return schedulefile::parse(it->second.content);
    std::string refusal;
    const std::optional<std::string> text = textInForce(cls, name, &refusal);
    rapidjson::Document doc = text ? schedulefile::parse(*text, &refusal) : rapidjson::Document();
    reportRefusedFile(schedulefile::path(cls, name), refusal);
    return doc;
}

std::optional<std::string> ScheduleManager::textInForce(int cls, const std::string& name, std::string* refusal) const {
    if (refusal) refusal->clear();
    if (auto it = inForce.find({cls, name}); it != inForce.end()) return it->second;
    return schedulefile::readText(schedulefile::path(cls, name), refusal);
}

void ScheduleManager::reportRefusedFile(const std::string& file, const std::string& refusal) const {
    std::lock_guard<std::mutex> lock(refusedMutex);
    auto known = refusedFiles.find(file);
    if (refusal.empty()) {
        if (known != refusedFiles.end()) refusedFiles.erase(known);
        return;
    }
    if (known != refusedFiles.end() && known->second == refusal) return;
    refusedFiles[file] = refusal;
    std::cerr << "SM: " << file << " " << refusal << "; it counts as no schedule file" << std::endl;
    logMessage(&logLevel, LOG_WARNING, "SM: %s %s; it counts as no schedule file", file.c_str(), refusal.c_str());
}

bool ScheduleManager::saveJSON(const rapidjson::Document& doc, int cls, const std::string& name) {
    std::string content;
    if (!schedulefile::serialise(doc, content)) {
        std::cerr << "Error: unable to serialise schedule " << name << std::endl;
        logMessage(&logLevel, LOG_ERR, "SM: Error: unable to serialise schedule %s", name.c_str());
        return false;
    }
    std::string error;
    if (!schedulefile::isDirectory(schedulefile::kRootDirectory)) {
        std::cout << "SM: Directory schedules does not exist. Creating directory." << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SMDirectory ./schedules/ does not exist. Creating directory.");
        if (!schedulefile::makeDirectory(schedulefile::kRootDirectory, error)) {
            logMessage(&logLevel, LOG_ERR, "Failed to create directory ./schedules/: %s", error.c_str());
            return false;
        }
    }
    const std::string dir = schedulefile::directory(cls);
    if (!schedulefile::isDirectory(dir)) {
        std::cout << "SM: Directory " << dir << " does not exist. Creating directory." << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SMDirectory %s does not exist. Creating directory.", dir.c_str());
        if (!schedulefile::makeDirectory(dir, error)) {
            logMessage(&logLevel, LOG_ERR, "Failed to create directory %s: %s", dir.c_str(), error.c_str());
            return false;
        }
    }
    // Staged: the file is written by syncHandedOverFiles, with the state the
    // evaluation writes into the staged document meanwhile.
    const FileKey key{cls, name};
    if (auto it = staged.find(key); it != staged.end()) {
        it->second.content = std::move(content);  // what it replaces in force stays the same
    } else {
        staged.emplace(key, Staged{std::move(content), textInForce(cls, name, nullptr)});
    }
    return true;
}

bool ScheduleManager::writeJSONToFile(int cls, const rapidjson::Document& doc, const std::string& name) {
    const std::string file = schedulefile::path(cls, name);
    std::string content;
    if (!schedulefile::serialise(doc, content)) {
        std::cerr << "Error: Failed to write to file: " << file << std::endl;
        return false;
    }
    if (auto it = staged.find({cls, name}); it != staged.end()) {
        it->second.content = std::move(content);
        return true;
    }
    std::string error;
    switch (schedulefile::replace(files, file, content, iec61850::Durability::kSynced, error)) {
        case schedulefile::ReplaceResult::kOk:
            inForce.erase({cls, name});  // the file holds what is in force again
            return true;
        case schedulefile::ReplaceResult::kUnsure:
            // The file may hold the new text: a state of what is in force,
            // nothing refused; the store reads the file again.
            inForce.erase({cls, name});
            std::cerr << "Error: Failed to write to file: " << file << std::endl;
            break;
        case schedulefile::ReplaceResult::kOpenFailed:
            std::cerr << "Error: Unable to open file for writing: " << file << std::endl;
            break;
        case schedulefile::ReplaceResult::kWriteFailed:
            std::cerr << "Error: Failed to write to file: " << file << std::endl;
            break;
    }
    logMessage(&logLevel, LOG_ERR, "SM: Error: rewriting %s failed: %s", file.c_str(), error.c_str());
    return false;
}

bool ScheduleManager::syncHandedOverFiles(int cls, std::vector<std::string>* refused) {
    bool stored = true;
    for (auto it = staged.lower_bound({cls, std::string()}); it != staged.end() && it->first.first == cls;) {
        const FileKey key = it->first;
        const Staged handOver = std::move(it->second);
        it = staged.erase(it);
        const std::string file = schedulefile::path(cls, key.second);
        std::string error;
        const schedulefile::ReplaceResult result =
            schedulefile::replace(files, file, handOver.content, iec61850::Durability::kSynced, error);
        if (result == schedulefile::ReplaceResult::kOk) {
            inForce.erase(key);
            continue;
        }
        // Dropped: the file keeps (or got back) the text in force; when the
        // old file could not be put back, the store reads that text from
        // memory until a later road has written it back.
        stored = false;
        if (refused) refused->push_back(key.second);
        if (result == schedulefile::ReplaceResult::kUnsure) inForce[key] = handOver.previous;
        std::cerr << "Error: unable to save file " << file << " (" << error << ")" << std::endl;
        logMessage(&logLevel, LOG_ERR, "Error: unable to save file %s: %s", file.c_str(),
                   error.c_str());
    }
    // A failed write now says the disk refuses; the retries wait for a road
    // whose writes go through.
    if (stored) retryDurability(cls);
    return stored;
}

std::vector<std::string> ScheduleManager::dropHandedOver(int cls) {
    std::vector<std::string> names;
    for (auto it = staged.lower_bound({cls, std::string()}); it != staged.end() && it->first.first == cls;) {
        names.push_back(it->first.second);
        it = staged.erase(it);
    }
    return names;
}

void ScheduleManager::retryDurability(int cls) {
    std::string failure;
    for (auto it = inForce.lower_bound({cls, std::string()}); it != inForce.end() && it->first.first == cls;) {
        const std::string file = schedulefile::path(cls, it->first.second);
        std::string error;
        const bool written = it->second ? schedulefile::replace(files, file, *it->second, iec61850::Durability::kSynced,
                                                                error) == schedulefile::ReplaceResult::kOk
                                        : files.remove(file, error);
        if (written) {
            it = inForce.erase(it);
            continue;
        }
        if (failure.empty()) failure = error;
        ++it;
    }
    std::string error;
    if (!files.syncDeferred(schedulefile::directory(cls), error) && failure.empty()) failure = error;
    if (failure.empty()) {
        if (durabilityWarned.erase(cls) != 0) {
            logMessage(&logLevel, LOG_NOTICE, "SM: the schedule files of CLS%d in force are durable again", cls);
        }
        return;
    }
    if (durabilityWarned.insert(cls).second) {
        logMessage(&logLevel, LOG_WARNING,
                   "SM: the schedule files of CLS%d in force are not yet known to be durable (%s); tried again at "
                   "the next road",
                   cls, failure.c_str());
    }
}

bool ScheduleManager::changeStateKindInJSON(int cls, const std::string& name, int state) {
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cerr << "change StateKindInJSON -> JSON is not valid" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> JSON is not valid", name.c_str());
        return false;
    }
    auto it = doc.FindMember("ScheduleStateKind");
    if (it == doc.MemberEnd() || !it->value.IsInt()) {
        std::cerr << "Error: ScheduleStateKind not found in the JSON document." << std::endl;
        return false;
    }
    if (it->value.GetInt() == state) {
        return true;  // the file already says so
    }
    it->value.SetInt(state);
    if (!writeJSONToFile(cls, doc, name)) {
        std::cerr << "Error: Failed to save updated JSON to file." << std::endl;
        return false;
    }
    return true;
}

bool ScheduleManager::writeTmIfCal(int cls, const std::string& name) {
    std::cout << "#### SM writeTmIfCal for << " << name << std::endl;
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cerr << "SM writeTmIfCal -> JSON is not valid" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM 1.2 ERROR! -> %s -> JSON is not valid", name.c_str());
        return false;
    }
    auto it = doc.FindMember("StrTm");
    if (it == doc.MemberEnd() || !it->value.IsArray() || it->value.Empty()) {
        std::cerr << "Error: StrTm not found or is not an array in the JSON document." << std::endl;
        return false;
    }
    it->value[0].SetInt64(static_cast<int64_t>(Clock::get().wallSeconds()) - 1);
    if (!writeJSONToFile(cls, doc, name)) {
        std::cerr << "Error: Failed to save updated JSON to file." << std::endl;
        return false;
    }
    std::cout << "#### SM writeTmIfCal done" << std::endl;
    return true;
}
