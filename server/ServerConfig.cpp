#include "server/ServerConfig.h"

#include <cctype>
#include <climits>
#include <cstdint>

namespace {

// A port that is no decimal int ends the start-up. Any int is taken as
// written, also one outside the TCP range: the echo shows it, and the start
// fails on it (the MMS server on "IEC61850_tcpPort") or reports it.
int readPort(const config::Entry& entry) {
    const auto port = parseDecimalInt(entry.second);
    if (!port) {
        throw StartupError("Invalid value for " + entry.first + " in IECServer.conf: \"" + entry.second +
                           "\" (a decimal port number is expected)");
    }
    return *port;
}

}  // namespace

std::optional<int> parseDecimalInt(std::string_view text) {
    size_t pos = 0;
    while (pos < text.size() && std::isspace(static_cast<unsigned char>(text[pos]))) {
        ++pos;
    }
    bool negative = false;
    if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        negative = text[pos] == '-';
        ++pos;
    }
    const size_t firstDigit = pos;
    int64_t value = 0;
    while (pos < text.size() && std::isdigit(static_cast<unsigned char>(text[pos]))) {
        value = value * 10 + (text[pos] - '0');
        if (value > static_cast<int64_t>(INT_MAX) + 1) {
            return std::nullopt;
        }
        ++pos;
    }
    if (pos == firstDigit) {
        return std::nullopt;
    }
    if (negative) {
        value = -value;
    }
    if (value > INT_MAX || value < INT_MIN) {
        return std::nullopt;
    }
    return static_cast<int>(value);
}

void applyServerConfig(ServerConfig& config, const std::vector<config::Entry>& entries, std::ostream& echo) {
    struct Flag {
        const char* key;
        const char* echo;
        bool ServerConfig::*field;
    };
    static constexpr Flag kFlags[] = {
        {"activate_extern_MQTT_CLSEEDI", "activate_extern_MQTT_CLSEEDI:   ", &ServerConfig::activateExternMqttClseedi},
        {"activate_extern_MQTT_MoreVale", "activate_extern_MQTT_MoreVale: ", &ServerConfig::activateExternMqttMoreVale},
        {"activate_intern_DBUS", "activate_intern_DBUS:      ", &ServerConfig::activateInternDbus},
        {"activate_intern_JSONRPC", "activate_intern_JSONRPC:      ", &ServerConfig::activateInternJsonrpc},
    };
    for (const auto& entry : entries) {
        const auto& [key, value] = entry;
        if (key == "IEC61850_tcpPort") {
            config.iec61850TcpPort = readPort(entry);
            echo << "IEC61850_port: " << config.iec61850TcpPort << '\n';
            continue;
        }
        if (key == "nymea_tcpPort") {
            config.nymeaTcpPort = readPort(entry);
            echo << "nymea_tcpPort: " << config.nymeaTcpPort << '\n';
            continue;
        }
        if (key == "plim_log_level") {
            echo << "plim_log_level: " << value << '\n';
            continue;
        }
        bool known = false;
        for (const auto& flag : kFlags) {
            if (key == flag.key) {
                config.*flag.field = value == "true";
                echo << flag.echo << (config.*flag.field ? 1 : 0) << '\n';
                known = true;
                break;
            }
        }
        if (!known) {
            echo << "Unknown configuration key: " << key << '\n';
        }
    }
    echo.flush();
}
