// The MGCP sender thread and the MGCP message built from its template.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "external/MgcpSender.h"

using json = nlohmann::json;
using namespace std::chrono_literals;
using SteadyClock = std::chrono::steady_clock;

namespace {

TEST(MgcpMessage, TemplateGetsTheSixteenObisStatesAndTheIds) {
    MgcpValues v;
    v.now = "2026-01-01T12:00:00.045Z";
    v.transactionId = "mgcp-1";
    v.hostName = "box-17";
    v.totalActivePower = 4300.5f;
    v.activePower = {1401.0f, 1402.0f, 1403.0f};
    v.current = {6.1f, 6.2f, 6.3f};
    v.voltage = {230.1f, 230.2f, 230.3f};
    v.controllableDemand = 2500.0f;
    const json templ = json::parse(R"({"type":"mgcp","states":"replaced","clsAvailability":{"note":"kept"}})");

    const json expected = json::parse(R"({
        "type": "mgcp",
        "creationDateTime": "2026-01-01T12:00:00.045Z",
        "timestamp": "2026-01-01T12:00:00.045Z",
        "transactionId": "mgcp-1",
        "gricConnectionPoint": "box-17",
        "clsAvailability": {"note": "kept", "controllableDemand": 2500.0, "controllableProduction": 0},
        "states": {
            "1-0: 16.7.0.255": 4300.5, "1-0: 36.7.0.255": 1401.0, "1-0: 56.7.0.255": 1402.0,
            "1-0: 76.7.0.255": 1403.0, "1-0: 31.7.0.255": 6.1, "1-0: 51.7.0.255": 6.2, "1-0: 71.7.0.255": 6.3,
            "1-0: 14.7.0.255": 0, "1-0: 32.7.0.255": 230.1, "1-0: 52.7.0.255": 230.2, "1-0: 72.7.0.255": 230.3,
            "1-0: 81.7.1.255": 0, "1-0: 81.7.2.255": 0, "1-0: 81.7.4.255": 0, "1-0: 81.7.15.255": 0,
            "1-0: 81.7.26.255": 0}
    })");
    const json built = buildMgcpMessage(templ, v);
    EXPECT_EQ(built, expected);
    EXPECT_EQ(built["states"].size(), 16u);
    // Whole numbers stay integers where the message says so; floats keep their shortest text.
    EXPECT_TRUE(built["states"]["1-0: 81.7.26.255"].is_number_integer());
    EXPECT_TRUE(built["clsAvailability"]["controllableProduction"].is_number_integer());
    EXPECT_NE(built.dump().find(R"("1-0: 32.7.0.255":230.1,)"), std::string::npos) << built.dump();
    // Keys come out in ascending byte order.
    EXPECT_EQ(built.dump().rfind(R"({"clsAvailability":{"controllableDemand":2500.0,)", 0), 0u) << built.dump();

    EXPECT_THROW(buildMgcpMessage(json::array(), v), json::exception);
    EXPECT_THROW(buildMgcpMessage(json::parse(R"({"clsAvailability":5})"), v), json::exception);
}

// Records every cycle: its transaction id and when it ran.
class CycleLog {
public:
    MgcpSender::Cycle cycle(const std::string& label, bool throws = false) {
        return [this, label, throws](const std::string& transactionId) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                entries_.push_back({label + ":" + transactionId, SteadyClock::now()});
            }
            changed_.notify_all();
            if (throws) throw std::runtime_error("template broken");
        };
    }
    bool waitFor(size_t count, std::chrono::milliseconds limit = 10s) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return entries_.size() >= count; });
    }
    std::vector<std::string> labels() const {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::string> result;
        for (const auto& e : entries_) result.push_back(e.label);
        return result;
    }
    std::chrono::duration<double> gap(size_t i) const {
        std::lock_guard<std::mutex> lock(mutex_);
        return entries_[i + 1].at - entries_[i].at;
    }

private:
    struct Entry {
        std::string label;
        SteadyClock::time_point at;
    };
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Entry> entries_;
};

TEST(MgcpSender, OneThreadKeepsTheFirstIdAndTakesANewIntervalAtOnce) {
    CycleLog log;
    MgcpSender sender;  // stopped before the log goes
    int owner = 0;
    sender.request(&owner, 3, "tx-1", log.cycle("first"));
    ASSERT_TRUE(log.waitFor(1));
    EXPECT_TRUE(sender.running());
    sender.request(&owner, 1, "tx-2", log.cycle("second"));
    EXPECT_EQ(sender.interval(), 1);
    ASSERT_TRUE(log.waitFor(3));

    EXPECT_EQ(log.labels(), (std::vector<std::string>{"first:tx-1", "first:tx-1", "first:tx-1"}));
    // The pause under way ended one new interval after the first message.
    EXPECT_GE(log.gap(0).count(), 0.95);
    EXPECT_LT(log.gap(0).count(), 2.5);
    EXPECT_GE(log.gap(1).count(), 0.95);

    const auto before = SteadyClock::now();
    sender.stop(&owner);
    EXPECT_LT(SteadyClock::now() - before, 1s);
    EXPECT_FALSE(sender.running());
}

// A sender parked on the longest interval an int holds serves a later 1-s
// request without waiting for the end of that pause.
TEST(MgcpSender, ANewRequestWakesAParkedSender) {
    CycleLog log;
    MgcpSender sender;
    int owner = 0;
    sender.request(&owner, 2147483647, "tx-1", log.cycle("first"));
    ASSERT_TRUE(log.waitFor(1));
    sender.request(&owner, 1, "tx-2", log.cycle("second"));
    EXPECT_TRUE(log.waitFor(3, 5s));
    sender.stop(&owner);
}

TEST(MgcpSender, FailingCycleDoesNotEndTheSenderAndOnlyItsOwnerStopsIt) {
    CycleLog log;
    CycleLog next;
    MgcpSender sender;  // stopped before the logs go
    int owner = 0;
    int stranger = 0;
    sender.request(&owner, 1, "tx-1", log.cycle("broken", true));
    ASSERT_TRUE(log.waitFor(2));
    sender.stop(&stranger);
    EXPECT_TRUE(sender.running());
    sender.stop(&owner);
    EXPECT_FALSE(sender.running());

    // A stopped sender starts afresh with the next request.
    sender.request(&stranger, 1, "tx-9", next.cycle("again"));
    ASSERT_TRUE(next.waitFor(1));
    EXPECT_EQ(next.labels().front(), "again:tx-9");
}

}  // namespace
