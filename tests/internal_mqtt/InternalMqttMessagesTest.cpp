// The message side of the internal MQTT interface: configuration file,
// inbound topics, measurement messages, scaling and the outbound payloads.

#include <gtest/gtest.h>
#include <syslog.h>

#include <cmath>
#include <limits>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "internal/InternalMqttMessages.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

namespace {

using InternalMqttConfigFile = testsupport::IecTest;

const char* kFullConfig =
    R"({"mqttBroker":"127.0.0.1","mqttPort":18830,"enableTLS":true,"mqttUsernameGateway":"stb",)"
    R"("mqttPasswordGateway":"s3cret","gateway_sub_topic":"rurodi/toStb/#","gateway_pub_topic":"rurodi/toEMS"})";

TEST_F(InternalMqttConfigFile, ReadsEveryMemberOrSaysWhyNot) {
    struct Case {
        const char* what;
        const char* content;  // null: no file
        bool ok;
        bool parseError;
        const char* errorPart;
        int port;  // the port afterwards
    } cases[] = {
        {"complete", kFullConfig, true, false, "", 18830},
        {"no file", nullptr, false, false, "Unable to open config file.", 1883},
        {"not JSON", "{\"mqttBroker\":", false, true, "parse error", 1883},
        {"not an object", "[1,2]", false, false, "Missing required fields in configuration file.", 1883},
        {"without the publish topic",
         R"({"mqttBroker":"b","mqttPort":1,"enableTLS":false,"mqttUsernameGateway":"u",)"
         R"("mqttPasswordGateway":"p","gateway_sub_topic":"s"})",
         false, false, "Missing required fields in configuration file.", 1883},
        {"port of the wrong type",
         R"({"mqttBroker":"b","mqttPort":"x","enableTLS":false,"mqttUsernameGateway":"u",)"
         R"("mqttPasswordGateway":"p","gateway_sub_topic":"s","gateway_pub_topic":"t"})",
         false, false, "type must be number, but is string", 1883},
        {"port out of range",
         R"({"mqttBroker":"b","mqttPort":70000,"enableTLS":false,"mqttUsernameGateway":"u",)"
         R"("mqttPasswordGateway":"p","gateway_sub_topic":"s","gateway_pub_topic":"t"})",
         false, false, "mqttPort is not a TCP port", 1883},
        {"TLS flag of the wrong type",
         R"({"mqttBroker":"b","mqttPort":1,"enableTLS":"yes","mqttUsernameGateway":"u",)"
         R"("mqttPasswordGateway":"p","gateway_sub_topic":"s","gateway_pub_topic":"t"})",
         false, false, "type must be boolean, but is string", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string path = "/etc/iec/config/case.json";
        std::filesystem::remove(workDir.path() / "etc/iec/config/case.json");
        if (c.content) workDir.writeFile(path, c.content);
        InternalMqttConfig config;
        std::string error;
        bool parseError = true;
        EXPECT_EQ(readInternalMqttConfig((workDir.path() / "etc/iec/config/case.json").string(), config, error,
                                         parseError),
                  c.ok);
        EXPECT_EQ(parseError, c.parseError);
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
        EXPECT_EQ(config.port, c.port);
    }
    // Entries that are no files, deep text and ports no TCP port can have.
    const auto path = workDir.path() / "etc/iec/config/case.json";
    for (const auto& c : testsupport::badFileCases()) {
        testsupport::makeBadFile(c.kind, path, kFullConfig);
        InternalMqttConfig config;
        std::string error;
        bool parseError = true;
        EXPECT_FALSE(testsupport::readsWithoutBlocking(
            path, [&] { return readInternalMqttConfig(path.string(), config, error, parseError); }));
        EXPECT_FALSE(parseError);
        EXPECT_EQ(error, "Unable to open config file. " + path.string() + " " + c.reason);
    }
    std::filesystem::remove_all(path);
    nlohmann::json full = nlohmann::json::parse(kFullConfig);
    for (const nlohmann::json& port : {nlohmann::json(1e20), nlohmann::json(-1), nlohmann::json(3.5),
                                       nlohmann::json(0)}) {
        full["mqttPort"] = port;
        workDir.writeFile("/etc/iec/config/case.json", full.dump());
        InternalMqttConfig config;
        std::string error;
        bool parseError = true;
        EXPECT_FALSE(readInternalMqttConfig(path.string(), config, error, parseError)) << port;
        EXPECT_EQ(error, "mqttPort is not a TCP port: " + port.dump());
    }
    workDir.writeFile("/etc/iec/config/case.json", "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
    InternalMqttConfig config;
    std::string error;
    bool parseError = false;
    EXPECT_FALSE(readInternalMqttConfig(path.string(), config, error, parseError));
    EXPECT_TRUE(parseError);
    EXPECT_NE(error.find("nests deeper than 32 levels"), std::string::npos) << error;
}

TEST(InternalMqttConfig, CompleteFileFillsEveryField) {
    testsupport::TempWorkDir dir;
    dir.writeFile("/c.json", kFullConfig);
    InternalMqttConfig config;
    std::string error;
    bool parseError = false;
    ASSERT_TRUE(readInternalMqttConfig((dir.path() / "c.json").string(), config, error, parseError)) << error;
    EXPECT_EQ(config.broker, "127.0.0.1");
    EXPECT_TRUE(config.enableTLS);
    EXPECT_EQ(config.username, "stb");
    EXPECT_EQ(config.password, "s3cret");
    EXPECT_EQ(config.subTopic, "rurodi/toStb/#");
    EXPECT_EQ(config.pubTopic, "rurodi/toEMS");
}

TEST(InternalMqttTopics, OnlyWholeTopicsMatch) {
    struct Case {
        const char* topic;
        InternalTopic kind;
        const char* digit;
    } cases[] = {
        {"rurodi/toStb/get/Available", InternalTopic::Available, ""},
        {"rurodi/toStb/get/Available/more", InternalTopic::Other, ""},
        {"rurodi/toStb/get/Availablex", InternalTopic::Other, ""},
        {"x/rurodi/toStb/get/Available", InternalTopic::Other, ""},
        {"rurodi/toStb/cls/send/mxu001/1", InternalTopic::Measurement, "1"},
        {"rurodi/toStb/cls/send/mxu001/4", InternalTopic::Measurement, "4"},
        {"rurodi/toStb/cls/send/mxu001/5", InternalTopic::Other, ""},
        {"rurodi/toStb/cls/send/mxu001/0", InternalTopic::Other, ""},
        {"rurodi/toStb/cls/send/mxu001/12", InternalTopic::Other, ""},
        {"rurodi/toStb/cls/send/mxu001/", InternalTopic::Other, ""},
        {"rurodi/toStb/cls/send/mxu001/1/x", InternalTopic::Other, ""},
        {"rurodi/toStb/cls/ack/actpow_ggio001/3", InternalTopic::Acknowledgment, "3"},
        {"rurodi/toStb/cls/ack/actpow_ggio001/5", InternalTopic::Other, ""},
        {"rurodi/toEMS/send/Available", InternalTopic::Other, ""},
        {"", InternalTopic::Other, ""},
    };
    for (const auto& c : cases) {
        const ClassifiedTopic got = classifyInternalTopic(c.topic);
        EXPECT_EQ(got.kind, c.kind) << c.topic;
        EXPECT_EQ(got.clsDigit, c.digit) << c.topic;
    }
}

TEST(InternalMqttMeasurement, ValidMessageAndEveryWayToFail) {
    const std::string valid =
        R"({"totw":{"mag_f":321.5,"t":1767225600123,"units_multiplier":3},)"
        R"("hz":{"mag_f":49.98,"t":1767225600124,"units_multiplier":0}})";
    std::string error;
    bool parseError = true;
    auto m = parseTotwMessage(valid, error, parseError);
    ASSERT_TRUE(m) << error;
    EXPECT_FALSE(parseError);
    EXPECT_FLOAT_EQ(m->totwMag, 321.5f);
    EXPECT_EQ(m->totwTime, 1767225600123u);
    EXPECT_EQ(m->totwMultiplier, 3);
    EXPECT_DOUBLE_EQ(m->hzMag, 49.98);
    EXPECT_EQ(m->hzTime, 1767225600124u);

    struct Case {
        const char* what;
        std::string payload;
        bool parseError;
        const char* errorPart;
    } cases[] = {
        {"not JSON", "totw=5", true, "parse error"},
        {"empty", "", true, "parse error"},
        {"number beyond a double", R"({"totw":{"mag_f":1e400}})", true, "number overflow"},
        {"no totw", R"({"hz":{"mag_f":50,"t":1,"units_multiplier":0}})", false, "missing member totw"},
        {"no hz time", R"({"totw":{"mag_f":1,"t":1,"units_multiplier":0},"hz":{"mag_f":50,"units_multiplier":0}})",
         false, "missing member hz.t"},
        {"value as text",
         R"({"totw":{"mag_f":"1","t":1,"units_multiplier":0},"hz":{"mag_f":50,"t":1,"units_multiplier":0}})", false,
         "type must be number, but is string"},
        {"negative time",
         R"({"totw":{"mag_f":1,"t":-5,"units_multiplier":0},"hz":{"mag_f":50,"t":1,"units_multiplier":0}})", false,
         "totw.t"},
        {"fractional multiplier",
         R"({"totw":{"mag_f":1,"t":1,"units_multiplier":1.5},"hz":{"mag_f":50,"t":1,"units_multiplier":0}})", false,
         "totw.units_multiplier"},
        {"multiplier beyond 32 bits",
         R"({"totw":{"mag_f":1,"t":1,"units_multiplier":9999999999},"hz":{"mag_f":50,"t":1,"units_multiplier":0}})",
         false, "out of range"},
        {"value beyond a float",
         R"({"totw":{"mag_f":1e39,"t":1,"units_multiplier":0},"hz":{"mag_f":50,"t":1,"units_multiplier":0}})", false,
         "out of range"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        error.clear();
        EXPECT_FALSE(parseTotwMessage(c.payload, error, parseError));
        EXPECT_EQ(parseError, c.parseError);
        EXPECT_NE(error.find(c.errorPart), std::string::npos) << error;
    }
}

TEST(InternalMqttScaling, TruncatesThenScalesAndRefusesWhatCannotBeAFloat) {
    struct Case {
        float mxVal;
        int32_t multiplier;
        float expected;
    } cases[] = {
        {1234.9f, 0, 1234.0f}, {-1.0f, 3, -1000.0f}, {4.2f, 2, 400.0f}, {12.0f, -1, 1.2f},
        {0.5f, 3, 0.0f},       {7.0f, 24, 7e24f},    {-0.9f, 0, 0.0f},
    };
    for (const auto& c : cases) {
        EXPECT_FLOAT_EQ(scaleInternalPowerLimit(c.mxVal, c.multiplier), c.expected) << c.mxVal << "e" << c.multiplier;
    }
    testsupport::SyslogCapture syslog;
    internalMqttLogLevel = 7;
    EXPECT_THROW(scaleInternalPowerLimit(5.0f, 25), std::invalid_argument);
    EXPECT_THROW(scaleInternalPowerLimit(-1.0f, -25), std::invalid_argument);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "DBUS: Scale factor 25 is out of expected range."));
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity(), 1e19f, -1e19f}) {
        EXPECT_THROW(scaleInternalPowerLimit(bad, 0), std::overflow_error) << bad;
    }
    EXPECT_THROW(scaleInternalPowerLimit(3e38f, 1), std::overflow_error);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "DBUS: Scaled power limit inf is out of float bounds."));
    internalMqttLogLevel = 5;
}

