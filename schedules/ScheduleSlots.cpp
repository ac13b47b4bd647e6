// ScheduleManager: enabled schedules, the choice of the active schedule and
// the slot arithmetic of stored schedules (start times, entries, values).

#include <syslog.h>

#include <algorithm>
#include <climits>
#include <ctime>
#include <iostream>

#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"
#include "foundation/Clock.h"
#include "foundation/Logging.h"

namespace {

// Local time as "%Y-%m-%d %H:%M:%S"; "?" for a time the calendar cannot show.
std::string timeText(uint64_t seconds) {
    if (seconds > static_cast<uint64_t>(LLONG_MAX)) return "?";
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    if (!localtime_r(&t, &local)) return "?";
    char buffer[32];
    if (std::strftime(buffer, sizeof(buffer), "%Y-%m-%d %H:%M:%S", &local) == 0) return "?";
    return buffer;
}

// The members every slot question needs; nullopt when one is missing.
struct SlotShape {
    std::vector<uint64_t> startTimes;
    int intv;
    int numEntr;
    // Length of one slot in seconds; a negative product wraps like the
    // unsigned arithmetic of the slot ends.
    uint64_t span() const { return static_cast<uint64_t>(static_cast<int64_t>(intv) * numEntr); }
};

std::optional<SlotShape> slotShapeOf(const rapidjson::Document& doc) {
    auto times = schedulefile::startTimes(doc);
    auto intv = schedulefile::getInt(doc, "SchdIntv");
    auto numEntr = schedulefile::getInt(doc, "NumEntr");
    if (!times || !intv || !numEntr) return std::nullopt;
    return SlotShape{std::move(*times), *intv, *numEntr};
}

// The slot shape of a stored schedule for the window questions, with their
// console and log lines when the file or a member is missing.
std::optional<SlotShape> windowShape(const ScheduleManager& sm, int cls, const std::string& name,
                                     const char* invalidText, const char* missingLog) {
    rapidjson::Document doc = sm.readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cout << invalidText << std::endl;
        logMessage(&sm.logLevel, LOG_DEBUG, "%s", invalidText);
        return std::nullopt;
    }
    auto shape = slotShapeOf(doc);
    if (!shape) {
        std::cout << "SM: Required fields missing in JSON." << std::endl;
        logMessage(&sm.logLevel, LOG_DEBUG, "%s", missingLog);
    }
    return shape;
}

}  // namespace

std::vector<std::string> ScheduleManager::getSchedulesWithEnaReq(const std::vector<std::string>& names, int cls) {
    std::vector<std::string> result;
    for (const auto& name : names) {
        rapidjson::Document doc = readJSON(cls, name);
        if (!doc.IsObject()) {
            if (debugOutput) std::cout << "SM: check IntegrityOfJSON -> JSON is not valid for schedule: " << name
                                       << std::endl;
            continue;
        }
        if (checkEnaReq(doc, name)) {
            const std::string text = "SM: found schedule with EnaReq == true: " + name;
            std::cout << text << std::endl;
            logMessage(&logLevel, LOG_DEBUG, "%s", text.c_str());
            result.push_back(name);
        }
    }
    return result;
}

std::string ScheduleManager::getActivateSchedule(int cls) {
    std::string result = kNoScheduleActive;
    int bestPrio = 0;
    uint64_t bestLatest = 0;
    for (const auto* list : {&schedulesNames12_Base_all, &schedulesNames12_Trigger_all, &schedulesNames12_Direct_all,
                             &schedulesNames13_Base_Lo}) {
        for (const auto& name : *list) {
            rapidjson::Document doc = readJSON(cls, name);
            if (!doc.IsObject()) continue;
            auto state = schedulefile::getInt(doc, "ScheduleStateKind");
            auto prio = schedulefile::getInt(doc, "SchdPrio");
            auto latest = schedulefile::getInt64(doc, "LatestUpdate");
            if (!state || !prio || !latest) {
                std::cout << "SM: Error: get ActivateSchedule -> Schedule " << name << " is missing a key"
                          << std::endl;
                continue;
            }
            const uint64_t latestU = static_cast<uint64_t>(*latest);
            if (*state == kStateRunning && (*prio > bestPrio || (*prio == bestPrio && latestU > bestLatest))) {
                result = name;
                bestPrio = *prio;
                bestLatest = latestU;
            }
        }
    }
    return result;
}

