#include "external/ExternalInterfaceMoreVale.h"

#include <mosquitto.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>

#include "external/MgcpSender.h"
#include "external/ReplyTemplate.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "server/IecCore.h"

using json = nlohmann::json;

namespace {

constexpr const char* kTemplateDir = "/etc/iec/MQTT_morevale/";
constexpr const char* kDebugTemplateDir = "../etc/iec/MQTT_morevale/";

// The first child ("f") of a float attribute of the model; null when missing.
DataAttribute* floatOf(const char* ld, const char* ln, const char* dataObject, const char* da) {
    DataAttribute* parent = findDataAttribute(ld, ln, dataObject, da);
    return parent != nullptr ? static_cast<DataAttribute*>(parent->firstChild) : nullptr;
}

}  // namespace

ExternalInterfaceMoreVale::ExternalInterfaceMoreVale(IecCore& server)
    : ExternalInterfaceMoreVale(server, MoreValeTimings{}) {}

ExternalInterfaceMoreVale::ExternalInterfaceMoreVale(IecCore& server, const MoreValeTimings& timings)
    : server(&server), timings(timings) {
    std::cout << "\n# ExternalInterfaceMoreVale initiation\n" << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: ExternalInterfaceMoreVale initiation");
    debugMode = server.isDebugMode();
    getHostName();
    InitializeConnection();
    if (mosq == nullptr || !config) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Step 2: MQTT connection failed");
    }
    if (debugMode) {
        std::cout << "mor-e-vale:  Debug mode is enabled." << std::endl;
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Debug mode is enabled.");
    }
    std::cout << "mor-e-vale:   initiation done\n" << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: initiation done");
}

ExternalInterfaceMoreVale::~ExternalInterfaceMoreVale() {
    // The sender publishes through the client: it goes first.
    MgcpSender::process().stop(this);
    if (mosq != nullptr) {
        std::cout << "mor-e-vale:  MQTT: Disconnecting from other MQTT broker" << std::endl;
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Disconnecting from other MQTT broker");
        mosquitto_disconnect(mosq);  // also wakes the network loop
    }
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopRequested = true;
    }
    stopWake.notify_all();
    if (networkThread.joinable()) networkThread.join();
    if (mosq != nullptr) {
        // A DISCONNECT asked for while the loop was inside a callback is only
        // queued; the loop has ended, so it goes out here.
        if (mosquitto_want_write(mosq)) mosquitto_loop_write(mosq, 1);
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    if (libraryInitialised) mosquitto_lib_cleanup();
}

void ExternalInterfaceMoreVale::getHostName() {
    char buffer[1024] = {};
    if (gethostname(buffer, sizeof(buffer) - 1) != 0) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Failed to get hostname");
        hostName = "unknown";
    } else {
        hostName = buffer;
    }
    clientId_ = moreValeClientId(hostName);
}

void ExternalInterfaceMoreVale::InitializeConnection() {
    std::cout << "mor-e-vale: InitializeConnection MQTT" << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: InitializeConnection MQTT");
    if (!debugMode) std::cout << "\nmor-e-vale: ###### debugMode FLAG is FALSE ######\n\n" << std::endl;

    std::cout << "mor-e-vale:  Reading config file" << std::endl;
    std::string error;
    config = readMoreValeConfig(debugMode, error);
    if (!config) {
        std::cerr << "mor-e-vale:  Error: " << error << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Error: %s", error.c_str());
        logMessage(&moreValeLogLevel, LOG_ERR,
                   "mor-e-vale: Configuration error: the gateway stays without a broker connection");
        return;
    }
    topics_ = buildMoreValeTopics(*config);
    tlsFiles = moreValeTlsFiles(config->gcp);
    std::cout << "mor-e-vale: Config loaded successfully.\nMQTT Broker: " << config->mqttBroker
              << ", Port: " << config->mqttPort << "\nTopics:\n  Set: " << topics_.set << "\n  Req: " << topics_.req
              << "\n  Ack: " << topics_.ack << "\n  Msg: " << topics_.msg << "\nmor-e-vale:  MQTT: reading done"
              << std::endl;
    std::cout << "mor-e-vale:  CA-File: " << tlsFiles.caFile << "\nmor-e-vale:  Cert-File: " << tlsFiles.certFile
              << std::endl;
    handler = std::make_unique<MoreValeMessageHandler>(
        MoreValeMessageSettings{topics_.ack, templatePath("lpc_ack.json")}, static_cast<MoreValeSink&>(*this));

    mosquitto_lib_init();
    libraryInitialised = true;
    mosq = mosquitto_new(clientId_.c_str(), true, this);
    if (mosq == nullptr) {
        std::cerr << "mor-e-vale:  Error: Failed to create a new MQTT client." << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Failed to create a new MQTT client.");
        return;
    }
    mosquitto_log_callback_set(mosq, &ExternalInterfaceMoreVale::onLog);
    mosquitto_connect_callback_set(mosq, &ExternalInterfaceMoreVale::onConnect);
    mosquitto_disconnect_callback_set(mosq, &ExternalInterfaceMoreVale::onDisconnect);
    mosquitto_message_callback_set(mosq, &ExternalInterfaceMoreVale::onMessage);
    // The network loop runs on the gateway's own thread.
    mosquitto_threaded_set(mosq, true);
}

