// The CLSEEDI gateway's message handling: envelope check, dispatch by type,
// control and read messages, and the replies built from the JSON templates.
#include <mosquitto.h>
#include <syslog.h>

#include <cinttypes>
#include <climits>
#include <cmath>
#include <vector>

#include "external/ClseediIdentity.h"
#include "external/ExternalInterfaceCLSEEDI.h"
#include "external/ReplyTemplate.h"
#include "foundation/InboundPayload.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "iec61850/iec61850_server.h"
#include "server/IecCore.h"

using nlohmann::json;

namespace {

constexpr const char* kControlType = "de.ostrel-linkage.clseedi.control";
constexpr const char* kReadType = "de.ostrel-linkage.clseedi.read";
constexpr const char* kPriceType = "de.dynamicprice";
constexpr int kDefaultConsumptionDuration = 999999;

const json& nullJson() {
    static const json null;
    return null;
}

// The member of an object, or null when the value is no object or lacks it:
// every level of a path is checked, a non-object counts as missing.
const json& member(const json& object, const char* key) {
    if (!object.is_object()) return nullJson();
    auto it = object.find(key);
    return it == object.end() ? nullJson() : *it;
}

// Text cut to limit characters followed by "...(truncated)" when longer.
std::string truncated(std::string_view text, size_t limit) {
    return text.size() > limit ? std::string(text.substr(0, limit)) + "...(truncated)" : std::string(text);
}

// A JSON number as an integer, cut toward zero. Another JSON type throws the
// library's type error (the exception path of the handlers); a non-finite
// number or one outside [low, high] gives nullopt.
std::optional<int64_t> integerIn(const json& value, int64_t low, int64_t high) {
    if (value.is_number_unsigned()) {
        uint64_t v = value.get<uint64_t>();
        if (v > static_cast<uint64_t>(high)) return std::nullopt;
        return static_cast<int64_t>(v);
    }
    if (value.is_number_integer()) {
        int64_t v = value.get<int64_t>();
        if (v < low || v > high) return std::nullopt;
        return v;
    }
    if (!value.is_number_float()) {
        throw json::type_error::create(302, std::string("type must be number, but is ") + value.type_name(), &value);
    }
    const double d = std::trunc(value.get<double>());
    // 2^63 is exact in a double; every double below it converts.
    if (!std::isfinite(d) || d < -9223372036854775808.0 || d >= 9223372036854775808.0) return std::nullopt;
    const auto v = static_cast<int64_t>(d);
    if (v < low || v > high) return std::nullopt;
    return v;
}

// The envelope strings and "data"."protocol" of a message whose fields were
// checked; a value of another JSON type throws (the exception path).
struct EnvelopeText {
    std::string type;
    std::string source;
    std::string id;
    std::string specversion;
    std::string protocol;

    explicit EnvelopeText(const json& message)
        : type(message.at("type").get<std::string>()),
          source(message.at("source").get<std::string>()),
          id(message.at("id").get<std::string>()),
          specversion(message.at("specversion").get<std::string>()),
          protocol(message.at("data").at("protocol").get<std::string>()) {}
};

}  // namespace

void ExternalInterfaceCLSEEDI::callbackOnMessage(const mosquitto_message* message) {
    if (message == nullptr) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Received null MQTT message");
        return;
    }
    std::string topic = message->topic != nullptr ? message->topic : "";
    // The library's buffer, whole (payloadlen, not up to a NUL byte) and not
    // copied: the bounds are checked before anything else touches it.
    std::string_view payload;
    if (message->payload != nullptr && message->payloadlen > 0) {
        payload = {static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen)};
    }
    handleMessage(topic, payload);
}

