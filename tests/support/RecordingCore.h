#pragma once
// A recording double of the server core's seam for the interface tests: it
// records every write entry point, source change and resend, answers the
// read-backs from values the test sets, and keeps a listener registry the
// test can call like the schedule handling would.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "server/IecCore.h"

struct RecordedWrite {
    enum class Kind { PowerLimit, Lpc, Lpp, LpcWithStartTime };
    Kind kind = Kind::PowerLimit;
    std::string clsDevice;  // "CLS1" for Lpc, "CLS2" for Lpp
    uint64_t startTimeMs = 0;  // only for LpcWithStartTime
    int durationSeconds = 0;
    bool active = false;
    float limitW = 0.0f;
};

class RecordingCore : public IecCore {
public:
    RecordingCore() = default;

    // Settings of the double.
    bool debugMode = false;
    int nymeaTcpPort = 0;
    IedServer iedServer = nullptr;
    // What homeBalance answers.
    HomeBalance balance;
    // Result of the next write entry points.
    bool writeResult = true;

    // IecCore.
    bool isDebugMode() const override { return debugMode; }
    int getNymeaTcpPort() const override { return nymeaTcpPort; }
    bool writePowerLimitToIec61850(const std::string& clsDevice, int durationSeconds, bool active,
                                   float limitW) override;
    bool writeLpcToIec61850(int durationSeconds, bool active, float limitW) override;
    bool writeLppToIec61850(int durationSeconds, bool active, float limitW) override;
    bool writeLpcWithStartTimeToIec61850(uint64_t startTimeMs, int durationSeconds, const std::string& clsDevice,
                                         bool active, float limitW) override;
    float getActiveValue(int cls) override;
    int32_t getActiveMultiplier(int cls) override;
    std::string getActiveScheduleName(int cls) override;
    bool checkIfLPCisAlreadyDeactivated() override { return getActiveValue(1) == -1.0f; }
    bool checkIfLPPisAlreadyDeactivated() override { return getActiveValue(2) == -1.0f; }
    int64_t getTotalDuration() override { return -1; }
    // From the model of iedServer, as the core reads it.
    ActiveLimit readActiveLimit(int cls) const override { return readActiveLimitFromModel(iedServer, cls); }
    PowerLimitScheduleMap getScheduleData(int cls) override;
    void resendLpc() override;
    void setPowerLimitSource(const std::string& source) override;
    std::string getPowerLimitSource() const override;
    void registerCallback(const std::string& name, CallbackFunction listener) override;
    void unregisterCallback(const std::string& name) override;
    IedServer getIedServer() const override { return iedServer; }
    HomeBalance homeBalance() const override { return balance; }

    // What the test sets.
    void setActive(int cls, float value, int32_t multiplier = 0, const std::string& name = "EmpWCmd_FSCH030001");
    void setScheduleData(int cls, PowerLimitScheduleMap data);
    // Calls every registered listener with the CLS number, as the road would.
    void callListeners(int cls);

    // What was recorded.
    std::vector<RecordedWrite> writes() const;
    std::vector<std::string> sources() const;
    int resendCount() const;
    std::vector<std::string> listenerNames() const;
    void clear();
    // Waits until pred (called under the record's lock) holds; false on timeout.
    bool waitUntil(const std::function<bool(const RecordingCore&)>& pred,
                   std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
    // Waits until at least count writes were recorded.
    bool waitForWrites(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

    // Unlocked views for waitUntil predicates.
    const std::vector<RecordedWrite>& writesLocked() const { return writes_; }
    const std::vector<std::string>& sourcesLocked() const { return sources_; }
    int resendsLocked() const { return resends_; }

protected:
    // Hooks for doubles that record elsewhere too.
    virtual void onSource(const std::string&) {}
    virtual void onResend() {}

private:
    bool record(RecordedWrite write);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<RecordedWrite> writes_;
    std::vector<std::string> sources_;
    std::string source_;
    int resends_ = 0;
    std::map<int, float> activeValue_;
    std::map<int, int32_t> activeMultiplier_;
    std::map<int, std::string> activeName_;
    std::map<int, PowerLimitScheduleMap> scheduleData_;
    CallbackMap callbacks_;
};
