#include "external/UMeadowMessages.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iostream>  // the streams exist before this unit's threshold is read
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "external/MoreValeConfig.h"
#include "foundation/InboundPayload.h"
#include "foundation/JsonParse.h"
#include "foundation/Logging.h"

using json = nlohmann::json;

uint32_t uMeadowLogLevel = [] {
    uint32_t level = 5;
    readLogLevel(&level);
    return level;
}();

bool readUMeadowConfig(const std::string& path, UMeadowConfig& config, std::string& error, bool& parseError) {
    parseError = false;
    try {
        JsonFile file = readJsonFile(path);
        if (file.outcome == JsonFile::Outcome::kMissing) throw std::runtime_error("Unable to open config file.");
        if (file.outcome == JsonFile::Outcome::kRefused) {
            throw std::runtime_error("Unable to open config file. " + path + " " + file.reason);
        }
        if (file.outcome == JsonFile::Outcome::kInvalid) {
            error = file.reason;
            parseError = true;
            return false;
        }
        const json& doc = file.value;
        if (!doc.is_object() || !doc.contains("mqttBroker") || !doc.contains("mqttPort")) return true;
        config.broker = doc.at("mqttBroker").get<std::string>();
        std::string portError;
        const std::optional<int> portNumber = moreValePortFromJson(doc.at("mqttPort"), portError);
        if (!portNumber) throw std::runtime_error("mqttPort: " + portError);
        config.port = *portNumber;
        config.enableTLS = doc.at("enableTLS").get<bool>();
        config.dso = doc.at("dso").get<std::string>();
        config.gcp = doc.at("gcp").get<std::string>();
        config.version = doc.at("version").get<std::string>();
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

UMeadowCommand parseUMeadowMessage(const std::string& topic, const void* payload, int payloadLength) {
    UMeadowCommand command;
    const bool value = topic == kUMeadowValueTopic;
    if (!value && topic != kUMeadowOnTopic) {
        command.detail = topic;
        return command;
    }
    if (!payload || payloadLength <= 0) {
        command.kind = UMeadowCommand::Kind::GeneralError;
        command.detail = "empty payload";
        return command;
    }
    // Bounded as received, before it is copied; then read as text up to its
    // first NUL byte, whose leading number counts.
    const std::string_view whole(static_cast<const char*>(payload), static_cast<size_t>(payloadLength));
    std::string_view upToNul;
    if (auto refused = inbound::refusalUpToNul(whole, upToNul, {kUMeadowMaxPayloadBytes, 0})) {
        command.kind = UMeadowCommand::Kind::InvalidArgument;
        command.detail = std::move(*refused);
        return command;
    }
    const std::string text(upToNul);
    char* end = nullptr;
    errno = 0;
    if (value) {
        const float watts = std::strtof(text.c_str(), &end);
        if (end == text.c_str()) {
            command.kind = UMeadowCommand::Kind::InvalidArgument;
        } else if (errno == ERANGE) {
            command.kind = UMeadowCommand::Kind::GeneralError;
        } else if (!std::isfinite(watts) || watts < 0) {
            command.kind = UMeadowCommand::Kind::Refused;  // a limit is a finite, non-negative number of W
        } else {
            command.kind = UMeadowCommand::Kind::Limit;
            command.active = true;
            command.watts = watts;
        }
    } else {
        const long n = std::strtol(text.c_str(), &end, 10);
        if (end == text.c_str()) {
            command.kind = UMeadowCommand::Kind::InvalidArgument;
        } else if (errno == ERANGE || n < INT_MIN || n > INT_MAX) {
            command.kind = UMeadowCommand::Kind::GeneralError;
        } else {
            command.kind = UMeadowCommand::Kind::Limit;
            command.active = n != 0;
        }
    }
    command.detail = text;
    return command;
}