void ExternalInterfaceCLSEEDI::handleMessage(const std::string& topic, std::string_view payload) {
    try {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Received MQTT message on topic '%s' with payload length %zu",
                   topic.c_str(), payload.size());
        if (const auto refused = inbound::refusal(payload)) {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Error parsing JSON payload: %s", refused->c_str());
            return;
        }
        logMessage(&logLevel_, LOG_DEBUG, "CLSEEDI: Incoming payload: %s", truncated(payload, 2000).c_str());
        const json message = json::parse(payload, nullptr, true, false);
        bool envelopeOk = true;
        for (const char* key : {"type", "source", "id", "specversion", "data"}) {
            envelopeOk = hasJsonField(message, key, "") && envelopeOk;
        }
        if (!envelopeOk) {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Message dropped: invalid top-level format for topic '%s'",
                       topic.c_str());
            return;
        }
        dispatch(message, topic);
    } catch (const json::parse_error& e) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Error parsing JSON payload: %s", e.what());
    } catch (const std::exception& e) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Exception in callbackOnMessage: %s", e.what());
    } catch (...) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Exception in callbackOnMessage: unknown exception");
    }
}

void ExternalInterfaceCLSEEDI::dispatch(const json& message, const std::string& topic) {
    const std::string type = message.at("type").get<std::string>();
    const std::string id = message.at("id").get<std::string>();
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Dispatching message type='%s', id='%s', topic='%s'", type.c_str(),
               id.c_str(), topic.c_str());
    if (type == kControlType) {
        handleControl(message);
    } else if (type == kReadType) {
        handleRead(message, topic);
    } else if (type == kPriceType) {
        handleDynamicPrice(message);
    } else {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Received message with unknown type '%s' (id=%s), sending NACK",
                   type.c_str(), id.c_str());
        sendAck(pubTopic, 1, id);
    }
}

bool ExternalInterfaceCLSEEDI::hasJsonField(const json& object, const std::string& key,
                                            const std::string& prefix) const {
    if (!object.is_object() || !object.contains(key)) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Missing JSON field '%s%s' (field does not exist)", prefix.c_str(),
                   key.c_str());
        return false;
    }
    if (object.at(key).is_null()) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: JSON field '%s%s' is null", prefix.c_str(), key.c_str());
        return false;
    }
    return true;
}

bool ExternalInterfaceCLSEEDI::hasJsonFieldInConsumptionControl(const json& object, const std::string& key,
                                                                const std::string& prefix) const {
    if (!object.is_object() || !object.contains(key)) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Missing JSON field '%s%s' in consumption control", prefix.c_str(),
                   key.c_str());
        return false;
    }
    if (object.at(key).is_null()) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: JSON field '%s%s' is null in consumption control", prefix.c_str(),
                   key.c_str());
        return false;
    }
    return true;
}

// --- Control ------------------------------------------------------------------

void ExternalInterfaceCLSEEDI::handleControl(const json& message) {
    const json& data = member(message, "data");
    const json& powerActive = member(member(member(data, "limits"), "power"), "active");
    if (hasJsonField(powerActive, "consumption", "data.limits.power.active.")) {
        handleConsumptionControl(message);
    } else if (hasJsonField(powerActive, "production", "data.limits.power.active.")) {
        handleProductionControl(message);
    } else if (hasJsonField(member(member(member(data, "failsafes"), "power"), "active"), "consumption",
                            "data.failsafes.power.active.")) {
        handleFailsafesControl(message);
    } else {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Control command not found");
    }
}

// A dropped control message is answered with a NACK when it carries an id.
void ExternalInterfaceCLSEEDI::nackIfIdentified(const json& message) {
    const json& id = member(message, "id");
    if (id.is_string() && !id.get_ref<const std::string&>().empty()) sendAck(pubTopic, 1, id.get<std::string>());
}

// A protocol other than ours is refused with a NACK.
bool ExternalInterfaceCLSEEDI::protocolSupported(const std::string& protocol, const std::string& relation) {
    if (protocol == protocolVersion) return true;
    logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Protocol '%s' not supported (expected %s), sending NACK", protocol.c_str(),
               protocolVersion.c_str());
    sendAck(pubTopic, 1, relation);
    return false;
}

