#include "internal/InternalInterfaceNymea.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <iostream>
#include <limits>

#include <rapidjson/document.h>
#include <rapidjson/memorystream.h>

#include "server/IecCore.h"
#include "foundation/JsonDepth.h"
#include "foundation/Logging.h"
#include "foundation/ThreadName.h"
#include "foundation/ModelLookup.h"
#include "iec61850/unique_fd.h"

using iec61850::UniqueFd;
using json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kHelloId = 0;
constexpr int kResubscribeId = 1;
constexpr int kSubscribeId = 2;
constexpr int kPowerLimitSourceId = 100;
constexpr int kGetThingsId = 1;
constexpr int kStateTypesId = 3;
constexpr int kRootMeterId = 4;
constexpr int kStateValuesId = 7;
constexpr int kPowerBalanceId = 8;

constexpr size_t kResponseChunkBytes = 30720;
constexpr size_t kListenerChunkBytes = 8192;

constexpr const char* kGridSupportThing = "gridsupport";
constexpr const char* kSourceSettingParamTypeId = "e3f9a1e4-5f20-4b6b-9c6f-bf0f4ad7b74b";
constexpr const char* kSourceEventTypeId = "0f3c68bc-6b9b-4012-862f-0bd756675fdc";
constexpr const char* kSourceEventParamTypeId = "491ca80f-ab67-4977-944a-5228862ecf86";
constexpr const char* kEventTriggered = "Integrations.EventTriggered";

json subscriptionRequest(int id) {
    return {{"id", id},
            {"method", "JSONRPC.SetNotificationStatus"},
            {"params", {{"enabled", true}, {"namespaces", {kGridSupportThing}}}}};
}

// Writes every byte; retries interrupted and short writes. Never raises SIGPIPE.
bool sendAll(int fd, const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(fd, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

milliseconds remainingUntil(SteadyClock::time_point deadline) {
    auto left = std::chrono::ceil<milliseconds>(deadline - SteadyClock::now());
    return std::max(left, milliseconds(0));
}

void signalEvent(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t ignored = ::write(fd, &one, sizeof(one));
    (void)ignored;
}

void drainEvent(int fd) {
    uint64_t count = 0;
    ssize_t ignored = ::read(fd, &count, sizeof(count));
    (void)ignored;
}

bool succeeded(const json& response) {
    return response.is_object() && response.contains("status") && response["status"] == "success";
}

// The member "params" when it is an object, else null.
const json* paramsOf(const json& response) {
    if (!response.is_object()) return nullptr;
    auto it = response.find("params");
    return it != response.end() && it->is_object() ? &*it : nullptr;
}

// A JSON number that a float holds (finite, in range); nothing else.
bool toFloat(const json& value, float& out) {
    if (!value.is_number()) return false;
    const double d = value.get<double>();
    if (!std::isfinite(d) || std::fabs(d) > FLT_MAX) return false;
    out = static_cast<float>(d);
    return true;
}

std::string stringOr(const json& object, const char* key, const char* fallback) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : fallback;
}

// The measurement fields with the root-meter state that fills each, in field order.
struct MeasurementField {
    std::atomic<float> InternalInterfaceNymea::*field;
    const char* stateName;
};

constexpr MeasurementField kMeasurements[InternalInterfaceNymea::kMeasurementCount] = {
    {&InternalInterfaceNymea::totalEnergyConsumed, "totalEnergyConsumed"},
    {&InternalInterfaceNymea::totalEnergyProduced, "totalEnergyProduced"},
    {&InternalInterfaceNymea::currentPower, "currentPower"},
    {&InternalInterfaceNymea::energyConsumedPhaseA, "energyConsumedPhaseA"},
    {&InternalInterfaceNymea::energyConsumedPhaseB, "energyConsumedPhaseB"},
    {&InternalInterfaceNymea::energyConsumedPhaseC, "energyConsumedPhaseC"},
    {&InternalInterfaceNymea::energyProducedPhaseA, "energyProducedPhaseA"},
    {&InternalInterfaceNymea::energyProducedPhaseB, "energyProducedPhaseB"},
    {&InternalInterfaceNymea::energyProducedPhaseC, "energyProducedPhaseC"},
    {&InternalInterfaceNymea::currentPowerPhaseA, "currentPowerPhaseA"},
    {&InternalInterfaceNymea::currentPowerPhaseB, "currentPowerPhaseB"},
    {&InternalInterfaceNymea::currentPowerPhaseC, "currentPowerPhaseC"},
    {&InternalInterfaceNymea::currentPhaseA, "currentPhaseA"},
    {&InternalInterfaceNymea::currentPhaseB, "currentPhaseB"},
    {&InternalInterfaceNymea::currentPhaseC, "currentPhaseC"},
    {&InternalInterfaceNymea::voltagePhaseA, "voltagePhaseA"},
    {&InternalInterfaceNymea::voltagePhaseB, "voltagePhaseB"},
    {&InternalInterfaceNymea::voltagePhaseC, "voltagePhaseC"},
};

}  // namespace

// ---------------------------------------------------------------------------
// Connecting

