#pragma once
// A small MQTT gateway for demonstrations: a peer sets the consumption limit
// (LPC) with plain-text messages on "lpc/set/value" (W, active) and
// "lpc/set/on" (0 off, else on with 0 W). It reads the MoreVale gateway's
// configuration file. The daemon's start-up does not create it.
//
// The constructor returns at once; the gateway's own thread connects in the
// background (one attempt per retry interval) and, once startMqttLoop() has
// been called, runs the client's network loop: callbacks, and with them the
// limit writes into the core, run there. After a lost connection it
// reconnects after reconnectDelay. The destructor stops and joins the thread
// and releases the client; every wait of the thread ends at once when it is
// told to stop.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "external/UMeadowMessages.h"
#include "foundation/MqttSession.h"

class IecCore;
struct mosquitto_message;

struct UMeadowTimings {
    // Pause between two connect attempts of the background connection.
    std::chrono::milliseconds retryInterval{60000};
    // Pause before reconnecting after a lost connection.
    std::chrono::milliseconds reconnectDelay{60000};
    std::chrono::milliseconds reachableTimeout{10000};
};

class ExternalInterfaceUMeadow {
public:
    explicit ExternalInterfaceUMeadow(IecCore& server, const UMeadowTimings& timings = {});
    ~ExternalInterfaceUMeadow();
    ExternalInterfaceUMeadow(const ExternalInterfaceUMeadow&) = delete;
    ExternalInterfaceUMeadow& operator=(const ExternalInterfaceUMeadow&) = delete;

    // Lets the network loop run (at once, or as soon as the connection is
    // made). 0, or the client library's error code (no client, already started).
    int startMqttLoop();

    // Result of the last connect attempt: -1 before the first, 0 connected,
    // 15 after an unreachable broker, else the client library's code.
    int connectionStatus() const;
    const UMeadowConfig& config() const { return config_; }
    const std::string& clientId() const { return clientId_; }

private:
    void getHostName();
    void InitializeConnection();
    void readConfig();
    void connectToMqttInBackground();
    void run();
    bool connectOnce();
    // Waits up to the duration or until stopping; true when stopping.
    bool waitOrStop(std::chrono::milliseconds duration);
    void writeLimit(bool active, float watts);

    void onLog(const char* text);
    void onConnect(int rc);
    void onDisconnect(int rc);
    void onMessage(const mosquitto_message* message);

    IecCore& server;
    const UMeadowTimings timings_;
    // Set before its thread starts, closed (the thread joined) before it goes.
    std::unique_ptr<MqttSession> session_;
    bool debugMode = false;
    std::string hostName;
    std::string clientId_;
    std::string subTopic;
    std::string ackTopic;
    UMeadowConfig config_;  // written before the thread starts

    // Network thread only.
    bool brokerAlive = false;
    bool disconnected = false;

    mutable std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false;       // under mutex
    bool loopRequested = false;  // under mutex
    int connectionStatus_ = -1;  // under mutex
};
