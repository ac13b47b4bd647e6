// The home-platform connection against the stand-in on a loopback port.

#include <syslog.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "internal/InternalInterfaceNymea.h"
#include "tests/nymea/RecordingIecServer.h"
#include "tests/nymea/ShortTimings.h"
#include "tests/nymea/StandIn.h"
#include "tests/support/Bounded.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using Requests = std::vector<StandIn::Request>;

namespace {

using testsupport::runOrAbort;

constexpr const char* kHello = R"({"id":0,"method":"JSONRPC.Hello","params":{"locale":"de_DE"}})";
constexpr const char* kSubscribe =
    R"({"id":2,"method":"JSONRPC.SetNotificationStatus","params":{"enabled":true,"namespaces":["gridsupport"]}})";
constexpr const char* kResubscribe =
    R"({"id":1,"method":"JSONRPC.SetNotificationStatus","params":{"enabled":true,"namespaces":["gridsupport"]}})";
constexpr const char* kGetThings = R"({"id":100,"method":"Integrations.GetThings"})";


std::vector<std::string> lines(const Requests& requests) {
    std::vector<std::string> result;
    for (const auto& r : requests) result.push_back(r.line);
    return result;
}

class NymeaTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level = debug\n");
        ServerRecord::instance().reset();
        port = testsupport::freeLoopbackPort();
        ASSERT_GT(port, 0);
    }

    void TearDown() override { destroy(); }

    void startStandIn(const std::vector<std::string>& args = {}) {
        standIn = std::make_unique<StandIn>(port, args);
        ASSERT_TRUE(standIn->listening());
    }

    void construct(const NymeaTimings& timings = shortTimings()) {
        runOrAbort("construction", [&] { nymea = std::make_unique<InternalInterfaceNymea>(server, port, timings); });
    }

    void destroy() {
        runOrAbort("destruction", [&] { nymea.reset(); });
    }

    // Sends an event the interface hands on and waits until it arrived, so
    // everything the stand-in sent before it has been handled.
    void sync(const std::string& marker) {
        size_t before = ServerRecord::instance().sources().size();
        ASSERT_TRUE(standIn->command("event " + marker));
        ASSERT_TRUE(ServerRecord::instance().waitForSource(marker, before));
    }

    // Log lines written on the listener thread come a moment after what it handed on.
    bool waitForLog(int priority, const std::string& text) {
        for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
            if (syslog.contains(priority, text)) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    int port = 0;
    RecordingIecServer server;
    std::unique_ptr<StandIn> standIn;
    std::unique_ptr<InternalInterfaceNymea> nymea;
};

TEST_F(NymeaTest, StartUpSendsExactHelloSubscriptionAndQueryInOrder) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "eebus"}));
    construct();

    EXPECT_TRUE(nymea->isConnected());
    // The probe connection carries nothing; the real one carries exactly these lines.
    EXPECT_EQ(lines(standIn->requestsOfHello(1, 3)), (std::vector<std::string>{kHello, kSubscribe, kGetThings}));
    EXPECT_EQ(ServerRecord::instance().sources(), std::vector<std::string>{"eebus"});
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "Nymea: Port: " + std::to_string(port) + " is reachable"));
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "Nymea: Grid Support Source is ready: eebus"));
    EXPECT_TRUE(syslog.contains(LOG_DEBUG, std::string("Nymea: Sent JSON RPC request: ") + kHello + "\n"));
    EXPECT_EQ(ServerRecord::instance().resendCount(), 0);
}

TEST_F(NymeaTest, NotificationCrossingAResponseIsNotLost) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "relais", "--preface", "eebus"}));
    construct();
    // The change arrives first, then the answer that was already under way.
    EXPECT_EQ(ServerRecord::instance().sources(), (std::vector<std::string>{"eebus", "relais"}));
}

struct SourceCase {
    const char* name;
    std::vector<std::string> args;
    std::vector<std::string> recorded;  // setPowerLimitSource calls during start-up
    bool ready;                         // start-up ends with a source
    const char* logged;                 // a line the answer must produce ("" for none)
};

void PrintTo(const SourceCase& c, std::ostream* os) { *os << c.name; }

class NymeaSourceTest : public NymeaTest, public ::testing::WithParamInterface<SourceCase> {};

