#pragma once
// Client of the nymea home platform's JSON-RPC interface on 127.0.0.1.
//
// The constructor probes the platform, says Hello, subscribes to the
// "gridsupport" notifications and asks for the power-limit source, then hands
// the connection to a listener thread. The start-up is bounded: after the
// probe or query budget is spent the constructor returns and the listener
// thread goes on reaching the platform and asking for the source in the
// background. The listener thread handles source-change notifications,
// replaces a lost connection (Hello, re-subscription, IecServer::resendLpc,
// one more source query) and is stopped and joined by the destructor.
//
// A second feature asks the platform for the home's power balance and the
// values of its root meter (the meter at the grid connection point): a
// balance thread, started only by startBalanceUpdateLoop, writes the power
// at the grid connection point into "TotW" of "MMXU001" in "CLS1" and keeps
// the root meter's values in the 18 measurement fields below.
//
// What the platform sends is taken line by line: every line passes the
// shared inbound check (size, NUL bytes, nesting) before it is parsed, the
// answers that a request waits for (framed by parsing out of checked lines)
// and the notifications that the listener reads alike (CheckedStream below).
//
// Threads: the constructing thread owns the connection until the listener
// thread starts; from then on only the listener thread touches the socket
// and the receive buffer. Requests of other threads (the balance requests)
// are queued and sent by the listener thread, which hands each response back
// to the waiting thread; no other thread reads the socket.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "foundation/InboundPayload.h"

namespace nymeajson {

enum class FrameStatus {
    Value,       // one JSON value was taken from the front of the buffer
    Incomplete,  // the buffer holds the start of a value; wait for more bytes
    Dropped,     // malformed text up to a line feed was dropped from the buffer
};

// Takes the first JSON value (leading whitespace skipped) from the front of
// buffer into valueText; what follows it stays in the buffer. Text that
// cannot start a valid value and is followed by a line feed is dropped up to
// that line feed, so one bad line cannot hide the messages behind it.
FrameStatus takeValue(std::string& buffer, std::string& valueText);

// The byte stream of one connection to the platform. Every line (up to a
// line feed) goes through the shared inbound check (foundation/
// InboundPayload.h: its size, NUL bytes, nesting) before anything parses
// it, notifications and answers alike; a refused line is dropped whole, with
// any value begun on the lines before it. Two readings of the checked lines:
//   - nextValue frames JSON values as takeValue does (a value may span lines
//     and several may share one), but only out of checked lines: a value is
//     taken once the line it ends on is complete;
//   - nextLine hands out whole checked lines.
// More than the size bound buffered without a line feed to end it (or
// without a value ending) is an overflow: all of it is dropped, and the rest
// of the line that was under way is dropped when it arrives.
class CheckedStream {
public:
    enum class Step {
        Value,       // nextValue: valueText holds one JSON value
        Line,        // nextLine: line holds one line, without its line feed
        Incomplete,  // wait for more bytes
        Dropped,     // nextValue: malformed text up to a line feed was dropped
        Refused,     // a line failed the inbound check and was dropped; why says why
        Overflow,    // over the size bound without an end: dropped
    };

    explicit CheckedStream(const inbound::Bounds& lineBounds) : bounds_(lineBounds) {}

    void append(std::string_view bytes);
    void clear();
    bool empty() const { return buffer_.empty(); }
    size_t size() const { return buffer_.size(); }
    // Anything but blanks and line ends left.
    bool holdsText() const { return buffer_.find_first_not_of(" \t\r\n") != std::string::npos; }

    Step nextValue(std::string& valueText, std::string& why);
    Step nextLine(std::string& line, std::string& why);

private:
    // Drops everything; the rest of an unfinished last line is dropped as it comes.
    void overflow();
    // Checks the whole lines after checked_, up to the first refused one;
    // true when it checked or refused any.
    bool checkLines();

