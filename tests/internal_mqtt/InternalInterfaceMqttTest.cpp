// The internal MQTT interface against a real mosquitto broker: availability,
// measurement intake into the model, power-limit messages from the listener,
// refused and unreachable brokers, TLS, and its signal handler.

#include <gtest/gtest.h>
#include <signal.h>
#include <syslog.h>

#include <thread>

#include "internal/InternalInterfaceMQTT.h"
#include "model/StaticModel.h"
#include "foundation/ModelLookup.h"
#include "tests/support/BadPayloads.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::MqttTestClient;
using testsupport::MqttTestClientOptions;

namespace {

constexpr const char* kUser = "stb";
constexpr const char* kPassword = "s3cret-Pw";

std::string configJson(const std::string& broker, int port, bool tls, const std::string& password = kPassword) {
    return R"({"mqttBroker":")" + broker + R"(","mqttPort":)" + std::to_string(port) + R"(,"enableTLS":)" +
           (tls ? "true" : "false") + R"(,"mqttUsernameGateway":")" + kUser + R"(","mqttPasswordGateway":")" +
           password + R"(","gateway_sub_topic":"rurodi/toStb/#","gateway_pub_topic":"rurodi/toEMS"})";
}

bool logStartsWith(const testsupport::SyslogCapture& syslog, const std::string& prefix) {
    for (const auto& r : syslog.records()) {
        if (r.text.rfind(prefix, 0) == 0) return true;
    }
    return false;
}

class InternalMqttClient : public testsupport::IecTest {
protected:
    InternalMqttClient() {
        internalMqttLogLevel = 7;
        options.users = {{kUser, kPassword}};
        server = IedServer_create(getStaticIedModel());
        core.iedServer = server;
        timings.connectAttempts = 3;
        timings.attemptPause = 20ms;
        timings.reachableTimeout = 1s;
        timings.maxRefusals = 2;
    }
    ~InternalMqttClient() override {
        iface.reset();
        IedServer_destroy(server);
        internalMqttLogLevel = 5;
    }

    void startBroker() {
        broker = std::make_unique<testsupport::MosquittoBroker>(workDir.path() / "broker", options);
        ASSERT_TRUE(broker->start());
    }
    void writeConfig(const std::string& json) { workDir.writeFile(kInternalMqttConfigPath, json); }
    void create() { iface = std::make_unique<InternalInterfaceMQTT>(core, timings); }

    // An observer of everything the interface publishes.
    std::unique_ptr<MqttTestClient> observe(const std::string& host = "127.0.0.1", int port = 0,
                                            MqttTestClientOptions o = MqttTestClientOptions::withCredentials(kUser,
                                                                                                             kPassword)) {
        auto client = std::make_unique<MqttTestClient>(host, port ? port : broker->port(), o);
        EXPECT_TRUE(client->connect());
        EXPECT_TRUE(client->subscribe("rurodi/toEMS/#", 1));
        return client;
    }
    // The interface has subscribed once an availability request is answered.
    bool answersAvailability(MqttTestClient& client) {
        return eventually([&] {
            client.publish(kTopicAvailableRequest, "", 1);
            return client.waitForMessage(kTopicAvailableAnswer, 200ms).has_value();
        });
    }

    void setActivePower(int cls, float mx, int32_t multiplier, float minVal, float maxVal) {
        const std::string ld = "CLS" + std::to_string(cls);
        IedServer_updateFloatAttributeValue(server, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "mxVal", "f"),
                                            mx);
        IedServer_updateInt32AttributeValue(
            server, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "units", "multiplier"), multiplier);
        IedServer_updateFloatAttributeValue(server, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "minVal", "f"),
                                            minVal);
        IedServer_updateFloatAttributeValue(server, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "maxVal", "f"),
                                            maxVal);
    }
    float totw(int cls) {
        return IedServer_getFloatAttributeValue(
            server, findSubDataAttribute("CLS" + std::to_string(cls), "MMXU001", "TotW", "mag", "f"));
    }

    testsupport::BrokerOptions options;
    std::unique_ptr<testsupport::MosquittoBroker> broker;
    IedServer server = nullptr;
    RecordingCore core;
    InternalMqttTimings timings;
    std::unique_ptr<InternalInterfaceMQTT> iface;
};

