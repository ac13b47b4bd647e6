// The home power balance and the root-meter chain against the stand-in: the
// requests go out through the listener thread, the answers fill the
// measurement fields and "TotW" of the model.

#include <syslog.h>

#include <array>
#include <chrono>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/ModelLookup.h"
#include "iec61850/iec61850_server.h"
#include "internal/InternalInterfaceNymea.h"
#include "model/StaticModel.h"
#include "tests/nymea/RecordingIecServer.h"
#include "tests/nymea/ShortTimings.h"
#include "tests/nymea/StandIn.h"
#include "tests/support/Bounded.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using json = nlohmann::json;

namespace {

using testsupport::runOrAbort;

constexpr const char* kRootMeterThingId = "{7b3e0c55-2f4d-4c3a-9a61-0d5e8f1b2c3d}";
constexpr const char* kRootMeterClassId = "{e2a4c6d8-1b3d-4f5a-8c7e-9d0f1a2b3c4d}";

std::string stateTypeId(int index) {
    char text[64];
    std::snprintf(text, sizeof(text), "{5a7e0000-0000-4000-8000-%012d}", index + 1);
    return text;
}

// The values the stand-in reports for the 18 states, in field order.
const std::array<float, InternalInterfaceNymea::kMeasurementCount> kMeterValues = {
    1234.5f, 678.25f, 4321.0f, 411.5f, 412.5f, 413.5f, 221.25f, 222.25f, 223.25f,
    1401.0f, 1402.0f, 1403.0f, 6.1f,   6.2f,   6.3f,   230.1f,  230.2f,  230.3f};

std::array<float, InternalInterfaceNymea::kMeasurementCount> fields(const InternalInterfaceNymea& n) {
    return {n.totalEnergyConsumed,  n.totalEnergyProduced,  n.currentPower,         n.energyConsumedPhaseA,
            n.energyConsumedPhaseB, n.energyConsumedPhaseC, n.energyProducedPhaseA, n.energyProducedPhaseB,
            n.energyProducedPhaseC, n.currentPowerPhaseA,   n.currentPowerPhaseB,   n.currentPowerPhaseC,
            n.currentPhaseA,        n.currentPhaseB,        n.currentPhaseC,        n.voltagePhaseA,
            n.voltagePhaseB,        n.voltagePhaseC};
}


class NymeaBalanceTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level = debug\n");
        ServerRecord::instance().reset();
        iedServer = IedServer_create(getStaticIedModel());
        ASSERT_NE(iedServer, nullptr);
        server.iedServer = iedServer;
        totW = findDataAttribute("CLS1", "MMXU001", "TotW", "mag");
        totWMultiplier = findSubDataAttribute("CLS1", "MMXU001", "TotW", "units", "multiplier");
        ASSERT_NE(totW, nullptr);
        ASSERT_NE(totWMultiplier, nullptr);
        const int port = testsupport::freeLoopbackPort();
        standIn = std::make_unique<StandIn>(port, std::vector<std::string>{"--source", "relais"});
        ASSERT_TRUE(standIn->listening());
        runOrAbort("construction",
                   [&] { nymea = std::make_unique<InternalInterfaceNymea>(server, port, shortTimings()); });
        ASSERT_TRUE(nymea->isConnected());
        // Hello, subscription and source query: wait until the stand-in reported them.
        ASSERT_EQ(standIn->requestsOfHello(1, 3).size(), 3u);
        startUpRequests = standIn->requests().size();
    }

    void TearDown() override {
        runOrAbort("destruction", [&] { nymea.reset(); });
        standIn.reset();
        if (iedServer != nullptr) IedServer_destroy(iedServer);
    }

    // The requests since the start-up, as JSON, once the stand-in reported at
    // least atLeast of them (its report may come a moment after its answer).
    std::vector<json> laterRequests(size_t atLeast = 0) const {
        for (auto end = std::chrono::steady_clock::now() + 5s;
             standIn->requests().size() < startUpRequests + atLeast && std::chrono::steady_clock::now() < end;) {
            std::this_thread::sleep_for(5ms);
        }
        std::vector<json> result;
        auto all = standIn->requests();
        for (size_t i = startUpRequests; i < all.size(); ++i) result.push_back(json::parse(all[i].line));
        return result;
    }

    float totWValue() const {
        return IedServer_getFloatAttributeValue(iedServer, static_cast<DataAttribute*>(totW->firstChild));
    }

    // Sends a source change and waits until the interface handed it on.
    void sync(const std::string& marker) {
        size_t before = ServerRecord::instance().sources().size();
        ASSERT_TRUE(standIn->command("event " + marker));
        ASSERT_TRUE(ServerRecord::instance().waitForSource(marker, before));
    }

    RecordingIecServer server;
    IedServer iedServer = nullptr;
    DataAttribute* totW = nullptr;
    DataAttribute* totWMultiplier = nullptr;
    std::unique_ptr<StandIn> standIn;
    std::unique_ptr<InternalInterfaceNymea> nymea;
    size_t startUpRequests = 0;
};