void ExternalInterfaceCLSEEDI::handleConsumptionControl(const json& message) {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Consumption control message received");
    const json& data = member(message, "data");
    const json& limits = member(data, "limits");
    const json& power = member(limits, "power");
    const json& active = member(power, "active");
    const json& consumption = member(active, "consumption");
    bool ok = hasJsonFieldInConsumptionControl(data, "protocol", "data.");
    ok = hasJsonFieldInConsumptionControl(data, "limits", "data.") && ok;
    ok = hasJsonFieldInConsumptionControl(limits, "power", "data.limits.") && ok;
    ok = hasJsonFieldInConsumptionControl(power, "active", "data.limits.power.") && ok;
    ok = hasJsonFieldInConsumptionControl(active, "consumption", "data.limits.power.active.") && ok;
    ok = hasJsonFieldInConsumptionControl(consumption, "value", "data.limits.power.active.consumption.") && ok;
    ok = hasJsonFieldInConsumptionControl(consumption, "active", "data.limits.power.active.consumption.") && ok;
    const json& durationField = member(consumption, "duration");
    if (durationField.is_null()) {
        logMessage(&logLevel_, LOG_INFO, "CLSEEDI: 'duration' not provided in consumption control, using default");
    }
    if (!ok) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Dropping consumption control message due to missing/invalid fields");
        nackIfIdentified(message);
        return;
    }
    const EnvelopeText e(message);
    const std::string& id = e.id;
    const std::optional<int64_t> value = integerIn(consumption.at("value"), INT64_MIN, INT64_MAX);
    const bool on = consumption.at("active").get<bool>();
    const std::optional<int64_t> duration =
        durationField.is_null() ? kDefaultConsumptionDuration : integerIn(durationField, INT_MIN, INT_MAX);
    if (!value || *value < 0 || !duration) {
        logMessage(&logLevel_, LOG_ERR,
                   "CLSEEDI: Consumption control with a value or duration out of range (id=%s), sending NACK",
                   id.c_str());
        sendAck(pubTopic, 1, id);
        return;
    }
    const int seconds = static_cast<int>(*duration);
    logMessage(&logLevel_, LOG_NOTICE,
               "CLSEEDI: Control Consumption type=%s source=%s id=%s specversion=%s protocol=%s value=%" PRId64
               " active=%d duration=%d",
               e.type.c_str(), e.source.c_str(), id.c_str(), e.specversion.c_str(), e.protocol.c_str(), *value, on ? 1 : 0,
               seconds);
    if (!protocolSupported(e.protocol, id)) return;
    if (seconds == 0) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Received consumption control with duration=0, sending NACK");
        sendAck(pubTopic, 1, id);
        return;
    }
    if (server->writeLpcToIec61850(seconds, on, static_cast<float>(*value))) {
        logMessage(&logLevel_, LOG_NOTICE,
                   "CLSEEDI: writeLimitsToIec61850 OK for consumption (value=%" PRId64 ", duration=%d, active=%d)",
                   *value, seconds, on ? 1 : 0);
        sendAck(pubTopic, 0, id);
    } else {
        logMessage(&logLevel_, LOG_ERR,
                   "CLSEEDI: writeLimitsToIec61850 FAILED for consumption (value=%" PRId64 ", duration=%d)", *value,
                   seconds);
        sendAck(pubTopic, 1, id);
    }
}

