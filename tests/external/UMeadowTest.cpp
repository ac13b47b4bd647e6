// The UMeadow demonstration gateway: its two plain-text messages, its
// configuration, and the gateway against a real mosquitto broker with a
// recording core.

#include <gtest/gtest.h>

#include <algorithm>
#include <syslog.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "external/ExternalInterfaceUMeadow.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

using namespace std::chrono_literals;
using testsupport::eventually;
using Kind = UMeadowCommand::Kind;

namespace {

UMeadowCommand parse(const std::string& topic, const std::string& payload) {
    return parseUMeadowMessage(topic, payload.data(), static_cast<int>(payload.size()));
}

TEST(UMeadowMessages, LimitValues) {
    struct Case {
        std::string payload;
        Kind kind;
        float watts;
    } cases[] = {
        {"3500.5", Kind::Limit, 3500.5f},
        {"0", Kind::Limit, 0.0f},
        {"12abc", Kind::Limit, 12.0f},
        // Read as text up to the first NUL byte, its leading number parsed.
        {std::string("3500.5\0", 7), Kind::Limit, 3500.5f},
        {std::string("7\0" "99", 4), Kind::Limit, 7.0f},
        {std::string("7\0", 2), Kind::Limit, 7.0f},
        {std::string("\0" "7", 2), Kind::InvalidArgument, 0},
        {"3500.5 W, the limit of the demonstration" + std::string(100, '.'), Kind::Limit, 3500.5f},
        {"3500.5" + std::string(58, '0'), Kind::Limit, 3500.5f},
        // The size bound of every road's messages, on the payload as received.
        {"3500.5" + std::string(inbound::kMaxMessageBytes - 6, ' '), Kind::Limit, 3500.5f},
        {"3500.5" + std::string(inbound::kMaxMessageBytes - 5, ' '), Kind::InvalidArgument, 0},
        {std::string("3500.5\0", 7) + std::string(inbound::kMaxMessageBytes, 'x'), Kind::InvalidArgument, 0},
        {std::string(65, '1'), Kind::GeneralError, 0},  // beyond a float
        {"99999999999", Kind::Limit, 99999999999.0f},
        {"abc", Kind::InvalidArgument, 0},
        {"nan", Kind::Refused, 0},
        {"inf", Kind::Refused, 0},
        {"-inf", Kind::Refused, 0},
        {"-5", Kind::Refused, 0},
        {"1e39", Kind::GeneralError, 0},
        {"", Kind::GeneralError, 0},
    };
    for (const auto& c : cases) {
        const UMeadowCommand got = parse("lpc/set/value", c.payload);
        EXPECT_EQ(got.kind, c.kind) << c.payload;
        if (c.kind == Kind::Limit) {
            EXPECT_TRUE(got.active);
            EXPECT_EQ(got.watts, c.watts) << c.payload;
        }
    }
}

TEST(UMeadowMessages, OnOffStates) {
    struct Case {
        std::string payload;
        Kind kind;
        bool active;
    } cases[] = {
        {"0", Kind::Limit, false},           {"1", Kind::Limit, true},
        {std::string("0\0", 2), Kind::Limit, false}, {std::string("1\0" "0", 3), Kind::Limit, true},
        {"1 (on)", Kind::Limit, true},
        {"7", Kind::Limit, true},            {"-5", Kind::Limit, true},
        {"2147483647", Kind::Limit, true},   {"99999999999", Kind::GeneralError, false},
        {"nan", Kind::InvalidArgument, false}, {"inf", Kind::InvalidArgument, false},
        {"abc", Kind::InvalidArgument, false}, {"", Kind::GeneralError, false},
    };
    for (const auto& c : cases) {
        const UMeadowCommand got = parse("lpc/set/on", c.payload);
        EXPECT_EQ(got.kind, c.kind) << c.payload;
        if (c.kind == Kind::Limit) {
            EXPECT_EQ(got.active, c.active) << c.payload;
            EXPECT_EQ(got.watts, 0.0f);
        }
    }
    EXPECT_EQ(parse("lpc/set/other", "1").kind, Kind::Unsupported);
    EXPECT_EQ(parse("lpc/set/value/x", "1").kind, Kind::Unsupported);
    EXPECT_EQ(parseUMeadowMessage("lpc/set/value", nullptr, 0).kind, Kind::GeneralError);
}

TEST(UMeadowConfiguration, ReadsTheGatewayFile) {
    testsupport::TempWorkDir dir;
    struct Case {
        const char* content;  // null: no file
        bool ok;
        std::string broker;
        int port;
        bool tls;
    } cases[] = {
        {R"({"mqttBroker":"b.example","mqttPort":8883,"enableTLS":true,"dso":"d","gcp":"g","version":"v"})", true,
         "b.example", 8883, true},
        // A boolean counts as 0 or 1, a fraction is truncated; then 1..65535.
        {R"({"mqttBroker":"b","mqttPort":true,"enableTLS":false,"dso":"d","gcp":"g","version":"v"})", true, "b", 1,
         false},
        {R"({"mqttBroker":"b","mqttPort":false,"enableTLS":false,"dso":"d","gcp":"g","version":"v"})", false, "b",
         1883, false},
        {R"({"mqttBroker":"b","mqttPort":1884.9,"enableTLS":false,"dso":"d","gcp":"g","version":"v"})", true, "b",
         1884, false},
        {R"({"mqttBroker":"b","mqttPort":8883.5,"enableTLS":true,"dso":"d","gcp":"g","version":"v"})", true, "b",
         8883, true},
        {R"({"mqttBroker":"b","mqttPort":0.5,"enableTLS":false,"dso":"d","gcp":"g","version":"v"})", false, "b",
         1883, false},
        {R"({"mqttBroker":"b","mqttPort":"8883","enableTLS":false,"dso":"d","gcp":"g","version":"v"})", false, "b",
         1883, false},
        {R"({"mqttBroker":"b","mqttPort":0,"enableTLS":false,"dso":"d","gcp":"g","version":"v"})", false, "b", 1883,
         false},
        {R"({"mqttBroker":"b"})", true, "", 1883, false},
        {R"({"mqttBroker":"b","mqttPort":1e12,"enableTLS":false,"dso":"d","gcp":"g","version":"v"})", false, "b",
         1883, false},
        {R"({"mqttBroker":"b","mqttPort":1,"enableTLS":"yes","dso":"d","gcp":"g","version":"v"})", false, "b", 1,
         false},
        {R"({"mqttBroker":"b","mqttPort":1,"enableTLS":false})", false, "b", 1, false},
        {"{", false, "", 1883, false},
        {nullptr, false, "", 1883, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.content ? c.content : "no file");
        std::filesystem::remove(dir.path() / "c.json");
        if (c.content) dir.writeFile("/c.json", c.content);
        UMeadowConfig config;
        std::string error;
        bool parseError = false;
        EXPECT_EQ(readUMeadowConfig((dir.path() / "c.json").string(), config, error, parseError), c.ok) << error;
        EXPECT_EQ(config.broker, c.broker);
        EXPECT_EQ(config.port, c.port);
        EXPECT_EQ(config.enableTLS, c.tls);
    }
}

TEST(UMeadowConfiguration, EntriesThatAreNoFilesAreRefusedWithoutBlocking) {
    testsupport::TempWorkDir dir;
    const auto path = dir.path() / "c.json";
    for (const auto& c : testsupport::badFileCases()) {
        testsupport::makeBadFile(c.kind, path, R"({"mqttBroker":"b"})");
        UMeadowConfig config;
        std::string error;
        bool parseError = true;
        EXPECT_FALSE(testsupport::readsWithoutBlocking(
            path, [&] { return readUMeadowConfig(path.string(), config, error, parseError); }));
        EXPECT_FALSE(parseError);
        EXPECT_EQ(error, "Unable to open config file. " + path.string() + " " + c.reason);
    }
}

class UMeadowGateway : public testsupport::IecTest {
protected:
    UMeadowGateway() {
        uMeadowLogLevel = 7;
        timings.retryInterval = 100ms;
        timings.reconnectDelay = 100ms;
        timings.reachableTimeout = 1s;
    }
    ~UMeadowGateway() override { uMeadowLogLevel = 5; }