TEST_P(NymeaSourceTest, StartUpAnswerAndBackgroundQueries) {
    const SourceCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startStandIn(c.args));
    construct();

    EXPECT_EQ(ServerRecord::instance().sources(), c.recorded);
    EXPECT_EQ(syslog.contains(LOG_NOTICE, std::string("Nymea: Grid Support Source is ready: ") + (c.ready ? c.recorded.back() : "")),
              c.ready);
    // No usable source: three queries 10 s apart (short here), then the constructor goes on.
    EXPECT_EQ(syslog.count("Nymea: Waiting 10 seconds before retrying to get the gridSupport plim source ..."),
              c.ready ? 0u : 2u);
    EXPECT_EQ(syslog.contains("Nymea: No Grid Support Source after 3 queries. Going on without a source; asking "
                              "again in the background."),
              !c.ready);
    if (*c.logged) {
        EXPECT_TRUE(syslog.contains(c.logged)) << c.logged;
    }
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "Nymea: InternalInterfaceNymea initialized. Now we are still listening for events"));
    if (c.ready) return;

    // The listener thread keeps asking until the platform names a source.
    size_t before = ServerRecord::instance().sources().size();
    ASSERT_TRUE(standIn->command("things normal"));
    ASSERT_TRUE(standIn->command("source relais"));
    ASSERT_TRUE(ServerRecord::instance().waitForSource("relais", before));
    EXPECT_TRUE(waitForLog(LOG_NOTICE, "Nymea: Grid Support Source is ready: relais"));
}

const std::vector<std::string> kNoneThrice = {"none", "none", "none"};

INSTANTIATE_TEST_SUITE_P(
    Answers, NymeaSourceTest,
    ::testing::Values(
        SourceCase{"eebus", {"--source", "eebus"}, {"eebus"}, true, "Nymea: Found the Grid Support Source: eebus"},
        SourceCase{"relais", {"--source", "relais"}, {"relais"}, true, "Nymea: Found the Grid Support Source: relais"},
        SourceCase{"number", {"--source-json", "5"}, {}, false,
                   "Nymea: Grid Support Source not found in settings of gridsupport thing."},
        SourceCase{"none", {"--source", "none"}, kNoneThrice, false, "Nymea: Found the Grid Support Source: none"},
        SourceCase{"noThing", {"--things", "none"}, {}, false, ""},
        SourceCase{"malformed", {"--things", "garbage"}, {}, false,
                   "Nymea: No response received from Integrations.GetThings"},
        SourceCase{"wrongShape", {"--things", "bad-params"}, {}, false,
                   "Nymea: Invalid response for Integrations.GetThings"},
        SourceCase{"noAnswer", {"--things", "ignore"}, {}, false, "Nymea: Timeout did not receive response with id 100"}),
    [](const ::testing::TestParamInfo<SourceCase>& info) { return std::string(info.param.name); });

// An answer goes through the same check as a notification: the source in a
// GetThings answer with a NUL byte and junk behind it on its line is not
// taken (the parser would have stopped at the NUL); the next good answer is.
TEST_F(NymeaTest, AnAnswerWithANulAndJunkOnItsLineIsRefusedAndTheNextAnswerIsApplied) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "relais", "--things", "nul-junk"}));
    construct();

    // The constructor has returned: its three queries were answered and refused.
    EXPECT_TRUE(ServerRecord::instance().sources().empty());
    EXPECT_TRUE(syslog.contains("Nymea: No Grid Support Source after 3 queries. Going on without a source; asking "
                                "again in the background."));
    size_t refused = 0;
    for (const auto& r : syslog.records()) {
        if (r.priority == LOG_WARNING && r.text.starts_with("Nymea: Message dropped: NUL byte at offset ")) ++refused;
    }
    // The listener thread may have asked once more already.
    EXPECT_GE(refused, 3u);

    ASSERT_TRUE(standIn->command("things normal"));
    ASSERT_TRUE(ServerRecord::instance().waitForSource("relais"));
    EXPECT_TRUE(waitForLog(LOG_NOTICE, "Nymea: Grid Support Source is ready: relais"));
}