std::string ExternalInterfaceMoreVale::templatePath(const char* name) const {
    return debugMode ? std::string(kDebugTemplateDir) + name : paths::resolve(std::string(kTemplateDir) + name);
}

int ExternalInterfaceMoreVale::startMqttLoop() {
    if (mosq == nullptr || !config || networkThread.joinable()) {
        std::cerr << "mor-e-vale:  Error: mosquitto_loop_start() failed" << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: mosquitto_loop_start() failed");
        return MOSQ_ERR_INVAL;
    }
    networkThread = std::thread(&ExternalInterfaceMoreVale::networkLoop, this);
    std::cout << "mor-e-vale:  MQTT: MQTT loop started" << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: MQTT loop started");
    return MOSQ_ERR_SUCCESS;
}

bool ExternalInterfaceMoreVale::pauseUnlessStopped(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(stopMutex);
    return stopWake.wait_for(lock, duration, [this] { return stopRequested; });
}

bool ExternalInterfaceMoreVale::connectOnce(bool& unreachable) {
    const MoreValeConfig& c = *config;
    unreachable = !isHostReachable(c.mqttBroker, c.mqttPort, timings.reachableTimeout);
    if (unreachable) {
        std::cerr << "Host " << c.mqttBroker << " is not reachable on port " << c.mqttPort << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale:  Host %s is not reachable on port %d",
                   c.mqttBroker.c_str(), c.mqttPort);
        connectionStatus = 15;
        return false;
    }
    int result = MOSQ_ERR_SUCCESS;
    // Without its TLS settings the client must not connect at all.
    if (c.enableTLS) {
        result = mosquitto_tls_set(mosq, tlsFiles.caFile.c_str(), nullptr, tlsFiles.certFile.c_str(),
                                   tlsFiles.keyFile.c_str(), nullptr);
        if (result != MOSQ_ERR_SUCCESS) {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: TLS files not usable (%s): %s, %s, %s",
                       mosquitto_strerror(result), tlsFiles.caFile.c_str(), tlsFiles.certFile.c_str(),
                       tlsFiles.keyFile.c_str());
        }
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = mosquitto_connect(mosq, c.mqttBroker.c_str(), c.mqttPort, timings.keepAliveSeconds);
    }
    connectionStatus = result;
    if (result != MOSQ_ERR_SUCCESS) {
        std::cerr << "mor-e-vale: Connection attempt failed with status: " << result << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Connection attempt failed with status: %d (%s)", result,
                   mosquitto_strerror(result));
        return false;
    }
    std::cout << "mor-e-vale: Connected to MQTT broker with Client ID: " << clientId_ << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Connected to MQTT broker with Client ID: %s",
               clientId_.c_str());
    return true;
}

