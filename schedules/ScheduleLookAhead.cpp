// ScheduleManager: the three-day look-ahead of the power limits a CLS's
// stored schedules will set.
//
// Reference times, the window and the map keys are milliseconds since the
// epoch; the stored start times and entry lengths are seconds and are
// converted where they meet a reference time. A reference time lies in a slot
// [s, s + span) exactly when its whole seconds do, so slot tests compare
// whole seconds.

#include <syslog.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <iostream>
#include <limits>

#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"
#include "foundation/Clock.h"
#include "foundation/Logging.h"

namespace {

constexpr uint64_t kWindowMs = 259200000;  // three days
constexpr uint64_t kGapStepMs = 60000;     // past the start of the next schedule after a gap
constexpr int kMaxPasses = 10;
constexpr uint64_t kNever = std::numeric_limits<uint64_t>::max();

// Seconds to milliseconds, saturating (a start time that far out never comes).
uint64_t toMs(uint64_t seconds) { return seconds > kNever / 1000 ? kNever : seconds * 1000; }

uint64_t addSaturating(uint64_t a, uint64_t b) { return a > kNever - b ? kNever : a + b; }

// Length of a slot in seconds; nullopt when it is not positive (such a
// schedule covers no time).
std::optional<uint64_t> slotSpanSec(const rapidjson::Value& doc) {
    auto intv = schedulefile::getInt(doc, "SchdIntv");
    auto numEntr = schedulefile::getInt(doc, "NumEntr");
    if (!intv || !numEntr) return std::nullopt;
    const int64_t span = static_cast<int64_t>(*intv) * *numEntr;
    if (span <= 0) return std::nullopt;
    return static_cast<uint64_t>(span);
}

// The first start time (seconds) whose slot covers refSec.
std::optional<uint64_t> coveringStart(const std::vector<uint64_t>& starts, uint64_t spanSec, uint64_t refSec) {
    for (uint64_t s : starts) {
        if (s != 0 && s <= refSec && refSec - s < spanSec) return s;
    }
    return std::nullopt;
}

bool hasStartTime(const rapidjson::Value& doc) {
    auto starts = schedulefile::startTimes(doc);
    return starts && std::any_of(starts->begin(), starts->end(), [](uint64_t s) { return s != 0; });
}

// "Multiplier" of a stored schedule as the look-ahead needs it, with the
// reason on standard error when it cannot be used.
std::optional<int> multiplierOf(const rapidjson::Value& doc) {
    if (!schedulefile::has(doc, "Multiplier")) {
        std::cerr << "getMultiplier -> Error: Multiplier not found in the JSON document." << std::endl;
        return std::nullopt;
    }
    auto m = schedulefile::getInt(doc, "Multiplier");
    if (!m) std::cerr << "getMultiplier -> Error: Multiplier value is not an integer." << std::endl;
    return m;
}

}  // namespace

float hoursFromNow(uint64_t timeMs) {
    const double diffMs = static_cast<double>(timeMs) - static_cast<double>(Clock::get().wallMs());
    const float hours = static_cast<float>(diffMs / 3600000.0);
    return std::round(hours * 100.0f) / 100.0f;
}

PowerLimitSchedule ScheduleManager::getPowerLimitSchedule3Days(int cls) {
    PowerLimitSchedule limits;
    if (lookAheadOutput) std::cout << "\n\n***** Getting schedule for the next 3 days on CLS: " << cls << std::endl;
    processSchedules(cls, limits, static_cast<uint64_t>(getCurrentTimeMs()));
    if (lookAheadOutput) {
        std::cout << "powerLimitSchedule.size(): " << limits.size() << std::endl;
        std::cout << "\n***** done " << std::endl;
    }
    return limits;
}

