#include "internal/InternalInterfaceMQTT.h"

#include <mosquitto.h>
#include <signal.h>
#include <syslog.h>
#include <unistd.h>

#include <cstring>
#include <iostream>
#include <thread>

#include "foundation/CallbackGuard.h"
#include "foundation/InboundPayload.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "server/IecCore.h"

namespace {

constexpr const char* kSystemCaFile = "/etc/ssl/certs/ca-certificates.crt";
constexpr int kKeepAliveSeconds = 60;
constexpr int kUnreachableStatus = 15;

// Formats a non-negative number into buf (async-signal-safe); returns its length.
size_t formatNumber(int value, char* buf) {
    char digits[16];
    size_t n = 0;
    unsigned v = value < 0 ? 0u - static_cast<unsigned>(value) : static_cast<unsigned>(value);
    do {
        digits[n++] = static_cast<char>('0' + v % 10);
        v /= 10;
    } while (v != 0 && n < sizeof(digits));
    size_t len = 0;
    if (value < 0) buf[len++] = '-';
    while (n > 0) buf[len++] = digits[--n];
    return len;
}

}  // namespace

InternalInterfaceMQTT::InternalInterfaceMQTT(IecCore& server, const InternalMqttTimings& timings)
    : iecServer(server), debugMode(server.isDebugMode()), timings_(timings) {
    std::cout << "# InternalInterfaceMQTT -> Debug mode: " << (debugMode ? 1 : 0) << std::endl;
    initializeConnection();
    std::cout << "InternalInterfaceMQTT -> Adding ActPoweGGIOListener" << std::endl;
    iecServer.registerCallback(kListenerName, [this](int cls) { sendPLim(cls); });
    std::cout << "# InternalInterfaceMQTT -> Added ActPoweGGIOListener" << std::endl;
}

InternalInterfaceMQTT::~InternalInterfaceMQTT() {
    // No listener call is running once this returns.
    iecServer.unregisterCallback(kListenerName);
    disconnect();
}

void InternalInterfaceMQTT::signalHandler(int signal) {
    // Only async-signal-safe calls here: write(2) and _exit(2).
    char line[96];
    size_t len = 0;
    auto append = [&](const char* text) {
        for (; *text != '\0' && len < sizeof(line); ++text) line[len++] = *text;
    };
    append("MQTT_intern: Signal ");
    len += formatNumber(signal, line + len);
    append(" received, shutting down.\n");
    ssize_t ignored = ::write(STDERR_FILENO, line, len);
    (void)ignored;
    ::_exit(signal);
}

void InternalInterfaceMQTT::initializeConnection() {
    std::cout << "MQTT_intern: InitializeConnection MQTT" << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: InitializeConnection MQTT");
    if (!debugMode) std::cout << "\nMQTT_intern: ###### DEBUGGING FLAG is FALSE ######\n" << std::endl;

    disconnect();
    gaveUp_ = false;
    retryCount = 0;
    subscribed = false;

    auto session = std::make_unique<MqttSession>(kClientId, "mqtt-intern", &internalMqttLogLevel, "MQTT_intern: ");
    if (!session->ok()) {
        std::cerr << "Error: Failed to create a new MQTT client." << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Failed to create a new MQTT client.");
        return;
    }
    // The session outlives its callbacks: they reach it without the lock.
    MqttSession& client = *session;

    struct sigaction action {};
    action.sa_handler = &InternalInterfaceMQTT::signalHandler;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    MqttSession::Callbacks callbacks;
    callbacks.onConnect = [this, &client](int rc) {
        runGuardedCallback(&internalMqttLogLevel, "MQTT_intern: ", "on_connect", [&] { onConnect(client, rc); });
    };
    callbacks.onMessage = [this](const mosquitto_message* message) {
        if (!message) return;
        runGuardedCallback(&internalMqttLogLevel, "MQTT_intern: ", "on_message", [&] { onMessage(message); });
    };
    client.setCallbacks(std::move(callbacks));

    readConfiguration();

    {
        std::lock_guard<std::mutex> lock(clientMutex);
        session_ = std::move(session);
    }
    if (!connectWithAttempts(client)) return;

    std::cout << "MQTT_intern: Connected to MQTT broker with Client ID: " << kClientId << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Connected to MQTT broker with Client ID: %s", kClientId);
    std::cout << "MQTT_intern: initializeConnection MQTT done\n" << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: initializeConnection MQTT done");

    if (client.startLibraryLoop() != MOSQ_ERR_SUCCESS) {
        std::cerr << "Error: mosquitto_loop_start() failed" << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: mosquitto_loop_start() failed");
        return;
    }
    loopStarted_ = true;
    std::cout << "MQTT_intern: MQTT loop started" << std::endl;
}

