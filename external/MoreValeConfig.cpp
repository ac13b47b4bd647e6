#include "external/MoreValeConfig.h"

#include <cmath>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "foundation/Paths.h"

using json = nlohmann::json;

namespace {

// Refuses a value that would subscribe to wildcards, add topic levels or
// lead the certificate paths out of their folder.
bool safeLevel(const std::string& value) {
    return !value.empty() && value.find_first_of(std::string("/+#\0", 4)) == std::string::npos &&
           value.find("..") == std::string::npos;
}

}  // namespace

std::optional<MoreValeConfig> parseMoreValeConfig(const std::string& text, bool debugMode, std::string& error) {
    json document;
    try {
        document = json::parse(text);
    } catch (const json::parse_error& e) {
        error = std::string("JSON Parsing Error: ") + e.what();
        return std::nullopt;
    }
    if (!document.is_object()) {
        error = "the configuration is no JSON object";
        return std::nullopt;
    }
    for (const char* key : {"mqttBroker", "mqttPort", "enableTLS", "dso", "gcp", "version"}) {
        if (!document.contains(key) || document[key].is_null()) {
            error = std::string("missing key \"") + key + "\"";
            return std::nullopt;
        }
    }
    MoreValeConfig config;
    for (auto [key, field] : {std::pair{"mqttBroker", &config.mqttBroker}, std::pair{"dso", &config.dso},
                              std::pair{"gcp", &config.gcp}, std::pair{"version", &config.version}}) {
        if (!document[key].is_string()) {
            error = std::string("\"") + key + "\" must be a string";
            return std::nullopt;
        }
        *field = document[key].get<std::string>();
    }
    const json& port = document["mqttPort"];
    if (!port.is_number() && !port.is_boolean()) {
        error = "\"mqttPort\" must be a number";
        return std::nullopt;
    }
    const double portValue = std::trunc(port.is_boolean() ? (port.get<bool>() ? 1.0 : 0.0) : port.get<double>());
    if (!(portValue >= 1.0 && portValue <= 65535.0)) {
        error = "\"mqttPort\" must lie in 1..65535, not " + port.dump();
        return std::nullopt;
    }
    config.mqttPort = static_cast<int>(portValue);
    if (!document["enableTLS"].is_boolean()) {
        error = "\"enableTLS\" must be a boolean";
        return std::nullopt;
    }
    config.enableTLS = document["enableTLS"].get<bool>() || debugMode;
    if (config.mqttBroker.empty()) {
        error = "\"mqttBroker\" is empty";
        return std::nullopt;
    }
    for (auto [key, value] : {std::pair{"dso", &config.dso}, std::pair{"gcp", &config.gcp},
                              std::pair{"version", &config.version}}) {
        if (!safeLevel(*value)) {
            error = std::string("\"") + key + "\" must be non-empty without '/', '+', '#', NUL or \"..\"";
            return std::nullopt;
        }
    }
    return config;
}

std::optional<MoreValeConfig> readMoreValeConfig(bool debugMode, std::string& error) {
    const std::string path = debugMode ? kMoreValeDebugConfigPath : paths::resolve(kMoreValeConfigPath);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "Unable to open config file.";
        return std::nullopt;
    }
    std::ostringstream text;
    text << file.rdbuf();
    return parseMoreValeConfig(text.str(), debugMode, error);
}

MoreValeTopics buildMoreValeTopics(const MoreValeConfig& config) {
    const std::string prefix = "dso/" + config.dso + "/gcp/" + config.gcp + "/lpc/" + config.version + "/";
    return {prefix + "set", prefix + "req", prefix + "ack", prefix + "msg"};
}

MoreValeTlsFiles moreValeTlsFiles(const std::string& gcp) {
    const std::string dir = paths::resolve(kMoreValeCertDir);
    return {dir + "ca_list.crt", dir + gcp + "/" + gcp + ".pem", dir + gcp + "/" + gcp + ".key"};
}

std::string moreValeClientId(const std::string& hostName) { return "Tavelmarck_Mor-e-vale_Client_" + hostName; }
