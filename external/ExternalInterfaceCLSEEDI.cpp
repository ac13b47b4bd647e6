// The CLSEEDI gateway's connection: configuration, MQTT client set-up,
// callbacks and the reading of the current consumption limit.
#include "external/ExternalInterfaceCLSEEDI.h"

#include <mosquitto.h>
#include <syslog.h>
#include <unistd.h>

#include <climits>
#include <cmath>
#include <iostream>  // the streams exist before this unit's threshold is read

#include "external/ClseediIdentity.h"
#include "foundation/JsonParse.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "iec61850/iec61850_server.h"
#include "iec61850/mms_value.h"
#include "server/IecCore.h"

// The unit's threshold: 5, then "plim_log_level", read once in the unit's
// static initialisation; every gateway object takes it.
uint32_t clseediLogLevel = [] {
    uint32_t level = 5;
    readLogLevel(&level);
    return level;
}();

ExternalInterfaceCLSEEDI::ExternalInterfaceCLSEEDI(IecCore& server)
    : server(&server), configPath(paths::resolve(kDefaultConfigPath)) {
    logLevel_ = clseediLogLevel;
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: ExternalInterfaceCLSEEDI initiation");
    debugMode = server.isDebugMode();
    getHostName();
    InitializeConnection();
    if (connectError != 0) logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Step 2: MQTT connection failed");
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: ExternalInterfaceCLSEEDI initiation done");
}

ExternalInterfaceCLSEEDI::~ExternalInterfaceCLSEEDI() { releaseClient(); }

// Disconnects, stops the network thread (no callback runs after it) and
// destroys the client, in this order.
void ExternalInterfaceCLSEEDI::releaseClient() {
    if (!session_ || !session_->ok()) {
        session_.reset();
        return;
    }
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Disconnecting from other MQTT broker");
    session_->close();
    session_.reset();
}

int ExternalInterfaceCLSEEDI::startMqttLoop() {
    const bool wasRunning = session_ && session_->libraryLoopRunning();
    int rc = session_ ? session_->startLibraryLoop() : MOSQ_ERR_INVAL;
    if (rc != MOSQ_ERR_SUCCESS && wasRunning) {
        // The set-up started the loop already: the library refuses this second
        // start, as expected on every healthy start, and the loop runs on.
        logMessage(&logLevel_, LOG_INFO, "CLSEEDI: mosquitto_loop_start() failed (the MQTT loop is already running)");
    } else if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: mosquitto_loop_start() failed");
    } else {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: MQTT loop started");
    }
    return rc;
}

void ExternalInterfaceCLSEEDI::getHostName() {
    char buffer[1024] = {};
    if (gethostname(buffer, 1023) != 0) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to get hostname");
        hostName = "unknown";
        return;
    }
    hostName = buffer;
}

bool ExternalInterfaceCLSEEDI::readConfig() {
    const std::string& path = debugMode ? debugConfigPath : configPath;
    JsonFile file = readJsonFile(path);
    if (file.outcome == JsonFile::Outcome::kMissing) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Unable to open config file.");
        return false;
    }
    if (file.outcome == JsonFile::Outcome::kRefused) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Unable to open config file. %s %s", path.c_str(), file.reason.c_str());
        return false;
    }
    if (file.outcome == JsonFile::Outcome::kInvalid) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: JSON parsing error: %s (%s)", file.reason.c_str(), path.c_str());
        return false;
    }
    try {
        const json& config = file.value;
        if (!config.is_object() || !config.contains("mqttBroker") || !config.contains("mqttPort") ||
            !config.contains("mqttUsernameGateway") || !config.contains("mqttPasswordGateway")) {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Missing mandatory MQTT config fields.");
            return false;
        }
        mqttBroker = config.at("mqttBroker").get<std::string>();
        const json& portValue = config.at("mqttPort");
        if (!portValue.is_number()) {
            throw json::type_error::create(302, std::string("type must be number, but is ") + portValue.type_name(),
                                           &portValue);
        }
        const std::optional<int> port = portFromJson(portValue);
        if (!port) {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: mqttPort %s in %s is no TCP port (1..65535)",
                       portValue.dump().c_str(), path.c_str());
            return false;
        }
        mqttPort = *port;
        enableTLS = config.value("enableTLS", false);
        mqttUsername = config.at("mqttUsernameGateway").get<std::string>();
        mqttPassword = config.at("mqttPasswordGateway").get<std::string>();
        if (!config.contains("CLS1")) {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: CLS1 configuration not found.");
            return false;
        }
        const json& cls1 = config.at("CLS1");
        if (!cls1.is_object() || !cls1.contains("gateway_sub_topic") || !cls1.contains("gateway_pub_topic")) {
            logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Missing CLS1 gateway topics.");
            return false;
        }
        subTopic = cls1.at("gateway_sub_topic").get<std::string>() + hostName;
        pubTopic = cls1.at("gateway_pub_topic").get<std::string>() + hostName;
        return true;
    } catch (const std::exception& e) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: %s", e.what());
    }
    return false;
}

// TLS towards the broker: the system's CA bundle, peer and host-name
// verification, TLS 1.2. Any failing call is a configuration error: the
// gateway never falls back to plaintext with its credentials.
bool ExternalInterfaceCLSEEDI::setUpTls() {
    const std::string caFile = paths::resolve(kCaFile);
    MqttTls tls;
    tls.caFile = caFile;
    tls.tlsVersion = "tlsv1.2";
    tls.setInsecure = true;
    tls.insecure = false;
    const char* step = nullptr;
    const int rc = session_->setTls(tls, &step);
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: TLS setup failed in %s (CA file %s): %d (%s)", step,
                   caFile.c_str(), rc, mosquitto_strerror(rc));
        return false;
    }
    return true;
}

