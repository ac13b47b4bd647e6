#pragma once
// The bridge between the FSCH schedule nodes of the IEC 61850 model and the
// schedule store: it hands schedule nodes to the store, resets consumed
// nodes, evaluates the active schedule of a CLS, writes it back into the
// model ("ActPow_GGIO001.AnOut1", "ActSchdRef", schedule states and the
// current entry) and calls every registered listener after a change.
//
// Threads: every operation may run on any thread. The processing operations
// (hand-over, evaluation, the questions on the store) run inside the road:
// the caller holds the road lock (schedules/RoadLock.h), so one road runs at
// a time and listeners are called one after the other; they never take it
// themselves. The published state of each CLS (active name, value,
// multiplier) has a lock of its own and can be read at any time, also while
// a listener of the road is busy.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "iec61850/iec61850_server.h"
#include "schedules/ScheduleManager.h"
#include "schedules/ScheduleService.h"
#include "foundation/Callbacks.h"

class IecScheduleHandling : public ScheduleService {
public:
    // serverHandle: address of the process's server handle (read at each
    // use); registry: the listener registry of the server core. Opens and
    // closes a system-bus connection; throws sdbus::Error when the bus cannot
    // be reached.
    IecScheduleHandling(IedServer* serverHandle, CallbackMap* registry);
    IecScheduleHandling(const IecScheduleHandling&) = delete;
    IecScheduleHandling& operator=(const IecScheduleHandling&) = delete;

    // --- Model to store ------------------------------------------------------

    // Hands schedule node lnName of logical device "CLS<cls>" to the store,
    // which writes it durably at the evaluation of the CLS (updateSchedule)
    // that the caller runs next in the same road. False when the store
    // refused it at once; isStored tells after the write. A node the
    // store did not take (refused, or its file could not be written at any
    // step) leaves in force what the store held before, and the model's
    // node shows that again: its attributes as stored (EnaReq false when
    // nothing is stored) and its state as before the hand-over.
    bool sendIECValuesToScheduleManager(const std::string& lnName, int cls) override;
    bool isStored(int cls, const std::string& lnName) const override;
    // Resets the schedule node in the model and hands the reset node over.
    void deleteScheduleData(const std::string& ldName, const std::string& lnName) override;
    // Hands every schedule of CLS1..CLS4 over, re-evaluates CLS1 and CLS2 and
    // calls the listeners for both.
    void updateStatesOfAllCls() override;

    // --- Evaluation ------------------------------------------------------------

    // Writes the state of every enabled schedule of the CLS and of every one
    // disabled since its last evaluation, then evaluates it.
    void updateSchedule(int cls) override;
    bool checkScheduleState(const std::string& lnName, int cls);
    void updateActiveSchedule(int cls);
    void updateActSchdRef(int cls, const std::string& controllerNode);
    void updateActPowOutput(int cls);
    void callCallback(int cls);

    // --- Questions of the server core -----------------------------------------

    std::vector<int> getClsWithActiveSchedule() const override;
    std::vector<int> getClsWithFutureTimestamp() const override;
    std::string getActiveScheduleName(int cls) const override;
    float getActiveValue(int cls) const override;
    int32_t getActiveMultiplier(int cls) const override;
    bool checkIfActualTimeInScheduleInterval(int cls, const std::string& lnName) override;
    bool checkIfSlotIsInFuture(int cls, const std::string& lnName) override;
    int64_t getTotalDuration() override;
    PowerLimitSchedule getScheduleData(int cls) override;

    const std::string& getIcdVersion() const { return icdVersion; }
    const std::vector<std::string>& getAllSchedules() const { return allSchedules; }

private:
    static constexpr int kClsCount = 4;
    template <typename T>
    using PerCls = std::array<T, kClsCount + 1>;  // indexed by CLS number; element 0 unused

    struct Published {
        float value;
        int32_t multiplier;
    };
    // Entry, value and start times of the active schedule into the model.
    // nullopt when its value cannot be read: then nothing is published.
    std::optional<Published> update_ActualSchedule(int cls, const std::string& name);
    // The model state of a node before its first hand-over in a road.
    struct RememberedState {
        bool known;  // the node has SchdSt.stVal
        int32_t state;
        uint64_t timeMs;
    };
    // Hands the node to the store and records the outcome (see
    // sendIECValuesToScheduleManager); false when the store refused it at once.
    bool handOver(const std::string& ld, const std::string& lnName, int cls);
    bool storeNode(const std::string& ld, const std::string& lnName, int cls);
    // Remembers the node's model state unless this road already did.
    void rememberState(const std::string& ld, const std::string& lnName, int cls);
    // The store does not hold the node's hand-over: it counts as not stored
    // and the model shows what is in force (restoreNode, the state before).
    void markUnstored(const std::string& ld, const std::string& lnName, int cls, const RememberedState* before);
    // Writes the stored schedule's members back into the model's node;
    // EnaReq false when the store holds none.
    void restoreNode(const std::string& ld, const std::string& lnName, int cls);
    // Has the store write the CLS's hand-overs durably; a node whose write
    // failed counts as not stored. False when one did.
    bool syncHandedOver(int cls);
    // Ends the road's hand-overs of the CLS: each refused one counts as not
    // stored and the model shows what is in force; the nodes handed over,
    // with their state before.
    std::map<std::string, RememberedState> endHandOvers(int cls, const std::vector<std::string>& refused);
    // A road that fails (throws) before its hand-overs are written: the
    // store drops them, so none of them is written by a later road.
    void abandonHandOvers(int cls) noexcept;
    IedServer iedServer() const { return server ? *server : nullptr; }
    static bool validCls(int cls) { return cls >= 1 && cls <= kClsCount; }

    PerCls<int64_t> latestStartTime{};
    std::string icdVersion;
    std::vector<std::string> allSchedules;
    std::vector<std::string> schedulesOfCls;
    PerCls<std::vector<std::string>> enabledBefore;  // schedulesOfCls of the last evaluation of each CLS
    // Schedule nodes whose last hand-over the store did not take, per CLS.
    PerCls<std::set<std::string>> unstored;
    // Nodes handed over since the last write of their CLS's hand-overs, with
    // their model state before.
    PerCls<std::map<std::string, RememberedState>> awaitingCommit;
    PerCls<std::string> previousSchedule;
    PerCls<std::string> nameOfActiveSchedule;
    IedServer* server;
    uint32_t logLevel = 5;
    CallbackMap* callbacks;
    PerCls<float> previousValue;
    PerCls<int32_t> previousMultiplier{};
    PerCls<float> valMag;
    PerCls<int32_t> multiplier{};
    uint64_t outputTimestamp;  // ms since the epoch of the last AnOut1 output
    std::optional<std::chrono::steady_clock::time_point> lastActiveScheduleLog;

    // Guards the published state: nameOfActiveSchedule, valMag, multiplier,
    // latestStartTime.
    mutable std::mutex stateMutex;
};
