#include "server/SlotBook.h"

#include <syslog.h>

#include <iostream>

#include "foundation/Clock.h"
#include "foundation/Logging.h"
#include "server/ServerLog.h"
#include "foundation/SharedConstants.h"

void SlotBook::addPending(const Slot& slot) {
    std::lock_guard<std::mutex> lock(pendingSlotsMutex_);
    pendingSlots_.insert(slot);
}

void SlotBook::recordControl(const Slot& slot) {
    addPending(slot);
    {
        std::lock_guard<std::mutex> lock(justWrittenSlotsMutex_);
        justWrittenSlots_[slot] = Clock::get().steadyNow();
    }
    std::lock_guard<std::mutex> lock(filledSlotsMutex_);
    filledSlots_.insert(slot);
}

SlotSet SlotBook::takePending() {
    SlotSet batch;
    std::lock_guard<std::mutex> lock(pendingSlotsMutex_);
    batch.swap(pendingSlots_);
    return batch;
}

bool SlotBook::checkIfTheSlotIsJustWritten(const Slot& slot) {
    std::lock_guard<std::mutex> lock(justWrittenSlotsMutex_);
    const auto it = justWrittenSlots_.find(slot);
    if (it != justWrittenSlots_.end()) {
        if (Clock::get().steadyNow() - it->second < kJustWrittenFor) {
            logMessage(&serverLogLevel, LOG_INFO, "server: 2.1.3 checkIfTheSlotIsJustWritten - not expired yet");
            return true;
        }
        justWrittenSlots_.erase(it);
    }
    logMessage(&serverLogLevel, LOG_INFO, "server: 2.1.3 checkIfTheSlotIsJustWritten - can be deleted");
    return false;
}

bool SlotBook::checkIfTheSlotIsInPast(ScheduleService& schedules, const Slot& slot) {
    const auto& [node, clsName] = slot;
    const auto cls = clsNameToIndex.find(clsName);
    if (cls == clsNameToIndex.end()) {
        return true;
    }
    if (schedules.checkIfActualTimeInScheduleInterval(cls->second, node)) {
        schedules.updateSchedule(cls->second);
        return false;
    }
    if (!schedules.checkIfSlotIsInFuture(cls->second, node)) {
        std::cout << "2.1.1 check IfTheSlotIsInPast - in past" << std::endl;
        return true;
    }
    return false;
}

void SlotBook::deleteExpiredFilledSlots(ScheduleService& schedules) {
    std::lock_guard<std::mutex> lock(filledSlotsMutex_);
    for (auto it = filledSlots_.begin(); it != filledSlots_.end();) {
        const auto& [node, clsName] = *it;
        if (!checkIfTheSlotIsInPast(schedules, *it)) {
            std::cout << "slot is NOT in the past - not deleted" << std::endl;
            return;
        }
        if (checkIfTheSlotIsJustWritten(*it)) {
            std::cout << "slot is just written - not deleted" << std::endl;
            return;
        }
        schedules.deleteScheduleData(clsName, node);
        logMessage(&serverLogLevel, LOG_NOTICE, "server: 2.1 Filled Slot: Logical Node Name: %s, CLS Name: %s - is deleted",
                   node.c_str(), clsName.c_str());
        logMessage(&serverLogLevel, LOG_NOTICE, "server: 2.1 #######################");
        std::cout << "2.1 Filled Slot: Logical Node Name: " << node << ", CLS Name: " << clsName << " - is deleted"
                  << std::endl;
        it = filledSlots_.erase(it);
    }
}

SlotSet SlotBook::pending() const {
    std::lock_guard<std::mutex> lock(pendingSlotsMutex_);
    return pendingSlots_;
}

SlotSet SlotBook::filled() const {
    std::lock_guard<std::mutex> lock(filledSlotsMutex_);
    return filledSlots_;
}

bool SlotBook::isJustWrittenEntry(const Slot& slot) const {
    std::lock_guard<std::mutex> lock(justWrittenSlotsMutex_);
    return justWrittenSlots_.count(slot) != 0;
}

void SlotBook::clear() {
    {
        std::lock_guard<std::mutex> lock(pendingSlotsMutex_);
        pendingSlots_.clear();
    }
    std::lock_guard<std::mutex> filledLock(filledSlotsMutex_);
    filledSlots_.clear();
    std::lock_guard<std::mutex> justLock(justWrittenSlotsMutex_);
    justWrittenSlots_.clear();
}