bool ScheduleManager::checkInSMIfActualTimeInScheduleInterval(int cls, const std::string& name, bool verbose) {
    const uint64_t now = Clock::get().wallSeconds();
    auto shape = windowShape(*this, cls, name, "SM: checkInSMIfActualTimeInScheduleInterval -> JSON is not valid",
                             "SM: JSON is missing one or more of: StrTm, SchdIntv, NumEntr.");
    if (!shape) return false;
    const uint64_t span = shape->span();
    for (size_t i = 0; i < shape->startTimes.size(); ++i) {
        const uint64_t s = shape->startTimes[i];
        if (s == 0) continue;
        const uint64_t end = s + span;
        if (end < s) {
            if (verbose) std::cout << "SM: Time overflow detected at index " << i << std::endl;
            logMessage(&logLevel, LOG_DEBUG, "SM: Time overflow detected for startingTimeSec: %lu (%s) + interval: %lu",
                       s, timeText(s).c_str(), span);
            return false;
        }
        if (s <= now && now < end) {
            logMessage(&logLevel, LOG_DEBUG, "SM: ActualTime (%s) is within slot %d: [%s, %s)", timeText(now).c_str(),
                       static_cast<int>(i), timeText(s).c_str(), timeText(end).c_str());
            return true;
        }
        logMessage(&logLevel, LOG_DEBUG, "SM: ActualTime (%s) is NOT in slot %d: [%s, %s)", timeText(now).c_str(),
                   static_cast<int>(i), timeText(s).c_str(), timeText(end).c_str());
    }
    if (verbose) {
        std::cout << "SM: No active interval found." << std::endl;
        std::cout << "SM:   ActualTimeSec: " << now << std::endl;
    }
    return false;
}

bool ScheduleManager::checkInSMIfSlotIsInFuture(int cls, const std::string& name, bool verbose) {
    const uint64_t now = Clock::get().wallSeconds();
    auto shape = windowShape(*this, cls, name, "SM: checkInSMIfSlotIsInFuture -> JSON is not valid",
                             "SM: Required fields missing in JSON: StrTm, SchdIntv, or NumEntr.");
    if (!shape) return false;
    for (size_t i = 0; i < shape->startTimes.size(); ++i) {
        const uint64_t s = shape->startTimes[i];
        if (s == 0) continue;
        if (now < s) {
            logMessage(&logLevel, LOG_DEBUG, "SM: Future slot found at index %d: startTimeSec = %lu, currentTimeSec = %lu",
                       static_cast<int>(i), s, now);
            if (verbose) {
                std::cout << "SM: Found future slot at index " << i << std::endl;
                std::cout << "  -> StartingTime: " << s << std::endl;
                std::cout << "  -> ActualTimeSec: " << now << std::endl;
            }
            return true;
        }
        logMessage(&logLevel, LOG_DEBUG, "SM: Skipping past slot at index %d: startTimeSec = %lu, currentTimeSec = %lu",
                   static_cast<int>(i), s, now);
    }
    if (verbose) {
        std::cout << "SM: No valid future slot found." << std::endl;
        std::cout << "SM:   ActualTimeSec: " << now << std::endl;
    }
    return false;
}

int ScheduleManager::getValIndex(int cls, const std::string& name, uint64_t timeSec) {
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cerr << "getValIndex -> JSON is not valid" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> JSON is not valid", name.c_str());
        return -1;
    }
    auto shape = slotShapeOf(doc);
    if (!shape) {
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> JSON is missing required members", name.c_str());
        std::cerr << "JSON is missing required members." << std::endl;
        return -1;
    }
    const uint64_t span = shape->span();
    std::optional<uint64_t> taken;
    for (uint64_t s : shape->startTimes) {
        if (s == 0) continue;
        logMessage(&logLevel, LOG_DEBUG, "SM: currentStartTimeSec: %lu, totalIntervalSec: %lu, actualTimeSecInSchedule: %lu",
                   s, span, timeSec);
        if (s <= timeSec && timeSec < s + span) {
            taken = s;
            break;
        }
    }
    if (std::find(schedulesNames12_Direct_all.begin(), schedulesNames12_Direct_all.end(), name) !=
        schedulesNames12_Direct_all.end()) {
        return 0;  // a direct command has one value at all times
    }
    if (!taken) {
        std::cerr << "Error: Starting time not found in the JSON document." << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> Starting time not found in the JSON document",
                   name.c_str());
        return -1;
    }
    const uint64_t d = timeSec - *taken;
    // Whole seconds in 64-bit integers: exact for every time a slot can cover.
    const int64_t idx = shape->intv == 0 ? -1 : static_cast<int64_t>(d) / shape->intv;
    if (idx >= 0 && idx < shape->numEntr) {
        return static_cast<int>(idx);
    }
    const int shownIdx = static_cast<int>(std::clamp<int64_t>(idx, INT_MIN, INT_MAX));
    std::cerr << "getValIndex -> Error: ValIndex out of range with: " << idx << std::endl;
    std::cout << "SM: actualTimeSecInSchedule " << timeSec << std::endl;
    std::cout << "SM: startingTimeSec " << *taken << std::endl;
    std::cout << "SM: scheduleIntervalSec " << shape->intv << std::endl;
    std::cout << "SM: timeDiffTilStartSec " << d << std::endl;
    logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> ValIndex out of range with: %d", name.c_str(), shownIdx);
    return -1;
}

