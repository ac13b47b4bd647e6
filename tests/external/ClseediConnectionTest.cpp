// The CLSEEDI gateway's configuration, connection, TLS and reconnects
// against real mosquitto brokers.
#include <gtest/gtest.h>
#include <syslog.h>

#include <filesystem>
#include <thread>

#include "external/ClseediIdentity.h"
#include "tests/external/ClseediFixture.h"
#include "tests/support/BadFiles.h"

namespace clseeditest {
namespace {

using namespace std::chrono_literals;
using testsupport::MqttTestClient;
using testsupport::MqttTestClientOptions;

bool logged(const testsupport::SyslogCapture& syslog, const std::string& start) {
    for (const auto& r : syslog.records()) {
        if (r.text.rfind(start, 0) == 0) return true;
    }
    return false;
}

bool waitLogged(const testsupport::SyslogCapture& syslog, const std::string& part, std::chrono::milliseconds bound) {
    const auto deadline = std::chrono::steady_clock::now() + bound;
    do {
        for (const auto& r : syslog.records()) {
            if (r.text.find(part) != std::string::npos) return true;
        }
        std::this_thread::sleep_for(10ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

class ClseediConnectionTest : public ClseediTest {
protected:
    std::unique_ptr<MqttTestClient> observe(int port = 0) {
        auto client = std::make_unique<MqttTestClient>("127.0.0.1", port != 0 ? port : broker->port(),
                                                       MqttTestClientOptions::withCredentials("observer", "watch"));
        EXPECT_TRUE(client->connect());
        EXPECT_TRUE(client->subscribe(statusTopic()));
        return client;
    }
};

TEST_F(ClseediConnectionTest, ConfigurationErrorsStopTheSetUpBeforeAnyConnect) {
    ASSERT_TRUE(startBroker());
    const json good = configFor();
    auto without = [&](const char* key) {
        json c = good;
        c.erase(key);
        return c.dump();
    };
    auto with = [&](const json::json_pointer& at, json value) {
        json c = good;
        c[at] = std::move(value);
        return c.dump();
    };
    struct Case {
        std::optional<std::string> file;  // nullopt: no file
        std::string line;                 // the start of the expected error line
    };
    const Case cases[] = {
        {std::nullopt, "CLSEEDI: Unable to open config file."},
        {"{\"mqttBroker\": ", "CLSEEDI: JSON parsing error: "},
        {"", "CLSEEDI: JSON parsing error: "},
        {"[1, 2]", "CLSEEDI: Missing mandatory MQTT config fields."},
        {without("mqttBroker"), "CLSEEDI: Missing mandatory MQTT config fields."},
        {without("mqttPort"), "CLSEEDI: Missing mandatory MQTT config fields."},
        {without("mqttUsernameGateway"), "CLSEEDI: Missing mandatory MQTT config fields."},
        {without("mqttPasswordGateway"), "CLSEEDI: Missing mandatory MQTT config fields."},
        {with("/mqttPort"_json_pointer, "1883"), "CLSEEDI: [json.exception.type_error.302] type must be number"},
        {with("/mqttPort"_json_pointer, 1e20), "CLSEEDI: mqttPort 1e+20 in "},
        {with("/mqttPort"_json_pointer, -1), "CLSEEDI: mqttPort -1 in "},
        {with("/mqttPort"_json_pointer, 70000), "CLSEEDI: mqttPort 70000 in "},
        {with("/mqttPort"_json_pointer, 0), "CLSEEDI: mqttPort 0 in "},
        {with("/mqttPort"_json_pointer, 3.5), "CLSEEDI: mqttPort 3.5 in "},
        {"{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}",
         "CLSEEDI: JSON parsing error: [json.exception.parse_error.101] parse error: nests deeper than 32 levels"},
        {with("/mqttBroker"_json_pointer, 127), "CLSEEDI: [json.exception.type_error.302] type must be string"},
        {with("/mqttPasswordGateway"_json_pointer, nullptr), "CLSEEDI: [json.exception.type_error.302] type must be string, but is null"},
        {with("/enableTLS"_json_pointer, "true"), "CLSEEDI: [json.exception.type_error.302] type must be boolean, but is string"},
        {without("CLS1"), "CLSEEDI: CLS1 configuration not found."},
        {with("/CLS1"_json_pointer, "clseedi/"), "CLSEEDI: Missing CLS1 gateway topics."},
        {with("/CLS1"_json_pointer, json{{"gateway_sub_topic", "a/"}}), "CLSEEDI: Missing CLS1 gateway topics."},
        {with("/CLS1"_json_pointer, json{{"gateway_pub_topic", "a/"}}), "CLSEEDI: Missing CLS1 gateway topics."},
        {with("/CLS1/gateway_pub_topic"_json_pointer, 5), "CLSEEDI: [json.exception.type_error.302] type must be string"},
        // TLS never falls back to plaintext: no CA file is a configuration error.
        {with("/enableTLS"_json_pointer, true), "CLSEEDI: TLS setup failed in mosquitto_tls_set"},
    };
    for (const auto& c : cases) {
        std::filesystem::remove(workDir.path() / "etc/iec/config/MQTT_gateway_config.json");
        if (c.file) writeConfigText(*c.file);
        syslog.clear();
        {
            auto gateway = startGateway();
            EXPECT_EQ(gateway->getConnectError(), 3) << c.line;
            EXPECT_TRUE(logged(syslog, c.line)) << c.line;
            EXPECT_TRUE(syslog.contains("CLSEEDI: Config error, aborting connection setup.")) << c.line;
            EXPECT_TRUE(syslog.contains("CLSEEDI: Step 2: MQTT connection failed")) << c.line;
            // The creator's start is the one that starts the loop; nothing connects.
            EXPECT_TRUE(syslog.contains("CLSEEDI: MQTT loop started")) << c.line;
        }
        EXPECT_TRUE(syslog.contains("CLSEEDI: Disconnecting from other MQTT broker")) << c.line;
    }
    // Entries that are no files: refused at once, naming the file and why.
    const auto path = workDir.path() / "etc/iec/config/MQTT_gateway_config.json";
    for (const auto& c : testsupport::badFileCases()) {
        testsupport::makeBadFile(c.kind, path, good.dump());
        syslog.clear();
        auto gateway = testsupport::readsWithoutBlocking(path, [&] { return startGateway(); });
        EXPECT_EQ(gateway->getConnectError(), 3) << c.name;
        EXPECT_TRUE(syslog.contains(LOG_ERR, "CLSEEDI: Unable to open config file. " + path.string() + " " + c.reason))
            << c.name;
    }
    std::filesystem::remove_all(path);
    // Without CLS1 the broker, port and credentials were read all the same.
    writeConfigText(without("CLS1"));
    syslog.clear();
    startGateway();
    EXPECT_TRUE(syslog.contains("CLSEEDI: InitializeConnection MQTT (broker=127.0.0.1, port=" +
                                std::to_string(broker->port()) + ", TLS=off, debugMode=0)"));

    // The probe is the broker's first and only client.
    MqttTestClient probe("127.0.0.1", broker->port(), MqttTestClientOptions::withCredentials("observer", "watch"));
    ASSERT_TRUE(probe.connect());
    ASSERT_TRUE(broker->waitForLog("New client connected", 2s));
    EXPECT_EQ(broker->countInLog("New client connected"), 1u) << broker->log();
}

TEST_F(ClseediConnectionTest, ConnectsWithCredentialsSubscribesAndPublishesOnline) {
    ASSERT_TRUE(startBroker());
    json config = configFor();
    config["CLS1"] = {{"gateway_sub_topic", "a/b/"}, {"gateway_pub_topic", "c/d/"}};
    writeConfig(config);
    MqttTestClient observer("127.0.0.1", broker->port(), MqttTestClientOptions::withCredentials("observer", "watch"));
    ASSERT_TRUE(observer.connect());
    ASSERT_TRUE(observer.subscribe("c/d/" + host + "/status", 1));

    auto gateway = startGateway();
    EXPECT_EQ(gateway->getConnectError(), 0);
    EXPECT_EQ(gateway->getSubTopic(), "a/b/" + host);
    EXPECT_EQ(gateway->getPubTopic(), "c/d/" + host);
    auto status = observer.waitForMessage("c/d/" + host + "/status", 5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(status->payload, "online");
    EXPECT_EQ(status->qos, 1);
    EXPECT_TRUE(syslog.contains("CLSEEDI: MQTT init done, clientId=" + clseedi::clientIdFor(host)));
    // The creator's second start is refused; the running loop goes on, and
    // the expected refusal is no error record.
    EXPECT_TRUE(syslog.contains(LOG_INFO, "CLSEEDI: mosquitto_loop_start() failed (the MQTT loop is already running)"));
    EXPECT_FALSE(syslog.contains(LOG_ERR, "CLSEEDI: mosquitto_loop_start() failed"));
    EXPECT_TRUE(waitLogged(syslog, "CLSEEDI: Connected to MQTT broker, subscribed='a/b/" + host + "'", 2s));
    EXPECT_TRUE(broker->waitForLog("a/b/" + host, 2s));  // the subscription reached the broker

    // A clean stop: no will.
    gateway.reset();
    EXPECT_TRUE(broker->waitForLog("Client Tavelmarck_CLSEEDI_Client_", 2s));
    EXPECT_TRUE(observer.noMessageWithin("c/d/" + host + "/status", 300ms));
}

TEST_F(ClseediConnectionTest, RefusedCredentialsAreLoggedAndNoOnlineFollows) {
    ASSERT_TRUE(startBroker());
    json config = configFor();
    config["mqttPasswordGateway"] = "wrong";
    writeConfig(config);
    auto observer = observe();
    auto gateway = startGateway();
    EXPECT_TRUE(waitLogged(syslog, "CLSEEDI: Failed to connect, reason code=5", 5s));
    EXPECT_TRUE(observer->noMessageWithin(statusTopic(), 300ms));
}

TEST_F(ClseediConnectionTest, TlsAcceptsTheTrustedBrokerAndRefusesForeignCaAndWrongName) {
    testsupport::TestCertificateAuthority ca(workDir.path() / "pki");
    testsupport::TestCertificateAuthority foreign(workDir.path() / "foreign", "Foreign CA");
    ASSERT_TRUE(ca.ok() && foreign.ok());
    struct Case {
        const char* name;
        std::vector<std::string> serverNames;
        const testsupport::TestCertificateAuthority* trusted;  // the system bundle the gateway reads
        bool accepted;
    };
    const Case cases[] = {
        {"trusted", {"localhost"}, &ca, true},
        {"foreign CA", {"localhost"}, &foreign, false},
        {"wrong name", {"wrong.example"}, &ca, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        syslog.clear();
        testsupport::BrokerOptions options;
        options.tls = testsupport::BrokerTlsListener{ca.caFile(), ca.issueServer(std::string("server-") + c.name,
                                                                                 c.serverNames)};
        ASSERT_TRUE(startBroker(options, std::string("broker-") + c.name));
        std::filesystem::create_directories(workDir.path() / "etc/ssl/certs");
        std::filesystem::copy_file(c.trusted->caFile(), workDir.path() / "etc/ssl/certs/ca-certificates.crt",
                                   std::filesystem::copy_options::overwrite_existing);
        json config = configFor(broker->tlsPort());
        config["mqttBroker"] = "localhost";
        config["enableTLS"] = true;
        writeConfig(config);
        auto observer = observe();  // over the plain listener
        auto gateway = startGateway();
        if (c.accepted) {
            EXPECT_EQ(gateway->getConnectError(), 0);
            auto status = observer->waitForMessage(statusTopic(), 5s);
            ASSERT_TRUE(status.has_value());
            EXPECT_EQ(status->payload, "online");
        } else {
            EXPECT_TRUE(waitLogged(syslog, "certificate verify failed", 5s));
            EXPECT_TRUE(observer->noMessageWithin(statusTopic(), 300ms));
            EXPECT_EQ(broker->countInLog("New client connected from"), 1u) << broker->log();  // the observer only
        }
        gateway.reset();
        observer.reset();
        broker.reset();
    }
}

TEST_F(ClseediConnectionTest, BrokerDownAtStartAndRestartedComesBackOnlineAndAnswers) {
    testsupport::BrokerOptions options;
    options.users = {{"gw", "secret"}, {"observer", "watch"}};
    broker = std::make_unique<testsupport::MosquittoBroker>(workDir.path() / "broker", options);
    writeConfig(configFor(broker->port()));

    auto gateway = startGateway();  // the broker is not running yet
    EXPECT_NE(gateway->getConnectError(), 0);
    EXPECT_TRUE(logged(syslog, "CLSEEDI: Host 127.0.0.1 not reachable on " + std::to_string(broker->port())));
    EXPECT_TRUE(logged(syslog, "CLSEEDI: Connect failed: "));
    EXPECT_TRUE(syslog.contains("CLSEEDI: Step 2: MQTT connection failed"));

    ASSERT_TRUE(broker->start());
    auto observer = observe();
    auto online = observer->waitForMessage(statusTopic(), 15s);
    ASSERT_TRUE(online.has_value());
    EXPECT_EQ(online->payload, "online");

    // Broker outage: stopped and started again on the same port.
    observer.reset();
    broker->stop();
    EXPECT_TRUE(waitLogged(syslog, "CLSEEDI: Disconnected from MQTT broker", 5s));
    ASSERT_TRUE(broker->start());
    observer = observe();
    online = observer->waitForMessage(statusTopic(), 15s);
    ASSERT_TRUE(online.has_value());
    EXPECT_EQ(online->payload, "online");

    // The new subscription works: the next control message is applied and answered.
    ASSERT_TRUE(observer->subscribe(outTopic()));
    const json control = {{"type", "de.ostrel-linkage.clseedi.control"},
                          {"source", "test"},
                          {"id", "after-restart"},
                          {"specversion", "1.0"},
                          {"data",
                           {{"protocol", "0.4.0"},
                            {"limits", {{"power", {{"active", {{"consumption", {{"value", 3100}, {"active", true}}}}}}}}}}}};
    ASSERT_TRUE(observer->publish(inTopic(), control.dump(), 1));
    auto ack = observer->waitForMessage(outTopic(), 5s);
    ASSERT_TRUE(ack.has_value());
    EXPECT_EQ(maskedId(ack->payload), expectedAck(0, "after-restart", host));
    ASSERT_EQ(core.writes().size(), 1u);
    EXPECT_EQ(core.writes()[0].limitW, 3100.0f);
}

TEST_F(ClseediConnectionTest, StoppingTheGatewayNeverHangsWhatEverItsState) {
    // Broker never reachable: the network thread waits between reconnects.
    writeConfig(configFor(testsupport::freeLoopbackPort()));
    { auto gateway = startGateway(); }
    // Configuration error: the loop started by the creator has nothing to connect.
    writeConfigText("{}");
    { auto gateway = startGateway(); }
    EXPECT_EQ(syslog.count("CLSEEDI: Disconnecting from other MQTT broker"), 2u);
}

}  // namespace
}  // namespace clseeditest
