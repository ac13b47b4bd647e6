#include "external/ExternalInterfaceUMeadow.h"

#include <mosquitto.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <iostream>

#include "foundation/CallbackGuard.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "server/IecCore.h"

namespace {

constexpr const char* kClientIdPrefix = "Tavelmarck_Mor-e-vale_Client_";
constexpr const char* kSystemCaFile = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kKeepAliveSeconds = 60;
constexpr int kUnreachableStatus = 15;
constexpr int kLoopTimeoutMs = 1000;

}  // namespace

ExternalInterfaceUMeadow::ExternalInterfaceUMeadow(IecCore& server, const UMeadowTimings& timings)
    : server(server), timings_(timings) {
    std::cout << "\n# ExternalInterfaceUMeadow initiation" << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  ExternalInterfaceUMeadow initiation");
    debugMode = server.isDebugMode();
    getHostName();
    InitializeConnection();
    const int status = connectionStatus();
    if (status != 0 && status != -1) {  // -1: the background thread has not tried yet
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  Step 2: MQTT connection failed");
    }
    if (debugMode) {
        std::cout << "u-meadow:   Debug mode is enabled." << std::endl;
        logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Debug mode is enabled.");
    }
    std::cout << "u-meadow:    initiation done" << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  initiation done");
}

ExternalInterfaceUMeadow::~ExternalInterfaceUMeadow() {
    {
        std::lock_guard<std::mutex> lock(mutex);
        stopping = true;
    }
    wake.notify_all();
    if (session_) {
        std::cout << "u-meadow:   MQTT: Disconnecting from other MQTT broker" << std::endl;
        logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Disconnecting from other MQTT broker");
        // The disconnect ends a network loop at once (it waits in select
        // otherwise); then the thread is joined and the client destroyed.
        session_->close();
        session_.reset();
    }
}

void ExternalInterfaceUMeadow::getHostName() {
    char buffer[1024] = {};
    if (::gethostname(buffer, sizeof(buffer) - 1) != 0) {
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  Failed to get hostname");
        hostName = "unknown";
    } else {
        hostName = buffer;
    }
}

void ExternalInterfaceUMeadow::InitializeConnection() {
    std::cout << "u-meadow:  InitializeConnection MQTT" << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  InitializeConnection MQTT");

    clientId_ = kClientIdPrefix + hostName;
    session_ = std::make_unique<MqttSession>(clientId_, "mqtt-umeadow", &uMeadowLogLevel, "u-meadow:  ");
    if (!session_->ok()) {
        session_.reset();
        std::cerr << "u-meadow:   Error: Failed to create a new MQTT client." << std::endl;
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  Failed to create a new MQTT client.");
        return;
    }
    // The gateway's own thread runs the loop; other threads only disconnect.
    session_->setThreadedByCaller();
    MqttSession::Callbacks callbacks;
    callbacks.onLog = [this](int, const char* text) {
        runGuardedCallback(&uMeadowLogLevel, "u-meadow:  ", "log callback", [&] { onLog(text); });
    };
    callbacks.onConnect = [this](int rc) {
        runGuardedCallback(&uMeadowLogLevel, "u-meadow:  ", "connect callback", [&] { onConnect(rc); });
    };
    callbacks.onDisconnect = [this](int rc) {
        runGuardedCallback(&uMeadowLogLevel, "u-meadow:  ", "disconnect callback", [&] { onDisconnect(rc); });
    };
    callbacks.onMessage = [this](const mosquitto_message* message) {
        runGuardedCallback(&uMeadowLogLevel, "u-meadow:  ", "message callback", [&] { onMessage(message); });
    };
    session_->setCallbacks(std::move(callbacks));

    readConfig();

    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow: Starting MQTT connection in the background...");
    connectToMqttInBackground();
    std::cout << "u-meadow:  MQTT init done" << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  MQTT init done");
}

