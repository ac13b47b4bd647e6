#pragma once
// The EEBUS limit source: follows the control box that the home platform
// mirrors as a thing (the LineSentry thing) and writes its consumption limit
// as LPC and its production limit as LPP.
//
// It keeps its own JSON-RPC connection to the home platform on 127.0.0.1
// (requests without any framing; responses framed by parsing out of lines
// that each passed the shared inbound check, nymeajson::CheckedStream). The
// constructor starts the limit thread and returns: the thread probes the
// platform, connects and says Hello, then runs discovery of the thing every
// 30 s until one is adopted, then a poll of its state values and the limit
// writes every 10 s. A platform that never answers thus holds up no source
// change.
//
// Threads: the constructor runs on the thread that switches the source; the
// limit thread owns the connection, the state block and the ids. The
// destructor stops every wait of that thread (probe pause, back-off, send,
// receive, interval) and joins it promptly.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

class IecCore;

// Waits and deadlines of the EEBUS connection. The defaults are the
// production values; tests shorten them.
struct EebusTimings {
    // Pause between two start-up probes of the port.
    std::chrono::milliseconds probeInterval{10000};
    // First connect back-off; it doubles before each use (10, 20, 40, 60, 60 s).
    std::chrono::milliseconds connectBackoff{5000};
    std::chrono::milliseconds connectBackoffCap{60000};
    // Deadline for one response (and for one send).
    std::chrono::milliseconds responseTimeout{10000};
    // Pause between two polls of an adopted thing, and between two searches.
    std::chrono::milliseconds pollInterval{10000};
    std::chrono::milliseconds searchInterval{30000};
    // Pause of the limit thread while not connected.
    std::chrono::milliseconds idlePause{1000};
    int probeAttempts = 10;
    int connectAttempts = 5;
};

// The mirrored states of the control box (defaults: never polled).
struct EebusState {
    bool lineSentryConnected = false;
    double currentPower = 0;
    double currentGridPower = 0;
    std::string consumptionLimitationState = "init";
    bool consumptionLimitReceived = false;
    int32_t consumptionHeartbeatTimestamp = 0;
    uint32_t maxConsumptionPower = 4200;
    std::string productionLimitationState = "init";
    bool productionLimitReceived = false;
    int32_t productionHeartbeatTimestamp = 0;
    uint32_t maxProductionPower = 0;
    uint32_t failsafeMaxConsumptionPower = 4200;
    uint32_t failsafeMaxProductionPower = 4200;
    uint32_t failsafeDurationMinimum = 2;
};

class InternalInterfaceNymeaEEBUS {
public:
    InternalInterfaceNymeaEEBUS(IecCore& server, int port);
    InternalInterfaceNymeaEEBUS(IecCore& server, int port, const EebusTimings& timings);
    ~InternalInterfaceNymeaEEBUS();
    InternalInterfaceNymeaEEBUS(const InternalInterfaceNymeaEEBUS&) = delete;
    InternalInterfaceNymeaEEBUS& operator=(const InternalInterfaceNymeaEEBUS&) = delete;

    // Path of the log of connection changes of the control box.
    static constexpr const char* kDisconnectLogDir = "/data/eebus-logs";
    static constexpr const char* kDisconnectLogFile = "/data/eebus-logs/eebus-disconnects.log";
    // Upper bound of one buffered response.
    static constexpr size_t kMaxResponseBytes = 4 * 1024 * 1024;

    // Connected: the Hello was answered. Running: the limit thread is still
    // at its start-up attempts or in its loop (false once the attempts failed).
    bool isConnected() const { return nymeaConnected.load(); }
    bool isRunning() const { return running.load(); }

    // Maps the state block onto LPC and LPP writes (one step's worth).
    void controlPLim();
    // What the limit thread and the tests see of the mirrored states.
    EebusState stateForTesting() const;
    void setStateForTesting(const EebusState& state);
    std::string lineSentryThingIdForTesting() const;

private:
    void startEEBUSPlimUpdateThread();
    // The start-up attempts (probe, connect, Hello); true once connected,
    // false after the last failed attempt or when stopping.
    bool startUp();
    void connectToServer();
    void sendHello();
    bool sendJsonRpcRequest(const nlohmann::json& request);
    nlohmann::json receiveJsonResponse();
    void reconnect();
    void plimUpdateLoop();
    void plimUpdateStep();
    void getThings();
    bool getStateTypes(const std::string& thingId, const std::string& thingClassId);
    bool checkIfLineSentryIsActive(const std::string& thingId, const std::string& stateTypeId);
    void parseStateTypes(const nlohmann::json& stateTypes);
    void getStateValues();
    void logConnectionChange();

    bool probePort() const;
    void closeSocket();
    // Pauses; true when the pause was cut short because the object is stopping.
    bool pauseUnlessStopping(std::chrono::milliseconds duration);
    bool stopping() const;
    // Waits until fd is ready for events or the deadline passes; false on
    // timeout or stop.
    bool waitFor(int fd, short events, std::chrono::steady_clock::time_point deadline) const;
    // Stores one polled value into the state block; false when its type or range does not fit.
    // Sends one request; no reconnect (the Hello uses it directly).
    bool sendRequest(const nlohmann::json& request);
    void logStateBlock(const EebusState& s) const;

    // One mirrored state: its name on the home platform, where its type id
    // and its value are kept, and its log label.
    struct StateField;
    static const StateField kStateFields[14];

    // The mirrored states, used by the limit thread (and by tests while it is stopped).
    // Guards the state block and lineSentryThingId.
    mutable std::mutex stateMutex;
    EebusState state;

    std::atomic<bool> running{false};
    std::atomic<bool> nymeaConnected{false};
    std::thread plimThread;
    std::condition_variable cv;
    mutable std::mutex cvMutex;
    bool stopRequested = false;  // under cvMutex
    int wakeFd = -1;             // readable once the destructor asked to stop
    std::chrono::milliseconds interval{0};
    IecCore& iecServer;
    uint32_t logLevel = 5;
    bool debugMode = false;
    std::string host = "127.0.0.1";
    int port = 0;
    EebusTimings timings;
    bool handshakeDone = false;
    int sock = -1;
    std::string lineSentryThingId;
    // Whether the last LPC this object wrote was an active limit.
    bool lpcSetActive = false;

    std::string connectedStateTypeId;
    std::string currentPowerStateTypeId;
    std::string currentGridPowerStateTypeId;
    std::string consumptionLimitationStateStateTypeId;
    std::string consumptionLimitReceivedStateTypeId;
    std::string consumptionHeartbeatTimestampStateTypeId;
    std::string maxConsumptionPowerStateTypeId;
    std::string productionLimitationStateStateTypeId;
    std::string productionLimitReceivedStateTypeId;
    std::string productionHeartbeatTimestampStateTypeId;
    std::string maxProductionPowerStateTypeId;
    std::string failsafeMaxConsumptionPowerStateTypeId;
    std::string failsafeMaxProductionPowerStateTypeId;
    std::string failsafeDurationMinimumStateTypeId;
};