void ExternalInterfaceCLSEEDI::handleProductionControl(const json& message) {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Production value received!");
    const json& data = member(message, "data");
    const json& limits = member(data, "limits");
    const json& power = member(limits, "power");
    const json& active = member(power, "active");
    const json& production = member(active, "production");
    bool ok = hasJsonField(data, "protocol", "data.");
    ok = hasJsonField(data, "limits", "data.") && ok;
    ok = hasJsonField(limits, "power", "data.limits.") && ok;
    ok = hasJsonField(power, "active", "data.limits.power.") && ok;
    ok = hasJsonField(active, "production", "data.limits.power.active.") && ok;
    for (const char* key : {"value", "active", "duration"}) {
        ok = hasJsonField(production, key, "data.limits.power.active.production.") && ok;
    }
    if (!ok) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Dropping production control message due to missing/invalid fields");
        nackIfIdentified(message);
        return;
    }
    const EnvelopeText e(message);
    const std::string& id = e.id;
    const std::optional<int64_t> value = integerIn(production.at("value"), INT_MIN, INT_MAX);
    const bool on = production.at("active").get<bool>();
    const std::optional<int64_t> duration = integerIn(production.at("duration"), INT_MIN, INT_MAX);
    if (!value || *value < 0 || !duration) {
        logMessage(&logLevel_, LOG_ERR,
                   "CLSEEDI: Production control with a value or duration out of range (id=%s), sending NACK",
                   id.c_str());
        sendAck(pubTopic, 1, id);
        return;
    }
    const int watts = static_cast<int>(*value);
    const int seconds = static_cast<int>(*duration);
    logMessage(&logLevel_, LOG_NOTICE,
               "CLSEEDI: Control Production type=%s source=%s id=%s specversion=%s protocol=%s value=%d active=%d "
               "duration=%d",
               e.type.c_str(), e.source.c_str(), id.c_str(), e.specversion.c_str(), e.protocol.c_str(), watts, on ? 1 : 0,
               seconds);
    if (!protocolSupported(e.protocol, id)) return;
    if (server->writeLppToIec61850(seconds, on, static_cast<float>(watts))) {
        logMessage(&logLevel_, LOG_NOTICE,
                   "CLSEEDI: writeLimitsToIec61850 OK for production (value=%d, duration=%d, active=%d)", watts,
                   seconds, on ? 1 : 0);
        sendAck(pubTopic, 0, id);
    } else {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: writeLimitsToIec61850 FAILED for production (value=%d, duration=%d)",
                   watts, seconds);
        sendAck(pubTopic, 1, id);
    }
}

void ExternalInterfaceCLSEEDI::handleFailsafesControl(const json& message) {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Failsafes value received!");
    const json& data = member(message, "data");
    const json& failsafes = member(data, "failsafes");
    const json& power = member(failsafes, "power");
    const json& active = member(power, "active");
    bool ok = hasJsonField(data, "protocol", "data.");
    ok = hasJsonField(data, "failsafes", "data.") && ok;
    ok = hasJsonField(failsafes, "power", "data.failsafes.") && ok;
    ok = hasJsonField(power, "active", "data.failsafes.power.") && ok;
    ok = hasJsonField(active, "production", "data.failsafes.power.active.") && ok;
    if (!ok) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Dropping failsafes control message due to missing/invalid fields");
        nackIfIdentified(message);
        return;
    }
    const EnvelopeText e(message);
    const std::string& id = e.id;
    const std::optional<int64_t> production = integerIn(active.at("production"), INT_MIN, INT_MAX);
    if (!production) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failsafes control with a value out of range (id=%s), sending NACK",
                   id.c_str());
        sendAck(pubTopic, 1, id);
        return;
    }
    logMessage(&logLevel_, LOG_NOTICE,
               "CLSEEDI: Control Failsafes type=%s source=%s id=%s specversion=%s protocol=%s production=%d",
               e.type.c_str(), e.source.c_str(), id.c_str(), e.specversion.c_str(), e.protocol.c_str(),
               static_cast<int>(*production));
    if (!protocolSupported(e.protocol, id)) return;
    sendAck(pubTopic, 0, id);
}

// --- Read requests --------------------------------------------------------------