void ScheduleManager::processSchedules(int cls, PowerLimitSchedule& out, uint64_t startMs) {
    // Start times gathered by an earlier call say nothing about this one.
    futureStartTimes.clear();
    const uint64_t windowEnd = startMs + kWindowMs;
    uint64_t lastChange = 0;
    uint64_t t = startMs;
    // The first value written for a key stays.
    auto emit = [&out](uint64_t timeMs, float value) { out.emplace(timeMs, static_cast<int64_t>(value)); };

    if (windowEnd > startMs) {
        int passes = 0;
        while (passes != kMaxPasses) {
            const std::string name = getActivateScheduleAtRefTime(cls, t);
            if (name != kNoScheduleActive) {
                lastChange = getNextScheduleChange(cls, t, name, startMs);
                emitScheduleSlots(cls, emit, t, name, lastChange);
                ++passes;
            } else {
                // No limit from the end of the schedules before the gap on.
                if (passes > 0) out.emplace(t, -1);
                if (futureStartTimes.empty()) break;
                std::sort(futureStartTimes.begin(), futureStartTimes.end());
                futureStartTimes.erase(std::unique(futureStartTimes.begin(), futureStartTimes.end()),
                                       futureStartTimes.end());
                auto next = std::upper_bound(futureStartTimes.begin(), futureStartTimes.end(), t);
                if (next == futureStartTimes.end()) break;
                t = addSaturating(*next, kGapStepMs);
            }
            if (t >= windowEnd) break;
        }
    }
    out.emplace(lastChange, -1);
    out.emplace(windowEnd, -1);
}

std::string ScheduleManager::getActivateScheduleAtRefTime(int cls, uint64_t refTimeMs) {
    std::string result = kNoScheduleActive;
    int bestPrio = 0;
    uint64_t bestLatest = 0;
    const std::vector<std::string> running = isScheduleRunningAtRefTime(cls, refTimeMs);
    if (lookAheadOutput) std::cout << "listOfSchedulesRunningAtRefTime.size(): " << running.size() << std::endl;
    for (const auto& name : running) {
        rapidjson::Document doc = readJSON(cls, name);
        if (!doc.IsObject()) continue;
        auto prio = schedulefile::getInt(doc, "SchdPrio");
        auto latest = schedulefile::getInt64(doc, "LatestUpdate");
        if (!schedulefile::has(doc, "ScheduleStateKind") || !prio || !latest) {
            std::cout << "Error: get ActivateSchedule -> Schedule " << name << " is missing a key" << std::endl;
            continue;
        }
        const uint64_t latestU = static_cast<uint64_t>(*latest);
        if (*prio > bestPrio || (*prio == bestPrio && latestU > bestLatest)) {
            result = name;
            bestPrio = *prio;
            bestLatest = latestU;
        }
    }
    return result;
}

std::vector<std::string> ScheduleManager::isScheduleRunningAtRefTime(int cls, uint64_t refTimeMs) {
    std::vector<std::string> candidates = schedulesNames12_Base_all;
    candidates.insert(candidates.end(), schedulesNames12_Direct_all.begin(), schedulesNames12_Direct_all.end());

    std::vector<std::string> valid;
    for (const auto& name : candidates) {
        rapidjson::Document doc = readJSON(cls, name);
        if (!doc.IsObject()) continue;
        // A schedule without a start time covers no time. Leaving it out here
        // also keeps the calendar check from writing a start time into its
        // file: the look-ahead writes nothing.
        if (!hasStartTime(doc)) continue;
        if (!checkIntegrity(doc, name, cls, false) || !checkCommonMembers(doc, name)) continue;
        if (lookAheadOutput) std::cout << "# scheduleBase " << name << " is valid " << std::endl;
        valid.push_back(name);
    }

    getStrTmList(cls, valid);

    std::vector<std::string> running;
    for (const auto& name : valid) {
        if (checkIfRefTimeInScheduleInterval(cls, name, refTimeMs, false)) {
            running.push_back(name);
            if (lookAheadOutput) std::cout << "scheudle is running at refTime: " << name << std::endl;
        } else if (lookAheadOutput) {
            std::cout << "scheudle is not running at refTime: " << name << std::endl;
        }
    }
    return running;
}

void ScheduleManager::getStrTmList(int cls, const std::vector<std::string>& names) {
    const uint64_t now = static_cast<uint64_t>(getCurrentTimeMs());
    for (const auto& name : names) {
        rapidjson::Document doc = readJSON(cls, name);
        auto starts = schedulefile::startTimes(doc);
        if (!starts) {
            if (lookAheadOutput) std::cout << "Missing or invalid 'StrTm' in " << name << std::endl;
            continue;
        }
        for (uint64_t s : *starts) {
            const uint64_t sMs = toMs(s);
            if (s != 0 && sMs > now && sMs != kNever) futureStartTimes.push_back(sMs);
        }
    }
}

