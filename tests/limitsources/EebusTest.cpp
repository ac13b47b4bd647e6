// The EEBUS source against the home-platform stand-in on a loopback port,
// with a recording double of the core.
#include <syslog.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <future>
#include <iostream>
#include <thread>

#include <nlohmann/json.hpp>

#include "internal/InternalInterfaceNymeaEEBUS.h"
#include "schedules/RoadLock.h"
#include "server/IecServer.h"
#include "tests/nymea/StandIn.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using Kind = RecordedWrite::Kind;
using Writes = std::vector<std::string>;

constexpr const char* kBoxId = "{3c1d7e52-8b4f-4f0e-9a61-2d5e7c9b0a14}";
constexpr const char* kBoxClassId = "{9e8d7c6b-5a49-4382-b1a0-f9e8d7c6b5a4}";

EebusTimings shortTimings() {
    EebusTimings t;
    t.probeInterval = 20ms;
    t.connectBackoff = 10ms;
    t.connectBackoffCap = 40ms;
    t.responseTimeout = 500ms;
    t.pollInterval = 30ms;
    t.searchInterval = 30ms;
    t.idlePause = 20ms;
    t.probeAttempts = 3;
    t.connectAttempts = 2;
    return t;
}

std::string writeText(const RecordedWrite& w) {
    char text[96];
    std::snprintf(text, sizeof(text), "%s %d %s %.2f", w.kind == Kind::Lpc ? "LPC" : "LPP", w.durationSeconds,
                  w.active ? "on" : "off", w.limitW);
    return text;
}

// "method id" of a request; state-value requests without their id (the
// candidate checks count over the process and may meet the poll's 3).
std::string describe(const StandIn::Request& r) {
    const auto request = nlohmann::json::parse(r.line, nullptr, false);
    const std::string method = request.value("method", "?");
    if (method == "Integrations.GetStateValues") return method;
    return method + " " + std::to_string(r.id);
}

class EebusTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n");
        port = testsupport::freeLoopbackPort();
        ASSERT_GT(port, 0);
    }
    void TearDown() override { destroy(); }

    void startStandIn(const std::vector<std::string>& args = {}, const std::vector<std::string>& commands = {}) {
        standIn = std::make_unique<StandIn>(port, args);
        ASSERT_TRUE(standIn->listening());
        for (const auto& c : commands) ASSERT_TRUE(standIn->command(c)) << c;
    }

    // Constructs and waits until the start-up attempts are over (connected,
    // or given up), keeping what they printed.
    void construct(const EebusTimings& timings = shortTimings()) {
        auto done = std::async(std::launch::async, [&] {
            testing::internal::CaptureStdout();
            eebus = std::make_unique<InternalInterfaceNymeaEEBUS>(core, port, timings);
            testsupport::eventually([&] { return eebus->isConnected() || !eebus->isRunning(); }, 20s);
            return testing::internal::GetCapturedStdout();
        });
        if (done.wait_for(30s) != std::future_status::ready) {
            std::cerr << "construction hangs; aborting" << std::endl;
            std::abort();
        }
        constructOutput = done.get();
    }

    void destroy() { eebus.reset(); }

    // Requests of the EEBUS connection, once at least count arrived.
    std::vector<std::string> requests(size_t count) {
        std::vector<std::string> out;
        for (const auto& r : standIn->requestsOfHello(1, count)) out.push_back(describe(r));
        return out;
    }

    size_t countPolls() {
        size_t n = 0;
        for (const auto& r : standIn->requests()) n += r.id == 3 && r.line.find("GetStateValues") != std::string::npos;
        return n;
    }

    // Changes the box and waits until a whole poll after the change was handled.
    void change(const std::vector<std::string>& commands) {
        for (const auto& c : commands) ASSERT_TRUE(standIn->command(c)) << c;
        const size_t before = countPolls();
        for (auto end = std::chrono::steady_clock::now() + 10s; std::chrono::steady_clock::now() < end;) {
            if (countPolls() >= before + 2) return;
            std::this_thread::sleep_for(5ms);
        }
        FAIL() << "no polls after " << commands.front();
    }

    Writes takeWrites() {
        Writes out;
        for (const auto& w : core.writes()) out.push_back(writeText(w));
        core.clear();
        return out;
    }

    bool waitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) {
        for (auto end = std::chrono::steady_clock::now() + timeout; std::chrono::steady_clock::now() < end;) {
            if (syslog.contains(text)) return true;
            std::this_thread::sleep_for(5ms);
        }
        return false;
    }

    int port = 0;
    RecordingCore core;
    std::unique_ptr<StandIn> standIn;
    std::unique_ptr<InternalInterfaceNymeaEEBUS> eebus;
    std::string constructOutput;
};

