#include "internal/InternalMqttMessages.h"

#include <syslog.h>

#include <cmath>
#include <iostream>  // the streams exist before this unit's threshold is read
#include <limits>
#include <regex>
#include <sstream>
#include <stdexcept>

#include <nlohmann/json.hpp>

#include "foundation/InboundPayload.h"
#include "foundation/JsonParse.h"
#include "foundation/Logging.h"

using json = nlohmann::json;

uint32_t internalMqttLogLevel = [] {
    uint32_t level = 5;
    readLogLevel(&level);
    return level;
}();

namespace {

// A member of the configuration file, typed as the file's table says.
const json& member(const json& doc, const char* key) {
    auto it = doc.find(key);
    if (it == doc.end()) throw std::runtime_error("Missing required fields in configuration file.");
    return *it;
}

std::string stringMember(const json& doc, const char* key) { return member(doc, key).get<std::string>(); }

// A member inside one of the two measurement objects.
const json& measurementMember(const json& doc, const char* object, const char* key) {
    auto o = doc.find(object);
    if (o == doc.end() || !o->is_object()) throw std::runtime_error(std::string("missing member ") + object);
    auto it = o->find(key);
    if (it == o->end()) throw std::runtime_error(std::string("missing member ") + object + "." + key);
    if (!it->is_number()) {
        throw std::runtime_error(std::string("type must be number, but is ") + it->type_name() + " (" + object + "." +
                                 key + ")");
    }
    return *it;
}

double finiteMember(const json& doc, const char* object, const char* key) {
    const double v = measurementMember(doc, object, key).get<double>();
    if (!std::isfinite(v)) throw std::runtime_error(std::string(object) + "." + key + " is not a finite number");
    return v;
}

uint64_t timeMember(const json& doc, const char* object, const char* key) {
    const json& v = measurementMember(doc, object, key);
    if (!v.is_number_unsigned()) {
        throw std::runtime_error(std::string(object) + "." + key + " is not a time in whole milliseconds");
    }
    return v.get<uint64_t>();
}

int32_t multiplierMember(const json& doc, const char* object, const char* key) {
    const json& v = measurementMember(doc, object, key);
    if (!v.is_number_integer()) throw std::runtime_error(std::string(object) + "." + key + " is not an integer");
    const int64_t m = v.is_number_unsigned() && v.get<uint64_t>() > uint64_t(std::numeric_limits<int64_t>::max())
                          ? std::numeric_limits<int64_t>::max()
                          : v.get<int64_t>();
    if (m < std::numeric_limits<int32_t>::min() || m > std::numeric_limits<int32_t>::max()) {
        throw std::runtime_error(std::string(object) + "." + key + " is out of range");
    }
    return static_cast<int32_t>(m);
}

}  // namespace

bool readInternalMqttConfig(const std::string& path, InternalMqttConfig& config, std::string& error,
                            bool& parseError) {
    parseError = false;
    try {
        logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Reading configuration start");
        JsonFile file = readJsonFile(path);
        if (file.outcome == JsonFile::Outcome::kMissing) throw std::runtime_error("Unable to open config file.");
        if (file.outcome == JsonFile::Outcome::kRefused) {
            throw std::runtime_error("Unable to open config file. " + path + " " + file.reason);
        }
        logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Reading configuration file:");
        if (file.outcome == JsonFile::Outcome::kInvalid) {
            error = file.reason;
            parseError = true;
            return false;
        }
        const json& doc = file.value;
        if (!doc.is_object()) throw std::runtime_error("Missing required fields in configuration file.");
        for (const char* key : {"mqttBroker", "mqttPort", "enableTLS", "mqttUsernameGateway", "mqttPasswordGateway",
                                "gateway_sub_topic", "gateway_pub_topic"}) {
            member(doc, key);
        }
        config.broker = stringMember(doc, "mqttBroker");
        const json& port = member(doc, "mqttPort");
        if (!port.is_number()) throw std::runtime_error(std::string("type must be number, but is ") + port.type_name());
        const std::optional<int> portNumber = portFromJson(port);
        if (!portNumber) throw std::runtime_error("mqttPort is not a TCP port: " + port.dump());
        config.port = *portNumber;
        config.enableTLS = member(doc, "enableTLS").get<bool>();
        config.username = stringMember(doc, "mqttUsernameGateway");
        config.password = stringMember(doc, "mqttPasswordGateway");
        config.subTopic = stringMember(doc, "gateway_sub_topic");
        config.pubTopic = stringMember(doc, "gateway_pub_topic");
        return true;
    } catch (const std::exception& e) {
        error = e.what();
        return false;
    }
}