void ExternalInterfaceUMeadow::readConfig() {
    const std::string path = debugMode ? kUMeadowDebugConfigPath : paths::resolve(kUMeadowConfigPath);
    std::cout << "u-meadow:   Reading config file" << std::endl;
    std::string error;
    bool parseError = false;
    if (!readUMeadowConfig(path, config_, error, parseError)) {
        if (parseError) {
            std::cerr << "u-meadow:   JSON Parsing Error: " << error << std::endl;
            logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  JSON Parsing Error");
        } else {
            std::cerr << "u-meadow:   Error: " << error << std::endl;
            logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  Error");
        }
        return;
    }
    if (debugMode) {
        std::cout << "u-meadow:   Debug mode is enabled. Lets change some parameters to test on a Laptop" << std::endl;
        config_.broker = "localhost";
        config_.port = 1884;
        config_.enableTLS = false;
    }
    subTopic = kUMeadowSubTopic;
    ackTopic = kUMeadowAckTopic;
    std::cout << "u-meadow:  Config loaded successfully.\n"
              << "MQTT Broker: " << config_.broker << ", Port: " << config_.port << "\n"
              << "Topics:\n"
              << "  Set: " << subTopic << "\n"
              << "  Ack: " << ackTopic << "\n"
              << "u-meadow:   MQTT: reading done" << std::endl;
}

void ExternalInterfaceUMeadow::connectToMqttInBackground() {
    session_->startOwnThread([this] { run(); });
}

int ExternalInterfaceUMeadow::startMqttLoop() {
    bool refused = !session_;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (loopRequested) refused = true;
        if (!refused) loopRequested = true;
    }
    if (refused) {
        std::cerr << "u-meadow:   Error: mosquitto_loop_start() failed" << std::endl;
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  mosquitto_loop_start() failed");
        return MOSQ_ERR_INVAL;
    }
    wake.notify_all();
    std::cout << "u-meadow:   MQTT: MQTT loop started" << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  MQTT loop started");
    return MOSQ_ERR_SUCCESS;
}

int ExternalInterfaceUMeadow::connectionStatus() const {
    std::lock_guard<std::mutex> lock(mutex);
    return connectionStatus_;
}

bool ExternalInterfaceUMeadow::waitOrStop(std::chrono::milliseconds duration) {
    std::unique_lock<std::mutex> lock(mutex);
    return wake.wait_for(lock, duration, [this] { return stopping; });
}

bool ExternalInterfaceUMeadow::connectOnce() {
    if (config_.enableTLS) {
        const std::string caFile = paths::resolve(kSystemCaFile);
        MqttTls tls;
        tls.caFile = caFile;
        session_->setTls(tls);
    }
    if (isHostReachable(config_.broker, config_.port, timings_.reachableTimeout)) {
        const int rc = session_->connect(config_.broker, config_.port, kKeepAliveSeconds);
        {
            std::lock_guard<std::mutex> lock(mutex);
            connectionStatus_ = rc;
        }
        if (rc == MOSQ_ERR_SUCCESS) {
            std::cout << "u-meadow: Connected to MQTT broker with Client ID: " << clientId_ << std::endl;
            logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow: Connected to MQTT broker with Client ID: %s",
                       clientId_.c_str());
            return true;
        }
        std::cerr << "u-meadow: Connection attempt failed with status: " << rc << std::endl;
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow: Connection attempt failed with status: %d", rc);
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        connectionStatus_ = kUnreachableStatus;
    }
    std::cerr << "u-meadow: Host " << config_.broker << " is not reachable on port " << config_.port << std::endl;
    logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow: Host %s is not reachable on port %d", config_.broker.c_str(),
               config_.port);
    return false;
}

void ExternalInterfaceUMeadow::run() {
    // Background connection: one attempt per retry interval until it is made.
    while (!connectOnce()) {
        if (waitOrStop(timings_.retryInterval)) return;
    }
    {
        std::unique_lock<std::mutex> lock(mutex);
        wake.wait(lock, [this] { return stopping || loopRequested; });
        if (stopping) return;
    }
    // The network loop, reconnecting after a lost connection.
    for (;;) {
        const int rc = session_->loopOnce(kLoopTimeoutMs);
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (stopping) return;
        }
        if (rc == MOSQ_ERR_SUCCESS) continue;
        if (waitOrStop(timings_.reconnectDelay)) return;
        session_->reconnect();
    }
}

