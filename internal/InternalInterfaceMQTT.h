#pragma once
// MQTT client of the home side's internal broker. It answers availability
// requests, takes the measured total active power ("totw") of a CLS into
// "MMXU001.TotW" of the model, and publishes the active power limit of a CLS
// (with its range, scale factor and limit schedule) each time the schedule
// handling calls its listener.
//
// The daemon's start-up does not create it. Whoever does keeps it alive as
// long as the core; the constructor connects (up to connectAttempts tries),
// starts the client's network thread and registers the listener under
// kListenerName. The destructor unregisters the listener and releases the
// client.
//
// Threads: the callbacks run on the client library's network thread; the
// listener runs on whichever thread ran the road. Both reach the client only
// under clientMutex, which is never held while waiting for the network thread.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "foundation/MqttSession.h"
#include "internal/InternalMqttMessages.h"

class IecCore;
struct mosquitto_message;

struct InternalMqttTimings {
    int connectAttempts = 10;
    std::chrono::milliseconds attemptPause{1000};
    std::chrono::milliseconds reachableTimeout{10000};
    // Refused connections in a row after which the client gives up.
    int maxRefusals = 20;
};

class InternalInterfaceMQTT {
public:
    static constexpr const char* kClientId = "tavelmarck_vyk_client";
    // Its own key in the listener registry, beside the JSON-RPC listener.
    static constexpr const char* kListenerName = "callbackMQTTintern";

    explicit InternalInterfaceMQTT(IecCore& server, const InternalMqttTimings& timings = {});
    ~InternalInterfaceMQTT();
    InternalInterfaceMQTT(const InternalInterfaceMQTT&) = delete;
    InternalInterfaceMQTT& operator=(const InternalInterfaceMQTT&) = delete;

    // Creates the client, reads the configuration, connects and starts the
    // network thread. An existing client is released first.
    void initializeConnection();
    // Stops the network thread, disconnects and releases the client. Safe to
    // call more than once; never from a callback.
    void disconnect();

    void sendAvailableCLS();
    // The listener: publishes the power-limit message of the CLS.
    void sendPLim(int cls);
    // Writes a measurement message into "MMXU001.TotW" of "CLS<digit>".
    void writeMMUXtoServer(const std::string& clsDigit, const std::string& payload);
    // The active value of the CLS scaled by its multiplier (throws as
    // scaleInternalPowerLimit does).
    float getScaledPowerLimit(int cls);

    int connectStatus() const { return connectStatus_.load(); }
    bool connected() const { return loopStarted_.load() && !gaveUp_.load(); }
    // True once the client gave up after repeated refusals (it is released by
    // disconnect() or the destructor, never inside its own callback).
    bool gaveUp() const { return gaveUp_.load(); }
    const InternalMqttConfig& config() const { return config_; }

    // The handler of SIGINT and SIGTERM that initializeConnection installs.
    static void signalHandler(int signal);

private:
    void readConfiguration();
    bool connectWithAttempts(MqttSession& client);
    bool publish(const std::string& topic, const std::string& payload);

    void onConnect(MqttSession& client, int rc);
    void onMessage(const mosquitto_message* message);

    IecCore& iecServer;
    const bool debugMode;
    const InternalMqttTimings timings_;

    std::mutex clientMutex;
    std::unique_ptr<MqttSession> session_;  // under clientMutex
    std::atomic<bool> loopStarted_{false};
    std::atomic<bool> gaveUp_{false};

    InternalMqttConfig config_;  // written before the network thread starts
    std::atomic<int> connectStatus_{0};
    // Network thread only (and before it starts).
    int retryCount = 0;
    bool subscribed = false;
};