TEST_F(EebusTest, TheHelloGoesOutUnframedAndTheThreadStarts) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "none"}));
    construct();
    EXPECT_TRUE(eebus->isConnected());
    EXPECT_TRUE(eebus->isRunning());
    const auto all = standIn->requestsOfHello(1, 1);
    ASSERT_FALSE(all.empty());
    // The stand-in reports each request as received: no line feed after the Hello.
    EXPECT_EQ(all.front().line, R"({"id":0,"method":"JSONRPC.Hello","params":{"locale":"de_DE"}})");
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "EEBUS: Port: " + std::to_string(port) + " is reachable"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "EEBUS: Received JSON response: OK"));
    EXPECT_TRUE(waitForLog("EEBUS: LineSentry Thing not found in 'things' list. Ensure the EEBUS Controlbox is added "
                           "in the HEMS App. Retrying in 0 seconds."));
}

TEST_F(EebusTest, AnUnreachablePlatformLeavesTheObjectIdle) {
    construct();
    EXPECT_FALSE(eebus->isConnected());
    EXPECT_FALSE(eebus->isRunning());
    EXPECT_TRUE(syslog.contains(LOG_ERR, "EEBUS: Port: " + std::to_string(port) +
                                             " is not reachable. Nymea is probably not started yet. Attempt 3/3"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "EEBUS: Failed to connect to Nymea after 3 attempts"));
    EXPECT_NE(constructOutput.find("EEBUS: Port is not reachable (attempt 1/3)"), std::string::npos);
}

// The switch away from EEBUS while its start-up waits for the answer to its
// Hello from a platform that accepts and never answers (production waits: 10
// attempts of 10 s each): the core gets the clearing writes of LPC and LPP
// at once, not once the attempts are over.
using EebusSwitchTest = servertest::ServerCoreTest;

TEST_F(EebusSwitchTest, ASwitchAwayFromEebusDoesNotWaitForItsAttempts) {
    const int port = testsupport::freeLoopbackPort();
    StandIn platform(port);
    ASSERT_TRUE(platform.listening());
    ASSERT_TRUE(platform.command("silent on"));
    IecServer server;
    server.config.nymeaTcpPort = port;
    server.interfaceFactory.eebus = [](IecServer& s, int p) {
        return InterfaceOwner<InternalInterfaceNymeaEEBUS>::adopt(std::make_unique<InternalInterfaceNymeaEEBUS>(s, p));
    };
    auto clearedTwice = [&](int cls) {
        RoadLock::Guard road;
        return std::count_if(schedules->calls.begin(), schedules->calls.end(), [cls](const RecordingSchedules::Call& c) {
                   return c.what == "send" && c.node == "EmpDCmd_FSCH050001" && c.cls == cls;
               }) == 2;
    };

    testing::internal::CaptureStdout();
    std::thread switcher([&] {
        server.setPowerLimitSource("eebus");
        platform.requestsOfHello(1, 1);  // the EEBUS interface waits for its answer
        server.setPowerLimitSource("none");
    });
    // One clearing of CLS1 and of CLS2 per switch.
    const bool cleared = testsupport::eventually([&] { return clearedTwice(1) && clearedTwice(2); }, 15s);
    switcher.join();
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(cleared);
    EXPECT_FALSE(server.eebusInterface);
    EXPECT_EQ(platform.requestsOfHello(1, 1, 0ms).size(), 1u);
    EXPECT_FALSE(syslog.contains("EEBUS: Handshake failed"));
}

struct DiscoveryCase {
    const char* name;
    std::vector<std::string> commands;
    std::vector<std::string> requests;  // first requests of the connection
    bool adopted;
    const char* logged;
    bool twoChecks = false;  // both limitation states checked, one after the other
};

void PrintTo(const DiscoveryCase& c, std::ostream* os) { *os << c.name; }

class EebusDiscoveryTest : public EebusTest, public ::testing::WithParamInterface<DiscoveryCase> {};

