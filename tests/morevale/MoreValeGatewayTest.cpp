// The MoreVale gateway against a real mosquitto broker with a TLS listener
// that requires client certificates (made by openssl for each test).

#include <syslog.h>

#include <chrono>
#include <filesystem>
#include <future>
#include <iostream>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <unistd.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "external/ExternalInterfaceMoreVale.h"
#include "external/MoreValeConfig.h"
#include "foundation/ModelLookup.h"
#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/RecordingCore.h"
#include "tests/morevale/MoreValeTestSupport.h"
#include "tests/support/Bounded.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;
using testsupport::BrokerOptions;
using testsupport::BrokerTlsListener;
using testsupport::MosquittoBroker;
using testsupport::MqttTestClient;
using testsupport::MqttTestClientOptions;
using testsupport::TestCertificateAuthority;

namespace {

using testsupport::runOrAbort;

constexpr const char* kPrefix = "dso/dso1/gcp/gcp7/lpc/0.4.0/";
const std::string kSet = std::string(kPrefix) + "set";
const std::string kReq = std::string(kPrefix) + "req";
const std::string kAck = std::string(kPrefix) + "ack";
const std::string kMsg = std::string(kPrefix) + "msg";

MoreValeTimings shortTimings() {
    MoreValeTimings t;
    t.unreachablePause = 100ms;
    t.failedConnectPause = 50ms;
    t.reachableTimeout = 1s;
    t.reconnectDelaySeconds = 1;
    return t;
}


// An LPC from a minute ago for an hour: written at once.
json lpc(const std::string& transactionId, double kW) {
    const auto now = std::chrono::system_clock::now();
    auto iso = [](std::chrono::system_clock::time_point t) {
        return formatUtcIso(static_cast<uint64_t>(
            std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count()));
    };
    return {{"creationDateTime", iso(now)},
            {"transactionId", transactionId},
            {"initialTransactionId", "itx"},
            {"gridConnectionPoint", "gcp7"},
            {"maximumPowerValue", kW},
            {"unit", "kW"},
            {"executionTimeFrom", iso(now - 1min)},
            {"executionTimeUntil", iso(now + 59min)}};
}

std::string ack(int errorNumber, const std::string& relation) {
    return json{{"data", {{"errorNumber", errorNumber}}}, {"relation", relation}}.dump();
}

class MoreValeGatewayTest : public testsupport::IecTest {
protected:
    MoreValeGatewayTest() : ca(workDir.path() / "ca"), foreign(workDir.path() / "foreign", "Foreign CA") {
        moreValeLogLevel = LOG_DEBUG;
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n");
        workDir.writeFile("/etc/iec/MQTT_morevale/lpc_ack.json", R"({"data":{"errorNumber":0},"relation":""})");
        workDir.writeFile("/etc/iec/MQTT_morevale/mgcp.json", R"({"clsAvailability":{},"states":{}})");
        iedServer = IedServer_create(getStaticIedModel());
        core.iedServer = iedServer;
    }
    ~MoreValeGatewayTest() override {
        runOrAbort("gateway destruction", [&] { gateway.reset(); });
        IedServer_destroy(iedServer);
    }

    void SetUp() override { ASSERT_TRUE(ca.ok() && foreign.ok()); }

    // Installs the gateway's CA list (of ca), certificate and key (from authority).
    void installCertificates(TestCertificateAuthority& authority, bool withKey = true) {
        moreValeTest::installGatewayCertificates(workDir.path(), ca.caFile(), authority, "gcp7", withKey);
    }

    void writeConfig(int port, bool tls) { moreValeTest::writeConfig(workDir, port, tls); }

    // The usual set-up: own certificates, a mutual-TLS broker, a connected gateway.
    void connectGateway() {
        installCertificates(ca);
        ASSERT_NO_FATAL_FAILURE(startTlsBroker());
        writeConfig(broker->tlsPort(), true);
        createGateway();
        ASSERT_TRUE(waitConnected()) << broker->log();
    }

