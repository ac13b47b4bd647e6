// The main loop's periodic tasks with a fake clock, and the connection
// handler's syslog lines over a real MMS connection.
#include <syslog.h>

#include <thread>

#include "foundation/Clock.h"
#include "server/ServerLog.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/server/ServerFixture.h"

namespace {

using namespace std::chrono_literals;
using servertest::ServerCoreTest;

class MainLoopTest : public ServerCoreTest {
protected:
    MainLoopTest() { Clock::setForTesting(clock); }
    ~MainLoopTest() override { Clock::setForTesting(nullptr); }

    // Advances the clock, runs one pass, returns what schedule management was asked.
    std::vector<std::string> pass(uint64_t advanceMs) {
        schedules->calls.clear();
        clock->advanceMs(advanceMs);
        server.runMainLoopPass(0);
        return schedules->summary();
    }

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    IecServer server;
};

TEST_F(MainLoopTest, PeriodsFollowTheMode) {
    struct Mode {
        bool debug;
        uint64_t processing;
        uint64_t cleanup;
    };
    for (const Mode mode : {Mode{true, 1000, 5000}, Mode{false, 5000, 10000}}) {
        server.debugMode = mode.debug;
        schedules->calls.clear();
        schedules->activeCls = {2};
        IecServer::slots().recordControl({"EmpWCmd_FSCH030001", "CLS1"});
        clock->advanceMs(40000);  // the control is old enough to be reset at the first cleanup
        server.startMainLoop();
        EXPECT_EQ(schedules->summary(), (std::vector<std::string>{"updateAll 0"})) << mode.debug;
        // The control handler's own processing run took the pending slot.
        IecServer::slots().takePending();
        EXPECT_TRUE(pass(mode.processing - 1).empty()) << mode.debug;
        EXPECT_EQ(pass(1), std::vector<std::string>{"update 2"}) << mode.debug;
        uint64_t elapsed = mode.processing;
        while (elapsed + mode.processing < mode.cleanup) {
            pass(mode.processing);
            elapsed += mode.processing;
        }
        EXPECT_EQ(pass(mode.cleanup - elapsed),
                  (std::vector<std::string>{"update 2", "delete EmpWCmd_FSCH030001 1"}))
            << mode.debug;
        EXPECT_TRUE(syslog.contains(LOG_NOTICE, "server: Waiting for Clients..."));
        IecServer::slots().clear();
    }
}

TEST_F(MainLoopTest, AFutureStartIsReevaluatedUntilOnePassAfterItArrived) {
    server.debugMode = true;
    server.startMainLoop();
    schedules->futureCls = {3};
    EXPECT_TRUE(pass(1000).empty());                                   // flagged
    EXPECT_EQ(pass(1000), std::vector<std::string>{"update 3"});       // re-evaluated while ahead
    schedules->futureCls.clear();
    EXPECT_EQ(pass(1000), std::vector<std::string>{"update 3"});       // once more after it arrived
    EXPECT_TRUE(pass(1000).empty());                                   // flags cleared
    schedules->startsLater.insert({1, "EmpWCmd_FSCH030001"});
    EXPECT_EQ(pass(1000), std::vector<std::string>{"update 1"});       // the LPC schedule starts later
}

TEST_F(ServerCoreTest, ConnectionLinesFollowTheThreshold) {
    const uint32_t threshold = serverLogLevel;
    for (const uint32_t level : {5u, 4u}) {
        serverLogLevel = level;
        syslog.clear();
        std::string peer;
        {
            mmstest::ServerLoop loop(iedServer);
            mmstest::MmsTestClient client;
            testing::internal::CaptureStdout();
            ASSERT_TRUE(client.associate(servertest::startedServer().config.iec61850TcpPort));
            peer = "127.0.0.1:" + std::to_string(client.localPort());
            client.release();
            client.close();
            for (int i = 0; i < 200 && !syslog.contains(LOG_WARNING, "server: Connection closed: " + peer); ++i) {
                std::this_thread::sleep_for(10ms);
            }
            testing::internal::GetCapturedStdout();
        }
        std::vector<std::pair<int, std::string>> lines;
        for (const auto& r : syslog.records()) {
            if (r.text.rfind("server: Connection", 0) == 0) lines.emplace_back(r.priority, r.text);
        }
        ASSERT_EQ(lines.size(), level == 5 ? 3u : 2u) << level;
        size_t i = 0;
        if (level == 5) {
            EXPECT_EQ(lines[i++], std::make_pair(LOG_NOTICE, "server: Connection opened: " + peer));
        }
        EXPECT_EQ(lines[i].first, LOG_WARNING);
        EXPECT_EQ(lines[i++].second.rfind("server: Connection closed at: ", 0), 0u);
        EXPECT_EQ(lines[i], std::make_pair(LOG_WARNING, "server: Connection closed: " + peer));
    }
    serverLogLevel = threshold;
}

}  // namespace