const std::string kHello = "JSONRPC.Hello 0";
const std::string kThings = "Integrations.GetThings 1";
const std::string kTypes = "Integrations.GetStateTypes 2";
const std::string kCheck = "Integrations.GetStateValues";
const std::string kPoll = "Integrations.GetStateValues";
const char* kPossible =
    "EEBUS: A possible LineSentry Thing was found but is not active yet. Waiting for the first LPC or LPP command to "
    "activate it. Retrying in 0 seconds.";
const char* kNotFound =
    "EEBUS: LineSentry Thing not found in 'things' list. Ensure the EEBUS Controlbox is added in the HEMS App. "
    "Retrying in 0 seconds.";

TEST_P(EebusDiscoveryTest, CandidatesAndTheirLimitationStates) {
    const DiscoveryCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "unlimited"}, c.commands));
    construct();
    const auto seen = requests(c.requests.size());
    ASSERT_GE(seen.size(), c.requests.size());
    EXPECT_EQ(std::vector<std::string>(seen.begin(), seen.begin() + static_cast<long>(c.requests.size())),
              c.requests);
    EXPECT_TRUE(waitForLog(c.logged)) << c.logged;
    eebus.reset();

    // The candidate checks number their requests 1, 2, 3, ... over the process.
    const auto all = standIn->requestsOfHello(1, c.requests.size());
    if (c.twoChecks) {
        EXPECT_GE(all[3].id, 1);
        EXPECT_EQ(all[4].id, all[3].id + 1);
    }
    if (c.adopted) {
        EXPECT_TRUE(syslog.contains(LOG_NOTICE, "EEBUS: 'LineSentry Connected' is active."));
    } else {
        EXPECT_FALSE(syslog.contains("EEBUS: 'LineSentry Connected' is active."));
        EXPECT_EQ(core.writes().size(), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Things, EebusDiscoveryTest,
    ::testing::Values(
        DiscoveryCase{"consumptionLimited",
                      {"state consumptionLimitationState limited"},
                      {kHello, kThings, kTypes, kCheck, kPoll, kPoll},
                      true,
                      "EEBUS: LineSentry is active with state: limited"},
        DiscoveryCase{"unlimitedControlled",
                      {"state consumptionLimitationState unlimited/controlled"},
                      {kHello, kThings, kTypes, kCheck, kPoll},
                      true,
                      "EEBUS: LineSentry is active with state: unlimited/controlled"},
        DiscoveryCase{"productionLimited",
                      {"state productionLimitationState limited"},
                      {kHello, kThings, kTypes, kCheck, kCheck, kPoll},
                      true,
                      "EEBUS: Possible LineSentry found, but Consumption limit not active. Thing ID: {3c1d7e52-8b4f-"
                      "4f0e-9a61-2d5e7c9b0a14}", true},
        DiscoveryCase{"unlimited", {}, {kHello, kThings, kTypes, kCheck, kCheck, kThings}, false, kPossible, true},
        DiscoveryCase{"failsafe",
                      {"state consumptionLimitationState failsafe"},
                      {kHello, kThings, kTypes, kCheck, kCheck, kThings},
                      false,
                      "EEBUS: The limitationStateValue: failsafe is not active", true},
        DiscoveryCase{"init",
                      {"state consumptionLimitationState init", "state productionLimitationState init"},
                      {kHello, kThings, kTypes, kCheck, kCheck, kThings},
                      false,
                      "EEBUS: The limitationStateValue: init is not active", true},
        DiscoveryCase{"twoParams",
                      {"box-params 2", "state consumptionLimitationState limited"},
                      {kHello, kThings, kThings},
                      false,
                      kNotFound},
        DiscoveryCase{"fourParams",
                      {"box-params 4", "state consumptionLimitationState limited"},
                      {kHello, kThings, kThings},
                      false,
                      kNotFound},
        DiscoveryCase{"noStates",
                      {"box-states off", "state consumptionLimitationState limited"},
                      {kHello, kThings, kThings},
                      false,
                      kNotFound},
        DiscoveryCase{"valuesWithoutTheState",
                      {"state consumptionLimitationState limited", "box-values none"},
                      {kHello, kThings, kTypes, kCheck, kCheck, kThings},
                      false,
                      "EEBUS: 'values' field missing in response.", true}),
    [](const ::testing::TestParamInfo<DiscoveryCase>& info) { return std::string(info.param.name); });

TEST_F(EebusTest, AdoptionPollsAndFollowsTheBox) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "limited"}, {"state maxProductionPower 3000"}));
    construct();
    ASSERT_TRUE(core.waitForWrites(2));
    EXPECT_EQ(eebus->lineSentryThingIdForTesting(), kBoxId);
    const auto types = standIn->requestsOfHello(1, 3)[2].line;
    EXPECT_NE(types.find(kBoxClassId), std::string::npos) << types;
    EXPECT_EQ(takeWrites(), (Writes{"LPC 0 on 4200.00", "LPP 0 on 3000.00"}));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "EEBUS: Max Consumption Power: 5e1b0000-0000-4000-8000-000000000007"));

    // The core now reports the limits as active: polls change nothing.
    core.setActive(1, 4200);
    core.setActive(2, 3000.05f);
    change({"state currentPower 17.5"});
    EXPECT_EQ(takeWrites(), Writes{});
    EXPECT_DOUBLE_EQ(eebus->stateForTesting().currentPower, 17.5);

    // Lifted by the box: both deactivated.
    change({"state consumptionLimitationState unlimited", "state productionLimitationState unlimited"});
    const Writes lifted = takeWrites();
    ASSERT_GE(lifted.size(), 2u);
    EXPECT_EQ(Writes(lifted.begin(), lifted.begin() + 2), (Writes{"LPC 0 off 0.00", "LPP 0 off 0.00"}));
}

