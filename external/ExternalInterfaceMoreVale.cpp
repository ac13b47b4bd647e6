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
    if (!session_ || !config) {
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
    {
        std::lock_guard<std::mutex> lock(stopMutex);
        stopRequested = true;
    }
    stopWake.notify_all();
    if (session_) {
        std::cout << "mor-e-vale:  MQTT: Disconnecting from other MQTT broker" << std::endl;
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Disconnecting from other MQTT broker");
        // Disconnects (which also wakes the network loop), joins the thread, destroys the client.
        session_->close();
        session_.reset();
    }
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

    session_ = std::make_unique<MqttSession>(clientId_, "mqtt-morevale", &moreValeLogLevel, "mor-e-vale: ");
    if (!session_->ok()) {
        session_.reset();
        std::cerr << "mor-e-vale:  Error: Failed to create a new MQTT client." << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Failed to create a new MQTT client.");
        return;
    }
    MqttSession::Callbacks callbacks;
    callbacks.onLog = [this](int, const char* text) { onLog(text); };
    callbacks.onConnect = [this](int result) { onConnect(result); };
    callbacks.onDisconnect = [this](int reason) { onDisconnect(reason); };
    callbacks.onMessage = [this](const mosquitto_message* message) { onMessage(message); };
    session_->setCallbacks(std::move(callbacks));
    // The network loop runs on the gateway's own thread.
    session_->setThreadedByCaller();
}

std::string ExternalInterfaceMoreVale::templatePath(const char* name) const {
    return debugMode ? std::string(kDebugTemplateDir) + name : paths::resolve(std::string(kTemplateDir) + name);
}

int ExternalInterfaceMoreVale::startMqttLoop() {
    if (!session_ || !config || !session_->startOwnThread([this] { networkLoop(); })) {
        std::cerr << "mor-e-vale:  Error: mosquitto_loop_start() failed" << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: mosquitto_loop_start() failed");
        return MOSQ_ERR_INVAL;
    }
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
        MqttTls tls;
        tls.caFile = tlsFiles.caFile;
        tls.certFile = tlsFiles.certFile;
        tls.keyFile = tlsFiles.keyFile;
        result = session_->setTls(tls);
        if (result != MOSQ_ERR_SUCCESS) {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: TLS files not usable (%s): %s, %s, %s",
                       mosquitto_strerror(result), tlsFiles.caFile.c_str(), tlsFiles.certFile.c_str(),
                       tlsFiles.keyFile.c_str());
        }
    }
    if (result == MOSQ_ERR_SUCCESS) {
        result = session_->connect(c.mqttBroker, c.mqttPort, timings.keepAliveSeconds);
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
                result = session_->loopOnce(1000);
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

void ExternalInterfaceMoreVale::onLog(const char* text) {
    const std::string line = text != nullptr ? text : "";
    const char* change = nullptr;
    if (line.find("sending CONNECT") != std::string::npos) {
        if (brokerAlive.exchange(false)) change = "Disconnected";
    } else if (line.find("received PINGRESP") != std::string::npos) {
        if (!brokerAlive.exchange(true)) change = "Connected";
    }
    if (change != nullptr) {
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Connection state changed: MQTT Log: %s. New state: %s",
                   line.c_str(), change);
    } else {
        logMessage(&moreValeLogLevel, LOG_DEBUG, "mor-e-vale: MQTT Log: %s", line.c_str());
    }
}

void ExternalInterfaceMoreVale::onConnect(int result) {
    if (result != 0) {
        std::cerr << "mor-e-vale:  MQTT: Failed to connect, reason code: " << result << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Failed to connect, reason code: %d", result);
        return;
    }
    for (const std::string* topic : {&topics_.set, &topics_.req}) {
        const int rc = session_->subscribe(*topic, 0);
        std::cout << "mor-e-vale:  MQTT: Connected to MQTT broker, subscribing to topic: " << *topic << std::endl;
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Connected to MQTT broker, subscribing to topic: %s",
                   topic->c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Subscribing to %s failed: %s", topic->c_str(),
                       mosquitto_strerror(rc));
        }
    }
    disconnected = false;
    hadSession = true;
    connected = true;
}

void ExternalInterfaceMoreVale::onDisconnect(int reason) {
    connected = false;
    if (!disconnected.exchange(true)) {
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Disconnected from MQTT broker");
    }
    if (reason != 0) {
        std::cerr << "mor-e-vale: Disconnected from MQTT broker. Reason code: " << reason << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Disconnected from MQTT broker. Reason code: %d", reason);
    } else {
        std::cout << "mor-e-vale: Disconnected cleanly." << std::endl;
    }
}

void ExternalInterfaceMoreVale::onMessage(const mosquitto_message* message) {
    if (message == nullptr) {
        std::cerr << "mor-e-vale:  Received null message." << std::endl;
        return;
    }
    const std::string topic = message->topic != nullptr ? message->topic : "";
    handler->onMessage(topic, static_cast<const char*>(message->payload),
                                message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0);
}

// ---------------------------------------------------------------------------
// What handled messages do

bool ExternalInterfaceMoreVale::writeLpc(uint64_t startTimeMs, int durationSeconds, float limitW) {
    return server->writeLpcWithStartTimeToIec61850(startTimeMs, durationSeconds, "CLS1", true, limitW);
}

void ExternalInterfaceMoreVale::publish(const std::string& topic, const std::string& payload) {
    const int rc = session_ ? session_->publish(topic, payload) : MOSQ_ERR_INVAL;
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
    // The value and its multiplier as one pair: no update comes between them.
    const ActiveLimit reading = server->readActiveLimit(1);
    if (!reading.found) {
        std::cout << "getPowerLimit FromIEC -> DataAttribute for units not found or invalid" << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: DataAttribute for units not found or invalid");
        return 0.0f;
    }
    if (reading.value == 0.0f) {
        std::cout << "getPowerLimit FromIEC -> mxVal is 0" << std::endl;
        return 0.0f;
    }
    if (!reading.hasMultiplier) {
        std::cout << "getPowerLimit FromIEC -> Failed to retrieve MmsValue for scale factor" << std::endl;
        return 0.0f;
    }
    const double limit = reading.scaledWatts().scaled;
    if (!std::isfinite(limit) || std::fabs(limit) > FLT_MAX) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Power limit %f x 10^%d is out of range",
                   static_cast<double>(reading.value), static_cast<int>(reading.multiplier));
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