bool nymeajson::connectTo(int fd, const std::string& host, int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) {
        errno = EINVAL;
        return false;
    }
    int rc;
    do {
        rc = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// ---------------------------------------------------------------------------
// Framing of the byte stream

namespace nymeajson {

namespace {

// takeValue on buffer[0, limit) alone: what lies beyond is not looked at.
FrameStatus takeValueWithin(std::string& buffer, size_t limit, std::string& valueText) {
    size_t start = buffer.find_first_not_of(" \t\r\n");
    if (start == std::string::npos || start >= limit) {
        buffer.erase(0, limit);
        return FrameStatus::Incomplete;
    }
    rapidjson::MemoryStream stream(buffer.data() + start, limit - start);
    rapidjson::Document document;
    constexpr unsigned kFlags =
        rapidjson::kParseStopWhenDoneFlag | rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag;
    document.ParseStream<kFlags>(stream);
    if (!document.HasParseError()) {
        size_t end = start + stream.Tell();
        valueText.assign(buffer, start, end - start);
        buffer.erase(0, end);
        return FrameStatus::Value;
    }
    size_t errorAt = start + document.GetErrorOffset();
    // A parse that ran out of bytes is a message still arriving. When a line
    // feed lies at or after the failing place, the bytes were there and did
    // not make a value: drop that text up to and with the line feed.
    size_t lineEnd = buffer.find('\n', errorAt);
    if (lineEnd == std::string::npos || lineEnd >= limit) {
        return FrameStatus::Incomplete;
    }
    buffer.erase(0, lineEnd + 1);
    return FrameStatus::Dropped;
}

}  // namespace

FrameStatus takeValue(std::string& buffer, std::string& valueText) {
    return takeValueWithin(buffer, buffer.size(), valueText);
}

void CheckedStream::append(std::string_view bytes) {
    if (discarding_) {
        const size_t lineEnd = bytes.find('\n');
        if (lineEnd == std::string_view::npos) return;
        discarding_ = false;  // the end of the dropped line
        bytes.remove_prefix(lineEnd + 1);
    }
    buffer_.append(bytes);
}

void CheckedStream::clear() {
    buffer_.clear();
    checked_ = 0;
    refusedWhy_.reset();
    discarding_ = false;
}

void CheckedStream::overflow() {
    discarding_ = !buffer_.empty() && buffer_.back() != '\n';
    buffer_.clear();
    checked_ = 0;
    refusedWhy_.reset();
}

bool CheckedStream::checkLines() {
    if (refusedWhy_) return false;
    const size_t from = checked_;
    size_t lineEnd;
    while ((lineEnd = buffer_.find('\n', checked_)) != std::string::npos) {
        const std::string_view line = std::string_view(buffer_).substr(checked_, lineEnd - checked_);
        if (auto refused = inbound::refusal(line, bounds_)) {
            refusedWhy_ = std::move(*refused);
            refusedLength_ = lineEnd + 1 - checked_;
            return true;
        }
        checked_ = lineEnd + 1;
    }
    return checked_ != from;
}

CheckedStream::Step CheckedStream::nextValue(std::string& valueText, std::string& why) {
    for (;;) {
        if (checked_ > 0) {
            const size_t before = buffer_.size();
            const FrameStatus status = takeValueWithin(buffer_, checked_, valueText);
            checked_ -= before - buffer_.size();
            if (status == FrameStatus::Value) return Step::Value;
            if (status == FrameStatus::Dropped) return Step::Dropped;
            // What is left of the checked lines is one value still open.
            if (checked_ > bounds_.maxBytes) {
                overflow();
                return Step::Overflow;
            }
        }
        if (refusedWhy_) {
            // The refused line goes, and with it a value begun before it.
            buffer_.erase(0, checked_ + refusedLength_);
            checked_ = 0;
            why = std::move(*refusedWhy_);
            refusedWhy_.reset();
            return Step::Refused;
        }
        if (!checkLines()) {
            if (buffer_.size() <= bounds_.maxBytes) return Step::Incomplete;
            overflow();
            return Step::Overflow;
        }
    }
}

CheckedStream::Step CheckedStream::nextLine(std::string& line, std::string& why) {
    const size_t lineEnd = buffer_.find('\n');
    if (lineEnd == std::string::npos) {
        if (buffer_.size() <= bounds_.maxBytes) return Step::Incomplete;
        overflow();
        return Step::Overflow;
    }
    line.assign(buffer_, 0, lineEnd);
    buffer_.erase(0, lineEnd + 1);
    if (lineEnd + 1 <= checked_) {
        checked_ -= lineEnd + 1;
    } else {
        // Past what nextValue checked: every line is checked here anyway.
        checked_ = 0;
        refusedWhy_.reset();
    }
    if (auto refused = inbound::refusal(line, bounds_)) {
        why = std::move(*refused);
        return Step::Refused;
    }
    return Step::Line;
}

}  // namespace nymeajson

// ---------------------------------------------------------------------------
// Construction and destruction

InternalInterfaceNymea::InternalInterfaceNymea(IecCore& server, int port)
    : InternalInterfaceNymea(server, port, NymeaTimings{}) {}

InternalInterfaceNymea::InternalInterfaceNymea(IecCore& server, int port, const NymeaTimings& timings)
    : server(server), port(port), timings(timings) {
    logLevel = 5;
    readLogLevel(&logLevel);
    debugMode = server.isDebugMode();
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Cannot create the stop event: %s", std::strerror(errno));
    }
    requestFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (requestFd < 0) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Cannot create the request event: %s", std::strerror(errno));
    }

    connectWithRetries();

    listenerThread = namedThread("nymea-listener", [this] { eventListenerLoop(); });
    logMessage(&logLevel, LOG_NOTICE, "Nymea: InternalInterfaceNymea initialized. Now we are still listening for events");
}

InternalInterfaceNymea::~InternalInterfaceNymea() {
    stopRequested = true;
    signalEvent(wakeFd);
    {
        // Wakes a thread waiting for its response.
        std::lock_guard<std::mutex> lock(requestMutex);
    }
    requestDone.notify_all();
    stopBalanceUpdateLoop();
    if (listenerThread.joinable()) {
        listenerThread.join();
    }
    failQueuedRequests();
    closeSocket();
    for (int* fd : {&wakeFd, &requestFd}) {
        if (*fd >= 0) {
            ::close(*fd);
            *fd = -1;
        }
    }
}

// ---------------------------------------------------------------------------
// Waiting