void InternalInterfaceMQTT::readConfiguration() {
    const std::string path = debugMode ? kInternalMqttDebugConfigPath : paths::resolve(kInternalMqttConfigPath);
    std::string error;
    bool parseError = false;
    if (!readInternalMqttConfig(path, config_, error, parseError)) {
        if (parseError) {
            std::cerr << "JSON Parsing Error: " << error << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: JSON Parsing Error");
        } else {
            std::cerr << "Error: " << error << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: %s", error.c_str());
        }
        return;
    }
    // The password is never shown.
    std::cout << "MQTT_intern: Broker: " << config_.broker << "\n"
              << "MQTT_intern: Port: " << config_.port << "\n"
              << "MQTT_intern: enableTLS: " << (config_.enableTLS ? 1 : 0) << "\n"
              << "MQTT_intern: Username: " << config_.username << "\n"
              << "MQTT_intern: Password: ***\n"
              << "MQTT_intern: Sub Topic: " << config_.subTopic << "\n"
              << "MQTT_intern: Pub Topic: " << config_.pubTopic << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Broker: %s", config_.broker.c_str());
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Port: %d", config_.port);
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: enableTLS: %d", config_.enableTLS ? 1 : 0);
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Username: %s", config_.username.c_str());
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Password: ***");
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Sub Topic: %s", config_.subTopic.c_str());
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Pub Topic: %s", config_.pubTopic.c_str());
}

bool InternalInterfaceMQTT::connectWithAttempts(MqttSession& client) {
    for (int attempt = 1; attempt <= timings_.connectAttempts; ++attempt) {
        if (config_.enableTLS) {
            const std::string caFile = paths::resolve(kSystemCaFile);
            MqttTls tls;
            tls.caFile = caFile;
            client.setTls(tls);
        }
        client.setCredentials(config_.username, config_.password);
        if (isHostReachable(config_.broker, config_.port, timings_.reachableTimeout)) {
            const int rc = client.connect(config_.broker, config_.port, kKeepAliveSeconds);
            connectStatus_ = rc;
            if (rc == MOSQ_ERR_SUCCESS) return true;
            std::cerr << "MQTT_intern: Connection attempt failed with status: " << rc << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Connection attempt failed with status: %d", rc);
            std::this_thread::sleep_for(timings_.attemptPause);
        } else {
            std::cerr << "Host " << config_.broker << " is not reachable on port " << config_.port << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Host %s is not reachable on port %d",
                       config_.broker.c_str(), config_.port);
            std::this_thread::sleep_for(timings_.attemptPause);
            connectStatus_ = kUnreachableStatus;
        }
    }
    std::cerr << "MQTT_intern: Failed to connect after retries." << std::endl;
    logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Failed to connect after retries.");
    return false;
}

void InternalInterfaceMQTT::disconnect() {
    std::unique_ptr<MqttSession> client;
    {
        std::lock_guard<std::mutex> lock(clientMutex);
        client = std::move(session_);
    }
    if (!client) return;
    std::cout << "MQTT_intern: Disconnecting from other MQTT broker" << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Disconnecting from other MQTT broker");
    // A client-side disconnect ends the network thread's loop; then it is joined.
    loopStarted_ = false;
    client->close();
}