TEST(InternalMqttPayloads, AvailabilityAndPowerLimitMessages) {
    EXPECT_EQ(buildAvailablePayload(), R"({"Available CLS":4})");
    struct Case {
        ActiveLimit reading;
        PowerLimitScheduleMap schedule;
        float limit;
        const char* expected;
    } cases[] = {
        {{true, true, 1234.9f, 0, 0, -5000.0f, 11000.0f},
         {},
         1234.0f,
         R"({"MaxConsumptionPower":11000.0,"MaxProductionPower":-5000.0,"PowerLimit":1234.0,)"
         R"("PowerLimitSchedule":[],"ScaleFactor":0})"},
        {{true, true, -1.0f, 3, 0, 0.0f, 0.0f},
         {{1767225600000, 4200}, {1767229200000, -1}},
         -1000.0f,
         R"({"MaxConsumptionPower":0.0,"MaxProductionPower":0.0,"PowerLimit":-1000.0,)"
         R"("PowerLimitSchedule":[[1767225600000,4200],[1767229200000,-1]],"ScaleFactor":3})"},
        {{true, true, 2.5f, -1, 0, 0.25f, 1.5f},
         {{1, 0}},
         0.2f,
         R"({"MaxConsumptionPower":1.5,"MaxProductionPower":0.25,"PowerLimit":0.20000000298023224,)"
         R"("PowerLimitSchedule":[[1,0]],"ScaleFactor":-1})"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(buildPowerLimitPayload(c.reading, c.schedule, c.limit), c.expected);
    }
}

}  // namespace