InternalInterfaceNymea::WaitResult InternalInterfaceNymea::waitReadable(int fd, milliseconds timeout,
                                                                      bool wakeOnRequest) const {
    SteadyClock::time_point deadline = SteadyClock::now() + timeout;
    for (;;) {
        if (stopRequested) return WaitResult::Stopped;
        pollfd fds[3] = {{fd, POLLIN, 0}, {wakeFd, POLLIN, 0}, {wakeOnRequest ? requestFd : -1, POLLIN, 0}};
        milliseconds left = remainingUntil(deadline);
        int rc = ::poll(fds, 3, static_cast<int>(left.count()));
        if (rc < 0) {
            if (errno == EINTR) continue;
            logMessage(&logLevel, LOG_ERR, "Nymea: poll failed: %s", std::strerror(errno));
            return WaitResult::TimedOut;
        }
        if (stopRequested || (fds[1].revents & POLLIN)) return WaitResult::Stopped;
        if (rc > 0 && fds[0].revents != 0) return WaitResult::Ready;
        if (rc > 0 && (fds[2].revents & POLLIN)) return WaitResult::Request;
        if (left.count() == 0) return WaitResult::TimedOut;
    }
}

bool InternalInterfaceNymea::pauseUnlessStopped(milliseconds duration) const {
    return waitReadable(-1, duration) == WaitResult::Stopped;
}

// ---------------------------------------------------------------------------
// Connection

bool InternalInterfaceNymea::probePort() const {
    const UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.get() >= 0 && nymeajson::connectTo(probe.get(), host, port);
}

void InternalInterfaceNymea::closeSocket() {
    if (socketFd >= 0) {
        ::close(socketFd);
        socketFd = -1;
    }
    connected = false;
    recvBuffer.clear();
}

void InternalInterfaceNymea::connectWithRetries() {
    const int attempts = std::max(1, timings.probeAttempts);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (probePort()) {
            logMessage(&logLevel, LOG_NOTICE, "Nymea: Port: %d is reachable", port);
            if (!connectToServer()) {
                std::cerr << "Nymea: Failed to connect to TCP JSON RPC socket." << std::endl;
                logMessage(&logLevel, LOG_ERR, "Nymea: Failed to connect to TCP JSON RPC socket.");
                return;
            }
            initialize();
            return;
        }
        logMessage(&logLevel, LOG_ERR, "Nymea: Port: %d is not reachable. Attempt %d/%d", port, attempt, attempts);
        if (attempt < attempts) {
            pauseUnlessStopped(timings.probeInterval);
        }
    }
    logMessage(&logLevel, LOG_ERR, "Nymea: Failed to reach port %d after %d attempts", port, attempts);
    logMessage(&logLevel, LOG_WARNING, "Nymea: Going on without the home platform; reconnecting in the background.");
}

bool InternalInterfaceNymea::connectToServer() {
    closeSocket();
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (fd.get() < 0) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Error creating socket: %s", std::strerror(errno));
        return false;
    }
    logMessage(&logLevel, LOG_NOTICE, "Nymea: Attempting to connect to server %s on port %d", host.c_str(), port);
    if (!nymeajson::connectTo(fd.get(), host, port)) {
        logMessage(&logLevel, LOG_ERR, "Error connecting to server %s:%d: %s", host.c_str(), port,
                   std::strerror(errno));
        fd.reset();
        pauseUnlessStopped(timings.reconnectPause);
        return false;
    }
    // A peer that stops reading must not hold a send for ever.
    timeval sendTimeout{};
    sendTimeout.tv_sec = timings.responseTimeout.count() / 1000;
    sendTimeout.tv_usec = (timings.responseTimeout.count() % 1000) * 1000;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof(sendTimeout));
    socketFd = fd.release();
    logMessage(&logLevel, LOG_NOTICE, "Nymea: Successfully connected to server %s:%d", host.c_str(), port);
    sendHello();
    return true;
}

void InternalInterfaceNymea::sendHello() {
    json hello = {{"id", kHelloId}, {"method", "JSONRPC.Hello"}, {"params", {{"locale", "de_DE"}}}};
    if (!sendJsonRpcRequest(hello)) {
        std::cerr << "❌ Failed to send subscription request." << std::endl;
        return;
    }
    json response = waitForResponse(kHelloId);
    connected = response.is_object() && response.contains("status") && response["status"] == "success";
}

bool InternalInterfaceNymea::sendJsonRpcRequest(const json& request) {
    if (socketFd < 0) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Error sending JSON RPC request: %s", "not connected");
        return false;
    }
    std::string text = request.dump() + "\n";
    if (!sendAll(socketFd, text)) {
        const char* reason = std::strerror(errno);
        std::cerr << "❌ Nymea: Error sending JSON RPC request: " << reason << std::endl;
        logMessage(&logLevel, LOG_ERR, "Nymea: Error sending JSON RPC request: %s", reason);
        closeSocket();
        return false;
    }
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Sent JSON RPC request: %s", text.c_str());
    return true;
}

