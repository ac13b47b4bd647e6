#pragma once
// The MoreVale gateway: an MQTT client (libmosquitto, TLS with a client
// certificate) through which a grid operator's platform sends consumption
// limits (LPC, acknowledged on the "ack" topic) and asks for periodic
// measurement messages (MGCP, on the "msg" topic).
//
// The constructor reads the configuration and creates the client; it never
// waits for the broker. startMqttLoop starts the gateway's network thread:
// it connects (10 s pauses while the host is unreachable, 1 s after a failed
// attempt, a refused TLS handshake included) and then runs the client
// library's network loop; after the loss of a session it reconnects every
// reconnect delay (60 s).
//
// Threads: the network thread runs every callback and the LPC writes into
// the core; the process's one MGCP sender thread builds and publishes the
// measurement messages. The destructor stops the sender, disconnects, stops
// and joins the network thread and destroys the client.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "external/MoreValeConfig.h"
#include "external/MoreValeMessages.h"
#include "foundation/MqttSession.h"

class IecCore;
struct mosquitto_message;

// Waits of the connection. The defaults are the production values; tests shorten them.
struct MoreValeTimings {
    std::chrono::milliseconds unreachablePause{10000};
    std::chrono::milliseconds failedConnectPause{1000};
    std::chrono::milliseconds reachableTimeout{10000};
    // The client library's pause before it reconnects after a lost connection.
    unsigned reconnectDelaySeconds = 60;
    int keepAliveSeconds = 60;
};

class ExternalInterfaceMoreVale : private MoreValeSink {
public:
    explicit ExternalInterfaceMoreVale(IecCore& server);
    ExternalInterfaceMoreVale(IecCore& server, const MoreValeTimings& timings);
    ~ExternalInterfaceMoreVale() override;
    ExternalInterfaceMoreVale(const ExternalInterfaceMoreVale&) = delete;
    ExternalInterfaceMoreVale& operator=(const ExternalInterfaceMoreVale&) = delete;

    // Starts connecting in the background; 0, or an error code of the client
    // library when there is no client or no valid configuration.
    int startMqttLoop();

    // The active consumption limit of CLS1 in W (value times 10^multiplier,
    // read as one pair under the data-model lock); 0 when it cannot be read.
    float getPowerLimitFromIEC();

    // Builds one MGCP message from "mgcp.json" and publishes it on the "msg" topic.
    void sendMgcp(const std::string& transactionId);

    // The broker accepted the connection and it has not been lost since.
    bool isConnected() const { return connected.load(); }
    const std::optional<MoreValeConfig>& configuration() const { return config; }
    const MoreValeTopics& topics() const { return topics_; }
    const std::string& clientId() const { return clientId_; }

private:
    void onLog(const char* text);
    void onConnect(int result);
    void onDisconnect(int reason);
    void onMessage(const mosquitto_message* message);

    void getHostName();
    void InitializeConnection();
    void networkLoop();
    // One connect attempt; false (and unreachable set when the host did not answer) on failure.
    bool connectOnce(bool& unreachable);
    // Pauses; true when the destructor asked to stop.
    bool pauseUnlessStopped(std::chrono::milliseconds duration);
    std::string templatePath(const char* name) const;

    // MoreValeSink
    bool writeLpc(uint64_t startTimeMs, int durationSeconds, float limitW) override;
    void publish(const std::string& topic, const std::string& payload) override;
    void requestMgcp(int intervalSeconds, const std::string& transactionId) override;

    IecCore* server;
    // Created with a valid configuration; its own thread runs networkLoop.
    std::unique_ptr<MqttSession> session_;
    bool debugMode = false;
    // Written on the network thread, read by any.
    std::atomic<bool> brokerAlive{false};
    std::atomic<bool> disconnected{false};
    std::atomic<bool> connected{false};
    std::string protocolVersion = "0.4.0";
    std::string hostName;
    std::string clientId_;
    // Result of the last connect attempt: 0 connected, 15 after a wait for an
    // unreachable broker, else the client library's error code.
    std::atomic<int> connectionStatus{-1};
    std::optional<MoreValeConfig> config;
    MoreValeTopics topics_;
    MoreValeTlsFiles tlsFiles;
    std::unique_ptr<MoreValeMessageHandler> handler;
    MoreValeTimings timings;
    // The broker accepted a session at least once (network thread only).
    bool hadSession = false;

    std::mutex stopMutex;
    std::condition_variable stopWake;
    bool stopRequested = false;
};