    void writeConfig(int port) {
        workDir.writeFile(kUMeadowConfigPath, R"({"mqttBroker":"127.0.0.1","mqttPort":)" + std::to_string(port) +
                                                  R"(,"enableTLS":false,"dso":"d","gcp":"g","version":"0.4.0"})");
    }
    bool subscribed() const {
        return syslog.contains(LOG_NOTICE, "u-meadow:  Connected to MQTT broker, subscribing to topic: lpc/set/#");
    }

    RecordingCore core;
    UMeadowTimings timings;
};

TEST_F(UMeadowGateway, ConnectsInTheBackgroundAndWritesTheLimits) {
    testsupport::MosquittoBroker broker(workDir.path() / "broker");
    writeConfig(broker.port());
    // Created and started before the broker runs: the background connection
    // keeps trying.
    ExternalInterfaceUMeadow gateway(core, timings);
    EXPECT_EQ(gateway.startMqttLoop(), 0);
    EXPECT_NE(gateway.startMqttLoop(), 0);
    ASSERT_TRUE(eventually([&] { return gateway.connectionStatus() == 15; }));
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(eventually([&] { return subscribed(); }));
    EXPECT_EQ(gateway.connectionStatus(), 0);

    testsupport::MqttTestClient peer("127.0.0.1", broker.port());
    ASSERT_TRUE(peer.connect());
    // Payloads are read as text up to their first NUL byte.
    const std::pair<const char*, std::string> messages[] = {
        {"lpc/set/value", std::string("9\0junk", 6)}, {"lpc/set/on", std::string(65, '1')},
        {"lpc/set/value", std::string("3500.5\0", 7)}, {"lpc/set/value", "abc"}, {"lpc/set/value", "nan"},
        {"lpc/set/value", "-5"},     {"lpc/set/value", ""},    {"lpc/set/other", "1"},
        {"lpc/set/value", std::string(inbound::kMaxMessageBytes + 1, '1')},
        {"lpc/set/on", "0"},         {"lpc/set/on", "99999999999"}, {"lpc/set/on", "7"},
    };
    for (const auto& [topic, payload] : messages) ASSERT_TRUE(peer.publish(topic, payload, 1));
    ASSERT_TRUE(core.waitForWrites(4));
    const auto writes = core.writes();
    ASSERT_EQ(writes.size(), 4u);
    for (const auto& w : writes) {
        EXPECT_EQ(w.kind, RecordedWrite::Kind::Lpc);
        EXPECT_EQ(w.durationSeconds, 0);
    }
    EXPECT_TRUE(writes[0].active);
    EXPECT_EQ(writes[0].limitW, 9.0f);
    EXPECT_TRUE(writes[1].active);
    EXPECT_EQ(writes[1].limitW, 3500.5f);
    EXPECT_FALSE(writes[2].active);
    EXPECT_EQ(writes[2].limitW, 0.0f);
    EXPECT_TRUE(writes[3].active);
    EXPECT_EQ(writes[3].limitW, 0.0f);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "u-meadow: Invalid argument while parsing payload: abc"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "u-meadow: General error: " + std::string(65, '1')));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "u-meadow: Invalid argument while parsing payload: payload of " +
                                             std::to_string(inbound::kMaxMessageBytes + 1) +
                                             " bytes exceeds the bound of " +
                                             std::to_string(inbound::kMaxMessageBytes) + " bytes"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "u-meadow: General error: empty payload"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "u-meadow: General error: 99999999999"));
    EXPECT_TRUE(syslog.contains(LOG_ERR, "u-meadow: Received message on unsupported topic: lpc/set/other"));
    EXPECT_EQ(syslog.count("u-meadow: Refused limit value: nan (a limit is a finite, non-negative number of W)") +
                  syslog.count("u-meadow: Refused limit value: -5 (a limit is a finite, non-negative number of W)"),
              2u);

    // A lost broker is found again.
    core.clear();
    broker.stop();
    ASSERT_TRUE(broker.start());
    ASSERT_TRUE(eventually([&] {
        testsupport::MqttTestClient again("127.0.0.1", broker.port());
        return again.connect() && again.publish("lpc/set/value", "42", 1) && core.waitForWrites(1, 300ms);
    }));
    EXPECT_EQ(core.writes().front().limitW, 42.0f);
}