json InternalInterfaceNymea::waitForResponse(int id) {
    const SteadyClock::time_point deadline = SteadyClock::now() + timings.responseTimeout;
    std::string valueText;
    for (;;) {
        // First everything already buffered, then new bytes.
        for (bool more = !recvBuffer.empty(); more;) {
            std::string why;
            switch (recvBuffer.nextValue(valueText, why)) {
                case nymeajson::CheckedStream::Step::Value:
                    break;
                case nymeajson::CheckedStream::Step::Dropped:
                    logMessage(&logLevel, LOG_DEBUG, "Nymea: Dropped malformed text from the platform.");
                    continue;
                case nymeajson::CheckedStream::Step::Refused:
                    logMessage(&logLevel, LOG_WARNING, "Nymea: Message dropped: %s", why.c_str());
                    continue;
                case nymeajson::CheckedStream::Step::Overflow:
                    logMessage(&logLevel, LOG_ERR, "Nymea: recvBuffer overflow. Clearing buffer.");
                    continue;
                default:
                    if (!recvBuffer.empty()) {
                        logMessage(&logLevel, LOG_DEBUG, "Nymea: Response pending (buffer=%zu bytes)",
                                   recvBuffer.size());
                    }
                    more = false;
                    continue;
            }
            // Each line was checked; a value over several lines may still nest too deeply.
            if (jsonNestsDeeperThan(valueText, kMaxJsonDepth)) {
                logMessage(&logLevel, LOG_WARNING, "Nymea: Message nested too deeply. Skipping.");
                continue;
            }
            json message = json::parse(valueText, nullptr, false);
            if (message.is_discarded()) {
                logMessage(&logLevel, LOG_DEBUG, "Nymea: Message is no valid JSON. Skipping.");
                continue;
            }
            if (!message.is_object()) {
                logMessage(&logLevel, LOG_DEBUG, "Nymea: Parsed entity is not an object. Skipping.");
                continue;
            }
            auto idIt = message.find("id");
            bool hasIntId = idIt != message.end() && idIt->is_number_integer() &&
                            (idIt->is_number_unsigned() ? idIt->get<uint64_t>() <= INT32_MAX
                                                        : idIt->get<int64_t>() >= INT32_MIN &&
                                                              idIt->get<int64_t>() <= INT32_MAX);
            if (hasIntId && idIt->get<int64_t>() == id) {
                return message;
            }
            if (!hasIntId && !message.contains("notification")) {
                std::cerr << "⚠️ No 'id' in received message. Skipping." << std::endl;
                logMessage(&logLevel, LOG_DEBUG, "Nymea: No 'id' in received message. Skipping.");
            }
            logMessage(&logLevel, LOG_DEBUG, "Parsed JSON size: %zu bytes", message.dump().size());
            handleMessageWhileWaiting(message);
        }

        if (socketFd < 0) return nullptr;
        WaitResult wait = waitReadable(socketFd, remainingUntil(deadline));
        if (wait == WaitResult::Stopped) return nullptr;
        if (wait == WaitResult::TimedOut) {
            std::cerr << "⏱ Timeout: Did not receive JSON-RPC response with id " << id << " in time." << std::endl;
            logMessage(&logLevel, LOG_DEBUG, "Nymea: Timeout did not receive response with id %d", id);
            return nullptr;
        }
        char chunk[kResponseChunkBytes];
        ssize_t n = ::recv(socketFd, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) {
            const char* reason = n == 0 ? "connection closed" : std::strerror(errno);
            std::cerr << "🔌 recv() error or connection closed: " << reason << std::endl;
            logMessage(&logLevel, LOG_DEBUG, "recv() error or connection closed %s: %d", reason, id);
            closeSocket();
            return nullptr;
        }
        recvBuffer.append(std::string_view(chunk, static_cast<size_t>(n)));
    }
}

void InternalInterfaceNymea::handleMessageWhileWaiting(const json& message) {
    // A notification that arrives while a request waits for its response is
    // still a source change: hand it on instead of losing it.
    if (message.contains("notification")) {
        handleNotification(message.dump());
    }
}

