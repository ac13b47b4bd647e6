// The daemon as a whole process with its home-side outputs on: an operated
// schedule reaches the bus, the CLS input log and the energy-management
// server with one value, and a server that never answers holds up nothing.
#include <filesystem>
#include <thread>

#include "tests/internal/BusClient.h"
#include "tests/internal/EmsServer.h"
#include "tests/server/ChildProcess.h"
#include "tests/server/DaemonFixture.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kSchedule = "EmpWCmd_FSCH030001";

class HomeOutputsProcessTest : public servertest::DaemonWithStandIn {
protected:
    HomeOutputsProcessTest() : DaemonWithStandIn("activate_intern_DBUS=true\nactivate_intern_JSONRPC=true\n") {}

    // The daemon in debug mode, its JSON-RPC calls going to port.
    std::unique_ptr<testsupport::ChildProcess> startDaemon(int jsonrpcPort) {
        // Debug mode reads "../etc/iec/config/JSONRPC.conf" from run/.
        workDir.writeFile("/etc/iec/config/JSONRPC.conf",
                          "jsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(jsonrpcPort) + "\n");
        return DaemonWithStandIn::startDaemon("daemon.log");
    }

    // Writes a one-entry schedule of CLS1 with limit W and multiplier 0.
    static bool writeSchedule(mmstest::MmsTestClient& client, float limit) {
        const std::string sp = std::string(kSchedule) + "$SP$";
        const uint64_t now = static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
                .count());
        ber::MmsValuePtr one(MmsValue_newIntegerFromInt32(1));
        ber::MmsValuePtr interval(MmsValue_newIntegerFromInt32(3600));
        ber::MmsValuePtr value(MmsValue_newFloat(limit));
        ber::MmsValuePtr zero(MmsValue_newIntegerFromInt32(0));
        ber::MmsValuePtr start(MmsValue_newUtcTimeByMsTime(now - 1000));
        return mmsreq::write(client, "CLS1", sp + "NumEntr$setVal", one.get()) &&
               mmsreq::write(client, "CLS1", sp + "SchdIntv$setVal", interval.get()) &&
               mmsreq::write(client, "CLS1", sp + "ValASG001$setMag$f", value.get()) &&
               mmsreq::write(client, "CLS1", std::string(kSchedule) + "$CF$ValASG001$units$multiplier", zero.get()) &&
               mmsreq::write(client, "CLS1", sp + "StrTm01$setTm", start.get());
    }

    static bool hasSignal(const std::vector<bustest::Signal>& all, const std::string& path, const std::string& text) {
        for (const auto& signal : all) {
            if (signal.path == path && signal.name + " " + signal.value == text) return true;
        }
        return false;
    }

};

TEST_F(HomeOutputsProcessTest, AnOperatedLimitReachesTheBusTheLogAndTheServerAlike) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(standInUp) << standIn->output();
    bustest::EmsServer ems;
    ASSERT_TRUE(ems.running());
    bustest::BusClient watcher;
    auto daemon = startDaemon(ems.port());
    ASSERT_TRUE(daemon->waitForOutput("Waiting for Clients...", 20s)) << daemon->output();

    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(mmsPort));
    ASSERT_TRUE(writeSchedule(client, 4200.0f));
    ASSERT_TRUE(mmsreq::operate(client, "CLS1", kSchedule, "EnaReq", true));

    // The limit, then "totw" of the same update.
    EXPECT_TRUE(watcher.waitFor([](const std::vector<bustest::Signal>& all) {
        bool limitSeen = false;
        for (const auto& signal : all) {
            if (signal.path == bustest::actPowPath(1) && signal.name + " " + signal.value == "AnOut_mxVal_f 4200") {
                limitSeen = true;
            }
            if (limitSeen && signal.path == bustest::mmxuPath(1) && signal.name == "totw") return true;
        }
        return false;
    }, 10s)) << daemon->output();
    EXPECT_TRUE(hasSignal(watcher.signals(), bustest::actPowPath(1), "AnOut1_units_multiplier 0"));

    const std::string request = R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[1,4200]})";
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    auto bodies = ems.bodies();
    while (std::find(bodies.begin(), bodies.end(), request) == bodies.end() &&
           std::chrono::steady_clock::now() < deadline) {
        ems.waitForBodies(bodies.size() + 1, 200ms);
        bodies = ems.bodies();
    }
    EXPECT_NE(std::find(bodies.begin(), bodies.end(), request), bodies.end()) << daemon->output();

    const std::string log = workDir.readFile("/data/cls-logs/cls-input.log");
    EXPECT_NE(log.find(" - (LPC): Power Limit: 4200 W\n------------------------\n"), std::string::npos) << log;
    EXPECT_TRUE(client.release());
    EXPECT_FALSE(daemon->waitExit(0ms).has_value()) << daemon->output();
}

TEST_F(HomeOutputsProcessTest, AServerThatNeverAnswersHoldsUpNeitherMmsNorTheBus) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(standInUp) << standIn->output();
    bustest::Blackhole blackhole;
    ASSERT_GT(blackhole.port(), 0);
    bustest::BusClient watcher;
    auto daemon = startDaemon(blackhole.port());
    ASSERT_TRUE(daemon->waitForOutput("Waiting for Clients...", 20s)) << daemon->output();
    // The start-up's first post is now waiting on the blackhole.
    ASSERT_TRUE(daemon->waitForOutput("InternalInterfaceJSONRPC -> Notify Tessera Server", 5s));

    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(mmsPort));
    ASSERT_TRUE(writeSchedule(client, 3100.0f));
    EXPECT_TRUE(mmsreq::operate(client, "CLS1", kSchedule, "EnaReq", true));
    EXPECT_TRUE(watcher.waitFor(
        [](const auto& all) { return hasSignal(all, bustest::actPowPath(1), "AnOut_mxVal_f 3100"); }, 5s))
        << daemon->output();
    EXPECT_TRUE(mmsreq::operate(client, "CLS1", kSchedule, "DsaReq", true));
    EXPECT_TRUE(watcher.waitFor(
        [](const auto& all) { return hasSignal(all, bustest::actPowPath(1), "AnOut_mxVal_f -1"); }, 5s));
    // No post has come back yet: the first one is still pending.
    EXPECT_EQ(daemon->countInOutput("InternalInterfaceJSONRPC -> Error sending values"), 0u) << daemon->output();
    EXPECT_EQ(daemon->countInOutput("Successfully sent values"), 0u);
    EXPECT_TRUE(client.release());
}

}  // namespace