std::pair<bool, double> ScheduleManager::getVal(int cls, const std::string& name, int index) {
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cerr << "getVal -> JSON is not valid" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> JSON is not valid", name.c_str());
        return {false, 0.0};
    }
    if (!schedulefile::has(doc, "ValASG")) {
        std::cerr << "getVal -> Error: ValASG not found in the JSON document." << std::endl;
        return {false, 0.0};
    }
    const rapidjson::Value* values = schedulefile::getArray(doc, "ValASG");
    if (values && index >= 0 && static_cast<rapidjson::SizeType>(index) < values->Size() &&
        (*values)[static_cast<rapidjson::SizeType>(index)].IsNumber()) {
        return {true, (*values)[static_cast<rapidjson::SizeType>(index)].GetDouble()};
    }
    std::cerr << "getVal -> Error: ValASG array is not valid or index is out of range." << std::endl;
    std::cout << "SM: index: " << index << " size: " << (values ? values->Size() : 0) << std::endl;
    return {false, 0.0};
}

std::optional<int> ScheduleManager::getMultiplier(int cls, const std::string& name) {
    return schedulefile::getInt(readJSON(cls, name), "Multiplier");
}

namespace {

enum class StartTimeQuery { kCurrent, kNext };

// The start-time list of a stored schedule, with the messages of the caller.
// nullopt when the file is not valid or has no usable "StrTm".
std::optional<std::vector<uint64_t>> startTimesFor(ScheduleManager& sm, int cls, const std::string& name,
                                                   StartTimeQuery query) {
    rapidjson::Document doc = sm.readJSON(cls, name);
    const bool current = query == StartTimeQuery::kCurrent;
    if (!doc.IsObject()) {
        std::cerr << (current ? "getActStrTm" : "getNxtStrTm") << " -> JSON is not valid" << std::endl;
        logMessage(&sm.logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> JSON is not valid", name.c_str());
        return std::nullopt;
    }
    if (!schedulefile::has(doc, "StrTm")) {
        std::cerr << "Error: StrTm not found in the JSON document." << std::endl;
        logMessage(&sm.logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> StrTm not found", name.c_str());
        return std::nullopt;
    }
    auto times = schedulefile::startTimes(doc);
    if (!times || times->empty()) {
        if (current) {
            std::cerr << "Error: StrTm array is not valid or empty." << std::endl;
            logMessage(&sm.logLevel, LOG_DEBUG, "SM: 1.2 ERROR! -> %s -> StrTm array is not valid or empty",
                       name.c_str());
        } else {
            std::cerr << "getNxtStrTm -> Error: StrTm array is not valid or empty." << std::endl;
        }
        return std::nullopt;
    }
    return times;
}

}  // namespace

uint64_t ScheduleManager::getActStrTm(int cls, const std::string& name) {
    const uint64_t now = Clock::get().wallSeconds();
    auto times = startTimesFor(*this, cls, name, StartTimeQuery::kCurrent);
    uint64_t best = 0;
    if (times) {
        for (uint64_t e : *times) {
            if (e > 0 && e < now && e > best) best = e;
        }
    }
    return best;
}

uint64_t ScheduleManager::getNxtStrTm(int cls, const std::string& name) {
    const uint64_t now = Clock::get().wallSeconds();
    auto times = startTimesFor(*this, cls, name, StartTimeQuery::kNext);
    uint64_t best = 0;
    if (times) {
        for (uint64_t e : *times) {
            if (e > now && (best == 0 || e < best)) best = e;
        }
    }
    return best;
}

PowerLimitSchedule ScheduleManager::getPowerLimitSchedule(int cls) {
    (void)cls;
    return {};
}