bool InternalInterfaceNymea::reconnect() {
    closeSocket();
    if (pauseUnlessStopped(timings.reconnectPause)) return false;
    while (!stopRequested) {
        if (!probePort()) {
            std::cerr << "🔄 Reconnect failed. Retrying in 5 seconds..." << std::endl;
            if (pauseUnlessStopped(timings.reconnectPause)) return false;
            continue;
        }
        if (!connectToServer()) {
            logMessage(&logLevel, LOG_ERR, "Nymea: Failed to reconnect TCP socket.");
            continue;
        }
        if (socketFd < 0 || !sendJsonRpcRequest(subscriptionRequest(kResubscribeId))) {
            logMessage(&logLevel, LOG_ERR, "Nymea: Failed to re-subscribe after reconnect.");
            closeSocket();
            if (pauseUnlessStopped(timings.reconnectPause)) return false;
            continue;
        }
        waitForResponse(kResubscribeId);
        if (socketFd < 0) {
            logMessage(&logLevel, LOG_ERR, "Nymea: Failed to re-subscribe after reconnect.");
            if (pauseUnlessStopped(timings.reconnectPause)) return false;
            continue;
        }
        logMessage(&logLevel, LOG_NOTICE, "Nymea: Reconnected and re-subscribed.");
        server.resendLpc();
        // The source may have changed while the connection was down.
        getPowerLimitSource();
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Power-limit source

bool InternalInterfaceNymea::sourceIsSet() const {
    std::string source = server.getPowerLimitSource();
    return !source.empty() && source != "none";
}

void InternalInterfaceNymea::initialize() {
    logMessage(&logLevel, LOG_NOTICE, "Nymea: Waiting for powerLimitSource in GridSupport Plugin is set...");
    if (!sendJsonRpcRequest(subscriptionRequest(kSubscribeId))) {
        std::cerr << "❌ Failed to send subscription request." << std::endl;
        return;  // the listener thread reconnects and subscribes again
    }
    waitForResponse(kSubscribeId);

    const int queries = std::max(1, timings.startupSourceQueries);
    int asked = 0;
    for (int query = 1; query <= queries && socketFd >= 0; ++query) {
        ++asked;
        getPowerLimitSource();
        if (sourceIsSet()) {
            logMessage(&logLevel, LOG_NOTICE, "Nymea: Grid Support Source is ready: %s",
                       server.getPowerLimitSource().c_str());
            return;
        }
        if (query < queries && socketFd >= 0) {
            logMessage(&logLevel, LOG_NOTICE,
                       "Nymea: Waiting 10 seconds before retrying to get the gridSupport plim source ...");
            pauseUnlessStopped(timings.sourceRetryInterval);
        }
    }
    logMessage(&logLevel, LOG_WARNING,
               "Nymea: No Grid Support Source after %d queries. Going on without a source; asking again in the "
               "background.",
               asked);
}

void InternalInterfaceNymea::getPowerLimitSource() {
    if (!sendJsonRpcRequest({{"id", kPowerLimitSourceId}, {"method", "Integrations.GetThings"}})) {
        std::cerr << "❌ Failed to send subscription request." << std::endl;
        return;  // the connection is closed; the listener thread replaces it
    }
    json response = waitForResponse(kPowerLimitSourceId);

    if (response.is_object() && response.contains("params") && response["params"].is_object() &&
        response["params"].contains("things") && response["params"]["things"].is_array()) {
        for (const json& thing : response["params"]["things"]) {
            if (!thing.is_object() || !thing.contains("name") || thing["name"] != kGridSupportThing) continue;
            if (thing.contains("settings") && thing["settings"].is_array()) {
                for (const json& setting : thing["settings"]) {
                    if (!setting.is_object() || !setting.contains("paramTypeId") ||
                        setting["paramTypeId"] != kSourceSettingParamTypeId || !setting.contains("value") ||
                        !setting["value"].is_string()) {
                        continue;
                    }
                    const std::string value = setting["value"].get<std::string>();
                    server.setPowerLimitSource(value);
                    std::cout << "✅ Grid Support Source: " << value << std::endl;
                    logMessage(&logLevel, LOG_NOTICE, "Nymea: Found the Grid Support Source: %s", value.c_str());
                }
                if (server.getPowerLimitSource().empty()) {
                    logMessage(&logLevel, LOG_ERR, "Nymea: Grid Support Source not found in settings of gridsupport thing.");
                }
            }
            return;
        }
        std::cerr << "No thing named 'gridsupport' found." << std::endl;
        return;
    }
    if (response.is_null() || response.empty()) {
        std::cerr << "⚠️ No response received from Integrations.GetThings" << std::endl;
        logMessage(&logLevel, LOG_ERR, "Nymea: No response received from Integrations.GetThings");
        return;
    }

    std::cerr << "❌ Invalid JSON-RPC response format." << std::endl;
    if (response.is_object() && response.contains("params") && !response["params"].is_object()) {
        std::cerr << "'params' field is not an object. Actual type: " << response["params"].type_name() << std::endl;
    } else if (response.is_object() && response.contains("params") && response["params"].contains("things")) {
        std::cerr << "'things' field is not an array. Actual type: " << response["params"]["things"].type_name()
                  << std::endl;
    } else if (response.is_object() && response.contains("params")) {
        std::cerr << "Missing 'things' field inside 'params'." << std::endl;
    } else {
        std::cerr << "Missing 'params' field in response." << std::endl;
    }
    std::cerr << "Full response dump (may be partial):" << std::endl;
    try {
        std::cerr << response.dump(4) << std::endl;
    } catch (const std::exception& e) {
        std::cerr << "⚠️ Could not dump JSON response: " << e.what() << std::endl;
    }
    logMessage(&logLevel, LOG_ERR, "Nymea: Invalid response for Integrations.GetThings");
}

// ---------------------------------------------------------------------------
// Listener thread

void InternalInterfaceNymea::eventListenerLoop() {
    SteadyClock::time_point nextSourceQuery = SteadyClock::now() + timings.sourceRetryInterval;
    while (!stopRequested) {
        try {
            listenerPass(nextSourceQuery);
        } catch (const std::exception& e) {
            std::cerr << "❌ Error in event listener loop: " << e.what() << "\n";
            logMessage(&logLevel, LOG_ERR, "Nymea: Error in event listener loop: %s", e.what());
        }
    }
}

void InternalInterfaceNymea::listenerPass(SteadyClock::time_point& nextSourceQuery) {
    if (socketFd < 0) {
        failQueuedRequests();
        if (reconnect()) {
            nextSourceQuery = SteadyClock::now() + timings.sourceRetryInterval;
            handleBufferedLines();
        }
        return;
    }
    const bool sourceMissing = !sourceIsSet();
    if (sourceMissing && SteadyClock::now() >= nextSourceQuery) {
        getPowerLimitSource();
        nextSourceQuery = SteadyClock::now() + timings.sourceRetryInterval;
        if (sourceIsSet()) {
            logMessage(&logLevel, LOG_NOTICE, "Nymea: Grid Support Source is ready: %s",
                       server.getPowerLimitSource().c_str());
        }
        handleBufferedLines();
        return;
    }

    milliseconds wait = timings.listenerPollSlice;
    if (sourceMissing) wait = std::min(wait, remainingUntil(nextSourceQuery));
    // An idle connection is fine; only a close or an error replaces it.
    WaitResult waited = waitReadable(socketFd, wait, true);
    if (waited == WaitResult::Request) {
        drainEvent(requestFd);
        serveQueuedRequests();
        handleBufferedLines();
        return;
    }
    if (waited != WaitResult::Ready) return;

    char chunk[kListenerChunkBytes];
    ssize_t n = ::recv(socketFd, chunk, sizeof(chunk), MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return;
    if (n <= 0) {
        std::cerr << "🔌 Socket closed or error while reading. Attempting to reconnect..." << std::endl;
        logMessage(&logLevel, LOG_ERR, "Nymea: Socket closed. Trying to reconnect...");
        closeSocket();
        return;  // the next pass reconnects
    }
    recvBuffer.append(std::string_view(chunk, static_cast<size_t>(n)));
    handleBufferedLines();
}

void InternalInterfaceNymea::handleBufferedLines() {
    std::string line;
    std::string why;
    for (;;) {
        switch (recvBuffer.nextLine(line, why)) {
            case nymeajson::CheckedStream::Step::Line:
                // Empty lines (and a carriage return before a line feed) carry nothing.
                if (line.find_first_not_of(" \t\r") != std::string::npos) handleNotification(line);
                break;
            case nymeajson::CheckedStream::Step::Refused:
                std::cerr << "❌ JSON parse error: " << why << "\n";
                logMessage(&logLevel, LOG_WARNING, "Nymea: Notification dropped: %s", why.c_str());
                break;
            case nymeajson::CheckedStream::Step::Overflow:
                logMessage(&logLevel, LOG_ERR, "Nymea: recvBuffer overflow. Clearing buffer.");
                break;
            default:
                return;  // no whole line left
        }
    }
}

void InternalInterfaceNymea::handleNotification(const std::string& line) {
    try {
        for (const auto& source : nymeajson::sourcesOfNotification(line, kMaxJsonDepth)) {
            if (!source) {
                std::cerr << "⚠️ Param missing or non-string value.\n";
                logMessage(&logLevel, LOG_WARNING, "Nymea: Source event without a text value. Skipping.");
                continue;
            }
            logMessage(&logLevel, LOG_NOTICE, "GridSupport Event updated powerLimitSource to: %s", source->c_str());
            server.setPowerLimitSource(*source);
        }
    } catch (const std::exception& e) {
        std::cerr << "❌ JSON parse error: " << e.what() << "\n";
        logMessage(&logLevel, LOG_WARNING, "Nymea: Notification dropped: %s", e.what());
    }
}

// ---------------------------------------------------------------------------
// Requests of other threads, served by the listener thread

json InternalInterfaceNymea::exchange(const json& request, int id) {
    if (std::this_thread::get_id() == listenerThread.get_id() || !listenerThread.joinable()) {
        if (!sendJsonRpcRequest(request)) {
            std::cerr << "❌ Failed to send subscription request." << std::endl;
            return nullptr;
        }
        return waitForResponse(id);
    }
    auto queued = std::make_shared<QueuedRequest>();
    queued->request = request;
    queued->id = id;
    std::unique_lock<std::mutex> lock(requestMutex);
    if (stopRequested) return nullptr;
    requestQueue.push_back(queued);
    signalEvent(requestFd);
    // The listener takes the request within a poll slice unless it is busy
    // replacing the connection; once taken, the response deadline bounds it.
    const auto takeDeadline = SteadyClock::now() + 2 * timings.responseTimeout + timings.listenerPollSlice;
    requestDone.wait_until(lock, takeDeadline, [&] { return queued->done || queued->taken || stopRequested; });
    if (!queued->taken && !queued->done) {
        requestQueue.erase(std::remove(requestQueue.begin(), requestQueue.end(), queued), requestQueue.end());
        logMessage(&logLevel, LOG_DEBUG, "Nymea: Request with id %d was not sent in time", id);
        return nullptr;
    }
    requestDone.wait(lock, [&] { return queued->done; });
    return std::move(queued->response);
}

json InternalInterfaceNymea::exchangeLogged(const json& request, int id) {
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Sending JSON request: %s", request.dump().c_str());
    json response = exchange(request, id);
    if (debugMode) {
        logMessage(&logLevel, LOG_DEBUG, "Nymea: Received JSON response: %s", response.dump(4).c_str());
    }
    return response;
}

void InternalInterfaceNymea::finishRequest(const std::shared_ptr<QueuedRequest>& queued, json response) {
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        queued->response = std::move(response);
        queued->done = true;
    }
    requestDone.notify_all();
}

void InternalInterfaceNymea::serveQueuedRequests() {
    for (;;) {
        std::shared_ptr<QueuedRequest> queued;
        {
            std::lock_guard<std::mutex> lock(requestMutex);
            if (requestQueue.empty()) return;
            queued = requestQueue.front();
            requestQueue.pop_front();
            queued->taken = true;
        }
        requestDone.notify_all();
        json response;
        if (stopRequested || socketFd < 0) {
            response = nullptr;
        } else if (!sendJsonRpcRequest(queued->request)) {
            std::cerr << "❌ Failed to send subscription request." << std::endl;
        } else {
            response = waitForResponse(queued->id);
        }
        finishRequest(queued, std::move(response));
    }
}

void InternalInterfaceNymea::failQueuedRequests() {
    std::deque<std::shared_ptr<QueuedRequest>> failed;
    {
        std::lock_guard<std::mutex> lock(requestMutex);
        failed.swap(requestQueue);
        for (auto& queued : failed) {
            queued->taken = true;
            queued->done = true;
        }
    }
    if (!failed.empty()) requestDone.notify_all();
}

// ---------------------------------------------------------------------------
// Home power balance and root meter

void InternalInterfaceNymea::startBalanceUpdateLoop() {
    if (balanceThread.joinable()) return;
    balanceRunning = true;
    balanceThread = namedThread("nymea-balance", [this] { balanceUpdateLoop(); });
}

void InternalInterfaceNymea::stopBalanceUpdateLoop() {
    {
        std::lock_guard<std::mutex> lock(balanceMutex);
        balanceRunning = false;
    }
    balanceWake.notify_all();
    if (balanceThread.joinable()) balanceThread.join();
}

void InternalInterfaceNymea::balanceUpdateLoop() {
    while (balanceRunning) {
        try {
            updatePowerBalance();
            getRootMeterStateValues();
        } catch (const std::exception& e) {
            logMessage(&logLevel, LOG_ERR, "Nymea: Error in balance update loop: %s", e.what());
        }
        std::unique_lock<std::mutex> lock(balanceMutex);
        balanceWake.wait_for(lock, timings.balanceInterval, [this] { return !balanceRunning; });
    }
}

void InternalInterfaceNymea::updatePowerBalance() {
    json response = exchange({{"id", kPowerBalanceId}, {"method", "Energy.GetPowerBalance"}}, kPowerBalanceId);
    if (!succeeded(response)) {
        connected = false;
        return;
    }
    connected = true;
    const json* params = paramsOf(response);
    if (params == nullptr || !params->contains("currentPowerAcquisition")) {
        logMessage(&logLevel, LOG_ERR, "Nymea: \"currentPowerAcquisition\" field is not present in the response.");
        return;
    }
    float power = 0.0f;
    if (!toFloat((*params)["currentPowerAcquisition"], power)) {
        logMessage(&logLevel, LOG_ERR, "Nymea: \"currentPowerAcquisition\" is not a number a float can hold: %s",
                   (*params)["currentPowerAcquisition"].dump().c_str());
        return;
    }
    currentPowerAcquisition = power;
    logMessage(&logLevel, LOG_INFO, "Nymea: Current Power Acquisition (NAP): %f", static_cast<double>(power));
    writeCurrentPowerToIec();
}

void InternalInterfaceNymea::writeCurrentPowerToIec() {
    IedServer iedServer = server.getIedServer();
    DataAttribute* mag = findDataAttribute("CLS1", "MMXU001", "TotW", "mag");
    DataAttribute* f = mag != nullptr ? static_cast<DataAttribute*>(mag->firstChild) : nullptr;
    if (iedServer == nullptr || f == nullptr) {
        std::cerr << "InternalInterfaceNymea - Data Attribute for currentPowerAcquisition not found." << std::endl;
        return;
    }
    IedServer_updateFloatAttributeValue(iedServer, f, currentPowerAcquisition.load());
    DataAttribute* multiplier = findSubDataAttribute("CLS1", "MMXU001", "TotW", "units", "multiplier");
    if (multiplier == nullptr) {
        std::cerr << "InternalInterfaceNymea -  Data Attribute for multiplier not found." << std::endl;
        return;
    }
    IedServer_updateInt32AttributeValue(iedServer, multiplier, 0);
}

void InternalInterfaceNymea::fetchRootMeter() {
    logMessage(&logLevel, LOG_INFO, "Nymea: Fetching Root Meter");
    json response = exchange({{"id", kRootMeterId}, {"method", "Energy.GetRootMeter"}}, kRootMeterId);
    if (!succeeded(response)) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Failed to fetch Root Meter. Response: %s", response.dump(4).c_str());
        return;
    }
    logMessage(&logLevel, LOG_INFO, "Nymea: Successfully fetched Root Meter response: %s", response.dump(4).c_str());
    const json* params = paramsOf(response);
    auto id = params != nullptr ? params->find("rootMeterThingId") : json::const_iterator();
    if (params == nullptr || id == params->end() || !id->is_string()) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Root Meter response missing 'rootMeterThingId' field.");
        return;
    }
    const std::string thingId = id->get<std::string>();
    {
        std::lock_guard<std::mutex> lock(rootMeterMutex);
        rootMeterThingId = thingId;
    }
    logMessage(&logLevel, LOG_INFO, "Nymea: Root Meter Thing ID: %s", thingId.c_str());
    getThings();
}