TEST_F(NymeaTest, UnreachablePlatformIsReachedLaterInTheBackground) {
    construct();
    EXPECT_EQ(syslog.count("Nymea: Port: " + std::to_string(port) + " is not reachable. Attempt 1/10"), 1u);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "Nymea: Port: " + std::to_string(port) + " is not reachable. Attempt 10/10"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "Nymea: Failed to reach port " + std::to_string(port) + " after 10 attempts"));
    EXPECT_FALSE(nymea->isConnected());

    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "relais"}));
    ASSERT_TRUE(ServerRecord::instance().waitForSource("relais"));
    EXPECT_EQ(lines(standIn->requestsOfHello(1, 3)), (std::vector<std::string>{kHello, kResubscribe, kGetThings}));
    EXPECT_EQ(ServerRecord::instance().resendCount(), 1);
    EXPECT_TRUE(nymea->isConnected());
}

TEST_F(NymeaTest, ClosedPeerLeadsToOneReconnectWithResubscriptionResendAndQuery) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "eebus"}));
    construct();

    // Idle for longer than the response deadline: no reconnect. The event
    // after the idle time comes through the listener thread, which has then
    // gone past any deadline of the idle time; only then is the absence of a
    // reconnect a fact.
    std::this_thread::sleep_for(shortTimings().responseTimeout * 2);
    sync("eebus");
    EXPECT_EQ(standIn->requestsOfHello(2, 0, 0ms).size(), 0u);
    EXPECT_FALSE(syslog.contains("Nymea: Socket closed. Trying to reconnect..."));

    // The setting changes while the connection is down; the new connection asks again.
    ASSERT_TRUE(standIn->command("source relais"));
    ASSERT_TRUE(standIn->command("close"));
    ASSERT_TRUE(ServerRecord::instance().waitForSource("relais"));
    EXPECT_EQ(lines(standIn->requestsOfHello(2, 3)), (std::vector<std::string>{kHello, kResubscribe, kGetThings}));
    EXPECT_EQ(ServerRecord::instance().resendCount(), 1);
    EXPECT_EQ(syslog.count("Nymea: Socket closed. Trying to reconnect..."), 1u);
    EXPECT_EQ(syslog.count("Nymea: Reconnected and re-subscribed."), 1u);

    // Notifications flow on the new connection.
    sync("none");
    EXPECT_EQ(ServerRecord::instance().sources(), (std::vector<std::string>{"eebus", "eebus", "relais", "none"}));
}

TEST_F(NymeaTest, SilentPeerEndsEachWaitAtItsDeadline) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--silent"}));
    construct();

    EXPECT_FALSE(nymea->isConnected());
    for (int id : {0, 2, 100}) {
        EXPECT_TRUE(syslog.contains(LOG_DEBUG, "Nymea: Timeout did not receive response with id " + std::to_string(id)));
    }
    EXPECT_GE(syslog.count("Nymea: Timeout did not receive response with id 100"), 3u);
    EXPECT_TRUE(ServerRecord::instance().sources().empty());
    // A silent peer is no closed peer.
    EXPECT_FALSE(syslog.contains("Nymea: Socket closed. Trying to reconnect..."));
}

TEST_F(NymeaTest, DestructorStopsTheListenerPromptlyInEveryWait) {
    // Production-length waits: the destructor must cut them short.
    NymeaTimings slow = shortTimings();
    slow.reconnectPause = 60s;
    slow.listenerPollSlice = 60s;
    slow.sourceRetryInterval = 60s;

    construct(slow);  // nothing listens: the listener thread sits in its reconnect pause
    runOrAbort("destruction while reconnecting", [&] { nymea.reset(); }, 10s);

    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "eebus"}));
    construct(slow);  // connected and idle: the listener thread waits for data
    ASSERT_TRUE(nymea->isConnected());
    runOrAbort("destruction while idle", [&] { nymea.reset(); }, 10s);

}

struct NotificationCase {
    const char* name;
    std::vector<std::string> commands;   // stand-in commands sending the bytes
    std::vector<std::string> recorded;   // sources handed on, in order
    const char* logged;                  // start of the one warning or error the bytes produce ("" for none)
};

void PrintTo(const NotificationCase& c, std::ostream* os) { *os << c.name; }

class NymeaNotificationTest : public NymeaTest, public ::testing::WithParamInterface<NotificationCase> {};

