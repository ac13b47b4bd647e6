#pragma once
// The roads into the box, each driven through its own protocol, and the
// record of every accepted command in the checker's model: MMS schedule
// writes with EnaReq/DsaReq operates, CLSEEDI control messages, and the
// power-limit source with what its interface writes (EEBUS control box,
// relay contacts).

#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "tests/mms/MmsTestClient.h"
#include "tests/system/LimitModel.h"
#include "tests/system/SystemUnderTest.h"

namespace testsupport {
class MqttTestClient;
}

namespace systest {

// The model, shared by the threads of a burst.
class SharedModel {
public:
    void record(const std::string& client, int cls, const std::string& node, const ScheduleContent& content) {
        std::lock_guard<std::mutex> lock(mutex_);
        model_.record(client, cls, node, content);
    }
    void barrier() {
        std::lock_guard<std::mutex> lock(mutex_);
        model_.barrier();
    }
    LimitModel snapshot() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return model_;
    }
    void replace(LimitModel model) {
        std::lock_guard<std::mutex> lock(mutex_);
        model_ = std::move(model);
    }

private:
    mutable std::mutex mutex_;
    LimitModel model_;
};

// One MMS client of the grid operator.
class MmsRoad {
public:
    MmsRoad(std::string name, int port);
    bool connected() const { return connected_; }
    // Writes the node's settings, then operates EnaReq (enabled) or DsaReq.
    bool send(int cls, const std::string& node, const ScheduleContent& content, SharedModel& model);
    // What the last failed send could not do.
    const std::string& failure() const { return failure_; }

private:
    std::string name_;
    std::string failure_;
    mmstest::MmsTestClient client_;
    bool connected_ = false;
};

// One CLSEEDI platform client: control messages, each acknowledged.
class ClseediRoad {
public:
    ClseediRoad(std::string name, SystemUnderTest& system);
    ~ClseediRoad();
    bool connected() const;
    // A consumption (cls 1) or production (cls 2) limit; waits for its ACK.
    // The model gets what the gateway hands the core.
    bool send(int cls, int64_t watts, bool active, int durationSeconds, SharedModel& model);
    size_t acknowledged() const { return acks_; }
    const std::string& failure() const { return failure_; }

private:
    std::string name_;
    std::string failure_;
    SystemUnderTest& system_;
    std::unique_ptr<testsupport::MqttTestClient> client_;
    size_t sent_ = 0;
    size_t acks_ = 0;
};

// One MoreVale platform client (mutual TLS): LPC messages with execution
// times, each acknowledged.
class MoreValeRoad {
public:
    MoreValeRoad(std::string name, SystemUnderTest& system);
    ~MoreValeRoad();
    bool connected() const { return client_ != nullptr; }
    // A consumption limit of CLS1 in kW from startMs for durationSeconds; waits for its ACK.
    bool send(double kW, uint64_t startMs, int durationSeconds, SharedModel& model);
    const std::string& failure() const { return failure_; }

private:
    std::string name_;
    std::string failure_;
    std::unique_ptr<testsupport::MqttTestClient> client_;
    size_t sent_ = 0;
};

// The power-limit source as the home platform and the relay contacts set it.
struct SourceState {
    std::string source = "eebus";
    std::string consumption = "unlimited";  // control-box limitation states
    std::string production = "unlimited";
    int maxConsumption = 4200;
    int maxProduction = 0;
    bool relayLpc = false;   // line 12
    bool relayLpp30 = false;  // line 14 (30 % of the PV peak)
};

// Records in the model what the source interface writes for state: a source
// change clears both limits first.
void recordSource(const SourceState& state, bool switched, SharedModel& model);

// A random schedule for a burst: a base schedule running now or starting
// within seconds, or a direct command, enabled or not.
ScheduleContent randomSchedule(std::mt19937& random, const std::string& node, int64_t nowSeconds);

}  // namespace systest
