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
// Threads: the constructing thread owns the connection until the listener
// thread starts; from then on only the listener thread touches the socket
// and the receive buffer.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>


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

    // Upper bound of buffered bytes without a complete message.
    static constexpr size_t kMaxBufferedBytes = 100000;
    // Deepest nesting of a message that is looked at; deeper ones are dropped.
    static constexpr size_t kMaxJsonDepth = 64;

private:
    enum class WaitResult { Ready, TimedOut, Stopped };

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

    bool probePort() const;
    bool sourceIsSet() const;
    void closeSocket();
    // Waits until fd is readable (fd < 0: only for the timeout), the timeout
    // passes or the destructor asks to stop.
    WaitResult waitReadable(int fd, std::chrono::milliseconds timeout) const;
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
    std::string recvBuffer;
    // True while the rest of an over-long line is being dropped.
    bool discardingLine = false;
};

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

// A blocking TCP connect of fd to host (IPv4 text) and port, retried when
// interrupted; false with errno set on failure.
bool connectTo(int fd, const std::string& host, int port);

// The power-limit sources a notification line names, in order: one entry per
// source parameter of a "GridSupport" source event, nullopt where that
// parameter carries no text. Empty for any other message. Throws
// std::exception when the line is no JSON, nests deeper than maxDepth or
// lacks the members of an event notification.
std::vector<std::optional<std::string>> sourcesOfNotification(const std::string& line, size_t maxDepth);

}  // namespace nymeajson
