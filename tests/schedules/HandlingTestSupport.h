#pragma once
// Fixture of the schedule-handling tests: the real static model with the
// server created but not started, a private system bus, a fake clock, the
// handling object and a listener that records its calls.

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "model/StaticModel.h"
#include "schedules/IecScheduleHandling.h"
#include "schedules/RoadLock.h"
#include "schedules/ScheduleNode.h"
#include "tests/schedules/ScheduleTestSupport.h"
#include "tests/support/PrivateBus.h"

namespace scheduletest {

// Records every call with the CLS number.
class RecordingListener {
public:
    CallbackFunction function() {
        return [this](int cls) {
            std::lock_guard<std::mutex> lock(mutex_);
            calls_.push_back(cls);
        };
    }
    std::vector<int> calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    void clear() {
        std::lock_guard<std::mutex> lock(mutex_);
        calls_.clear();
    }

private:
    mutable std::mutex mutex_;
    std::vector<int> calls_;
};

class HandlingTest : public testsupport::IecTest {
protected:
    HandlingTest() : clock(std::make_shared<FakeClock>(kNowSec * 1000)) {
        Clock::setForTesting(clock);
        server = IedServer_create(getStaticIedModel());
    }
    ~HandlingTest() override {
        // A hand-over a test made without an evaluation is written here, so
        // that it stays out of the next test (the store lives as long as
        // the process).
        {
            RoadLock::Guard road;
            for (int cls = 1; cls <= 4; ++cls) scheduleManager->syncHandedOverFiles(cls);
        }
        handling.reset();
        IedServer_destroy(server);
        Clock::setForTesting(nullptr);
    }
    void SetUp() override {
        ASSERT_TRUE(bus.running());
        ASSERT_NE(server, nullptr);
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=info\n");
        callbacks["recorder"] = listener.function();
        handling = std::make_unique<IecScheduleHandling>(&server, &callbacks);
    }

    ScheduleNode node(int cls, const std::string& ln) const { return ScheduleNode(server, "CLS" + std::to_string(cls), ln); }

    // Writes a schedule into the model: entries, interval, start times (seconds), enable request.
    void writeSchedule(int cls, const std::string& ln, const std::vector<float>& values, int interval,
                       const std::vector<uint64_t>& startSec, bool enable, int multiplier = 0) const {
        ScheduleNode n = node(cls, ln);
        n.setInt32(n.attr("NumEntr", "setVal"), static_cast<int32_t>(values.size()));
        n.setInt32(n.attr("SchdIntv", "setVal"), interval);
        for (size_t i = 0; i < values.size(); ++i) {
            n.setReal(n.sub(entryObjectName("ValASG", static_cast<int>(i) + 1, 3), "setMag", "f"), values[i]);
        }
        n.setInt32(n.sub("ValASG001", "units", "multiplier"), multiplier);
        for (size_t i = 0; i < startSec.size(); ++i) {
            n.setTimestamp(n.attr(entryObjectName("StrTm", static_cast<int>(i) + 1, 2), "setTm"), startSec[i] * 1000);
        }
        n.setBoolean(n.attr("EnaReq", "stVal"), enable);
        n.setBoolean(n.attr("DsaReq", "stVal"), !enable);
    }

    // Holds the road for one full expression: road()->updateSchedule(1).
    class OnRoad {
    public:
        explicit OnRoad(IecScheduleHandling& handling) : handling_(handling) {}
        IecScheduleHandling* operator->() const { return &handling_; }

    private:
        RoadLock::Guard road_;
        IecScheduleHandling& handling_;
    };
    OnRoad road() const { return OnRoad(*handling); }

    // The road of one slot: hand-over, then evaluation.
    void process(int cls, const std::string& ln) {
        RoadLock::Guard road;
        processInRoad(cls, ln);
    }
    // The same with the road already held by the caller.
    void processInRoad(int cls, const std::string& ln) {
        handling->sendIECValuesToScheduleManager(ln, cls);
        handling->updateSchedule(cls);
    }

    bool storedExistsFor(int cls, const std::string& ln) const {
        return std::filesystem::exists(workDir.path() / schedulefile::path(cls, ln));
    }

    float anOut1(int cls) const {
        ScheduleNode n = node(cls, "ActPow_GGIO001");
        return n.real(n.sub("AnOut1", "mxVal", "f"));
    }
    int32_t anOut1Multiplier(int cls) const {
        ScheduleNode n = node(cls, "ActPow_GGIO001");
        return n.int32(n.sub("AnOut1", "units", "multiplier"));
    }

    testsupport::PrivateSystemBus bus;
    std::shared_ptr<FakeClock> clock;
    IedServer server = nullptr;
    CallbackMap callbacks;
    RecordingListener listener;
    std::unique_ptr<IecScheduleHandling> handling;
};

}  // namespace scheduletest