TEST_F(UMeadowGateway, DestructionDuringTheConnectionWaitReturnsPromptly) {
    writeConfig(testsupport::freeLoopbackPort());
    timings.retryInterval = 60s;
    auto gateway = std::make_unique<ExternalInterfaceUMeadow>(core, timings);
    ASSERT_TRUE(eventually([&] { return gateway->connectionStatus() == 15; }));
    const auto start = std::chrono::steady_clock::now();
    gateway.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(core.writes().empty());
}

TEST_F(UMeadowGateway, DestructionWhileConnectedAndLoopingReturnsPromptly) {
    testsupport::MosquittoBroker broker(workDir.path() / "broker");
    ASSERT_TRUE(broker.start());
    writeConfig(broker.port());
    auto gateway = std::make_unique<ExternalInterfaceUMeadow>(core, timings);
    ASSERT_EQ(gateway->startMqttLoop(), 0);
    ASSERT_TRUE(eventually([&] { return subscribed(); }));
    // A packet the client library reads after the disconnect was asked for
    // (here a late SUBACK) makes it drop the connection without sending the
    // DISCONNECT; the end measured here is that of a quiet connection.
    ASSERT_TRUE(eventually([&] {
        const auto records = syslog.records();
        return std::any_of(records.begin(), records.end(),
                           [](const auto& r) { return r.text.find("received SUBACK") != std::string::npos; });
    }));
    const auto start = std::chrono::steady_clock::now();
    gateway.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
    EXPECT_TRUE(broker.waitForLog("disconnected", 5s)) << broker.log();
}