    // A broker with a TLS listener that requires client certificates of ca.
    void startTlsBroker() {
        BrokerOptions options;
        options.plainListener = false;
        options.tls = BrokerTlsListener{ca.caFile(), ca.issueServer("broker", {"localhost"}, {"127.0.0.1"}), true};
        broker = std::make_unique<MosquittoBroker>(workDir.path() / "broker", options);
        ASSERT_TRUE(broker->start()) << broker->log();
    }

    void createGateway() {
        runOrAbort("gateway construction", [&] {
            gateway = std::make_unique<ExternalInterfaceMoreVale>(core, shortTimings());
            startResult = gateway->startMqttLoop();
        });
    }

    bool waitConnected(std::chrono::milliseconds limit = 10s) {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (gateway->isConnected()) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    // The grid operator's side: a client with its own certificate of ca, watching "ack" and "msg".
    std::unique_ptr<MqttTestClient> platform() {
        auto cert = ca.issueClient("platform", "platform");
        auto client = std::make_unique<MqttTestClient>(
            "127.0.0.1", broker->tlsPort(), MqttTestClientOptions::withTls(ca.caFile(), cert.certFile, cert.keyFile));
        EXPECT_TRUE(client->connect());
        EXPECT_TRUE(client->subscribe(kAck));
        EXPECT_TRUE(client->subscribe(kMsg));
        return client;
    }

    bool waitForLog(const std::string& text, std::chrono::milliseconds limit = 10s) {
        for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
            if (syslog.contains(text)) return true;
            std::this_thread::sleep_for(10ms);
        }
        return false;
    }

    TestCertificateAuthority ca;
    TestCertificateAuthority foreign;
    RecordingCore core;
    IedServer iedServer = nullptr;
    std::unique_ptr<MosquittoBroker> broker;
    std::unique_ptr<ExternalInterfaceMoreVale> gateway;
    int startResult = -1;
};

TEST_F(MoreValeGatewayTest, MutualTlsConnectionSubscribesBothTopicsAndAcknowledgesLimits) {
    ASSERT_NO_FATAL_FAILURE(connectGateway());
    EXPECT_EQ(startResult, 0);
    EXPECT_EQ(gateway->clientId().rfind("Tavelmarck_Mor-e-vale_Client_", 0), 0u);
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "mor-e-vale: Connected to MQTT broker, subscribing to topic: " + kSet));
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "mor-e-vale: Connected to MQTT broker, subscribing to topic: " + kReq));
    ASSERT_TRUE(broker->waitForLog(kReq, 5s));  // the SUBSCRIBE of the second topic reached the broker

    auto client = platform();
    // Both topics are handled alike, by content.
    ASSERT_TRUE(client->publish(kSet, lpc("tx-set", 4.2).dump()));
    auto first = client->waitForMessage(kAck);
    ASSERT_TRUE(first) << broker->log();
    EXPECT_EQ(first->payload, ack(0, "tx-set"));
    ASSERT_TRUE(client->publish(kReq, lpc("tx-req", 0.5).dump()));
    auto second = client->waitForMessage(kAck);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->payload, ack(0, "tx-req"));

    const auto writes = core.writes();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].kind, RecordedWrite::Kind::LpcWithStartTime);
    EXPECT_EQ(writes[0].clsDevice, "CLS1");
    EXPECT_EQ(writes[0].durationSeconds, 3600);
    EXPECT_TRUE(writes[0].active);
    EXPECT_EQ(writes[0].limitW, 4200.0f);
    EXPECT_EQ(writes[1].limitW, 500.0f);

    // A refused write is answered with 1.
    core.writeResult = false;
    ASSERT_TRUE(client->publish(kSet, lpc("tx-refused", 1.0).dump()));
    auto third = client->waitForMessage(kAck);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->payload, ack(1, "tx-refused"));
}