TEST_F(InternalMqttClient, AnswersAvailabilityAndIgnoresOtherTopicsWithoutShowingThePassword) {
    startBroker();
    writeConfig(configJson("127.0.0.1", broker->port(), false));
    testing::internal::CaptureStdout();
    create();
    const std::string startOutput = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(iface->connected());
    auto client = observe();
    ASSERT_TRUE(answersAvailability(*client));
    client->clear();

    ASSERT_TRUE(client->publish(kTopicAvailableRequest, "{\"any\":\"payload\"}", 1));
    auto answer = client->waitForMessage(kTopicAvailableAnswer);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->payload, R"({"Available CLS":4})");
    EXPECT_EQ(answer->qos, 0);
    EXPECT_FALSE(answer->retained);

    syslog.clear();
    for (const char* topic : {"rurodi/toStb/get/Available/more", "rurodi/toStb/cls/send/mxu001/5",
                              "rurodi/toStb/cls/send/mxu001/12"}) {
        ASSERT_TRUE(client->publish(topic, "{}", 1));
    }
    // Messages on one connection arrive in order: once this one is answered,
    // the three before it have been handled.
    ASSERT_TRUE(client->publish(kTopicAvailableRequest, "", 1));
    ASSERT_TRUE(client->waitForMessage(kTopicAvailableAnswer));
    EXPECT_TRUE(client->pending().empty());
    EXPECT_EQ(syslog.count("MQTT_intern: Received message does not match expected topics."), 3u);

    EXPECT_NE(startOutput.find("MQTT_intern: Password: ***"), std::string::npos);
    EXPECT_EQ(startOutput.find(kPassword), std::string::npos);
    for (const auto& r : syslog.records()) EXPECT_EQ(r.text.find(kPassword), std::string::npos) << r.text;
    EXPECT_EQ(core.listenerNames(), std::vector<std::string>{InternalInterfaceMQTT::kListenerName});
}

TEST_F(InternalMqttClient, TakesMeasurementsIntoTheModelAndDropsBadOnes) {
    startBroker();
    writeConfig(configJson("127.0.0.1", broker->port(), false));
    create();
    auto client = observe();
    ASSERT_TRUE(answersAvailability(*client));

    ASSERT_TRUE(client->publish("rurodi/toStb/cls/send/mxu001/2",
                                R"({"totw":{"mag_f":321.5,"t":1767225600123,"units_multiplier":2},)"
                                R"("hz":{"mag_f":49.9,"t":1767225600123,"units_multiplier":0}})",
                                1));
    // The three fields are written together under the model lock; read them
    // the same way so a half-written measurement is never seen.
    const std::string ld = "CLS2";
    DataAttribute* time = findDataAttribute(ld, "MMXU001", "TotW", "t");
    DataAttribute* multiplier = findSubDataAttribute(ld, "MMXU001", "TotW", "units", "multiplier");
    ASSERT_TRUE(eventually([&] {
        DataModelLock lock(server);
        return totw(2) == 321.5f && IedServer_getUTCTimeAttributeValue(server, time) == 1767225600123u &&
               IedServer_getInt32AttributeValue(server, multiplier) == 2;
    }));

    syslog.clear();
    ASSERT_TRUE(client->publish("rurodi/toStb/cls/send/mxu001/2", "not json", 1));
    ASSERT_TRUE(client->publish("rurodi/toStb/cls/send/mxu001/2", R"({"totw":{"mag_f":7,"t":1,"units_multiplier":0}})",
                                1));
    ASSERT_TRUE(client->publish("rurodi/toStb/cls/send/mxu001/2",
                                R"({"totw":{"mag_f":"7","t":1,"units_multiplier":0},)"
                                R"("hz":{"mag_f":50,"t":1,"units_multiplier":0}})",
                                1));
    ASSERT_TRUE(client->publish(kTopicAvailableRequest, "", 1));
    ASSERT_TRUE(client->waitForMessage(kTopicAvailableAnswer));
    EXPECT_TRUE(logStartsWith(syslog, "MQTT_intern: JSON parsing failed: "));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "MQTT_intern: measurement for CLS2 dropped: missing member hz"));
    EXPECT_TRUE(logStartsWith(syslog, "MQTT_intern: measurement for CLS2 dropped: type must be number, but is string"));
    EXPECT_EQ(totw(2), 321.5f);
}