bool InternalInterfaceMQTT::publish(const std::string& topic, const std::string& payload) {
    std::lock_guard<std::mutex> lock(clientMutex);
    // With the network thread running, publishing only queues the message.
    const int rc = session_ ? session_->publish(topic, payload) : MOSQ_ERR_NO_CONN;
    if (rc != MOSQ_ERR_SUCCESS) {
        std::cerr << "Failed to publish MQTT message: " << mosquitto_strerror(rc) << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Failed to publish MQTT message: %s",
                   mosquitto_strerror(rc));
        return false;
    }
    return true;
}

void InternalInterfaceMQTT::sendAvailableCLS() {
    std::cout << "MQTT_intern: sendAvailableCLS" << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Sending Available CLS message with value %d", 4);
    publish(kTopicAvailableAnswer, buildAvailablePayload());
}

float InternalInterfaceMQTT::getScaledPowerLimit(int cls) {
    const ActiveLimit r = valuereaders::getActPowGGIO001An1(iecServer, cls);
    return scaleInternalPowerLimit(r.value, r.multiplier);
}

void InternalInterfaceMQTT::sendPLim(int cls) {
    const ActiveLimit r = valuereaders::getActPowGGIO001An1(iecServer, cls);
    const PowerLimitScheduleMap schedule = iecServer.getScheduleData(cls);
    float powerLimit = 0;
    try {
        powerLimit = scaleInternalPowerLimit(r.value, r.multiplier);
    } catch (const std::exception& e) {
        // Logged by the scaling; a message with a made-up limit is worse than none.
        std::cerr << "MQTT_intern: no power-limit message for CLS" << cls << ": " << e.what() << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: No PLim sent on index %d: %s", cls, e.what());
        return;
    }
    std::cout << "MQTT_intern: MaxProductionPower: " << r.minVal << "\n"
              << "MQTT_intern: MaxConsumptionPower: " << r.maxVal << "\n"
              << "MQTT_intern: ScaleFactor: " << r.multiplier << "\n";
    for (const auto& [start, limit] : schedule) std::cout << "MQTT_intern: " << start << " " << limit << "\n";
    std::cout << "MQTT_intern: PowerLimit: " << powerLimit << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO,
               "MQTT_intern: Sending PLim on index %d with MaxProductionPower %f, MaxConsumptionPower %f, ScaleFactor "
               "%d, PowerLimit %f",
               cls, static_cast<double>(r.minVal), static_cast<double>(r.maxVal), r.multiplier,
               static_cast<double>(powerLimit));
    publish(kTopicPowerLimitPrefix + std::to_string(cls), buildPowerLimitPayload(r, schedule, powerLimit));
}

void InternalInterfaceMQTT::writeMMUXtoServer(const std::string& clsDigit, const std::string& payload) {
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: writeMMUXtoServer");
    std::string error;
    bool parseError = false;
    const auto m = parseTotwMessage(payload, error, parseError);
    if (!m) {
        if (parseError) {
            std::cerr << "JSON Parse Error: " << error << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: JSON parsing failed: %s", error.c_str());
        } else {
            std::cerr << "MQTT_intern: measurement dropped: " << error << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: measurement for CLS%s dropped: %s",
                       clsDigit.c_str(), error.c_str());
        }
        return;
    }
    std::cout << "MQTT_intern: mag_f_totw: " << m->totwMag << "\n"
              << "MQTT_intern: t_totw: " << m->totwTime << "\n"
              << "MQTT_intern: units_multiplier_totw: " << m->totwMultiplier << "\n"
              << "MQTT_intern: mag_f_hz: " << m->hzMag << "\n"
              << "MQTT_intern: t_hz: " << m->hzTime << "\n"
              << "MQTT_intern: units_multiplier_hz: " << m->hzMultiplier << std::endl;

    const std::string ld = "CLS" + clsDigit;
    DataAttribute* mag = findSubDataAttribute(ld, "MMXU001", "TotW", "mag", "f");
    DataAttribute* t = findDataAttribute(ld, "MMXU001", "TotW", "t");
    DataAttribute* mult = findSubDataAttribute(ld, "MMXU001", "TotW", "units", "multiplier");
    IedServer server = iecServer.getIedServer();
    // All three or none: a half-written measurement would pair a new value with an old time.
    if (!mag || !t || !mult || !server) {
        std::cerr << "CLSEEDI - Data Attribute for Schedule Interval not found." << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: MMXU001.TotW of %s not found", ld.c_str());
        return;
    }
    DataModelLock lock(server);
    IedServer_updateFloatAttributeValue(server, mag, m->totwMag);
    IedServer_updateUTCTimeAttributeValue(server, t, m->totwTime);
    IedServer_updateInt32AttributeValue(server, mult, m->totwMultiplier);
}