TEST_F(NymeaBalanceTest, RootMeterChainSendsItsRequestsInOrderAndFillsEveryField) {
    for (float value : fields(*nymea)) EXPECT_EQ(value, 0.0f);

    nymea->fetchRootMeter();

    const std::vector<json> expected = {
        {{"id", 4}, {"method", "Energy.GetRootMeter"}},
        {{"id", 1}, {"method", "Integrations.GetThings"}},
        {{"id", 3}, {"method", "Integrations.GetStateTypes"}, {"params", {{"thingClassId", kRootMeterClassId}}}},
        {{"id", 7}, {"method", "Integrations.GetStateValues"}, {"params", {{"thingId", kRootMeterThingId}}}},
    };
    EXPECT_EQ(laterRequests(expected.size()), expected);
    EXPECT_EQ(nymea->rootMeterThingIdCopy(), kRootMeterThingId);
    const auto ids = nymea->stateTypeIdsCopy();
    for (size_t i = 0; i < ids.size(); ++i) EXPECT_EQ(ids[i], stateTypeId(static_cast<int>(i))) << i;
    EXPECT_EQ(fields(*nymea), kMeterValues);
    EXPECT_TRUE(syslog.contains(LOG_INFO, std::string("Nymea: Root Meter Details: ID=") + kRootMeterThingId +
                                              ", Name=Grid meter, ThingClassId=" + kRootMeterClassId +
                                              ", Status=ready"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "Nymea: Processing 18 state values."));
    EXPECT_TRUE(syslog.contains(LOG_DEBUG, "Nymea: Voltage Phase C: 230.30 V"));
    // The chain ran on the listener's connection: the one Hello stays the only one.
    EXPECT_EQ(standIn->requestsOfHello(2, 0, 0ms).size(), 0u);
}

TEST_F(NymeaBalanceTest, OddEntriesAreSkippedAndAnEmptyIdMatchesNothing) {
    ASSERT_TRUE(standIn->command("meter-quirks on"));

    // No state type ids learnt yet: nothing matches, not even the empty id.
    nymea->getRootMeterStateValues();
    EXPECT_EQ(laterRequests(1).back()["params"]["thingId"], "");
    for (float value : fields(*nymea)) EXPECT_EQ(value, 0.0f);
    EXPECT_TRUE(syslog.contains(LOG_WARNING, R"(Nymea: Unknown stateTypeId: . State: {"stateTypeId":"","value":99.0})"));

    syslog.clear();
    nymea->fetchRootMeter();
    auto expected = kMeterValues;
    expected[16] = 231.5f;  // "voltagePhaseB" was named twice: the later id counts
    EXPECT_EQ(fields(*nymea), expected);
    EXPECT_EQ(nymea->stateTypeIdsCopy()[16], "{5a7e0000-0000-4000-8000-000000000099}");
    EXPECT_EQ(nymea->stateTypeIdsCopy()[15], stateTypeId(15));  // an id of the wrong type is skipped
    EXPECT_EQ(syslog.count("Nymea: State entry missing 'value' or it's not a number."), 2u);  // "12" and true
    EXPECT_EQ(syslog.count("Nymea: State entry missing 'stateTypeId' or it's not a string."), 2u);
    EXPECT_TRUE(syslog.contains(LOG_WARNING, R"(Nymea: Unknown stateTypeId: . State: {"stateTypeId":"","value":99.0})"));
}

struct BalanceCase {
    const char* name;
    const char* command;  // how the stand-in answers "currentPowerAcquisition"
    float totW;           // "TotW" afterwards (it starts at 0)
    const char* logged;   // the line the answer produces
};

void PrintTo(const BalanceCase& c, std::ostream* os) { *os << c.name; }

class NymeaPowerBalanceTest : public NymeaBalanceTest, public ::testing::WithParamInterface<BalanceCase> {};