struct PollCase {
    const char* name;
    std::vector<std::string> commands;
    uint32_t maxConsumptionPower;  // after the poll
    const char* consumptionState;
    const char* logged;
};

void PrintTo(const PollCase& c, std::ostream* os) { *os << c.name; }

class EebusPollTest : public EebusTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(EebusPollTest, PollAnswersKeepOrSkipValues) {
    const PollCase& c = GetParam();
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "limited"}));
    construct();
    ASSERT_TRUE(core.waitForWrites(1));
    core.setActive(1, 4200);
    ASSERT_NO_FATAL_FAILURE(change(c.commands));
    const EebusState state = eebus->stateForTesting();
    EXPECT_EQ(state.maxConsumptionPower, c.maxConsumptionPower);
    EXPECT_EQ(state.consumptionLimitationState, c.consumptionState);
    EXPECT_TRUE(waitForLog(c.logged)) << c.logged;
    // A value that was skipped never became a limit.
    for (const auto& w : core.writes()) EXPECT_LE(w.limitW, 4200.0f) << writeText(w);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, EebusPollTest,
    ::testing::Values(
        PollCase{"fraction", {"state maxConsumptionPower 3900.7"}, 3900, "limited", "EEBUS: Wrote LPC: 3900.00W, Active: true"},
        PollCase{"text", {"state maxConsumptionPower \"abc\""}, 4200, "limited",
                 "EEBUS: Skipping state maxConsumptionPower: value of the wrong type or range: \"abc\""},
        PollCase{"negative", {"state maxConsumptionPower -5"}, 4200, "limited",
                 "EEBUS: Skipping state maxConsumptionPower: value of the wrong type or range: -5"},
        PollCase{"huge", {"state maxConsumptionPower 5000000000"}, 4200, "limited",
                 "EEBUS: Skipping state maxConsumptionPower: value of the wrong type or range: 5000000000"},
        PollCase{"stateAsNumber", {"state consumptionLimitationState 1"}, 4200, "limited",
                 "EEBUS: Skipping state consumptionLimitationState: value of the wrong type or range: 1"},
        PollCase{"boolAsText", {"state connected \"yes\""}, 4200, "limited",
                 "EEBUS: Skipping state connected: value of the wrong type or range: \"yes\""},
        PollCase{"unknownStateType", {R"(box-extra {"stateTypeId":"{feed}","value":1})"}, 4200, "limited",
                 "EEBUS: Unknown stateTypeId: {feed}. State: {\"stateTypeId\":\"{feed}\",\"value\":1}"},
        PollCase{"entryWithoutValue", {R"(box-extra {"stateTypeId":"{feed}"})"}, 4200, "limited",
                 "EEBUS: State entry missing 'value'."}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return std::string(info.param.name); });

