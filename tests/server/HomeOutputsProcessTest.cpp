// The daemon as a whole process with its home-side outputs on: an operated
// schedule reaches the bus, the CLS input log and the energy-management
// server with one value, and a server that never answers holds up nothing.
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

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
        MmsValuePtr one(MmsValue_newIntegerFromInt32(1));
        MmsValuePtr interval(MmsValue_newIntegerFromInt32(3600));
        MmsValuePtr value(MmsValue_newFloat(limit));
        MmsValuePtr zero(MmsValue_newIntegerFromInt32(0));
        MmsValuePtr start(MmsValue_newUtcTimeByMsTime(now - 1000));
        return mmsreq::write(client, "CLS1", sp + "NumEntr$setVal", one.get()) &&
               mmsreq::write(client, "CLS1", sp + "SchdIntv$setVal", interval.get()) &&
               mmsreq::write(client, "CLS1", sp + "ValASG001$setMag$f", value.get()) &&
               mmsreq::write(client, "CLS1", std::string(kSchedule) + "$CF$ValASG001$units$multiplier", zero.get()) &&
               mmsreq::write(client, "CLS1", sp + "StrTm01$setTm", start.get());
    }

    // The daemon as startDaemon starts it, once it waits for clients; null
    // (with a failure) when the bus, the stand-in or the daemon did not come up.
    std::unique_ptr<testsupport::ChildProcess> daemonUp(int jsonrpcPort) {
        if (!bus.running() || !standInUp) {
            ADD_FAILURE() << "no bus or no stand-in: " << standIn->output();
            return nullptr;
        }
        auto daemon = startDaemon(jsonrpcPort);
        if (!daemon->waitForOutput("Waiting for Clients...", 20s)) {
            ADD_FAILURE() << daemon->output();
            return nullptr;
        }
        return daemon;
    }

    // Waits until the energy-management server got this body.
    static bool awaitPost(bustest::EmsServer& ems, const std::string& request) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        auto bodies = ems.bodies();
        while (std::find(bodies.begin(), bodies.end(), request) == bodies.end() &&
               std::chrono::steady_clock::now() < deadline) {
            ems.waitForBodies(bodies.size() + 1, 200ms);
            bodies = ems.bodies();
        }
        return std::find(bodies.begin(), bodies.end(), request) != bodies.end();
    }

    static bool hasSignal(const std::vector<bustest::Signal>& all, const std::string& path, const std::string& text) {
        for (const auto& signal : all) {
            if (signal.path == path && signal.name + " " + signal.value == text) return true;
        }
        return false;
    }

};

TEST_F(HomeOutputsProcessTest, AnOperatedLimitReachesTheBusTheLogAndTheServerAlike) {
    bustest::EmsServer ems;
    ASSERT_TRUE(ems.running());
    bustest::BusClient watcher;
    auto daemon = daemonUp(ems.port());
    ASSERT_TRUE(daemon);

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

    EXPECT_TRUE(awaitPost(ems, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[1,4200]})"))
        << daemon->output();

    const std::string log = workDir.readFile("/data/cls-logs/cls-input.log");
    EXPECT_NE(log.find(" - (LPC): Power Limit: 4200 W\n------------------------\n"), std::string::npos) << log;
    EXPECT_TRUE(client.release());
    EXPECT_FALSE(daemon->waitExit(0ms).has_value()) << daemon->output();
}

// The names of a process's threads as ps -L, top -H and gdb show them.
std::multiset<std::string> threadNames(pid_t pid) {
    std::multiset<std::string> names;
    std::error_code error;
    for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
        std::ifstream comm(task.path() / "comm");
        std::string name;
        if (std::getline(comm, name)) names.insert(name);
    }
    return names;
}