    inbound::Bounds bounds_;
    std::string buffer_;
    // buffer_[0, checked_) is whole lines that passed the check.
    size_t checked_ = 0;
    // A refused line right after them (its length with the line feed), not yet reported.
    std::optional<std::string> refusedWhy_;
    size_t refusedLength_ = 0;
    bool discarding_ = false;
};

// A blocking TCP connect of fd to host (IPv4 text) and port, retried when
// interrupted; false with errno set on failure.
bool connectTo(int fd, const std::string& host, int port);

// The power-limit sources a notification line names, in order: one entry per
// source parameter of a "GridSupport" source event, nullopt where that
// parameter carries no text. Empty for any other message. Throws
// std::exception when the line is no JSON, holds a NUL byte, nests deeper
// than maxDepth (the inbound check's reason as the text) or lacks the members
// of an event notification.
std::vector<std::optional<std::string>> sourcesOfNotification(const std::string& line, size_t maxDepth);

}  // namespace nymeajson

class IecCore;

// Waits and deadlines of the connection. The defaults are the production
// values; tests shorten them.
struct NymeaTimings {
    // Pause between two start-up probes of the port.
    std::chrono::milliseconds probeInterval{10000};
    // Pause between two queries of the power-limit source (start-up and listener).
    std::chrono::milliseconds sourceRetryInterval{10000};
    // Pause after a lost connection, a failed probe or connect while reconnecting.
    std::chrono::milliseconds reconnectPause{5000};
    // Deadline for the response to one request, and for one send.
    std::chrono::milliseconds responseTimeout{5000};
    // Longest single wait of the listener thread before it looks at its work again.
    std::chrono::milliseconds listenerPollSlice{1000};
    // Probes at start-up before the constructor gives up (the listener goes on).
    int probeAttempts = 10;
    // Source queries at start-up before the constructor goes on without a source.
    int startupSourceQueries = 10;
    // Pause of the balance thread between two passes.
    std::chrono::milliseconds balanceInterval{5000};
};

class InternalInterfaceNymea {
public:
    InternalInterfaceNymea(IecCore& server, int port);
    InternalInterfaceNymea(IecCore& server, int port, const NymeaTimings& timings);
    ~InternalInterfaceNymea();
    InternalInterfaceNymea(const InternalInterfaceNymea&) = delete;
    InternalInterfaceNymea& operator=(const InternalInterfaceNymea&) = delete;

    // Result of the last Hello ("status" equal to "success").
    bool isConnected() const { return connected.load(); }

    // Frames and sends one request ("\n" terminated). False when not connected
    // or when the send fails; a failed send closes the connection.
    bool sendJsonRpcRequest(const nlohmann::json& request);
    // Receives until the response with this id arrives; null on timeout, stop
    // or a lost connection (the connection is then closed).
    nlohmann::json waitForResponse(int id);

    // --- Home power balance and root meter --------------------------------

    // Values of the home's root meter, 0 until read. Written by the thread
    // that runs the root-meter requests, read by any thread (the MoreVale
    // measurement sender reads the per-phase ones).
    std::atomic<float> totalEnergyConsumed{0.0f};
    std::atomic<float> totalEnergyProduced{0.0f};
    std::atomic<float> currentPower{0.0f};
    std::atomic<float> energyConsumedPhaseA{0.0f};
    std::atomic<float> energyConsumedPhaseB{0.0f};
    std::atomic<float> energyConsumedPhaseC{0.0f};
    std::atomic<float> energyProducedPhaseA{0.0f};
    std::atomic<float> energyProducedPhaseB{0.0f};
    std::atomic<float> energyProducedPhaseC{0.0f};
    std::atomic<float> currentPowerPhaseA{0.0f};
    std::atomic<float> currentPowerPhaseB{0.0f};
    std::atomic<float> currentPowerPhaseC{0.0f};
    std::atomic<float> currentPhaseA{0.0f};
    std::atomic<float> currentPhaseB{0.0f};
    std::atomic<float> currentPhaseC{0.0f};
    std::atomic<float> voltagePhaseA{0.0f};
    std::atomic<float> voltagePhaseB{0.0f};
    std::atomic<float> voltagePhaseC{0.0f};
    // The home's power at the grid connection point (last balance answer).
    std::atomic<float> currentPowerAcquisition{0.0f};

    static constexpr size_t kMeasurementCount = 18;

    // Starts the balance thread (a pass every balanceInterval: power balance,
    // then the root meter's state values). Does nothing while it runs.
    void startBalanceUpdateLoop();
    // Stops and joins the balance thread; the destructor does it too.
    void stopBalanceUpdateLoop();