TEST_F(EebusTest, NoValuesDeactivatesAndSearchesAgain) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "limited"}));
    construct();
    ASSERT_TRUE(core.waitForWrites(2));
    core.setActive(1, 4200);
    core.setActive(2, 0);
    change({"state currentPower 1"});
    takeWrites();
    const size_t searches = syslog.count("EEBUS: No lineSentryThingId, fetching things...");
    ASSERT_TRUE(standIn->command("box-values none"));
    for (auto end = std::chrono::steady_clock::now() + 10s;
         syslog.count("EEBUS: No lineSentryThingId, fetching things...") == searches &&
         std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "EEBUS: Is the EEBUS controlbox + LineSentry still in the App?"));
    EXPECT_EQ(eebus->lineSentryThingIdForTesting(), "");
    // Both limits lifted on the step that lost the values.
    const Writes writes = takeWrites();
    EXPECT_NE(std::find(writes.begin(), writes.end(), "LPC 0 off 0.00"), writes.end());
    EXPECT_NE(std::find(writes.begin(), writes.end(), "LPP 0 off 0.00"), writes.end());
}

TEST_F(EebusTest, EachConnectedChangeAppendsOneLogEntry) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "limited"}));
    construct();
    ASSERT_TRUE(core.waitForWrites(1));
    const std::string log = "/data/eebus-logs/eebus-disconnects.log";
    // The box starts connected: one entry from false to true.
    change({"state currentPower 1"});
    EXPECT_EQ(workDir.readFile(log).find("Connection to EEBUS Controlbox changed to: true\n------------------------\n") !=
                  std::string::npos,
              true)
        << workDir.readFile(log);
    change({"state connected false"});
    change({"state currentPower 2"});  // unchanged: nothing appended
    const std::string text = workDir.readFile(log);
    size_t entries = 0;
    for (size_t at = 0; (at = text.find(" - Connection to EEBUS Controlbox changed to: ", at)) != std::string::npos; ++at) {
        ++entries;
    }
    EXPECT_EQ(entries, 2u) << text;
    EXPECT_NE(text.find("changed to: false\n------------------------\n"), std::string::npos);
    EXPECT_EQ(syslog.count("EEBUS: LineSentry Connected state changed from true to false"), 1u);
}

TEST_F(EebusTest, ATimeoutReconnectsAndALateAnswerIsNotTakenForTheNext) {
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "limited"}));
    construct();
    ASSERT_TRUE(core.waitForWrites(1));
    ASSERT_TRUE(standIn->command("box-values ignore"));
    ASSERT_TRUE(waitForLog("EEBUS: No response within 500 ms."));
    ASSERT_TRUE(standIn->command("box-values normal"));
    ASSERT_TRUE(waitForLog("EEBUS: Reconnected successfully."));
    // A fresh connection with its own Hello; the old one was closed.
    const auto second = standIn->requestsOfHello(2, 2);
    ASSERT_GE(second.size(), 2u);
    EXPECT_EQ(describe(second[1]), kPoll);
    EXPECT_EQ(second[1].id, 3);
    change({"state maxConsumptionPower 3000"});
    EXPECT_EQ(eebus->stateForTesting().maxConsumptionPower, 3000u);
}

// Destruction of an object whose thread waits, backs off or polls.
TEST_F(EebusTest, DestructionIsPromptInEveryWait) {
    EebusTimings slow = shortTimings();
    slow.pollInterval = 10s;
    slow.searchInterval = 30s;
    slow.responseTimeout = 10s;
    slow.connectBackoff = 5s;
    slow.connectBackoffCap = 60s;
    slow.connectAttempts = 5;

    auto timedDestroy = [&](const char* what) {
        const auto start = std::chrono::steady_clock::now();
        testing::internal::CaptureStdout();
        eebus.reset();
        testing::internal::GetCapturedStdout();
        EXPECT_LT(std::chrono::steady_clock::now() - start, 200ms) << what;
    };

    // Waiting for the next poll.
    ASSERT_NO_FATAL_FAILURE(startStandIn({"--controlbox", "limited"}));
    construct(slow);
    ASSERT_TRUE(core.waitForWrites(1));
    std::this_thread::sleep_for(20ms);
    timedDestroy("interval wait");

    // Waiting for an answer that does not come.
    ASSERT_TRUE(standIn->command("box-values ignore"));
    construct(slow);
    ASSERT_TRUE(waitForLog(std::string("EEBUS: Fetching state values for possibleLineSentryThingId: ") + kBoxId));
    std::this_thread::sleep_for(50ms);
    timedDestroy("receive");

    // Backing off while the platform is gone.
    ASSERT_TRUE(standIn->command("box-values normal"));
    syslog.clear();
    slow.pollInterval = 50ms;
    construct(slow);
    ASSERT_TRUE(waitForLog("EEBUS: Fetching initial state values."));
    standIn.reset();
    ASSERT_TRUE(waitForLog("EEBUS: Retry 1 failed. Retrying in 10 seconds.", 15s));
    timedDestroy("back-off");
    EXPECT_FALSE(syslog.contains("EEBUS: Retry 2 failed."));
}