TEST_F(MoreValeGatewayTest, StartUpDoesNotWaitForAnUnreachableBroker) {
    installCertificates(ca);
    BrokerOptions options;
    options.plainListener = false;
    options.tls = BrokerTlsListener{ca.caFile(), ca.issueServer("broker", {"localhost"}, {"127.0.0.1"}), true};
    broker = std::make_unique<MosquittoBroker>(workDir.path() / "broker", options);
    writeConfig(broker->tlsPort(), true);

    const auto before = std::chrono::steady_clock::now();
    createGateway();
    EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);  // the production pauses are 10 s long
    EXPECT_EQ(startResult, 0);
    const std::string unreachable =
        "mor-e-vale:  Host 127.0.0.1 is not reachable on port " + std::to_string(broker->tlsPort());
    ASSERT_TRUE(waitForLog(unreachable));
    EXPECT_FALSE(gateway->isConnected());

    ASSERT_TRUE(broker->start()) << broker->log();
    ASSERT_TRUE(waitConnected()) << broker->log();
    auto client = platform();
    ASSERT_TRUE(client->publish(kSet, lpc("tx-late", 2.0).dump()));
    auto answer = client->waitForMessage(kAck);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, ack(0, "tx-late"));
}

struct TlsCase {
    const char* name;
    bool foreignClient;   // the gateway's certificate comes from another CA
    bool foreignCaList;   // the gateway trusts another CA than the broker's
    bool withKey;
    bool plainBroker;     // the broker listens without TLS
    bool enableTls;
    bool connects;
    const char* logged;   // a line every failed attempt logs ("" for none)
};

void PrintTo(const TlsCase& c, std::ostream* os) { *os << c.name; }

class MoreValeTlsTest : public MoreValeGatewayTest, public ::testing::WithParamInterface<TlsCase> {};

TEST_P(MoreValeTlsTest, OnlyTheRightCertificatesConnect) {
    const TlsCase& c = GetParam();
    installCertificates(c.foreignClient ? foreign : ca, c.withKey);
    if (c.foreignCaList) {
        fs::copy_file(foreign.caFile(), workDir.path() / "etc/mosquitto/certs/ca_list.crt",
                      fs::copy_options::overwrite_existing);
    }
    if (c.plainBroker) {
        broker = std::make_unique<MosquittoBroker>(workDir.path() / "broker");
        ASSERT_TRUE(broker->start());
        writeConfig(broker->port(), c.enableTls);
    } else {
        ASSERT_NO_FATAL_FAILURE(startTlsBroker());
        writeConfig(broker->tlsPort(), c.enableTls);
    }
    createGateway();

    if (c.connects) {
        EXPECT_TRUE(waitConnected()) << broker->log();
        return;
    }
    // Several attempts, each a failure (refused by connect, or by the
    // handshake the network thread finishes): never a session.
    auto failures = [&] {
        size_t n = 0;
        for (const auto& r : syslog.records()) {
            if (r.text.rfind("mor-e-vale: Connection attempt failed with status: ", 0) == 0 ||
                r.text.rfind("mor-e-vale: Connection ended: ", 0) == 0) {
                ++n;
            }
        }
        return n;
    };
    for (auto end = std::chrono::steady_clock::now() + 15s; failures() < 3 && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_GE(failures(), 3u);
    if (*c.logged) {
        EXPECT_TRUE(syslog.contains(c.logged)) << c.logged;
    }
    EXPECT_FALSE(gateway->isConnected());
    EXPECT_EQ(broker->countInLog("New client connected"), 0u) << broker->log();
    EXPECT_TRUE(core.writes().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Certificates, MoreValeTlsTest,
    ::testing::Values(
        TlsCase{"own", false, false, true, false, true, true, ""},
        TlsCase{"foreignCaList", false, true, true, false, true, false, ""},
        TlsCase{"missingKeyAgainstPlainBroker", false, false, false, true, true, false,
                "mor-e-vale: Connection attempt failed with status: 3 (Invalid function arguments provided.)"},
        TlsCase{"noTlsAgainstPlainBroker", false, false, true, true, false, true, ""}),
    [](const ::testing::TestParamInfo<TlsCase>& info) { return std::string(info.param.name); });

TEST_F(MoreValeGatewayTest, ForeignClientCertificateIsRefusedByTheBroker) {
    installCertificates(foreign);
    ASSERT_NO_FATAL_FAILURE(startTlsBroker());
    writeConfig(broker->tlsPort(), true);
    createGateway();
    // The handshake fails on one side or the other; the gateway never gets a session.
    ASSERT_TRUE(broker->waitForLog("OpenSSL Error", 10s)) << broker->log();
    EXPECT_FALSE(gateway->isConnected());
    EXPECT_EQ(broker->countInLog("New client connected"), 0u) << broker->log();
}

TEST_F(MoreValeGatewayTest, ConfigurationErrorLeavesTheGatewayWithoutConnectionAttempts) {
    workDir.writeFile("/etc/iec/config/MQTT_morevale_config.json",
                      R"({"mqttBroker":"127.0.0.1","mqttPort":8883,"enableTLS":true,"dso":"d","gcp":"#","version":"1"})");
    createGateway();
    EXPECT_NE(startResult, 0);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "mor-e-vale: Error: \"gcp\" must be non-empty without '/', '+', '#', NUL or \"..\""));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "mor-e-vale: Step 2: MQTT connection failed"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "mor-e-vale: mosquitto_loop_start() failed"));
    EXPECT_FALSE(gateway->configuration().has_value());

    fs::remove(workDir.path() / "etc/iec/config/MQTT_morevale_config.json");
    gateway.reset();
    createGateway();
    EXPECT_NE(startResult, 0);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "mor-e-vale: Error: Unable to open config file."));
    EXPECT_EQ(syslog.count("mor-e-vale: Connection attempt failed"), 0u);
}