    // "Energy.GetPowerBalance": the power at the grid connection point into
    // currentPowerAcquisition and "TotW" of "MMXU001" in "CLS1".
    void updatePowerBalance();
    // The root-meter chain: "Energy.GetRootMeter", "Integrations.GetThings",
    // "Integrations.GetStateTypes", then the state values.
    void fetchRootMeter();
    // "Integrations.GetStateValues" of the root meter into the measurement fields.
    void getRootMeterStateValues();

    std::string rootMeterThingIdCopy() const;
    // The state type id of each measurement field, in field order.
    std::array<std::string, kMeasurementCount> stateTypeIdsCopy() const;

    // Upper bound of buffered bytes without a complete message, and of one line.
    static constexpr size_t kMaxBufferedBytes = 100000;
    // Deepest nesting of a message that is looked at; deeper ones are dropped.
    static constexpr size_t kMaxJsonDepth = 64;
    // The inbound check of every line of the stream.
    static constexpr inbound::Bounds kLineBounds{kMaxBufferedBytes, kMaxJsonDepth};

private:
    enum class WaitResult { Ready, TimedOut, Stopped, Request };

    // One request of another thread, sent and answered on the listener thread.
    struct QueuedRequest {
        nlohmann::json request;
        int id = 0;
        nlohmann::json response;
        bool taken = false;
        bool done = false;
    };

    void connectWithRetries();
    bool connectToServer();
    void sendHello();
    void initialize();
    void getPowerLimitSource();
    void eventListenerLoop();
    void listenerPass(std::chrono::steady_clock::time_point& nextSourceQuery);
    bool reconnect();
    void handleNotification(const std::string& line);
    void handleBufferedLines();
    void handleMessageWhileWaiting(const nlohmann::json& message);

    // Sends a request and waits for its response: directly on the listener
    // thread, through the listener thread from any other. Null when it failed.
    nlohmann::json exchange(const nlohmann::json& request, int id);
    // exchange with the request logged, and in debug mode the response.
    nlohmann::json exchangeLogged(const nlohmann::json& request, int id);
    // Sends and answers every queued request (listener thread only).
    void serveQueuedRequests();
    // Answers every queued request with null (the connection is down).
    void failQueuedRequests();
    void finishRequest(const std::shared_ptr<QueuedRequest>& queued, nlohmann::json response);

    void balanceUpdateLoop();
    void writeCurrentPowerToIec();
    void getThings();
    void getStateTypes(const std::string& thingClassId);
    void processStateTypes(const nlohmann::json& response);
    void storeStateTypeIds(const nlohmann::json& stateTypes);
    void logMappedStateValues();

    bool probePort() const;
    bool sourceIsSet() const;
    void closeSocket();
    // Waits until fd is readable (fd < 0: only for the timeout), the timeout
    // passes or the destructor asks to stop.
    // With wakeOnRequest, a queued request of another thread ends the wait too.
    WaitResult waitReadable(int fd, std::chrono::milliseconds timeout, bool wakeOnRequest = false) const;
    // Pauses; true when the pause was cut short by a stop request.
    bool pauseUnlessStopped(std::chrono::milliseconds duration) const;

    IecCore& server;
    uint32_t logLevel = 5;
    bool debugMode = false;
    std::string host = "127.0.0.1";
    int port = 0;
    NymeaTimings timings;
    std::atomic<bool> connected{false};
    int socketFd = -1;
    int wakeFd = -1;
    std::thread listenerThread;
    std::atomic<bool> stopRequested{false};
    // The receive buffer, shared by the response wait and the listener.
    nymeajson::CheckedStream recvBuffer{kLineBounds};

    // Requests of other threads for the listener thread; requestFd wakes it.
    int requestFd = -1;
    std::mutex requestMutex;
    std::condition_variable requestDone;
    std::deque<std::shared_ptr<QueuedRequest>> requestQueue;

    // The balance thread and its interruptible pause.
    std::atomic<bool> balanceRunning{false};
    std::thread balanceThread;
    std::mutex balanceMutex;
    std::condition_variable balanceWake;

    // The root meter found by the chain, and the ids of its state types.
    mutable std::mutex rootMeterMutex;
    std::string rootMeterThingId;
    std::array<std::string, kMeasurementCount> stateTypeIds;
};