void InternalInterfaceNymea::getThings() {
    logMessage(&logLevel, LOG_INFO, "Nymea: Starting Get Things Request.");
    const json request = {{"id", kGetThingsId}, {"method", "Integrations.GetThings"}};
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Sending JSON request: %s", request.dump().c_str());
    json response = exchange(request, kGetThingsId);
    if (!succeeded(response)) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Failed to get things. Response: %s", response.dump(4).c_str());
        return;
    }
    logMessage(&logLevel, LOG_INFO, "Nymea: Successfully received things data.");
    const json* params = paramsOf(response);
    if (params == nullptr || !params->contains("things") || !(*params)["things"].is_array()) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Error: No 'things' field found in response.");
        return;
    }
    const json& things = (*params)["things"];
    const std::string wanted = rootMeterThingIdCopy();
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Parsing things list (%zu items).", things.size());
    for (const json& thing : things) {
        logMessage(&logLevel, LOG_DEBUG, "Inspecting thing: %s", thing.dump().c_str());
        if (!thing.is_object() || !thing.contains("id") || thing["id"] != wanted) continue;
        logMessage(&logLevel, LOG_INFO, "Nymea: Found Root Meter Thing: ID=%s", wanted.c_str());
        const std::string name = stringOr(thing, "name", "N/A");
        const std::string classId = stringOr(thing, "thingClassId", "N/A");
        const std::string status = stringOr(thing, "status", "N/A");
        logMessage(&logLevel, LOG_INFO, "Nymea: Root Meter Details: ID=%s, Name=%s, ThingClassId=%s, Status=%s",
                   wanted.c_str(), name.c_str(), classId.c_str(), status.c_str());
        if (thing.contains("thingClassId") && thing["thingClassId"].is_string()) {
            logMessage(&logLevel, LOG_DEBUG, "Nymea: Fetching state types for ThingClassId: %s", classId.c_str());
            getStateTypes(classId);
        }
        return;
    }
    logMessage(&logLevel, LOG_WARNING, "Nymea: Root meter with ID %s not found in things list.", wanted.c_str());
}