void ExternalInterfaceMoreVale::networkLoop() {
    const auto reconnectDelay = std::chrono::seconds(timings.reconnectDelaySeconds);
    while (!pauseUnlessStopped(std::chrono::milliseconds(0))) {
        bool unreachable = false;
        if (connectOnce(unreachable)) {
            // The socket is open; the TLS handshake and the CONNACK follow in the loop.
            int result = MOSQ_ERR_SUCCESS;
            while (result == MOSQ_ERR_SUCCESS && !pauseUnlessStopped(std::chrono::milliseconds(0))) {
                result = mosquitto_loop(mosq, 1000, 1);
            }
            if (pauseUnlessStopped(std::chrono::milliseconds(0))) return;
            connected = false;
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Connection ended: %s", mosquitto_strerror(result));
        }
        // Before the first session the attempts follow the connect cadence;
        // a lost session is replaced every reconnect delay.
        const auto pause =
            hadSession ? reconnectDelay : (unreachable ? timings.unreachablePause : timings.failedConnectPause);
        if (pauseUnlessStopped(pause)) return;
    }
}

// ---------------------------------------------------------------------------
// Client callbacks (network thread)

void ExternalInterfaceMoreVale::onLog(mosquitto*, void* self, int, const char* text) {
    auto* gateway = static_cast<ExternalInterfaceMoreVale*>(self);
    const std::string line = text != nullptr ? text : "";
    const char* change = nullptr;
    if (line.find("sending CONNECT") != std::string::npos) {
        if (gateway->brokerAlive.exchange(false)) change = "Disconnected";
    } else if (line.find("received PINGRESP") != std::string::npos) {
        if (!gateway->brokerAlive.exchange(true)) change = "Connected";
    }
    if (change != nullptr) {
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Connection state changed: MQTT Log: %s. New state: %s",
                   line.c_str(), change);
    } else {
        logMessage(&moreValeLogLevel, LOG_DEBUG, "mor-e-vale: MQTT Log: %s", line.c_str());
    }
}

void ExternalInterfaceMoreVale::onConnect(mosquitto* client, void* self, int result) {
    auto* gateway = static_cast<ExternalInterfaceMoreVale*>(self);
    if (result != 0) {
        std::cerr << "mor-e-vale:  MQTT: Failed to connect, reason code: " << result << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Failed to connect, reason code: %d", result);
        return;
    }
    for (const std::string* topic : {&gateway->topics_.set, &gateway->topics_.req}) {
        const int rc = mosquitto_subscribe(client, nullptr, topic->c_str(), 0);
        std::cout << "mor-e-vale:  MQTT: Connected to MQTT broker, subscribing to topic: " << *topic << std::endl;
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Connected to MQTT broker, subscribing to topic: %s",
                   topic->c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Subscribing to %s failed: %s", topic->c_str(),
                       mosquitto_strerror(rc));
        }
    }
    gateway->disconnected = false;
    gateway->hadSession = true;
    gateway->connected = true;
}

void ExternalInterfaceMoreVale::onDisconnect(mosquitto*, void* self, int reason) {
    auto* gateway = static_cast<ExternalInterfaceMoreVale*>(self);
    gateway->connected = false;
    if (!gateway->disconnected.exchange(true)) {
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Disconnected from MQTT broker");
    }
    if (reason != 0) {
        std::cerr << "mor-e-vale: Disconnected from MQTT broker. Reason code: " << reason << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Disconnected from MQTT broker. Reason code: %d", reason);
    } else {
        std::cout << "mor-e-vale: Disconnected cleanly." << std::endl;
    }
}

void ExternalInterfaceMoreVale::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    if (message == nullptr) {
        std::cerr << "mor-e-vale:  Received null message." << std::endl;
        return;
    }
    auto* gateway = static_cast<ExternalInterfaceMoreVale*>(self);
    const std::string topic = message->topic != nullptr ? message->topic : "";
    gateway->handler->onMessage(topic, static_cast<const char*>(message->payload),
                                message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0);
}

// ---------------------------------------------------------------------------
// What handled messages do

bool ExternalInterfaceMoreVale::writeLpc(uint64_t startTimeMs, int durationSeconds, float limitW) {
    return server->writeLpcWithStartTimeToIec61850(startTimeMs, durationSeconds, "CLS1", true, limitW);
}

