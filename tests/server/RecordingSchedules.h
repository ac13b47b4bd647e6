#pragma once
// A schedule-management double that records every call in order and answers
// the time questions from tables the test fills. Deliberately unguarded: the
// server core must serialise every call through the road lock.

#include <map>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "schedules/ScheduleService.h"

class RecordingSchedules : public ScheduleService {
public:
    struct Call {
        std::string what;
        std::string node;
        int cls = 0;
        std::thread::id thread;
    };

    std::vector<Call> calls;
    std::set<std::pair<int, std::string>> runningNow;  // (cls, node) inside a window
    std::set<std::pair<int, std::string>> startsLater;  // (cls, node) with a start time ahead
    std::vector<int> activeCls;
    std::vector<int> futureCls;
    float activeValue[5] = {-1, -1, -1, -1, -1};
    // Called from updateSchedule, like the listener walk of the real handling.
    std::function<void(int cls)> onUpdate;

    std::set<std::pair<int, std::string>> unstorable;  // (cls, node) the store does not take
    bool sendIECValuesToScheduleManager(const std::string& node, int cls) override {
        record("send", node, cls);
        return unstorable.count({cls, node}) == 0;
    }
    void updateSchedule(int cls) override {
        record("update", "", cls);
        if (onUpdate) onUpdate(cls);
    }
    bool isStored(int cls, const std::string& node) const override { return unstorable.count({cls, node}) == 0; }
    void updateStatesOfAllCls() override { record("updateAll", "", 0); }
    bool checkIfActualTimeInScheduleInterval(int cls, const std::string& node) override {
        return runningNow.count({cls, node}) != 0;
    }
    bool checkIfSlotIsInFuture(int cls, const std::string& node) override { return startsLater.count({cls, node}) != 0; }
    void deleteScheduleData(const std::string& clsName, const std::string& node) override {
        record("delete", node, clsName.empty() ? 0 : clsName.back() - '0');
    }
    std::vector<int> getClsWithActiveSchedule() const override { return activeCls; }
    std::vector<int> getClsWithFutureTimestamp() const override { return futureCls; }
    std::string getActiveScheduleName(int) const override { return "no_schedule_active"; }
    float getActiveValue(int cls) const override { return activeValue[cls]; }
    int32_t getActiveMultiplier(int) const override { return 0; }
    int64_t getTotalDuration() override { return -1; }
    std::map<uint64_t, int64_t> getScheduleData(int) override { return {}; }

    std::vector<std::string> summary() const {
        std::vector<std::string> out;
        for (const auto& c : calls) out.push_back(c.what + (c.node.empty() ? "" : " " + c.node) + " " + std::to_string(c.cls));
        return out;
    }

private:
    void record(const char* what, const std::string& node, int cls) {
        calls.push_back({what, node, cls, std::this_thread::get_id()});
    }
};
