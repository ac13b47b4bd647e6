#pragma once
// The bookkeeping of written schedules ("slots"): the pending slots that wait
// for processing, and the slots written by MMS controls (filled, with the time
// of their last control) that the periodic cleanup resets once they are over.

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>

#include "schedules/ScheduleService.h"

// (schedule logical-node name, CLS logical-device name); ordered by node, then CLS, bytewise.
using Slot = std::pair<std::string, std::string>;
using SlotSet = std::set<Slot>;

struct SlotHash {
    size_t operator()(const Slot& slot) const {
        return std::hash<std::string>{}(slot.first) ^ std::hash<std::string>{}(slot.second);
    }
};

class SlotBook {
public:
    // A control is kept from the cleanup for this long after it was operated.
    static constexpr std::chrono::seconds kJustWrittenFor{30};

    // Marks a slot as waiting for processing.
    void addPending(const Slot& slot);
    // Records a slot written by an MMS control: pending, just written (now) and filled.
    void recordControl(const Slot& slot);
    // Takes the whole pending set out (empty afterwards).
    SlotSet takePending();

    // True while the slot's last control is younger than kJustWrittenFor;
    // an expired entry is erased.
    bool checkIfTheSlotIsJustWritten(const Slot& slot);
    // True when the schedule neither runs now nor starts later (re-evaluates
    // the CLS when it runs now). An unknown CLS name counts as in the past.
    static bool checkIfTheSlotIsInPast(ScheduleService& schedules, const Slot& slot);
    // Walks the filled slots in order, resets and drops each one that is in the
    // past and no longer just written; stops at the first slot it keeps.
    void deleteExpiredFilledSlots(ScheduleService& schedules);

    // Views for tests and diagnostics.
    SlotSet pending() const;
    SlotSet filled() const;
    bool isJustWrittenEntry(const Slot& slot) const;
    void clear();

private:
    mutable std::mutex pendingSlotsMutex_;
    SlotSet pendingSlots_;
    mutable std::mutex justWrittenSlotsMutex_;
    std::unordered_map<Slot, std::chrono::steady_clock::time_point, SlotHash> justWrittenSlots_;
    mutable std::mutex filledSlotsMutex_;
    SlotSet filledSlots_;
};