void ExternalInterfaceCLSEEDI::handleRead(const json& message, const std::string& topic) {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Received read request on topic: %s", topic.c_str());
    const json& data = member(message, "data");
    if (!hasJsonField(data, "protocol", "data.")) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Missing or null field: data.protocol in read request");
        return;
    }
    const std::string relation = message.at("id").get<std::string>();
    if (!hasJsonField(data, "parameters", "data.")) {
        logMessage(&logLevel_, LOG_INFO, "CLSEEDI: Performing full state read as no parameters were specified");
        sendFullState(pubTopic, relation);
        return;
    }
    const EnvelopeText e(message);
    const json& parameters = data.at("parameters");
    std::vector<std::string> items;
    if (parameters.is_string()) {
        items.push_back(parameters.get<std::string>());
    } else {
        items = parameters.get<std::vector<std::string>>();
    }
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Read type=%s source=%s id=%s specversion=%s protocol=%s",
               e.type.c_str(), e.source.c_str(), relation.c_str(), e.specversion.c_str(), e.protocol.c_str());
    if (!protocolSupported(e.protocol, relation)) return;
    for (size_t i = 0; i < items.size(); ++i) {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: selectivParameters data.parameters -> %zu: %s", i,
                   items[i].c_str());
    }
    for (const std::string& item : items) {
        if (item == "measurements") {
            send_measurements(pubTopic, "CLS1", relation);
            logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: send_measurements successful");
        } else if (item == "failsafes") {
            logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: read failsafes called");
            checkfailsafes();
            sendAck(pubTopic, 1, relation);
        } else if (item == "limits") {
            logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: read limits called");
            sendLimitsState(pubTopic, relation);
        } else if (item == "supportedEebusUseCases") {
            logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: read supportedEebusUseCases called");
            sendSupportedEebusUseCases(pubTopic, relation);
        } else {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: item not found");
        }
    }
}

bool ExternalInterfaceCLSEEDI::checkfailsafes() {
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: checkfailsafes called");
    return false;
}

// --- Replies --------------------------------------------------------------------

std::optional<json> ExternalInterfaceCLSEEDI::loadTemplate(const char* name, const char* missingLine) {
    const std::string dir = debugMode ? kDebugTemplateDir : paths::resolve(kTemplateDir);
    const std::string path = dir + name;
    std::string refusal;
    std::optional<json> document = replytemplate::load(path, &refusal);
    if (!document && refusal.empty()) logMessage(&logLevel_, LOG_ERR, "%s", missingLine);
    if (!document && !refusal.empty()) logMessage(&logLevel_, LOG_ERR, "%s: %s %s", missingLine, path.c_str(), refusal.c_str());
    return document;
}

int ExternalInterfaceCLSEEDI::publish(const std::string& topic, const std::string& payload) {
    return session_ ? session_->publish(topic, payload) : MOSQ_ERR_INVAL;
}

void ExternalInterfaceCLSEEDI::sendAck(const std::string& topic, int errorNumber, const std::string& relation) {
    std::optional<json> reply = loadTemplate("clseedi.ack.json", "CLSEEDI: Unable to open ACK template file");
    if (!reply) return;
    replytemplate::setMember(*reply, {"source"}, hostName);
    replytemplate::setMember(*reply, {"id"}, clseedi::randomUuidV4());
    replytemplate::setMember(*reply, {"relation"}, relation);
    replytemplate::setMember(*reply, {"data", "errorNumber"}, errorNumber);
    const std::string payload = replytemplate::dump(*reply);
    int rc = publish(topic, payload);
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR,
                   "CLSEEDI: Failed to publish ACK on topic '%s' (relation=%s, errorNumber=%d): %s (%d)",
                   topic.c_str(), relation.c_str(), errorNumber, mosquitto_strerror(rc), rc);
    } else {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Sent ACK on topic '%s' (relation=%s, errorNumber=%d, payload=%s)",
                   topic.c_str(), relation.c_str(), errorNumber, truncated(payload, 1000).c_str());
    }
}