// A core that holds the first limit write until the test lets it go, so the
// gateway's loop is inside a message callback for as long as the test likes.
class HeldCore : public RecordingCore {
public:
    bool writeLpcToIec61850(int durationSeconds, bool active, float limitW) override {
        {
            std::unique_lock<std::mutex> lock(mutex);
            entered = true;
            changed.notify_all();
            changed.wait(lock, [this] { return released; });
        }
        return RecordingCore::writeLpcToIec61850(durationSeconds, active, limitW);
    }
    bool waitEntered() {
        std::unique_lock<std::mutex> lock(mutex);
        return changed.wait_for(lock, 10s, [this] { return entered; });
    }
    void release() {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
        changed.notify_all();
    }

private:
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false;
    bool released = false;
};

TEST_F(UMeadowGateway, DestructionDuringAMessageStillDisconnectsCleanly) {
    testsupport::MosquittoBroker broker(workDir.path() / "broker");
    ASSERT_TRUE(broker.start());
    writeConfig(broker.port());
    HeldCore held;
    auto gateway = std::make_unique<ExternalInterfaceUMeadow>(held, timings);
    ASSERT_EQ(gateway->startMqttLoop(), 0);
    ASSERT_TRUE(eventually([&] { return subscribed(); }));
    testsupport::MqttTestClient peer("127.0.0.1", broker.port());
    ASSERT_TRUE(peer.connect());
    ASSERT_TRUE(peer.publish("lpc/set/value", "5", 1));
    ASSERT_TRUE(held.waitEntered());

    std::thread destroyer([&] { gateway.reset(); });
    const bool asked = eventually([&] {
        return syslog.contains(LOG_NOTICE, "u-meadow:  Disconnecting from other MQTT broker");
    });
    held.release();
    destroyer.join();
    ASSERT_TRUE(asked);
    EXPECT_TRUE(held.waitForWrites(1));
    // The peer is still connected: the clean goodbye is the gateway's.
    EXPECT_TRUE(broker.waitForLog("disconnected", 5s)) << broker.log();
}

}  // namespace
