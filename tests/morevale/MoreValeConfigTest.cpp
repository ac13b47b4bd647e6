// The MoreVale gateway's configuration file, topics, TLS files and client id.

#include <string>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "external/MoreValeConfig.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

namespace {

const std::string kValid =
    R"({"mqttBroker":"127.0.0.1","mqttPort":8883,"enableTLS":true,"dso":"dso1","gcp":"gcp7","version":"0.4.0"})";

// kValid with one member replaced by a JSON text ("" removes it).
std::string with(const std::string& key, const std::string& value) {
    nlohmann::json config = nlohmann::json::parse(kValid);
    if (value.empty()) {
        config.erase(key);
    } else {
        config[key] = nlohmann::json::parse(value);
    }
    return config.dump();
}

struct ConfigCase {
    const char* name;
    std::string text;
    bool debug;
    const char* error;  // "" when the configuration is valid
    int port = 0;       // when valid and not 0: the port read
};

void PrintTo(const ConfigCase& c, std::ostream* os) { *os << c.name; }

class MoreValeConfigTest : public ::testing::TestWithParam<ConfigCase> {};

TEST_P(MoreValeConfigTest, FileIsCheckedWhole) {
    const ConfigCase& c = GetParam();
    std::string error;
    auto config = parseMoreValeConfig(c.text, c.debug, error);
    EXPECT_EQ(config.has_value(), *c.error == '\0') << error;
    if (*c.error != '\0') {
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
    } else if (config && c.port != 0) {
        EXPECT_EQ(config->mqttPort, c.port);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Files, MoreValeConfigTest,
    ::testing::Values(
        ConfigCase{"valid", kValid, false, ""},
        ConfigCase{"noBroker", with("mqttBroker", ""), false, "missing key \"mqttBroker\""},
        ConfigCase{"noPort", with("mqttPort", ""), false, "missing key \"mqttPort\""},
        ConfigCase{"noTls", with("enableTLS", ""), false, "missing key \"enableTLS\""},
        ConfigCase{"noDso", with("dso", ""), false, "missing key \"dso\""},
        ConfigCase{"noGcp", with("gcp", ""), false, "missing key \"gcp\""},
        ConfigCase{"noVersion", with("version", ""), false, "missing key \"version\""},
        ConfigCase{"nullGcp", with("gcp", "null"), false, "missing key \"gcp\""},
        ConfigCase{"brokerNumber", with("mqttBroker", "5"), false, "\"mqttBroker\" must be a string"},
        ConfigCase{"emptyBroker", with("mqttBroker", "\"\""), false, "\"mqttBroker\" is empty"},
        ConfigCase{"portText", with("mqttPort", "\"8883\""), false,
                   "\"mqttPort\": type must be number, but is string"},
        ConfigCase{"portNull", with("mqttPort", "null"), false, "missing key \"mqttPort\""},
        ConfigCase{"portArray", with("mqttPort", "[8883]"), false, "\"mqttPort\": type must be number, but is array"},
        ConfigCase{"portZero", with("mqttPort", "0"), false, "\"mqttPort\": 0 is no TCP port (1..65535)"},
        // A boolean counts as 0 or 1, then the range applies.
        ConfigCase{"portFalse", with("mqttPort", "false"), false, "\"mqttPort\": false is no TCP port (1..65535)"},
        ConfigCase{"portTrue", with("mqttPort", "true"), false, "", 1},
        ConfigCase{"portTooBig", with("mqttPort", "65536"), false, "\"mqttPort\": 65536 is no TCP port (1..65535)"},
        ConfigCase{"portHuge", with("mqttPort", "1e300"), false, "\"mqttPort\": 1e+300 is no TCP port (1..65535)"},
        ConfigCase{"portNegative", with("mqttPort", "-1"), false, "\"mqttPort\": -1 is no TCP port (1..65535)"},
        // A fraction is truncated toward zero, then the range applies.
        ConfigCase{"portFraction", with("mqttPort", "8883.9"), false, "", 8883},
        ConfigCase{"portHalf", with("mqttPort", "8883.5"), false, "", 8883},
        ConfigCase{"portTopFraction", with("mqttPort", "65535.9"), false, "", 65535},
        ConfigCase{"portBelowOne", with("mqttPort", "0.5"), false, "\"mqttPort\": 0.5 is no TCP port (1..65535)"},
        ConfigCase{"portNegativeFraction", with("mqttPort", "-0.5"), false,
                   "\"mqttPort\": -0.5 is no TCP port (1..65535)"},
        ConfigCase{"deep", with("mqttBroker", std::string(40, '[') + std::string(40, ']')), false,
                   "JSON Parsing Error: [json.exception.parse_error.101] parse error: nests deeper than 32 levels"},
        ConfigCase{"tlsText", with("enableTLS", "\"true\""), false, "\"enableTLS\" must be a boolean"},
        ConfigCase{"dsoNumber", with("dso", "1"), false, "\"dso\" must be a string"},
        ConfigCase{"versionArray", with("version", "[]"), false, "\"version\" must be a string"},
        ConfigCase{"dsoSlash", with("dso", "\"a/b\""), false, "\"dso\" must be non-empty without"},
        ConfigCase{"gcpPlus", with("gcp", "\"+\""), false, "\"gcp\" must be non-empty without"},
        ConfigCase{"versionHash", with("version", "\"0.4#\""), false, "\"version\" must be non-empty without"},
        ConfigCase{"gcpDots", with("gcp", "\"..\""), false, "\"gcp\" must be non-empty without"},
        ConfigCase{"gcpNul", with("gcp", "\"a\\u0000b\""), false, "\"gcp\" must be non-empty without"},
        ConfigCase{"gcpEmpty", with("gcp", "\"\""), false, "\"gcp\" must be non-empty without"},
        ConfigCase{"notJson", "{\"mqttBroker\":", false, "JSON Parsing Error: "},
        ConfigCase{"notObject", "[1,2]", false, "the configuration is no JSON object"},
        ConfigCase{"debugNoBroker", with("mqttBroker", ""), true, "missing key \"mqttBroker\""}),
    [](const ::testing::TestParamInfo<ConfigCase>& info) { return std::string(info.param.name); });

TEST(MoreValeConfig, FieldsTopicsTlsFilesAndClientId) {
    std::string error;
    auto config = parseMoreValeConfig(with("mqttPort", "8883.0"), false, error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->mqttBroker, "127.0.0.1");
    EXPECT_EQ(config->mqttPort, 8883);
    EXPECT_TRUE(config->enableTLS);

    const MoreValeTopics topics = buildMoreValeTopics(*config);
    EXPECT_EQ(topics.set, "dso/dso1/gcp/gcp7/lpc/0.4.0/set");
    EXPECT_EQ(topics.req, "dso/dso1/gcp/gcp7/lpc/0.4.0/req");
    EXPECT_EQ(topics.ack, "dso/dso1/gcp/gcp7/lpc/0.4.0/ack");
    EXPECT_EQ(topics.msg, "dso/dso1/gcp/gcp7/lpc/0.4.0/msg");

    testsupport::TempWorkDir root;
    const MoreValeTlsFiles files = moreValeTlsFiles(config->gcp);
    const std::string dir = root.path().string() + "/etc/mosquitto/certs/";
    EXPECT_EQ(files.caFile, dir + "ca_list.crt");
    EXPECT_EQ(files.certFile, dir + "gcp7/gcp7.pem");
    EXPECT_EQ(files.keyFile, dir + "gcp7/gcp7.key");

    EXPECT_EQ(moreValeClientId("box-17"), "Tavelmarck_Mor-e-vale_Client_box-17");
}

TEST(MoreValeConfig, DebugModeForcesTls) {
    std::string error;
    for (bool debug : {false, true}) {
        auto config = parseMoreValeConfig(with("enableTLS", "false"), debug, error);
        ASSERT_TRUE(config) << error;
        EXPECT_EQ(config->enableTLS, debug);
    }
}

TEST(MoreValeConfig, FileIsReadFromTheDebugOrTheAbsolutePath) {
    testsupport::TempWorkDir root;
    std::string error;
    EXPECT_FALSE(readMoreValeConfig(false, error));
    EXPECT_EQ(error, "Unable to open config file.");
    const auto path = root.path() / "etc/iec/config/MQTT_morevale_config.json";
    for (const auto& c : testsupport::badFileCases()) {
        testsupport::makeBadFile(c.kind, path, kValid);
        EXPECT_FALSE(testsupport::readsWithoutBlocking(path, [&] { return readMoreValeConfig(false, error); }));
        EXPECT_EQ(error, "Unable to open config file. " + path.string() + " " + c.reason);
    }
    std::filesystem::remove_all(path);

    root.writeFile("/etc/iec/config/MQTT_morevale_config.json", kValid);
    auto config = readMoreValeConfig(false, error);
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->gcp, "gcp7");

    // Debug mode reads "../etc/iec/config/" from the working directory.
    EXPECT_FALSE(readMoreValeConfig(true, error));
    std::filesystem::create_directories(root.path() / "run");
    std::filesystem::current_path(root.path() / "run");
    config = readMoreValeConfig(true, error);
    std::filesystem::current_path(root.path());
    ASSERT_TRUE(config) << error;
    EXPECT_EQ(config->dso, "dso1");
}

}  // namespace