void InternalInterfaceNymea::getStateTypes(const std::string& thingClassId) {
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Fetching state types for ThingClassId: %s", thingClassId.c_str());
    const json request = {
        {"id", kStateTypesId}, {"method", "Integrations.GetStateTypes"}, {"params", {{"thingClassId", thingClassId}}}};
    json response = exchangeLogged(request, kStateTypesId);
    if (succeeded(response)) {
        logMessage(&logLevel, LOG_INFO, "Nymea: Successfully received state types for ThingClassId: %s",
                   thingClassId.c_str());
        processStateTypes(response);
    } else {
        logMessage(&logLevel, LOG_ERR, "Nymea: Failed to fetch state types for ThingClassId: %s", thingClassId.c_str());
    }
    static constexpr const char* kSummary[] = {"Total Energy Consumed", "Total Energy Produced", "Current Power",
                                               "Energy Consumed Phase A", "Energy Consumed Phase B",
                                               "Energy Consumed Phase C"};
    const auto ids = stateTypeIdsCopy();
    logMessage(&logLevel, LOG_INFO, "Nymea: State type IDs summary:");
    for (size_t i = 0; i < std::size(kSummary); ++i) {
        logMessage(&logLevel, LOG_INFO, "Nymea: %s: %s", kSummary[i], ids[i].c_str());
    }
    getRootMeterStateValues();
}

void InternalInterfaceNymea::processStateTypes(const json& response) {
    const json* params = paramsOf(response);
    if (params == nullptr || !params->contains("stateTypes") || !(*params)["stateTypes"].is_array()) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Error: 'stateTypes' field not found in response.");
        return;
    }
    logMessage(&logLevel, LOG_INFO, "Nymea: Processing state types. Count: %zu", (*params)["stateTypes"].size());
    storeStateTypeIds((*params)["stateTypes"]);
}

