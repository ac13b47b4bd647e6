#include "external/MoreValeConfig.h"


#include <nlohmann/json.hpp>

#include "foundation/FileRead.h"
#include "foundation/JsonParse.h"
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
    std::string parseError;
    if (!parseJsonTextBounded(text, kMaxJsonFileDepth, document, parseError)) {
        error = "JSON Parsing Error: " + parseError;
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
    std::string portError;
    const std::optional<int> portNumber = moreValePortFromJson(document["mqttPort"], portError);
    if (!portNumber) {
        error = "\"mqttPort\": " + portError;
        return std::nullopt;
    }
    config.mqttPort = *portNumber;
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
    const fileread::FileText file = fileread::readTextFile(path);
    if (!file.read()) {
        error = "Unable to open config file.";
        if (file.outcome == fileread::Outcome::kRefused) error += " " + path + " " + file.reason;
        return std::nullopt;
    }
    return parseMoreValeConfig(file.content, debugMode, error);
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