// --- Callbacks (network thread) -------------------------------------------------

void InternalInterfaceMQTT::onConnect(MqttSession& client, int rc) {
    std::cout << "MQTT_intern: on_connect, Reason code: " << rc << std::endl;
    if (rc != 0) {
        std::cerr << "MQTT_intern: Failed to connect, reason code: " << rc << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Failed to connect, reason code: %d", rc);
        if (retryCount >= timings_.maxRefusals) {
            std::cerr << "Reached maximum number of retries, not attempting to reconnect." << std::endl;
            logMessage(&internalMqttLogLevel, LOG_ERR,
                       "MQTT_intern: Maximum retries reached, stopping attempts to reconnect.");
            // Ends the network loop; the client itself is released from outside.
            gaveUp_ = true;
            client.disconnect();
        } else {
            ++retryCount;
            std::cerr << "Attempt " << retryCount << " failed, trying again shortly..." << std::endl;
        }
        return;
    }
    retryCount = 0;
    if (subscribed) {
        std::cout << "MQTT_intern: Already subscribed, not subscribing again." << std::endl;
        return;
    }
    std::cout << "MQTT_intern: Connected to MQTT broker, subscribing to topic: " << config_.subTopic << std::endl;
    logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Connected and subscribing to topic.");
    client.subscribe(config_.subTopic, 1);
    subscribed = true;
}

void InternalInterfaceMQTT::onMessage(const mosquitto_message* message) {
    const std::string topic = message->topic ? message->topic : "";
    // The library holds the whole payload already; it is copied, printed and
    // logged only within the bound.
    const size_t length = message->payload && message->payloadlen > 0 ? static_cast<size_t>(message->payloadlen) : 0;
    if (const auto refused = inbound::sizeRefusal(length)) {
        std::cerr << "MQTT_intern: Message on topic " << topic << " refused: " << *refused << std::endl;
        logMessage(&internalMqttLogLevel, LOG_ERR, "MQTT_intern: Message on topic %s refused: %s", topic.c_str(),
                   refused->c_str());
        return;
    }
    const std::string payload =
        message->payload && message->payloadlen > 0
            ? std::string(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen))
            : std::string();
    std::cout << "---\n\nReceived message on topic: " << topic << "\nMessage: " << payload << std::endl;

    const ClassifiedTopic c = classifyInternalTopic(topic);
    switch (c.kind) {
        case InternalTopic::Available:
            std::cout << "Received message for Available status." << std::endl;
            logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Received message for Available status.");
            sendAvailableCLS();
            break;
        case InternalTopic::Measurement:
            std::cout << "Received message for mxu001 with parameter.\nCLS number: " << c.clsDigit << std::endl;
            logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: MMXU001 for unit %s: %s", c.clsDigit.c_str(),
                       payload.c_str());
            writeMMUXtoServer(c.clsDigit, payload);
            break;
        case InternalTopic::Acknowledgment:
            std::cout << "Acknowledgment for actpow_ggio001 with parameter." << std::endl;
            logMessage(&internalMqttLogLevel, LOG_INFO, "MQTT_intern: Acknowledgment: %s", payload.c_str());
            break;
        case InternalTopic::Other:
            std::cout << "Received message does not match expected topics." << std::endl;
            logMessage(&internalMqttLogLevel, LOG_INFO,
                       "MQTT_intern: Received message does not match expected topics.");
            break;
    }
}
