#pragma once
// The grid-side CLSEEDI gateway: an MQTT client through which the grid
// operator's platform sets the consumption (CLS1) and production (CLS2)
// limits, reads the box's state and sends day-ahead prices.
//
// Threads: the constructor, startMqttLoop and the destructor run on the
// creating thread; every callback and all message handling run on the
// client library's network thread, one message at a time. The configuration
// fields are written before the network thread starts and only read after.
// The destructor disconnects, stops the network thread and then destroys the
// client, so no callback runs on a destroyed object.

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "foundation/MqttSession.h"

class IecCore;
struct mosquitto_message;

// The log threshold of the CLSEEDI unit: 5, then "plim_log_level", read in
// the unit's static initialisation; each gateway object copies it when built.
extern uint32_t clseediLogLevel;

class ExternalInterfaceCLSEEDI {
public:
    explicit ExternalInterfaceCLSEEDI(IecCore& server);
    ~ExternalInterfaceCLSEEDI();
    ExternalInterfaceCLSEEDI(const ExternalInterfaceCLSEEDI&) = delete;
    ExternalInterfaceCLSEEDI& operator=(const ExternalInterfaceCLSEEDI&) = delete;

    // Starts the client's network thread; the library's result code.
    int startMqttLoop();

    // Result of the connection setup: 0 no error, 1 client creation failed,
    // 3 configuration error, otherwise the client library's error code.
    int getConnectError() const { return connectError; }
    const std::string& getSubTopic() const { return subTopic; }
    const std::string& getPubTopic() const { return pubTopic; }
    const std::string& getHostName() const { return hostName; }
    // The text of the last accepted price list.
    const std::string& getDaPricesJson() const { return daPricesJson; }

    // Handles one received payload as the message callback does (replies go
    // out on pubTopic). A payload beyond the bounds of foundation/InboundPayload
    // (size, NUL byte, nesting) is refused like text that is no JSON. Never throws.
    void handleMessage(const std::string& topic, std::string_view payload);

    // The active consumption limit of CLS1 in W, from the IEC 61850 model.
    int getPowerLimitFromIEC();

    static constexpr const char* kDefaultConfigPath = "/etc/iec/config/MQTT_gateway_config.json";
    static constexpr const char* kDebugConfigPath = "../tools/MQTT_configs/MQTT_gateway_config_localhost.json";
    static constexpr const char* kTemplateDir = "/etc/iec/MQTT_JSON/";
    static constexpr const char* kDebugTemplateDir = "../etc/iec/MQTT_JSON/";
    static constexpr const char* kCaFile = "/etc/ssl/certs/ca-certificates.crt";
    static constexpr const char* kPriceFile = "/etc/iec/priceData.json";

private:
    using json = nlohmann::json;

    // Connection (setup, callbacks).
    void getHostName();
    bool readConfig();
    void InitializeConnection();
    bool setUpTls();
    void releaseClient();
    void onLog(const char* text);
    void onConnect(int rc);
    void onDisconnect(int rc);
    void callbackOnMessage(const mosquitto_message* message);

    // Messages, control and replies.
    void dispatch(const json& message, const std::string& topic);
    void handleControl(const json& message);
    void handleConsumptionControl(const json& message);
    void handleProductionControl(const json& message);
    void handleFailsafesControl(const json& message);
    void handleRead(const json& message, const std::string& topic);
    bool hasJsonField(const json& object, const std::string& key, const std::string& prefix) const;
    bool hasJsonFieldInConsumptionControl(const json& object, const std::string& key,
                                          const std::string& prefix) const;
    void sendAck(const std::string& topic, int errorNumber, const std::string& relation);
    void nackIfIdentified(const json& message);
    bool protocolSupported(const std::string& protocol, const std::string& relation);
    void sendFullState(const std::string& topic, const std::string& relation);
    void sendLimitsState(const std::string& topic, const std::string& relation);
    void sendStateReply(const char* templateName, const char* what, const std::string& topic,
                        const std::string& relation);
    void sendSupportedEebusUseCases(const std::string& topic, const std::string& relation);
    void send_measurements(const std::string& topic, const std::string& clsName, const std::string& relation);
    bool checkfailsafes();
    std::optional<json> loadTemplate(const char* name, const char* missingLine);
    int publish(const std::string& topic, const std::string& payload);

    // Day-ahead prices.
    void handleDynamicPrice(const json& message);
    bool createDaPricesMessage();
    bool sendPriceUpdatedSignal(const std::string& text);
    bool saveJsonToFile(const std::string& text);

    // Created by InitializeConnection, closed before it goes.
    std::unique_ptr<MqttSession> session_;
    IecCore* server;
    bool debugMode = false;
    std::atomic<bool> brokerAlive{false};
    std::atomic<bool> disconnected{true};
    std::string protocolVersion = "0.4.0";
    std::string hostName;
    std::string subTopic;
    std::string pubTopic;
    std::string debugConfigPath = kDebugConfigPath;
    std::string configPath;
    int connectError = 0;
    std::string daPricesJson;
    std::string mqttBroker;
    int mqttPort = 0;
    std::string mqttUsername;
    std::string mqttPassword;
    bool enableTLS = false;
    uint32_t logLevel_ = 5;
};