TEST_F(EebusTest, ControlPLimDecisions) {
    struct Case {
        const char* name;
        const char* consumption;
        uint32_t maxC, failsafeC;
        float activeLpc;
        const char* production;
        uint32_t maxP, failsafeP;
        float activeLpp;
        Writes writes;
    };
    const Case cases[] = {
        {"LPC equal: no write", "limited", 4200, 0, 4200, "unlimited", 0, 0, -1, {}},
        {"LPC compared exactly", "limited", 4200, 0, 4200.05f, "unlimited", 0, 0, -1, {"LPC 0 on 4200.00"}},
        {"LPC failsafe", "failsafe", 4200, 3000, -1, "unlimited", 0, 0, -1, {"LPC 0 on 3000.00"}},
        {"LPC off already", "unlimited", 0, 0, -1, "unlimited", 0, 0, -1, {}},
        {"LPC of 0 W set elsewhere", "init", 0, 0, 0, "unlimited", 0, 0, -1, {}},
        {"LPC lifted", "unlimited", 0, 0, 3000, "unlimited", 0, 0, -1, {"LPC 0 off 0.00"}},
        {"LPC limited to 0 W", "limited", 0, 0, -1, "unlimited", 0, 0, -1, {"LPC 0 on 0.00"}},
        {"LPP within 0.1 W", "unlimited", 0, 0, -1, "limited", 3000, 0, 3000.05f, {}},
        {"LPP beyond 0.1 W", "unlimited", 0, 0, -1, "limited", 3000, 0, 3000.2f, {"LPP 0 on 3000.00"}},
        {"LPP failsafe", "unlimited", 0, 0, -1, "failsafe", 0, 4200, -1, {"LPP 0 on 4200.00"}},
        {"LPP init with 0 W lifted", "unlimited", 0, 0, -1, "init", 0, 0, 0, {"LPP 0 off 0.00"}},
        {"LPP off already", "unlimited", 0, 0, -1, "Limited", 3000, 0, -1, {}},
        {"both", "limited", 1000, 0, -1, "limited", 2000, 0, -1, {"LPC 0 on 1000.00", "LPP 0 on 2000.00"}},
    };
    EebusTimings unreachable = shortTimings();
    unreachable.probeAttempts = 1;
    for (const Case& c : cases) {
        construct(unreachable);  // no platform: no thread, controlPLim runs here
        EebusState s;
        s.consumptionLimitationState = c.consumption;
        s.maxConsumptionPower = c.maxC;
        s.failsafeMaxConsumptionPower = c.failsafeC;
        s.productionLimitationState = c.production;
        s.maxProductionPower = c.maxP;
        s.failsafeMaxProductionPower = c.failsafeP;
        eebus->setStateForTesting(s);
        core.setActive(1, c.activeLpc);
        core.setActive(2, c.activeLpp);
        eebus->controlPLim();
        EXPECT_EQ(takeWrites(), c.writes) << c.name;
    }

    // A 0-W LPC that this source set is lifted when the box lifts it.
    construct(unreachable);
    EebusState s;
    s.consumptionLimitationState = "limited";
    s.maxConsumptionPower = 0;
    s.productionLimitationState = "unlimited";
    eebus->setStateForTesting(s);
    core.setActive(1, -1);
    core.setActive(2, -1);
    eebus->controlPLim();
    core.setActive(1, 0);
    s.consumptionLimitationState = "unlimited";
    eebus->setStateForTesting(s);
    eebus->controlPLim();
    eebus->controlPLim();  // lifted once; a 0 W the core still shows is no longer this source's
    EXPECT_EQ(takeWrites(), (Writes{"LPC 0 on 0.00", "LPC 0 off 0.00"}));
}

}  // namespace
