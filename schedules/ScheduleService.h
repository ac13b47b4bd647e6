#pragma once
// What the server core asks of schedule management. The daemon's
// IecScheduleHandling implements it; tests install a recording double.
// Every call runs on the caller's thread; the caller holds the road lock.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "iec61850/iec61850_server.h"
#include "foundation/Callbacks.h"

class ScheduleService {
public:
    virtual ~ScheduleService() = default;

    // Model -> schedule store. The store writes the schedule's file durably
    // at the evaluation of the CLS that follows in the same road
    // (updateSchedule). False when the store refused the schedule at once:
    // it is not applied.
    virtual bool sendIECValuesToScheduleManager(const std::string& node, int cls) = 0;
    // Re-evaluates a CLS, after writing what was handed over for it; calls
    // the listeners when its active value changed.
    virtual void updateSchedule(int cls) = 0;
    // False while the node's last hand-over is not held by the store: it was
    // refused, or its file could not be written (at any step, the syncs
    // included). What was in force then stays, in the store and in the model.
    virtual bool isStored(int cls, const std::string& node) const = 0;
    // Hands every schedule to the store again and calls the listeners for CLS1 and CLS2.
    virtual void updateStatesOfAllCls() = 0;
    virtual bool checkIfActualTimeInScheduleInterval(int cls, const std::string& node) = 0;
    virtual bool checkIfSlotIsInFuture(int cls, const std::string& node) = 0;
    // Resets the schedule in the model and in the store.
    virtual void deleteScheduleData(const std::string& clsName, const std::string& node) = 0;
    virtual std::vector<int> getClsWithActiveSchedule() const = 0;
    virtual std::vector<int> getClsWithFutureTimestamp() const = 0;
    virtual std::string getActiveScheduleName(int cls) const = 0;
    virtual float getActiveValue(int cls) const = 0;
    virtual int32_t getActiveMultiplier(int cls) const = 0;
    virtual int64_t getTotalDuration() = 0;
    // The limit schedule of a CLS (start time in ms -> limit in W).
    virtual std::map<uint64_t, int64_t> getScheduleData(int cls) = 0;
};

// Creates the process's one IecScheduleHandling on the server handle and the
// listener registry. Throws when the system bus cannot be reached.
std::shared_ptr<ScheduleService> createScheduleHandling(IedServer* server, CallbackMap* callbacks);