void InternalInterfaceNymea::storeStateTypeIds(const json& stateTypes) {
    std::lock_guard<std::mutex> lock(rootMeterMutex);
    for (const json& stateType : stateTypes) {
        const std::string id = stateType.is_object() ? stringOr(stateType, "id", "") : "";
        const std::string name = stateType.is_object() ? stringOr(stateType, "name", "") : "";
        // An entry without a usable id or name fills nothing; a later id of
        // the same name replaces an earlier one.
        if (id.empty() || name.empty()) continue;
        for (size_t i = 0; i < kMeasurementCount; ++i) {
            if (name == kMeasurements[i].stateName) stateTypeIds[i] = id;
        }
    }
}

void InternalInterfaceNymea::getRootMeterStateValues() {
    const std::string thingId = rootMeterThingIdCopy();
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Fetching state values for rootMeterThingId: %s", thingId.c_str());
    const json request = {
        {"id", kStateValuesId}, {"method", "Integrations.GetStateValues"}, {"params", {{"thingId", thingId}}}};
    json response = exchangeLogged(request, kStateValuesId);
    if (!succeeded(response)) {
        logMessage(&logLevel, LOG_ERR, "Nymea: Failed to fetch state values for rootMeterThingId: %s", thingId.c_str());
        logMappedStateValues();
        return;
    }
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Successfully fetched state values for rootMeterThingId: %s",
               thingId.c_str());
    const json* params = paramsOf(response);
    if (params == nullptr || !params->contains("values") || !(*params)["values"].is_array()) {
        logMessage(&logLevel, LOG_WARNING, "Nymea: Error: 'values' field not found in response. Full response: %s",
                   response.dump().c_str());
        logMappedStateValues();
        return;
    }
    const json& values = (*params)["values"];
    const auto ids = stateTypeIdsCopy();
    logMessage(&logLevel, LOG_INFO, "Nymea: Processing %zu state values.", values.size());
    for (const json& entry : values) {
        if (!entry.is_object() || !entry.contains("stateTypeId") || !entry["stateTypeId"].is_string()) {
            logMessage(&logLevel, LOG_ERR, "Nymea: State entry missing 'stateTypeId' or it's not a string.");
            continue;
        }
        float value = 0.0f;
        if (!entry.contains("value") || !toFloat(entry["value"], value)) {
            logMessage(&logLevel, LOG_ERR, "Nymea: State entry missing 'value' or it's not a number.");
            continue;
        }
        const std::string stateTypeId = entry["stateTypeId"].get<std::string>();
        logMessage(&logLevel, LOG_DEBUG, "Nymea: StateTypeId: %s, Value: %.2f", stateTypeId.c_str(),
                   static_cast<double>(value));
        // An id not learnt yet is empty and matches nothing.
        auto match = stateTypeId.empty() ? ids.end() : std::find(ids.begin(), ids.end(), stateTypeId);
        if (match == ids.end()) {
            logMessage(&logLevel, LOG_WARNING, "Nymea: Unknown stateTypeId: %s. State: %s", stateTypeId.c_str(),
                       entry.dump().c_str());
            continue;
        }
        (this->*kMeasurements[match - ids.begin()].field) = value;
    }
    logMappedStateValues();
}

void InternalInterfaceNymea::logMappedStateValues() {
    struct Line {
        const char* label;
        const std::atomic<float>& value;
        const char* unit;
    };
    const Line lines[] = {
        {"Total Energy Consumed", totalEnergyConsumed, "kWh"}, {"Total Energy Produced", totalEnergyProduced, "kWh"},
        {"Current Power", currentPower, "W"},                  {"Energy Consumed Phase A", energyConsumedPhaseA, "kWh"},
        {"Energy Consumed Phase B", energyConsumedPhaseB, "kWh"}, {"Energy Consumed Phase C", energyConsumedPhaseC, "kWh"},
        {"Energy Produced Phase A", energyProducedPhaseA, "kWh"}, {"Energy Produced Phase B", energyProducedPhaseB, "kWh"},
        {"Energy Produced Phase C", energyProducedPhaseC, "kWh"}, {"Voltage Phase A", voltagePhaseA, "V"},
        {"Voltage Phase B", voltagePhaseB, "V"},               {"Voltage Phase C", voltagePhaseC, "V"},
    };
    logMessage(&logLevel, LOG_DEBUG, "Nymea: Mapped State Values:");
    for (const Line& line : lines) {
        logMessage(&logLevel, LOG_DEBUG, "Nymea: %s: %.2f %s", line.label, static_cast<double>(line.value.load()),
                   line.unit);
    }
}

std::string InternalInterfaceNymea::rootMeterThingIdCopy() const {
    std::lock_guard<std::mutex> lock(rootMeterMutex);
    return rootMeterThingId;
}

std::array<std::string, InternalInterfaceNymea::kMeasurementCount> InternalInterfaceNymea::stateTypeIdsCopy() const {
    std::lock_guard<std::mutex> lock(rootMeterMutex);
    return stateTypeIds;
}

std::vector<std::optional<std::string>> nymeajson::sourcesOfNotification(const std::string& line, size_t maxDepth) {
    // The parser would take a NUL byte for the end of the line.
    if (auto refused = inbound::refusal(line, {std::numeric_limits<size_t>::max(), maxDepth})) {
        throw std::invalid_argument(*refused);
    }
    const json message = json::parse(line);
    std::vector<std::optional<std::string>> sources;
    if (message.value("notification", std::string()) != kEventTriggered) return sources;
    const json& event = message.at("params").at("event");
    if (event.value("eventTypeId", std::string()) != kSourceEventTypeId) return sources;
    auto params = event.find("params");
    if (params == event.end() || !params->is_array()) return sources;
    for (const json& param : *params) {
        if (param.value("paramTypeId", std::string()) != kSourceEventParamTypeId) continue;
        auto value = param.find("value");
        if (value == param.end() || !value->is_string()) {
            sources.emplace_back(std::nullopt);
        } else {
            sources.emplace_back(value->get<std::string>());
        }
    }
    return sources;
}
