// The lines of IECServer.conf: ports, flags, echo lines and fatal values.
#include <sstream>

#include "server/ServerConfig.h"
#include "tests/support/TestSupport.h"

namespace {

struct ConfigCase {
    const char* text;
    int iecPort;
    int nymeaPort;
    bool dbus;
    const char* echo;  // the whole console output
};

ServerConfig applyText(const std::string& text, std::string& echo) {
    std::vector<config::Entry> entries;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (auto entry = config::parseLine(line)) entries.push_back(*entry);
    }
    ServerConfig config;
    std::ostringstream out;
    applyServerConfig(config, entries, out);
    echo = out.str();
    return config;
}

class ServerConfigTest : public testsupport::IecTest {};

TEST_F(ServerConfigTest, LinesGiveTheirValuesAndEchoes) {
    const ConfigCase cases[] = {
        {"IEC61850_tcpPort = 102 \n", 102, 0, false, "IEC61850_port: 102\n"},
        {"\tIEC61850_tcpPort\t=\t102\t\n", 102, 0, false, "IEC61850_port: 102\n"},
        {"IEC61850_tcpPort=102abc\n", 102, 0, false, "IEC61850_port: 102\n"},
        {"IEC61850_tcpPort=+7\n", 7, 0, false, "IEC61850_port: 7\n"},
        // Any int is taken as written, also outside the TCP range: the start
        // then fails on it (DaemonProcessTest).
        {"IEC61850_tcpPort=-5\n", -5, 0, false, "IEC61850_port: -5\n"},
        {"IEC61850_tcpPort=102\nIEC61850_tcpPort=70000\n", 70000, 0, false,
         "IEC61850_port: 102\nIEC61850_port: 70000\n"},
        {"IEC61850_tcpPort=65535\n", 65535, 0, false, "IEC61850_port: 65535\n"},
        {"nymea_tcpPort=0\n", 0, 0, false, "nymea_tcpPort: 0\n"},
        {"nymea_tcpPort=-5\n", 0, -5, false, "nymea_tcpPort: -5\n"},
        {"IEC61850_tcpPort=102\r\n", 102, 0, false, "IEC61850_port: 102\n"},
        {"IEC61850_tcpPort=\n", 0, 0, false, ""},
        {"nymea_tcpPort=4444=5\n", 0, 4444, false, "nymea_tcpPort: 4444\n"},
        {"IEC61850_tcpPort=1\nIEC61850_tcpPort=2\n", 2, 0, false, "IEC61850_port: 1\nIEC61850_port: 2\n"},
        {"activate_intern_DBUS=true\n", 0, 0, true, "activate_intern_DBUS:      1\n"},
        {"activate_intern_DBUS=TRUE\n", 0, 0, false, "activate_intern_DBUS:      0\n"},
        {"activate_intern_DBUS=1\n", 0, 0, false, "activate_intern_DBUS:      0\n"},
        {"activate_intern_DBUS=yes\n", 0, 0, false, "activate_intern_DBUS:      0\n"},
        {"activate_intern_DBUS=true\r\n", 0, 0, true, "activate_intern_DBUS:      1\n"},
        {"activate_intern_DBUS=true\nactivate_intern_DBUS=no\n", 0, 0, false,
         "activate_intern_DBUS:      1\nactivate_intern_DBUS:      0\n"},
        {"plim_log_level=chatty\n", 0, 0, false, "plim_log_level: chatty\n"},
        {"# a comment\n", 0, 0, false, ""},
        {"#a=b\n", 0, 0, false, "Unknown configuration key: #a\n"},
        {"=value\n", 0, 0, false, "Unknown configuration key: \n"},
        {"iec61850_tcpport=5\n", 0, 0, false, "Unknown configuration key: iec61850_tcpport\n"},
    };
    for (const auto& c : cases) {
        syslog.clear();
        std::string echo;
        const ServerConfig config = applyText(c.text, echo);
        EXPECT_EQ(config.iec61850TcpPort, c.iecPort) << c.text;
        EXPECT_EQ(config.nymeaTcpPort, c.nymeaPort) << c.text;
        EXPECT_EQ(config.activateInternDbus, c.dbus) << c.text;
        EXPECT_EQ(echo, c.echo) << c.text;
        // The lines are echoed, not logged (the report follows in loadConfig).
        EXPECT_TRUE(syslog.records().empty()) << c.text;
    }
}

TEST_F(ServerConfigTest, EveryFlagIsReadFromItsOwnKey) {
    std::string echo;
    const ServerConfig config = applyText(
        "activate_extern_MQTT_CLSEEDI=true\nactivate_extern_MQTT_MoreVale=true\nactivate_intern_JSONRPC=true\n", echo);
    EXPECT_TRUE(config.activateExternMqttClseedi);
    EXPECT_TRUE(config.activateExternMqttMoreVale);
    EXPECT_TRUE(config.activateInternJsonrpc);
    EXPECT_FALSE(config.activateInternDbus);
    EXPECT_EQ(echo,
              "activate_extern_MQTT_CLSEEDI:   1\nactivate_extern_MQTT_MoreVale: 1\nactivate_intern_JSONRPC:      1\n");
}

TEST_F(ServerConfigTest, APortThatIsNoIntStopsTheStartUp) {
    for (const char* value : {"abc", "+", "- 5", "2147483648", "-2147483649", "99999999999999999999"}) {
        std::string echo;
        try {
            applyText(std::string("IEC61850_tcpPort=") + value + "\n", echo);
            ADD_FAILURE() << value << " was accepted";
        } catch (const StartupError& e) {
            EXPECT_EQ(e.exitCode(), 1);
            EXPECT_NE(std::string(e.what()).find("IEC61850_tcpPort"), std::string::npos) << e.what();
        }
    }
}

TEST(ParseDecimalInt, TakesTheLeadingNumberWithinInt) {
    EXPECT_EQ(parseDecimalInt("  2147483647"), 2147483647);
    EXPECT_EQ(parseDecimalInt("-2147483648"), -2147483647 - 1);
    EXPECT_EQ(parseDecimalInt("\v12 34"), 12);
    EXPECT_EQ(parseDecimalInt("00012"), 12);
    EXPECT_FALSE(parseDecimalInt(""));
    EXPECT_FALSE(parseDecimalInt("x1"));
}

}  // namespace