uint64_t ScheduleManager::getNextScheduleChange(int cls, uint64_t refTimeMs, const std::string& name,
                                                uint64_t startMs) {
    rapidjson::Document active = readJSON(cls, name);
    auto starts = schedulefile::startTimes(active);
    if (!starts) {
        if (lookAheadOutput) std::cout << "getNextScheduleChange -> Missing or invalid 'StrTm' in " << name << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "3Days: getNextScheduleChange -> Missing or invalid 'StrTm' in %s",
                   name.c_str());
        return refTimeMs;
    }

    // End of the running slot of the active schedule: the slot that covers
    // the reference time, else (a slot cannot be found) its first start time.
    uint64_t activeEnd = 0;
    if (auto span = slotSpanSec(active)) {
        auto start = coveringStart(*starts, *span, refTimeMs / 1000);
        if (!start) {
            auto first = std::find_if(starts->begin(), starts->end(), [](uint64_t s) { return s != 0; });
            if (first != starts->end()) start = *first;
        }
        if (start) activeEnd = toMs(addSaturating(*start, *span));
    }
    if (lookAheadOutput) {
        for (size_t i = 0; i < starts->size(); ++i) {
            if ((*starts)[i] != 0) std::cout << "Entry " << i << " is non-zero with value: " << (*starts)[i] << std::endl;
        }
    }

    // The earliest later start of a schedule that can take over.
    uint64_t nextStart = kNever;
    const int activePrio = schedulefile::getInt(active, "SchdPrio").value_or(0);
    for (const auto* list : {&schedulesNames12_Base_all, &schedulesNames12_Direct_all}) {
        for (const auto& candidate : *list) {
            rapidjson::Document doc = readJSON(cls, candidate);
            if (!doc.IsObject()) continue;
            const int candPrio = schedulefile::getInt(doc, "SchdPrio").value_or(0);
            if (candPrio < activePrio) continue;
            for (uint64_t s : schedulefile::startTimes(doc).value_or(std::vector<uint64_t>{})) {
                const uint64_t sMs = toMs(s);
                if (s != 0 && refTimeMs < sMs && sMs < nextStart) {
                    nextStart = sMs;
                    if (lookAheadOutput) std::cout << "2.2 new schedule: " << candidate << " in: " << hoursFromNow(sMs)
                                                   << std::endl;
                }
            }
        }
    }

    if (refTimeMs >= activeEnd || activeEnd >= nextStart) {
        if (lookAheadOutput) std::cout << "2.4 actual schedule is ending in: " << hoursFromNow(nextStart) << std::endl;
        activeEnd = nextStart;
    } else if (lookAheadOutput) {
        std::cout << "2.3 actual schedule is ending in: " << hoursFromNow(activeEnd) << std::endl;
    }
    return std::min(activeEnd, startMs + kWindowMs);
}