TEST_P(NymeaPowerBalanceTest, AnswerReachesTotWOrIsRefused) {
    const BalanceCase& c = GetParam();
    IedServer_updateInt32AttributeValue(iedServer, totWMultiplier, 3);
    ASSERT_TRUE(standIn->command(c.command));

    nymea->updatePowerBalance();

    EXPECT_EQ(laterRequests(1), (std::vector<json>{{{"id", 8}, {"method", "Energy.GetPowerBalance"}}}));
    EXPECT_EQ(totWValue(), c.totW);
    EXPECT_EQ(nymea->currentPowerAcquisition.load(), c.totW);
    EXPECT_EQ(IedServer_getInt32AttributeValue(iedServer, totWMultiplier), c.totW != 0.0f ? 0 : 3);
    EXPECT_TRUE(syslog.contains(c.logged)) << c.logged;
    EXPECT_TRUE(nymea->isConnected());
}

INSTANTIATE_TEST_SUITE_P(
    Answers, NymeaPowerBalanceTest,
    ::testing::Values(
        BalanceCase{"number", "power-balance 4300.5", 4300.5f, "Nymea: Current Power Acquisition (NAP): 4300.500000"},
        BalanceCase{"integer", "power-balance -1200", -1200.0f, "Nymea: Current Power Acquisition (NAP): -1200.000000"},
        BalanceCase{"absent", "power-balance absent", 0.0f,
                    "Nymea: \"currentPowerAcquisition\" field is not present in the response."},
        BalanceCase{"text", "power-balance \"12\"", 0.0f,
                    "Nymea: \"currentPowerAcquisition\" is not a number a float can hold: \"12\""},
        BalanceCase{"beyondFloat", "power-balance 1e300", 0.0f,
                    "Nymea: \"currentPowerAcquisition\" is not a number a float can hold: 1e+300"}),
    [](const ::testing::TestParamInfo<BalanceCase>& info) { return std::string(info.param.name); });

TEST_F(NymeaBalanceTest, BalanceThreadSharesTheListenersConnectionWithNotifications) {
    nymea->fetchRootMeter();
    const size_t chainRequests = laterRequests(4).size();
    nymea->startBalanceUpdateLoop();

    // Source changes keep flowing while the balance thread asks every 20 ms.
    for (int i = 0; laterRequests().size() < chainRequests + 10; ++i) {
        ASSERT_LT(i, 1000) << "the balance thread makes no progress";
        ASSERT_NO_FATAL_FAILURE(sync("eebus" + std::to_string(i)));
    }
    runOrAbort("balance stop", [&] { nymea->stopBalanceUpdateLoop(); });

    const std::vector<json> requests = laterRequests(chainRequests + 10);
    ASSERT_GE(requests.size(), chainRequests + 4);
    // Each pass asks for the balance, then for the state values, and gets both answers.
    for (size_t i = chainRequests; i + 1 < requests.size(); i += 2) {
        EXPECT_EQ(requests[i]["id"], 8) << i;
        EXPECT_EQ(requests[i + 1]["id"], 7) << i;
    }
    EXPECT_FALSE(syslog.contains("Nymea: Timeout did not receive response with id 8"));
    EXPECT_FALSE(syslog.contains("Nymea: Timeout did not receive response with id 7"));
    EXPECT_EQ(totWValue(), 4300.5f);
    EXPECT_EQ(fields(*nymea), kMeterValues);
    EXPECT_EQ(standIn->requestsOfHello(2, 0, 0ms).size(), 0u);
}

TEST_F(NymeaBalanceTest, DestructionStopsARunningBalanceThread) {
    nymea->startBalanceUpdateLoop();
    ASSERT_TRUE(standIn->command("silent on"));  // the thread now waits for answers that never come
    std::this_thread::sleep_for(50ms);
    runOrAbort("destruction with a running balance thread", [&] { nymea.reset(); }, 5s);
}

TEST_F(NymeaBalanceTest, UnansweredRequestLeavesTheValuesAndTheNextOneGoesThrough) {
    ASSERT_TRUE(standIn->command("silent on"));
    nymea->updatePowerBalance();
    EXPECT_FALSE(nymea->isConnected());
    EXPECT_EQ(totWValue(), 0.0f);
    EXPECT_TRUE(syslog.contains(LOG_DEBUG, "Nymea: Timeout did not receive response with id 8"));

    ASSERT_TRUE(standIn->command("silent off"));
    nymea->updatePowerBalance();
    EXPECT_EQ(totWValue(), 4300.5f);
    EXPECT_TRUE(nymea->isConnected());
}

}  // namespace