TEST_F(MoreValeGatewayTest, LimitsAfterABrokerRestartAreAcknowledgedAndApplied) {
    ASSERT_NO_FATAL_FAILURE(connectGateway());
    {
        auto client = platform();
        ASSERT_TRUE(client->publish(kSet, lpc("tx-before", 1.0).dump()));
        ASSERT_TRUE(client->waitForMessage(kAck));
    }

    broker->stop();
    ASSERT_TRUE(waitForLog("mor-e-vale: Disconnected from MQTT broker"));
    EXPECT_FALSE(gateway->isConnected());
    ASSERT_TRUE(broker->start()) << broker->log();
    ASSERT_TRUE(waitConnected(15s)) << broker->log();
    EXPECT_EQ(syslog.count("mor-e-vale: Disconnected from MQTT broker"), 1u);

    auto client = platform();
    ASSERT_TRUE(client->publish(kSet, lpc("tx-after", 3.0).dump()));
    auto answer = client->waitForMessage(kAck);
    ASSERT_TRUE(answer) << broker->log();
    EXPECT_EQ(answer->payload, ack(0, "tx-after"));
    ASSERT_EQ(core.writes().size(), 2u);
    EXPECT_EQ(core.writes()[1].limitW, 3000.0f);
}

TEST_F(MoreValeGatewayTest, MgcpMessagesCarryTheModelAndEndWithTheGateway) {
    IedServer_updateFloatAttributeValue(
        iedServer, static_cast<DataAttribute*>(findDataAttribute("CLS1", "MMXU001", "TotW", "mag")->firstChild),
        4300.5f);
    IedServer_updateFloatAttributeValue(
        iedServer, static_cast<DataAttribute*>(findDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal")->firstChild),
        2.5f);
    IedServer_updateInt32AttributeValue(
        iedServer, findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "units", "multiplier"), 3);
    // The home platform's per-phase values come through the core.
    core.balance = {{1200.5f, 800.0f, -50.25f}, {5.5f, 3.5f, 0.25f}, {230.5f, 229.0f, 231.75f}};
    ASSERT_NO_FATAL_FAILURE(connectGateway());
    auto client = platform();

    json request = lpc("mgcp-1", 0);
    request.erase("maximumPowerValue");
    request.update({{"requestMGCP", true},
                    {"interval", 1},
                    {"requestTimeFrom", "2026-01-01T00:00:00Z"},
                    {"requestTimeTo", "2026-01-02T00:00:00Z"},
                    {"requiredOBIS", {"1-0: 16.7.0.255"}},
                    {"optionalOBIS", json::array()},
                    {"clsAvailability", true}});
    ASSERT_TRUE(client->publish(kReq, request.dump()));
    auto messages = client->waitForMessages(kMsg, 2, 5s);
    ASSERT_EQ(messages.size(), 2u) << broker->log();
    for (const auto& m : messages) {
        const json message = json::parse(m.payload);
        EXPECT_EQ(message["transactionId"], "mgcp-1");
        EXPECT_EQ(message["states"].size(), 16u);
        EXPECT_EQ(message["states"]["1-0: 16.7.0.255"], 4300.5);
        const std::vector<std::pair<const char*, double>> phases = {
            {"1-0: 36.7.0.255", 1200.5}, {"1-0: 56.7.0.255", 800.0}, {"1-0: 76.7.0.255", -50.25},
            {"1-0: 31.7.0.255", 5.5},    {"1-0: 51.7.0.255", 3.5},   {"1-0: 71.7.0.255", 0.25},
            {"1-0: 32.7.0.255", 230.5},  {"1-0: 52.7.0.255", 229.0}, {"1-0: 72.7.0.255", 231.75}};
        for (const auto& [obis, value] : phases) EXPECT_EQ(message["states"][obis], value) << obis;
        EXPECT_EQ(message["clsAvailability"]["controllableDemand"], 2500.0);
        EXPECT_EQ(message["creationDateTime"], message["timestamp"]);
    }
    EXPECT_TRUE(client->noMessageWithin(kAck, 100ms));  // MGCP requests get no ACK

    // Destroying the gateway stops its sender at once.
    const auto before = std::chrono::steady_clock::now();
    runOrAbort("gateway destruction", [&] { gateway.reset(); });
    EXPECT_LT(std::chrono::steady_clock::now() - before, 1s);
    char host[256] = {};
    ASSERT_EQ(gethostname(host, sizeof(host) - 1), 0);
    EXPECT_TRUE(broker->waitForLog("Client " + moreValeClientId(host) + " disconnected.", 5s)) << broker->log();
    client->clear();
    EXPECT_TRUE(client->noMessageWithin(kMsg, 1500ms));
}

struct LimitCase {
    float mxVal;
    int32_t multiplier;
    float limit;
};

TEST_F(MoreValeGatewayTest, PowerLimitIsTheValueTimesTenToTheMultiplier) {
    createGateway();  // no configuration: the model reading works all the same
    DataAttribute* f =
        static_cast<DataAttribute*>(findDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal")->firstChild);
    DataAttribute* multiplier = findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "units", "multiplier");
    for (const LimitCase& c : {LimitCase{1.5f, 3, 1500.0f}, LimitCase{-1.0f, 0, -1.0f}, LimitCase{0.0f, 3, 0.0f},
                               LimitCase{2500.0f, 0, 2500.0f}, LimitCase{1.0f, 60, 0.0f}}) {
        IedServer_updateFloatAttributeValue(iedServer, f, c.mxVal);
        IedServer_updateInt32AttributeValue(iedServer, multiplier, c.multiplier);
        EXPECT_EQ(gateway->getPowerLimitFromIEC(), c.limit) << c.mxVal << " x 10^" << c.multiplier;
    }
}

}  // namespace