void ExternalInterfaceUMeadow::writeLimit(bool active, float watts) {
    std::cout << "Writing P_Lim to server: " << watts << "W" << std::endl;
    server.writeLpcToIec61850(0, active, watts);
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Wrote P_Lim to server: %fW", static_cast<double>(watts));
}

// --- Callbacks (the gateway's thread) --------------------------------------------

void ExternalInterfaceUMeadow::onLog(const char* text) {
    const std::string line = text ? text : "";
    const bool was = brokerAlive;
    const char* state = nullptr;
    if (line.find("sending CONNECT") != std::string::npos) {
        brokerAlive = false;
        if (was) state = "Disconnected";
    } else if (line.find("received PINGRESP") != std::string::npos) {
        brokerAlive = true;
        if (!was) state = "Connected";
    }
    if (state) {
        logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Connection state changed: MQTT Log: %s. New state: %s",
                   line.c_str(), state);
    } else {
        logMessage(&uMeadowLogLevel, LOG_DEBUG, "u-meadow:  MQTT Log: %s", line.c_str());
    }
}

void ExternalInterfaceUMeadow::onConnect(int rc) {
    if (rc != 0) {
        std::cerr << "u-meadow:   MQTT: Failed to connect, reason code: " << rc << std::endl;
        return;
    }
    session_->subscribe(subTopic, 0);
    std::cout << "u-meadow:   MQTT: Connected to MQTT broker, subscribing to topic: " << subTopic << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Connected to MQTT broker, subscribing to topic: %s",
               subTopic.c_str());
    disconnected = false;
}

void ExternalInterfaceUMeadow::onDisconnect(int rc) {
    if (!disconnected) {
        disconnected = true;
        logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Disconnected from MQTT broker");
    }
    if (rc != 0) {
        std::cerr << "u-meadow:  Disconnected from MQTT broker. Reason code: " << rc << std::endl;
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  Disconnected from MQTT broker. Reason code: %d", rc);
    } else {
        std::cout << "u-meadow:  Disconnected cleanly." << std::endl;
    }
}

void ExternalInterfaceUMeadow::onMessage(const mosquitto_message* message) {
    if (!message) {
        std::cerr << "u-meadow:  Received null message." << std::endl;
        logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow:  Received null message.");
        return;
    }
    const std::string topic = message->topic ? message->topic : "";
    std::cout << "\numeadow:  Received message on topic: " << topic << std::endl;
    logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow:  Received message on topic: %s", topic.c_str());

    const UMeadowCommand c = parseUMeadowMessage(topic, message->payload, message->payloadlen);
    switch (c.kind) {
        case UMeadowCommand::Kind::Limit:
            if (topic == kUMeadowValueTopic) {
                std::cout << "u-meadow:  Received limit value: " << c.watts << std::endl;
                logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow: Received limit value: %f",
                           static_cast<double>(c.watts));
            } else {
                const char* word = c.active ? "true" : "false";
                std::cout << "u-meadow:  Received active state: " << word << std::endl;
                logMessage(&uMeadowLogLevel, LOG_NOTICE, "u-meadow: Received active state: %s", word);
            }
            writeLimit(c.active, c.watts);
            break;
        case UMeadowCommand::Kind::Unsupported:
            std::cerr << "u-meadow:  Received message on unsupported topic: " << topic << std::endl;
            logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow: Received message on unsupported topic: %s", topic.c_str());
            break;
        case UMeadowCommand::Kind::InvalidArgument:
            std::cerr << "u-meadow:  Invalid argument while parsing payload: " << c.detail << std::endl;
            logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow: Invalid argument while parsing payload: %s",
                       c.detail.c_str());
            break;
        case UMeadowCommand::Kind::GeneralError:
            std::cerr << "u-meadow:  General error: " << c.detail << std::endl;
            logMessage(&uMeadowLogLevel, LOG_ERR, "u-meadow: General error: %s", c.detail.c_str());
            break;
        case UMeadowCommand::Kind::Refused:
            std::cerr << "u-meadow:  Refused limit value: " << c.detail << std::endl;
            logMessage(&uMeadowLogLevel, LOG_ERR,
                       "u-meadow: Refused limit value: %s (a limit is a finite, non-negative number of W)",
                       c.detail.c_str());
            break;
    }
}