// Each thread of the daemon carries the name of its job; the main thread
// alone keeps the process's name. Beside the home platform's listener, the
// bus loop and the JSON-RPC sender runs the thread of the power-limit
// source the platform names: the relay polling, then the EEBUS limits.
TEST_F(HomeOutputsProcessTest, EachThreadOfTheDaemonIsNamedAfterItsJob) {
    bustest::EmsServer ems;
    ASSERT_TRUE(ems.running());
    auto daemon = daemonUp(ems.port());
    ASSERT_TRUE(daemon);
    const struct {
        const char* standInCommand;  // nullptr: the source of the start-up ("relais")
        const char* sourceThread;
    } sources[] = {{nullptr, "relay-poll"}, {"event eebus\n", "eebus-limits"}};
    for (const auto& source : sources) {
        if (source.standInCommand != nullptr) {
            ASSERT_TRUE(standIn->writeInput(source.standInCommand));
        }
        const std::multiset<std::string> expected = {"iec-server", "nymea-listener", "dbus-loop", "jsonrpc-sender",
                                                     source.sourceThread};
        std::multiset<std::string> names;
        testsupport::eventually([&] {
            names = threadNames(daemon->pid());
            return names == expected;
        });
        std::string seen;
        for (const std::string& name : names) seen += " " + name;
        EXPECT_EQ(names, expected) << source.sourceThread << "; threads:" << seen << "\n" << daemon->output();
    }
    std::ifstream mainComm("/proc/" + std::to_string(daemon->pid()) + "/comm");
    std::string mainName;
    std::getline(mainComm, mainName);
    EXPECT_EQ(mainName, "iec-server");
    EXPECT_FALSE(daemon->waitExit(0ms).has_value()) << daemon->output();
}

// The lines of README.md's indented code block between "<!-- test: NAME -->"
// and "<!-- /test: NAME -->", without their indentation; empty when absent.
std::string readmeBlock(const std::string& name) {
    std::ifstream in(IEC_README);
    std::string line, block;
    bool inside = false;
    while (std::getline(in, line)) {
        if (line == "<!-- test: " + name + " -->") {
            inside = true;
        } else if (line == "<!-- /test: " + name + " -->") {
            return block;
        } else if (inside && line.rfind("    ", 0) == 0) {
            block += line.substr(4) + "\n";
        }
    }
    return "";
}

// The README's first operate, run as a newcomer types it (the client's path
// and port put in) against a fresh daemon, whose schedules start with the
// units multiplier of the model: the home side gets the 4200 W the README
// names, on the bus, in the CLS input log and in the post.
TEST_F(HomeOutputsProcessTest, TheReadmesFirstOperateGivesTheHomeSideTheWattsItNames) {
    std::string script = readmeBlock("first-operate");
    ASSERT_NE(script.find("operate CLS1 EmpWCmd_FSCH030001 EnaReq true"), std::string::npos) << script;
    const std::string path = "build/run/tools/mms-client/mms-client";
    const size_t at = script.find(path);
    ASSERT_NE(at, std::string::npos) << script;
    script.replace(at, path.size(), '\'' + std::string(MMS_CLIENT_BINARY) + " -p " + std::to_string(mmsPort) + '\'');

    bustest::EmsServer ems;
    ASSERT_TRUE(ems.running());
    bustest::BusClient watcher;
    auto daemon = daemonUp(ems.port());
    ASSERT_TRUE(daemon);

    testsupport::ChildProcess shell({"/bin/bash", "-euc", script}, workDir.path(), {}, workDir.path() / "readme.log");
    ASSERT_EQ(shell.waitExit(30s), 0) << script << shell.output();

    EXPECT_TRUE(awaitPost(ems, R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[1,4200]})"))
        << ems.bodies().size() << " posts\n" << daemon->output();
    EXPECT_TRUE(watcher.waitFor([](const auto& all) {
        return hasSignal(all, bustest::actPowPath(1), "AnOut_mxVal_f 4200") &&
               hasSignal(all, bustest::actPowPath(1), "AnOut1_units_multiplier 0");
    }, 10s));
    const std::string line = " - (LPC): Power Limit: 4200 W\n";
    std::string log;
    testsupport::eventually([&] {
        log = workDir.readFile("/data/cls-logs/cls-input.log");
        return log.find(line) != std::string::npos;
    }, 5s);
    EXPECT_NE(log.find(line), std::string::npos) << log;
    EXPECT_FALSE(daemon->waitExit(0ms).has_value()) << daemon->output();
}

TEST_F(HomeOutputsProcessTest, AServerThatNeverAnswersHoldsUpNeitherMmsNorTheBus) {
    bustest::Blackhole blackhole;
    ASSERT_GT(blackhole.port(), 0);
    bustest::BusClient watcher;
    auto daemon = daemonUp(blackhole.port());
    ASSERT_TRUE(daemon);
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
