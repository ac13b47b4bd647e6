#pragma once
// Settings of the MoreVale gateway: its configuration file
// ("MQTT_morevale_config.json"), the topics and TLS files built from it and
// the MQTT client identifier. Pure functions; any thread may call them.

#include <cmath>
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "foundation/ConfigFile.h"

struct MoreValeConfig {
    std::string mqttBroker;
    int mqttPort = 0;
    bool enableTLS = false;
    std::string dso;      // distribution system operator, first topic level
    std::string gcp;      // grid connection point: topic level and certificate folder
    std::string version;  // protocol version level of the topics
};

struct MoreValeTopics {
    std::string set;  // LPC messages and MGCP requests arrive here ...
    std::string req;  // ... and here
    std::string ack;  // acknowledgements of LPC messages
    std::string msg;  // MGCP measurement messages
};

struct MoreValeTlsFiles {
    std::string caFile;
    std::string certFile;
    std::string keyFile;
};

inline constexpr const char* kMoreValeConfigPath = "/etc/iec/config/MQTT_morevale_config.json";
inline constexpr const char* kMoreValeDebugConfigPath = "../etc/iec/config/MQTT_morevale_config.json";
inline constexpr const char* kMoreValeCertDir = "/etc/mosquitto/certs/";

// "mqttPort" of this file, as the MoreVale and the UMeadow gateway read it:
// a JSON number, a boolean counting as 0 or 1, a fraction truncated toward
// zero; then the one port range of foundation/ConfigFile.h, 1..65535 (so
// false, 0, is refused and true is port 1). Nothing for a value of another type ("type must be number, but
// is <type>") or out of range ("<value> is no TCP port (1..65535)"), and
// error says which.
inline std::optional<int> moreValePortFromJson(const nlohmann::json& value, std::string& error) {
    double number = 0;
    if (value.is_boolean()) {
        number = value.get<bool>() ? 1.0 : 0.0;
    } else if (value.is_number()) {
        number = std::trunc(value.get<double>());
    } else {
        error = std::string("type must be number, but is ") + value.type_name();
        return std::nullopt;
    }
    const std::optional<int> port = config::portFromNumber(number);
    if (!port) error = value.dump() + " is no TCP port (1..65535)";
    return port;
}

// Parses the configuration text (nested at most 32 levels). All six keys are
// required with their JSON types ("mqttPort" as moreValePortFromJson reads
// it); "dso", "gcp" and "version" must be non-empty and hold no "/", "+",
// "#", NUL or "..". Debug mode turns TLS on whatever the file says. On
// failure: nothing, and error says why.
std::optional<MoreValeConfig> parseMoreValeConfig(const std::string& text, bool debugMode, std::string& error);

// Reads the file (the debug path in debug mode, relative to the working
// directory; the absolute one below the file-system root otherwise) through
// the one file reader (foundation/FileRead.h) and parses it; a FIFO, device
// or directory in its place is refused without blocking, and error names it.
std::optional<MoreValeConfig> readMoreValeConfig(bool debugMode, std::string& error);

// "dso/<dso>/gcp/<gcp>/lpc/<version>/" + "set", "req", "ack", "msg".
MoreValeTopics buildMoreValeTopics(const MoreValeConfig& config);

// The CA list and the client certificate and key of the grid connection point.
MoreValeTlsFiles moreValeTlsFiles(const std::string& gcp);

std::string moreValeClientId(const std::string& hostName);