// A measurement beyond the bounds writes nothing: one too big is refused
// before it is copied, whatever its topic, one too deep or with a NUL byte
// is refused as no JSON. The good measurement after each is written.
TEST_F(InternalMqttClient, PayloadsBeyondTheBoundsAreRefusedAndTheNextIsWritten) {
    startBroker();
    writeConfig(configJson("127.0.0.1", broker->port(), false));
    create();
    auto client = observe();
    ASSERT_TRUE(answersAvailability(*client));
    const std::string topic = "rurodi/toStb/cls/send/mxu001/2";
    auto measurement = [](double value) {
        return nlohmann::json{{"totw", {{"mag_f", value}, {"t", 1767225600123}, {"units_multiplier", 0}}},
                    {"hz", {{"mag_f", 50.0}, {"t", 1767225600123}, {"units_multiplier", 0}}}};
    };
    float good = 100.0f;
    for (const auto& row : testsupport::badPayloadsFor(measurement(666.0))) {
        SCOPED_TRACE(row.name);
        syslog.clear();
        ASSERT_TRUE(client->publish(topic, row.payload, 1));
        ASSERT_TRUE(client->publish(kTopicAvailableRequest, "", 1));
        ASSERT_TRUE(client->waitForMessage(kTopicAvailableAnswer));  // handled in order: the bad one is done
        EXPECT_NE(totw(2), 666.0f);
        const std::string line = std::string(row.name) == "tooBig"
                                     ? "MQTT_intern: Message on topic " + topic + " refused: " + row.reason
                                     : "MQTT_intern: JSON parsing failed: " + row.reason;
        EXPECT_TRUE(syslog.contains(LOG_ERR, line)) << line;
        good += 1.0f;
        ASSERT_TRUE(client->publish(topic, measurement(good).dump(), 1));
        EXPECT_TRUE(eventually([&] { return totw(2) == good; }));
    }
    ASSERT_TRUE(client->publish(topic, testsupport::atTheBounds(measurement(777.0)), 1));
    EXPECT_TRUE(eventually([&] { return totw(2) == 777.0f; }));
}

TEST_F(InternalMqttClient, PublishesThePowerLimitOfACls) {
    startBroker();
    writeConfig(configJson("127.0.0.1", broker->port(), false));
    create();
    auto client = observe();
    ASSERT_TRUE(answersAvailability(*client));
    client->clear();

    struct Case {
        int cls;
        float mx;
        int32_t multiplier;
        PowerLimitScheduleMap schedule;
        const char* expected;  // null: no message
    } cases[] = {
        {1, 1234.9f, 0, {},
         R"({"MaxConsumptionPower":11000.0,"MaxProductionPower":-4000.0,"PowerLimit":1234.0,)"
         R"("PowerLimitSchedule":[],"ScaleFactor":0})"},
        {2, -1.0f, 3, {{1767225600000, 4200}, {1767229200000, -1}},
         R"({"MaxConsumptionPower":11000.0,"MaxProductionPower":-4000.0,"PowerLimit":-1000.0,)"
         R"("PowerLimitSchedule":[[1767225600000,4200],[1767229200000,-1]],"ScaleFactor":3})"},
        {1, 5.0f, 25, {}, nullptr},
        {1, std::numeric_limits<float>::quiet_NaN(), 0, {}, nullptr},
        {3, 2.5f, -1, {{5, 0}},
         R"({"MaxConsumptionPower":11000.0,"MaxProductionPower":-4000.0,"PowerLimit":0.20000000298023224,)"
         R"("PowerLimitSchedule":[[5,0]],"ScaleFactor":-1})"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mx);
        setActivePower(c.cls, c.mx, c.multiplier, -4000.0f, 11000.0f);
        core.setScheduleData(c.cls, c.schedule);
        core.callListeners(c.cls);
        const std::string topic = std::string(kTopicPowerLimitPrefix) + std::to_string(c.cls);
        if (c.expected) {
            auto m = client->waitForMessage(topic);
            ASSERT_TRUE(m);
            EXPECT_EQ(m->payload, c.expected);
        } else {
            EXPECT_TRUE(client->noMessageWithin("", 200ms));
        }
    }
}

