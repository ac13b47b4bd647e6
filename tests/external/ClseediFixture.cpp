#include "tests/external/ClseediFixture.h"

#include <unistd.h>

#include <filesystem>
#include <regex>

#include "foundation/ModelLookup.h"
#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"

namespace clseeditest {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

IedServer modelServer() {
    static IedServer server = IedServer_create(getStaticIedModel());
    return server;
}

void setAnOut1(float value, int32_t multiplier) {
    DataAttribute* mxVal = findDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal");
    IedServer_updateFloatAttributeValue(modelServer(), static_cast<DataAttribute*>(mxVal->firstChild), value);
    IedServer_updateInt32AttributeValue(
        modelServer(), findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "units", "multiplier"), multiplier);
}

void setTotW(float value) {
    DataAttribute* mag = findDataAttribute("CLS1", "MMXU001", "TotW", "mag");
    IedServer_updateFloatAttributeValue(modelServer(), static_cast<DataAttribute*>(mag->firstChild), value);
}

std::string machineHostName() {
    char buffer[1024] = {};
    if (gethostname(buffer, 1023) != 0) return "unknown";
    return buffer;
}

bool isUuidV4(const std::string& text) {
    static const std::regex form("^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    return std::regex_match(text, form);
}

std::string maskedId(const std::string& reply) {
    const json parsed = json::parse(reply, nullptr, false);
    if (!parsed.is_object() || !parsed.contains("id") || !parsed["id"].is_string()) return reply;
    const std::string id = parsed["id"];
    std::string text = reply;
    const std::string quoted = "\"id\":\"" + id + "\"";
    auto at = text.find(quoted);
    if (at == std::string::npos) return text;
    text.replace(at, quoted.size(), isUuidV4(id) ? "\"id\":\"<uuid>\"" : "\"id\":\"<bad id>\"");
    return text;
}

std::string expectedAck(int errorNumber, const std::string& relation, const std::string& host) {
    return "{\"data\":{\"errorNumber\":" + std::to_string(errorNumber) +
           ",\"protocol\":\"0.4.0\"},\"datacontenttype\":\"application/json\",\"id\":\"<uuid>\",\"relation\":\"" +
           relation + "\",\"source\":\"" + host + "\",\"specversion\":\"1.0\",\"type\":\"de.ostrel-linkage.clseedi.ack\"}";
}

ClseediTest::ClseediTest() {
    // The unit's threshold was read before main (static initialisation); the
    // gateways of these tests log at every level.
    clseediLogLevel = 7;
    workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n");
    fs::create_directories(workDir.path() / "etc/iec/MQTT_JSON");
    for (const auto& entry : fs::directory_iterator(fs::path(IEC_SOURCE_DIR) / "etc/iec/MQTT_JSON")) {
        fs::copy_file(entry.path(), workDir.path() / "etc/iec/MQTT_JSON" / entry.path().filename());
    }
    core.iedServer = modelServer();
    setAnOut1(-1.0f, 0);
}

ClseediTest::~ClseediTest() { clseediLogLevel = 5; }

json ClseediTest::configFor(int port) const {
    return json{{"mqttBroker", "127.0.0.1"},
                {"mqttPort", port != 0 ? port : (broker ? broker->port() : 0)},
                {"mqttUsernameGateway", "gw"},
                {"mqttPasswordGateway", "secret"},
                {"CLS1", {{"gateway_sub_topic", "clseedi/in/"}, {"gateway_pub_topic", "clseedi/out/"}}}};
}

void ClseediTest::writeConfig(const json& config) const { writeConfigText(config.dump(2)); }

void ClseediTest::writeConfigText(const std::string& text) const {
    workDir.writeFile(ExternalInterfaceCLSEEDI::kDefaultConfigPath, text);
}

bool ClseediTest::startBroker(testsupport::BrokerOptions options, const std::string& folder) {
    if (options.users.empty()) options.users = {{"gw", "secret"}, {"observer", "watch"}};
    broker = std::make_unique<testsupport::MosquittoBroker>(workDir.path() / folder, std::move(options));
    return broker->start();
}

std::unique_ptr<ExternalInterfaceCLSEEDI> ClseediTest::startGateway() {
    auto gateway = std::make_unique<ExternalInterfaceCLSEEDI>(core);
    gateway->startMqttLoop();
    return gateway;
}

void ClseediMessageTest::SetUp() {
    ASSERT_TRUE(startBroker());
    writeConfig(configFor());
    client = std::make_unique<testsupport::MqttTestClient>(
        "127.0.0.1", broker->port(), testsupport::MqttTestClientOptions::withCredentials("observer", "watch"));
    ASSERT_TRUE(client->connect());
    ASSERT_TRUE(client->subscribe(outTopic()));
    ASSERT_TRUE(client->subscribe(statusTopic()));
    gateway = startGateway();
    ASSERT_EQ(gateway->getConnectError(), 0);
    auto online = client->waitForMessage(statusTopic(), 5s);
    ASSERT_TRUE(online.has_value());
    ASSERT_EQ(online->payload, "online");
}

void ClseediMessageTest::TearDown() {
    gateway.reset();
    client.reset();
}

std::vector<std::string> ClseediMessageTest::exchange(const std::string& payload) {
    const std::string mark = "sentinel-" + std::to_string(++sentinel);
    const json probe = {{"type", "probe"}, {"source", "test"}, {"id", mark}, {"specversion", "1.0"}, {"data", json::object()}};
    std::vector<std::string> replies;
    if (!client->publish(inTopic(), payload, 1) || !client->publish(inTopic(), probe.dump(), 1)) {
        ADD_FAILURE() << "publish failed";
        return replies;
    }
    while (true) {
        auto message = client->waitForMessage(outTopic(), 5s);
        if (!message) {
            ADD_FAILURE() << "no answer to the sentinel " << mark;
            return replies;
        }
        const json parsed = json::parse(message->payload, nullptr, false);
        if (parsed.is_object() && parsed.value("relation", "") == mark) return replies;
        replies.push_back(message->payload);
    }
}

}  // namespace clseeditest