ClassifiedTopic classifyInternalTopic(const std::string& topic) {
    static const std::regex available("rurodi/toStb/get/Available");
    static const std::regex measurement("rurodi/toStb/cls/send/mxu001/([1-4])");
    static const std::regex acknowledgment("rurodi/toStb/cls/ack/actpow_ggio001/([1-4])");
    std::smatch match;
    if (std::regex_match(topic, match, available)) return {InternalTopic::Available, ""};
    if (std::regex_match(topic, match, measurement)) return {InternalTopic::Measurement, match[1].str()};
    if (std::regex_match(topic, match, acknowledgment)) return {InternalTopic::Acknowledgment, match[1].str()};
    return {};
}

std::optional<TotwMeasurement> parseTotwMessage(const std::string& payload, std::string& error, bool& parseError) {
    parseError = false;
    json doc;
    if (auto refused = inbound::refusal(payload)) {
        error = std::move(*refused);
        parseError = true;
        return std::nullopt;
    }
    if (!parseJsonText(payload, doc, error)) {
        parseError = true;
        return std::nullopt;
    }
    try {
        TotwMeasurement m;
        const double totw = finiteMember(doc, "totw", "mag_f");
        if (std::fabs(totw) > std::numeric_limits<float>::max()) {
            throw std::runtime_error("totw.mag_f is out of range");
        }
        m.totwMag = static_cast<float>(totw);
        m.totwTime = timeMember(doc, "totw", "t");
        m.totwMultiplier = multiplierMember(doc, "totw", "units_multiplier");
        m.hzMag = finiteMember(doc, "hz", "mag_f");
        m.hzTime = timeMember(doc, "hz", "t");
        m.hzMultiplier = multiplierMember(doc, "hz", "units_multiplier");
        return m;
    } catch (const std::exception& e) {
        error = e.what();
        return std::nullopt;
    }
}

float scaleInternalPowerLimit(float mxVal, int32_t multiplier) {
    if (multiplier < -24 || multiplier > 24) {
        logMessage(&internalMqttLogLevel, LOG_ERR, "DBUS: Scale factor %d is out of expected range.", multiplier);
        throw std::invalid_argument("Scale factor is out of expected range.");
    }
    auto outOfBounds = [](double value) {
        logMessage(&internalMqttLogLevel, LOG_ERR, "DBUS: Scaled power limit %f is out of float bounds.", value);
        return std::overflow_error("Scaled power limit is out of float bounds.");
    };
    // The value is cut to whole units first; that needs a finite value in the
    // range of a 64-bit integer.
    const auto truncated = truncateToInt64(mxVal);
    if (!truncated) throw outOfBounds(mxVal);
    const float whole = static_cast<float>(*truncated);
    const float product = whole * static_cast<float>(std::pow(10.0, multiplier));
    if (!std::isfinite(product)) throw outOfBounds(product);
    return product;
}

std::string buildAvailablePayload() { return json{{"Available CLS", 4}}.dump(); }

std::string buildPowerLimitPayload(const ActiveLimit& reading, const PowerLimitScheduleMap& schedule,
                                   float powerLimit) {
    json entries = json::array();
    for (const auto& [start, limit] : schedule) entries.push_back(json::array({start, limit}));
    json message;
    message["MaxProductionPower"] = static_cast<double>(reading.minVal);
    message["MaxConsumptionPower"] = static_cast<double>(reading.maxVal);
    message["ScaleFactor"] = reading.multiplier;
    message["PowerLimitSchedule"] = std::move(entries);
    message["PowerLimit"] = static_cast<double>(powerLimit);
    return message.dump();
}