TEST_P(NymeaNotificationTest, LinesAreFramedAndHandled) {
    const NotificationCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--source", "eebus"}));
    construct();
    ServerRecord::instance().reset();
    syslog.clear();

    for (const auto& command : c.commands) ASSERT_TRUE(standIn->command(command));
    sync("end");

    std::vector<std::string> expected = c.recorded;
    expected.push_back("end");
    EXPECT_EQ(ServerRecord::instance().sources(), expected);
    std::vector<std::string> complaints;
    for (const auto& r : syslog.records()) {
        if (r.priority <= LOG_WARNING) complaints.push_back(r.text);
    }
    if (*c.logged) {
        ASSERT_EQ(complaints.size(), 1u);
        EXPECT_TRUE(complaints[0].starts_with(c.logged)) << complaints[0];
    } else {
        EXPECT_TRUE(complaints.empty()) << complaints.front();
    }
    // Bad input never costs the connection.
    EXPECT_FALSE(syslog.contains("Nymea: Socket closed. Trying to reconnect..."));
}

std::string rawCommand(const std::string& bytes) { return "raw " + nlohmann::json(bytes).dump(); }

std::string sourceEvent(const std::string& eventTypeId, const std::string& paramValueJson) {
    return R"({"notification":"Integrations.EventTriggered","params":{"event":{"eventTypeId":")" + eventTypeId +
           R"(","params":[{"paramTypeId":"491ca80f-ab67-4977-944a-5228862ecf86","value":)" + paramValueJson +
           "}]}}}\n";
}

const char* kSourceEventType = "0f3c68bc-6b9b-4012-862f-0bd756675fdc";

std::string withoutLineFeed(std::string line) {
    if (!line.empty() && line.back() == '\n') line.pop_back();
    return line;
}

INSTANTIATE_TEST_SUITE_P(
    Lines, NymeaNotificationTest,
    ::testing::Values(
        NotificationCase{"twoInOneRead", {"events relais none"}, {"relais", "none"}, ""},
        NotificationCase{"splitAcrossReads", {"event-split relais"}, {"relais"}, ""},
        NotificationCase{"emptyLines", {rawCommand("\n\n\r\n")}, {}, ""},
        NotificationCase{"garbage", {rawCommand("garbage{\n")}, {}, "Nymea: Notification dropped: "},
        NotificationCase{"garbageBeforeEventInOneRead",
                         {rawCommand("}}}\n" + sourceEvent(kSourceEventType, "\"relais\""))}, {"relais"},
                         "Nymea: Notification dropped: "},
        NotificationCase{"overlongLine", {"overlong 150000"}, {}, "Nymea: recvBuffer overflow. Clearing buffer."},
        NotificationCase{"deepNesting", {rawCommand(std::string(100000, '[') + "\n")}, {},
                         "Nymea: Notification dropped: nests deeper than 64 levels"},
        // The parser would stop at the NUL and apply the event before it: the
        // line is refused whole, and the next notification is applied.
        NotificationCase{"nulAndJunkAfterAnEvent",
                         {rawCommand(withoutLineFeed(sourceEvent(kSourceEventType, "\"relais\"")) +
                                     std::string(1, '\0') + "{junk\n" + sourceEvent(kSourceEventType, "\"none\""))},
                         {"none"},
                         "Nymea: Notification dropped: NUL byte at offset "},
        NotificationCase{"nulInAnEvent",
                         {rawCommand(std::string(1, '\0') + sourceEvent(kSourceEventType, "\"relais\""))}, {},
                         "Nymea: Notification dropped: NUL byte at offset 0 of a payload of "},
        NotificationCase{"otherEventType", {rawCommand(sourceEvent("1111", "\"relais\""))}, {}, ""},
        NotificationCase{"numericValue", {rawCommand(sourceEvent(kSourceEventType, "5"))}, {},
                         "Nymea: Source event without a text value. Skipping."},
        NotificationCase{"noParams", {rawCommand(R"({"notification":"Integrations.EventTriggered"})" "\n")}, {},
                         "Nymea: Notification dropped: "},
        NotificationCase{"response", {rawCommand(R"({"id":100,"status":"success","params":{}})" "\n")}, {}, ""}),
    [](const ::testing::TestParamInfo<NotificationCase>& info) { return std::string(info.param.name); });

}  // namespace