void ScheduleManager::emitScheduleSlots(int cls, const std::function<void(uint64_t, float)>& emit, uint64_t& t,
                                        const std::string& name, uint64_t end) {
    // One reading of the file serves the whole walk, so every emitted entry
    // comes from the same version of the schedule.
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cerr << "Invalid JSON for active schedule: " << name << std::endl;
        return;
    }
    const int intv = schedulefile::getInt(doc, "SchdIntv").value_or(0);
    if (intv <= 0) return;
    const uint64_t intvMs = toMs(static_cast<uint64_t>(intv));
    const rapidjson::Value* values = schedulefile::getArray(doc, "ValASG");
    const auto starts = schedulefile::startTimes(doc).value_or(std::vector<uint64_t>{});
    const auto span = slotSpanSec(doc);
    const auto slotStart = span ? coveringStart(starts, *span, t / 1000) : std::nullopt;

    int index = getValIndex(cls, name, t / 1000);
    while (t < end) {
        if (!values || index < 0 || static_cast<rapidjson::SizeType>(index) >= values->Size() ||
            !(*values)[static_cast<rapidjson::SizeType>(index)].IsNumber()) {
            std::cerr << "getVal -> Error: ValASG array is not valid or index is out of range." << std::endl;
            std::cout << "SM: index: " << index << " size: " << (values ? values->Size() : 0) << std::endl;
            return;
        }
        const auto multiplier = multiplierOf(doc);
        if (!multiplier) return;
        const float v = static_cast<float>((*values)[static_cast<rapidjson::SizeType>(index)].GetDouble());
        const float value = v * static_cast<float>(std::pow(10.0, *multiplier));
        // The map holds whole watts in 64 bits; anything else ends the walk.
        if (!std::isfinite(value) || value >= 9.2233720368547758e18f || value < -9.2233720368547758e18f) {
            std::cerr << "Limit of " << name << " entry " << index << " is out of range: " << value << std::endl;
            logMessage(&logLevel, LOG_DEBUG, "3Days: limit of %s entry %d is out of range", name.c_str(), index);
            return;
        }
        emit(t, value);
        ++index;
        // The next entry starts on its own boundary in the running slot.
        uint64_t next = kNever;
        if (slotStart && static_cast<uint64_t>(index) <= kNever / intvMs) {
            next = addSaturating(toMs(*slotStart), static_cast<uint64_t>(index) * intvMs);
        }
        if (next <= t) next = addSaturating(t, intvMs);
        t = std::min(next, end);
    }
}

bool ScheduleManager::checkIfRefTimeInScheduleInterval(int cls, const std::string& name, uint64_t refTimeMs,
                                                       bool verbose) {
    rapidjson::Document doc = readJSON(cls, name);
    if (!doc.IsObject()) {
        std::cout << "SM: checkIfRefTimeInScheduleInterval -> JSON is not valid" << std::endl;
        logMessage(&logLevel, LOG_DEBUG, "SM: 1.3 checkIfRefTimeInScheduleInterval -> JSON is not valid");
        return false;
    }
    auto starts = schedulefile::startTimes(doc);
    auto intv = schedulefile::getInt(doc, "SchdIntv");
    auto numEntr = schedulefile::getInt(doc, "NumEntr");
    if (!starts || !intv || !numEntr) {
        std::cout << "SM: Required fields missing in JSON." << std::endl;
        return false;
    }
    const uint64_t refSec = refTimeMs / 1000;
    const uint64_t span = static_cast<uint64_t>(static_cast<int64_t>(*intv) * *numEntr);
    logMessage(&logLevel, LOG_DEBUG,
               "SM: 1.3 checkIfRefTimeInScheduleInterval -> refTimeSec: %" PRIu64 ", SchdIntvSec: %d, NumEntr: %d, "
               "intervalSec: %" PRIu64,
               refSec, *intv, *numEntr, span);
    for (uint64_t s : *starts) {
        if (s == 0) continue;
        const uint64_t e = s + span;
        if (e < s) {
            std::cout << "SM: Time overflow detected." << std::endl;
            return false;
        }
        logMessage(&logLevel, LOG_DEBUG,
                   "SM: Checking interval -> startingTimeSec: %" PRIu64 ", intervalSec: %" PRIu64 ", refTimeSec: %" PRIu64,
                   s, span, refSec);
        if (s <= refSec && refSec < e) {
            logMessage(&logLevel, LOG_DEBUG, "SM: refTimeSec IS WITHIN interval -> [%" PRIu64 ", %" PRIu64 ")", s, e);
            return true;
        }
        logMessage(&logLevel, LOG_DEBUG, "SM: refTimeSec NOT in interval -> [%" PRIu64 ", %" PRIu64 ")", s, e);
    }
    logMessage(&logLevel, LOG_DEBUG,
               "SM: 1.3 checkIfRefTimeInScheduleInterval: Not within any time interval. refTimeSec = %" PRIu64, refSec);
    if (verbose) {
        std::cout << "SM: Not in time for any valid starting time." << std::endl;
        std::cout << "SM:   refTimeSec: " << refSec << std::endl;
    }
    return false;
}