void ExternalInterfaceCLSEEDI::sendStateReply(const char* templateName, const char* what, const std::string& topic,
                                              const std::string& relation) {
    std::optional<json> reply = loadTemplate(templateName, "CLSEEDI: Unable to open JSONfile.");
    if (!reply) return;
    const int limit = getPowerLimitFromIEC();
    json& consumption = replytemplate::memberAt(*reply, {"data", "limits", "power", "active", "consumption"});
    replytemplate::setMember(*reply, {"id"}, clseedi::randomUuidV4());
    replytemplate::setMember(*reply, {"relation"}, relation);
    replytemplate::setMember(consumption, {"value"}, limit > 0 ? limit : 0);
    replytemplate::setMember(consumption, {"active"}, limit > 0);
    replytemplate::setMember(consumption, {"duration"}, limit > 0 ? server->getTotalDuration() : 0);
    publish(topic, replytemplate::dump(*reply));
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Sent %s on topic '%s'", what, topic.c_str());
}

void ExternalInterfaceCLSEEDI::sendFullState(const std::string& topic, const std::string& relation) {
    sendStateReply("clseedi.state.json", "full state", topic, relation);
}

void ExternalInterfaceCLSEEDI::sendLimitsState(const std::string& topic, const std::string& relation) {
    sendStateReply("clseedi.state.limits.json", "limits state", topic, relation);
}

void ExternalInterfaceCLSEEDI::sendSupportedEebusUseCases(const std::string& topic, const std::string& relation) {
    std::optional<json> reply =
        loadTemplate("clseedi.state.supportedEebusUseCases.json", "CLSEEDI: Unable to open JSONfile.");
    if (!reply) return;
    replytemplate::setMember(*reply, {"id"}, clseedi::randomUuidV4());
    replytemplate::setMember(*reply, {"relation"}, relation);
    json& useCases = replytemplate::memberAt(*reply, {"data", "supportedEebusUseCases"});
    if (useCases.is_null()) useCases = json::array();
    if (!useCases.is_array()) {
        throw json::type_error::create(302, "data.supportedEebusUseCases is not an array", &useCases);
    }
    useCases.push_back("newUseCase1");
    useCases.push_back("newUseCase2");
    publish(topic, replytemplate::dump(*reply));
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Sent supportedEebusUseCases state on topic '%s'", topic.c_str());
}

void ExternalInterfaceCLSEEDI::send_measurements(const std::string& topic, const std::string& clsName,
                                                 const std::string& relation) {
    IedServer ied = server->getIedServer();
    DataAttribute* mag = findDataAttribute(clsName, "MMXU001", "TotW", "mag");
    auto* f = mag != nullptr ? static_cast<DataAttribute*>(mag->firstChild) : nullptr;
    if (ied == nullptr || f == nullptr) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Data Attribute for Value Assignment not found or firstChild is null.");
        return;
    }
    const double power = IedServer_getFloatAttributeValue(ied, f);
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: currentMeasuredActivePower retrieved: %f", power);
    std::optional<json> reply = loadTemplate("clseedi.state.measurements.json", "CLSEEDI: Unable to open JSONfile.");
    if (!reply) return;
    replytemplate::setMember(*reply, {"id"}, clseedi::randomUuidV4());
    replytemplate::setMember(*reply, {"relation"}, relation);
    json& measurements = replytemplate::memberAt(*reply, {"data", "measurements"});
    if (measurements.is_null()) measurements = json::array();
    if (!measurements.is_array()) {
        throw json::type_error::create(302, "data.measurements is not an array", &measurements);
    }
    if (measurements.empty()) measurements.push_back(json::object());
    replytemplate::setMember(measurements.front(), {"power", "total", "value", "number"}, power);
    publish(topic, replytemplate::dump(*reply));
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Sent measurements with currentMeasuredActivePower: %f", power);
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Sent measurements on topic '%s'", topic.c_str());
}