void ExternalInterfaceCLSEEDI::InitializeConnection() {
    releaseClient();
    const std::string clientId = clseedi::clientIdFor(hostName);
    session_ = std::make_unique<MqttSession>(clientId, "mqtt-clseedi", &logLevel_, "CLSEEDI: ");
    if (!session_->ok()) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to create MQTT client");
        session_.reset();
        connectError = 1;
        return;
    }
    MqttSession::Callbacks callbacks;
    callbacks.onLog = [this](int, const char* text) { onLog(text); };
    callbacks.onConnect = [this](int rc) { onConnect(rc); };
    callbacks.onDisconnect = [this](int rc) { onDisconnect(rc); };
    callbacks.onMessage = [this](const mosquitto_message* message) { callbackOnMessage(message); };
    session_->setCallbacks(std::move(callbacks));
    session_->setReconnectDelay(5, 60, true);

    const bool configOk = readConfig();
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: InitializeConnection MQTT (broker=%s, port=%d, TLS=%s, debugMode=%d)",
               mqttBroker.c_str(), mqttPort, enableTLS ? "on" : "off", debugMode ? 1 : 0);
    if (!configOk || (enableTLS && !setUpTls())) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Config error, aborting connection setup.");
        connectError = 3;
        return;
    }
    int rc = session_->setCredentials(mqttUsername, mqttPassword);
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to set the MQTT credentials: %d (%s)", rc,
                   mosquitto_strerror(rc));
    }
    const std::string statusTopic = pubTopic + "/status";
    rc = session_->setWill(statusTopic, "offline", 1, true);
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to set the will on '%s': %d (%s)", statusTopic.c_str(), rc,
                   mosquitto_strerror(rc));
    }
    rc = session_->startLibraryLoop();
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to start loop: %d (%s)", rc, mosquitto_strerror(rc));
        connectError = rc;
        return;
    }
    if (!isHostReachable(mqttBroker, mqttPort)) {
        logMessage(&logLevel_, LOG_WARNING,
                   "CLSEEDI: Host %s not reachable on %d \u2014 attempting connect anyway, mosquitto will retry",
                   mqttBroker.c_str(), mqttPort);
    }
    rc = session_->connect(mqttBroker, mqttPort, 60);
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Connect failed: %d (%s) \u2014 loop is running, will retry", rc,
                   mosquitto_strerror(rc));
        connectError = rc;
        return;
    }
    logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: MQTT init done, clientId=%s", clientId.c_str());
}

void ExternalInterfaceCLSEEDI::onConnect(int rc) {
    if (rc != 0) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to connect, reason code=%d (%s)", rc,
                   mosquitto_connack_string(rc));
        return;
    }
    session_->subscribe(subTopic, 0);
    const std::string statusTopic = pubTopic + "/status";
    int published = session_->publish(statusTopic, "online", 1, true);
    if (published != MOSQ_ERR_SUCCESS) {
        logMessage(&logLevel_, LOG_ERR,
                   "CLSEEDI: Connected but failed to publish 'online' status on '%s': %s (%d)", statusTopic.c_str(),
                   mosquitto_strerror(published), published);
    } else {
        logMessage(&logLevel_, LOG_NOTICE,
                   "CLSEEDI: Connected to MQTT broker, subscribed='%s', status topic='%s' set to 'online'",
                   subTopic.c_str(), statusTopic.c_str());
    }
    disconnected.exchange(false);
}

void ExternalInterfaceCLSEEDI::onDisconnect(int rc) {
    if (!disconnected.exchange(true)) {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Disconnected from MQTT broker");
    }
    if (rc != 0) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Disconnected from MQTT broker. Reason code: %d", rc);
    } else {
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Disconnected cleanly.");
    }
}

void ExternalInterfaceCLSEEDI::onLog(const char* text) {
    const std::string line = text != nullptr ? text : "";
    bool before = brokerAlive.load();
    bool now = before;
    if (line.find("sending CONNECT") != std::string::npos) {
        now = false;
    } else if (line.find("received PINGRESP") != std::string::npos) {
        now = true;
    }
    if (now != before) {
        brokerAlive.exchange(now);
        logMessage(&logLevel_, LOG_NOTICE, "CLSEEDI: Connection state changed: MQTT Log: %s. New state: %s",
                   line.c_str(), now ? "Connected" : "Disconnected");
    } else {
        logMessage(&logLevel_, LOG_DEBUG, "CLSEEDI: MQTT Log: %s", line.c_str());
    }
}

int ExternalInterfaceCLSEEDI::getPowerLimitFromIEC() {
    const ActiveLimit limit = server->readActiveLimit(1);
    if (!limit.found) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: DataAttribute for units not found or invalid");
        return 0;
    }
    if (limit.value == 0.0f) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: mxVal is 0");
        return 0;
    }
    if (!limit.hasMultiplier) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Failed to retrieve MmsValue for scale factor");
        return 0;
    }
    // In float, as the reply has always carried it (0.7 x 10^1 gives 7).
    const float watts = std::pow(10.0f, static_cast<float>(limit.multiplier)) * limit.value;
    // The int conversion is defined only inside the int range.
    if (std::isnan(watts)) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Power limit is not a number");
        return 0;
    }
    if (watts >= 2147483648.0f || watts < -2147483648.0f) {
        logMessage(&logLevel_, LOG_ERR, "CLSEEDI: Power limit %f W lies outside the int range", static_cast<double>(watts));
        return watts > 0 ? INT_MAX : INT_MIN;
    }
    return static_cast<int>(watts);
}