TEST_F(InternalMqttClient, GivesUpAfterRepeatedRefusalsAndIsReleasedFromOutside) {
    startBroker();
    writeConfig(configJson("127.0.0.1", broker->port(), false, "wrong"));
    create();
    ASSERT_TRUE(eventually([&] { return iface->gaveUp(); }, 15s));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "MQTT_intern: Maximum retries reached, stopping attempts to reconnect."));
    EXPECT_EQ(syslog.count("MQTT_intern: Failed to connect, reason code: 5"), 3u);
    EXPECT_FALSE(iface->connected());
    iface->disconnect();
    iface->disconnect();
}

TEST_F(InternalMqttClient, UnreachableOrMissingConfigurationEndsAfterTheAttempts) {
    writeConfig(configJson("127.0.0.1", testsupport::freeLoopbackPort(), false));
    create();
    EXPECT_EQ(iface->connectStatus(), 15);
    EXPECT_FALSE(iface->connected());
    EXPECT_EQ(syslog.count("MQTT_intern: Failed to connect after retries."), 1u);
    // Without a client connection a limit change only logs.
    core.callListeners(1);
    EXPECT_TRUE(logStartsWith(syslog, "MQTT_intern: Failed to publish MQTT message: "));
    iface.reset();

    std::filesystem::remove(workDir.path() / "etc/iec/config/MQTT_intern_gateway_config.json");
    syslog.clear();
    create();
    EXPECT_TRUE(syslog.contains(LOG_ERR, "MQTT_intern: Unable to open config file."));
    EXPECT_EQ(iface->config().port, 1883);
    EXPECT_EQ(iface->config().broker, "");
    EXPECT_EQ(syslog.count("MQTT_intern: Failed to connect after retries."), 1u);
}

TEST_F(InternalMqttClient, ConnectsOverTlsWithTheSystemCertificateBundle) {
    testsupport::TestCertificateAuthority ca(workDir.path() / "ca");
    ASSERT_TRUE(ca.ok());
    options.plainListener = false;
    options.tls = testsupport::BrokerTlsListener{ca.caFile(), ca.issueServer("server", {"localhost"}, {"127.0.0.1"})};
    startBroker();
    // The bundle the interface trusts is the one below the test's root.
    std::filesystem::create_directories(workDir.path() / "etc/ssl/certs");
    std::filesystem::copy_file(ca.caFile(), workDir.path() / "etc/ssl/certs/ca-certificates.crt");
    writeConfig(configJson("localhost", broker->tlsPort(), true));
    create();
    ASSERT_TRUE(iface->connected());
    MqttTestClientOptions o = MqttTestClientOptions::withTls(ca.caFile());
    o.username = kUser;
    o.password = kPassword;
    auto client = observe("localhost", broker->tlsPort(), o);
    ASSERT_TRUE(answersAvailability(*client));
}

TEST(InternalMqttSignal, HandlerSaysWhichSignalAndExitsWithIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(InternalInterfaceMQTT::signalHandler(SIGTERM), testing::ExitedWithCode(SIGTERM),
                "MQTT_intern: Signal 15 received, shutting down\\.");
    EXPECT_EXIT(InternalInterfaceMQTT::signalHandler(SIGINT), testing::ExitedWithCode(SIGINT),
                "MQTT_intern: Signal 2 received, shutting down\\.");
}

}  // namespace