void ExternalInterfaceMoreVale::publish(const std::string& topic, const std::string& payload) {
    const int rc = mosquitto_publish(mosq, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 0,
                                     false);
    if (rc != MOSQ_ERR_SUCCESS) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Publishing on %s failed: %s", topic.c_str(),
                   mosquitto_strerror(rc));
    }
}

void ExternalInterfaceMoreVale::requestMgcp(int intervalSeconds, const std::string& transactionId) {
    MgcpSender::process().request(this, intervalSeconds, transactionId,
                                  [this](const std::string& id) { sendMgcp(id); });
}

// ---------------------------------------------------------------------------
// Measurements

float ExternalInterfaceMoreVale::getPowerLimitFromIEC() {
    IedServer iedServer = server->getIedServer();
    DataAttribute* f = floatOf("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal");
    if (iedServer == nullptr || f == nullptr) {
        std::cout << "getPowerLimit FromIEC -> DataAttribute for units not found or invalid" << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: DataAttribute for units not found or invalid");
        return 0.0f;
    }
    DataAttribute* multiplier = findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "units", "multiplier");
    // The value and its multiplier as one pair: no update comes between them.
    IedServer_lockDataModel(iedServer);
    const MmsValue* value = IedServer_getAttributeValue(iedServer, f);
    const MmsValue* scale = multiplier != nullptr ? IedServer_getAttributeValue(iedServer, multiplier) : nullptr;
    const float v = value != nullptr ? MmsValue_toFloat(value) : 0.0f;
    const int32_t m = scale != nullptr ? MmsValue_toInt32(scale) : 0;
    IedServer_unlockDataModel(iedServer);
    if (v == 0.0f) {
        std::cout << "getPowerLimit FromIEC -> mxVal is 0" << std::endl;
        return 0.0f;
    }
    if (scale == nullptr) {
        std::cout << "getPowerLimit FromIEC -> Failed to retrieve MmsValue for scale factor" << std::endl;
        return 0.0f;
    }
    const double limit = static_cast<double>(v) * std::pow(10.0, m);
    if (!std::isfinite(limit) || std::fabs(limit) > FLT_MAX) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Power limit %f x 10^%d is out of range",
                   static_cast<double>(v), static_cast<int>(m));
        return 0.0f;
    }
    return static_cast<float>(limit);
}

void ExternalInterfaceMoreVale::sendMgcp(const std::string& transactionId) {
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: Sending MGCP message on topic: %s", topics_.msg.c_str());
    const std::string path = templatePath("mgcp.json");
    // A template that is no JSON throws: the sender reports it and goes on next cycle.
    std::string refusal;
    std::optional<json> message = replytemplate::load(path, &refusal);
    if (!message) {
        const char* reason = refusal.empty() ? std::strerror(ENOENT) : refusal.c_str();
        std::cerr << "mor-e-vale: Unable to open JSONfile at path: " << path << ". Error: " << reason << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Unable to open JSONfile at path: %s. Error: %s",
                   path.c_str(), reason);
        return;
    }

    IedServer iedServer = server->getIedServer();
    DataAttribute* f = floatOf("CLS1", "MMXU001", "TotW", "mag");
    if (iedServer == nullptr || f == nullptr) {
        std::cerr << "mor-e-vale:  Data Attribute for Value Assignment not found or firstChild is null." << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Data Attribute for the total active power not found");
        return;
    }
    MgcpValues values;
    values.now = utcNowIso();
    values.transactionId = transactionId;
    values.hostName = hostName;
    values.totalActivePower = IedServer_getFloatAttributeValue(iedServer, f);
    const HomeBalance home = server->homeBalance();
    values.activePower = home.activePower;
    values.current = home.current;
    values.voltage = home.voltage;
    const float limit = getPowerLimitFromIEC();
    values.controllableDemand = limit > 0.0f ? limit : 0.0f;
    const std::string payload = replytemplate::dump(buildMgcpMessage(std::move(*message), values));
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Sending MGCP message with currentMeasuredActivePower %f",
               static_cast<double>(values.totalActivePower));
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: payload: %s", payload.c_str());
    publish(topics_.msg, payload);
    std::cout << "mor-e-vale:  Sending full state on topic: " << topics_.msg << std::endl;
}
