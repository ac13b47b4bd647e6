#include "internal/InternalInterfaceNymeaEEBUS.h"

#include "foundation/JsonDepth.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <variant>

#include "foundation/Logging.h"
#include "foundation/ThreadName.h"
#include "foundation/Paths.h"
#include "iec61850/unique_fd.h"
#include "internal/InternalInterfaceNymea.h"
#include "server/IecCore.h"

using json = nlohmann::json;
using SteadyClock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr int kHelloId = 0;
constexpr int kGetThingsId = 1;
constexpr int kGetStateTypesId = 2;
constexpr int kGetStateValuesId = 3;
constexpr size_t kReceiveChunkBytes = 4095;

constexpr const char* kConsumptionStateDisplayName = "Consumption limitation state";
constexpr const char* kProductionStateDisplayName = "Production limitation state";

// Numbers the candidate checks over the life of the process (1, 2, 3, ...).
std::atomic<int> requestIdCounter{0};
// Held while a limit thread is started.
std::mutex plimThreadStartMutex;

int nextRequestId() {
    int current = requestIdCounter.load();
    int next;
    do {
        next = current == INT_MAX ? 1 : current + 1;
    } while (!requestIdCounter.compare_exchange_weak(current, next));
    return next;
}

// Compact text of a value for the log; never throws.
std::string compact(const json& value) { return value.dump(-1, ' ', false, json::error_handler_t::replace); }

bool isSuccess(const json& response) {
    if (!response.is_object()) return false;
    auto status = response.find("status");
    return status != response.end() && status->is_string() && status->get_ref<const std::string&>() == "success";
}

// The member key of object, or null when object is no object or lacks it.
const json* member(const json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

// The array at params.<key> of a response, or null.
const json* paramsArray(const json& response, const char* key) {
    const json* params = member(response, "params");
    const json* array = params ? member(*params, key) : nullptr;
    return array && array->is_array() ? array : nullptr;
}

std::string textOr(const json& object, const char* key, const std::string& fallback) {
    const json* value = member(object, key);
    return value && value->is_string() ? value->get<std::string>() : fallback;
}

const char* boolText(bool value) { return value ? "true" : "false"; }

// A JSON number as a whole number within [low, high] (fractions cut off);
// false for other types, non-finite values and values out of range.
bool wholeNumberIn(const json& value, double low, double high, double& out) {
    if (!value.is_number()) return false;
    const double number = std::trunc(value.get<double>());
    if (!std::isfinite(number) || number < low || number > high) return false;
    out = number;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// The mirrored states

using StateMember = std::variant<bool EebusState::*, double EebusState::*, int32_t EebusState::*,
                                 uint32_t EebusState::*, std::string EebusState::*>;

struct InternalInterfaceNymeaEEBUS::StateField {
    const char* name;                                      // state name on the home platform
    std::string InternalInterfaceNymeaEEBUS::*typeId;      // its state type id, once known
    StateMember value;                                     // where its value is kept
    const char* label;                                     // log label
    const char* unit;                                      // unit after the value in the dump
};

const InternalInterfaceNymeaEEBUS::StateField InternalInterfaceNymeaEEBUS::kStateFields[14] = {
    {"connected", &InternalInterfaceNymeaEEBUS::connectedStateTypeId, &EebusState::lineSentryConnected,
     "EEBUS: LineSentry Connected: ", ""},
    {"currentPower", &InternalInterfaceNymeaEEBUS::currentPowerStateTypeId, &EebusState::currentPower,
     "EEBUS: Current Power: ", " W"},
    {"currentGridPower", &InternalInterfaceNymeaEEBUS::currentGridPowerStateTypeId, &EebusState::currentGridPower,
     "EEBUS: Current Grid Power: ", " W"},
    {"consumptionLimitationState", &InternalInterfaceNymeaEEBUS::consumptionLimitationStateStateTypeId,
     &EebusState::consumptionLimitationState, "EEBUS: Consumption Limitation State: ", ""},
    {"consumptionLimitReceived", &InternalInterfaceNymeaEEBUS::consumptionLimitReceivedStateTypeId,
     &EebusState::consumptionLimitReceived, "EEBUS: Consumption Limit Received: ", ""},
    {"consumptionHeartbeatTimestamp", &InternalInterfaceNymeaEEBUS::consumptionHeartbeatTimestampStateTypeId,
     &EebusState::consumptionHeartbeatTimestamp, "EEBUS: Consumption Heartbeat Timestamp: ", ""},
    {"maxConsumptionPower", &InternalInterfaceNymeaEEBUS::maxConsumptionPowerStateTypeId,
     &EebusState::maxConsumptionPower, "EEBUS: Max Consumption Power: ", " W"},
    {"productionLimitationState", &InternalInterfaceNymeaEEBUS::productionLimitationStateStateTypeId,
     &EebusState::productionLimitationState, "EEBUS: Production Limitation State: ", ""},
    {"productionLimitReceived", &InternalInterfaceNymeaEEBUS::productionLimitReceivedStateTypeId,
     &EebusState::productionLimitReceived, "EEBUS: Production Limit Received: ", ""},
    {"productionHeartbeatTimestamp", &InternalInterfaceNymeaEEBUS::productionHeartbeatTimestampStateTypeId,
     &EebusState::productionHeartbeatTimestamp, "EEBUS: Production Heartbeat Timestamp: ", ""},
    {"maxProductionPower", &InternalInterfaceNymeaEEBUS::maxProductionPowerStateTypeId,
     &EebusState::maxProductionPower, "EEBUS: Max Production Power: ", " W"},
    {"failsafeMaxConsumptionPower", &InternalInterfaceNymeaEEBUS::failsafeMaxConsumptionPowerStateTypeId,
     &EebusState::failsafeMaxConsumptionPower, "EEBUS: Failsafe Max Consumption Power: ", " W"},
    {"failsafeMaxProductionPower", &InternalInterfaceNymeaEEBUS::failsafeMaxProductionPowerStateTypeId,
     &EebusState::failsafeMaxProductionPower, "EEBUS: Failsafe Max Production Power: ", " W"},
    {"failsafeDurationMinimum", &InternalInterfaceNymeaEEBUS::failsafeDurationMinimumStateTypeId,
     &EebusState::failsafeDurationMinimum, "EEBUS: Failsafe Duration Minimum: ", " hours"},
};

namespace {

// Stores value into the member when its JSON type and range fit the member.
bool storeValue(EebusState& state, const StateMember& target, const json& value) {
    struct Store {
        EebusState& state;
        const json& value;
        bool operator()(bool EebusState::*m) const {
            if (!value.is_boolean()) return false;
            state.*m = value.get<bool>();
            return true;
        }
        bool operator()(double EebusState::*m) const {
            if (!value.is_number() || !std::isfinite(value.get<double>())) return false;
            state.*m = value.get<double>();
            return true;
        }
        bool operator()(int32_t EebusState::*m) const {
            double number = 0;
            if (!wholeNumberIn(value, INT32_MIN, INT32_MAX, number)) return false;
            state.*m = static_cast<int32_t>(number);
            return true;
        }
        bool operator()(uint32_t EebusState::*m) const {
            // A negative limit must never wrap around into a huge one.
            double number = 0;
            if (value.is_number() && value.get<double>() < 0) return false;
            if (!wholeNumberIn(value, 0, UINT32_MAX, number)) return false;
            state.*m = static_cast<uint32_t>(number);
            return true;
        }
        bool operator()(std::string EebusState::*m) const {
            if (!value.is_string()) return false;
            state.*m = value.get<std::string>();
            return true;
        }
    };
    return std::visit(Store{state, value}, target);
}

std::string valueText(const EebusState& state, const StateMember& target) {
    struct Text {
        const EebusState& state;
        std::string operator()(bool EebusState::*m) const { return boolText(state.*m); }
        std::string operator()(double EebusState::*m) const {
            char text[64];
            std::snprintf(text, sizeof(text), "%.2f", state.*m);
            return text;
        }
        std::string operator()(int32_t EebusState::*m) const { return std::to_string(state.*m); }
        std::string operator()(uint32_t EebusState::*m) const { return std::to_string(state.*m); }
        std::string operator()(std::string EebusState::*m) const { return state.*m; }
    };
    return std::visit(Text{state}, target);
}

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

InternalInterfaceNymeaEEBUS::InternalInterfaceNymeaEEBUS(IecCore& server, int port)
    : InternalInterfaceNymeaEEBUS(server, port, EebusTimings{}) {}

InternalInterfaceNymeaEEBUS::InternalInterfaceNymeaEEBUS(IecCore& server, int port, const EebusTimings& timings)
    : iecServer(server), port(port), timings(timings) {
    logLevel = 5;
    readLogLevel(&logLevel);
    debugMode = server.isDebugMode();
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Cannot create the stop event: %s", std::strerror(errno));
    }
    logMessage(&logLevel, LOG_NOTICE, "EEBUS Konstruktor ---> Initializing EEBUS");
    std::cout << "EEBUS InternalInterfaceNymeaEEBUS -> Debug mode: " << (debugMode ? 1 : 0) << std::endl;

    // The probes and the connection run on the object's own thread, so a
    // source change never waits for them: the destructor cuts every wait short.
    startEEBUSPlimUpdateThread();
    logMessage(&logLevel, LOG_NOTICE, "EEBUS Konstruktor Finished ---> Initialized EEBUS");
}

InternalInterfaceNymeaEEBUS::~InternalInterfaceNymeaEEBUS() {
    logMessage(&logLevel, LOG_NOTICE, "EEBUS Destruktor ---> Deactivating EEBUS");
    nymeaConnected = false;
    {
        std::lock_guard<std::mutex> lock(cvMutex);
        stopRequested = true;
        running = false;
    }
    cv.notify_all();
    if (wakeFd >= 0) {
        uint64_t one = 1;
        ssize_t ignored = ::write(wakeFd, &one, sizeof(one));
        (void)ignored;
    }
    if (plimThread.joinable()) {
        std::cout << "EEBUS Deconstructor Joining thread..." << std::endl;
        plimThread.join();
        std::cout << "EEBUS Deconstructor --->  Thread joined." << std::endl;
    }
    closeSocket();
    if (wakeFd >= 0) {
        ::close(wakeFd);
        wakeFd = -1;
    }
    logMessage(&logLevel, LOG_NOTICE, "EEBUS Destruktor ---> Deactivated EEBUS");
}

EebusState InternalInterfaceNymeaEEBUS::stateForTesting() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return state;
}

void InternalInterfaceNymeaEEBUS::setStateForTesting(const EebusState& newState) {
    std::lock_guard<std::mutex> lock(stateMutex);
    state = newState;
}

std::string InternalInterfaceNymeaEEBUS::lineSentryThingIdForTesting() const {
    std::lock_guard<std::mutex> lock(stateMutex);
    return lineSentryThingId;
}

// ---------------------------------------------------------------------------
// Waiting

bool InternalInterfaceNymeaEEBUS::stopping() const {
    std::lock_guard<std::mutex> lock(cvMutex);
    return stopRequested;
}

bool InternalInterfaceNymeaEEBUS::pauseUnlessStopping(milliseconds duration) {
    std::unique_lock<std::mutex> lock(cvMutex);
    return cv.wait_for(lock, duration, [this] { return stopRequested; });
}

bool InternalInterfaceNymeaEEBUS::waitFor(int fd, short events, SteadyClock::time_point deadline) const {
    for (;;) {
        pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
        auto left = std::chrono::ceil<milliseconds>(deadline - SteadyClock::now());
        if (left.count() < 0) left = milliseconds(0);
        int rc = ::poll(fds, 2, static_cast<int>(left.count()));
        if (rc < 0) {
            if (errno == EINTR) continue;
            logMessage(&logLevel, LOG_ERR, "EEBUS: poll failed: %s", std::strerror(errno));
            return false;
        }
        if (fds[1].revents & POLLIN) return false;
        if (rc > 0 && fds[0].revents != 0) return true;
        if (left.count() == 0) return false;
    }
}

// ---------------------------------------------------------------------------
// Connection

bool InternalInterfaceNymeaEEBUS::startUp() {
    const int attempts = std::max(1, timings.probeAttempts);
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        if (probePort()) {
            std::cout << "EEBUS: Port: " << port << " is reachable" << std::endl;
            logMessage(&logLevel, LOG_NOTICE, "EEBUS: Port: %d is reachable", port);
            connectToServer();
            if (stopping()) return false;
            if (handshakeDone) return true;
            std::cout << "EEBUS: Handshake failed" << std::endl;
            logMessage(&logLevel, LOG_ERR, "EEBUS: Handshake failed");
            closeSocket();
        } else {
            std::cout << "EEBUS: Port is not reachable (attempt " << attempt << "/" << attempts << ")" << std::endl;
            logMessage(&logLevel, LOG_ERR,
                       "EEBUS: Port: %d is not reachable. Nymea is probably not started yet. Attempt %d/%d", port,
                       attempt, attempts);
        }
        if (attempt == attempts) {
            std::cout << "EEBUS: Failed to connect to Nymea after " << attempts << " attempts." << std::endl;
            logMessage(&logLevel, LOG_ERR, "EEBUS: Failed to connect to Nymea after %d attempts", attempts);
            return false;
        }
        if (pauseUnlessStopping(timings.probeInterval)) return false;
    }
    return false;
}

bool InternalInterfaceNymeaEEBUS::probePort() const {
    const iec61850::UniqueFd probe(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    return probe.valid() && nymeajson::connectTo(probe.get(), host, port);
}

void InternalInterfaceNymeaEEBUS::closeSocket() {
    if (sock >= 0) {
        ::close(sock);
        sock = -1;
    }
}

void InternalInterfaceNymeaEEBUS::connectToServer() {
    std::cout << "EEBUS: Connecting to server..." << std::endl;
    logMessage(&logLevel, LOG_NOTICE, "EEBUS: Connecting to server...");
    closeSocket();
    std::cout << "EEBUS: Attempting connection to " << host << ":" << port << std::endl;
    logMessage(&logLevel, LOG_NOTICE, "EEBUS: Attempting connection to %s:%d", host.c_str(), port);
    milliseconds backoff = timings.connectBackoff;
    const int attempts = std::max(1, timings.connectAttempts);
    for (int retry = 1; retry <= attempts; ++retry) {
        // A fresh socket per attempt: a socket whose connect failed is not reused.
        iec61850::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd.valid()) {
            logMessage(&logLevel, LOG_ERR, "EEBUS: Error creating socket: %.200s", std::strerror(errno));
            return;
        }
        int yes = 1;
        ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        if (nymeajson::connectTo(fd.get(), host, port)) {
            sock = fd.release();
            break;
        }
        fd.reset();
        backoff = std::min(backoff * 2, timings.connectBackoffCap);
        logMessage(&logLevel, LOG_WARNING, "EEBUS: Retry %d failed. Retrying in %lld seconds.", retry,
                   static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(backoff).count()));
        if (pauseUnlessStopping(backoff)) return;
    }
    if (sock < 0) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Connection failed after %d retries.", attempts);
        return;
    }
    std::cout << "EEBUS: Successfully connected" << std::endl;
    logMessage(&logLevel, LOG_NOTICE, "EEBUS: Successfully connected.");
    sendHello();
}

void InternalInterfaceNymeaEEBUS::sendHello() {
    logMessage(&logLevel, LOG_INFO, "EEBUS: Starting JSONRPC Hello Request.");
    std::cout << "EEBUS: Hello world()" << std::endl;
    const json hello = {{"id", kHelloId}, {"method", "JSONRPC.Hello"}, {"params", {{"locale", "de_DE"}}}};
    if (!sendRequest(hello)) return;
    const json response = receiveJsonResponse();
    handshakeDone = isSuccess(response);
    if (handshakeDone) {
        logMessage(&logLevel, LOG_INFO, "EEBUS: Received JSON response: OK");
        if (debugMode) std::cout << "EEBUS: Received JSON response: OK" << std::endl;
        return;
    }
    logMessage(&logLevel, LOG_ERR, "Received JSON response: Failed");
    if (debugMode) {
        std::cout << "EEBUS: Received JSON response: " << response.dump(4, ' ', false, json::error_handler_t::replace)
                  << std::endl;
    }
}

void InternalInterfaceNymeaEEBUS::reconnect() {
    if (stopping()) return;
    closeSocket();
    std::cout << "EEBUS: Connection error occurred. Attempting to reconnect..." << std::endl;
    logMessage(&logLevel, LOG_WARNING, "EEBUS: Attempting to reconnect...");
    connectToServer();
    if (sock >= 0) {
        std::cout << "EEBUS: Reconnected successfully." << std::endl;
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: Reconnected successfully.");
    }
}

bool InternalInterfaceNymeaEEBUS::sendRequest(const json& request) {
    const std::string text = request.dump(-1, ' ', false, json::error_handler_t::replace);
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Sending JSON request: %s", text.c_str());
    if (sock < 0) {
        errno = ENOTCONN;
        return false;
    }
    const SteadyClock::time_point deadline = SteadyClock::now() + timings.responseTimeout;
    size_t sent = 0;
    while (sent < text.size()) {
        ssize_t n = ::send(sock, text.data() + sent, text.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (!waitFor(sock, POLLOUT, deadline)) {
            errno = ETIMEDOUT;
            return false;
        }
    }
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Sent JSON RPC request: %s", text.c_str());
    return true;
}

bool InternalInterfaceNymeaEEBUS::sendJsonRpcRequest(const json& request) {
    if (stopping()) return false;
    // A connection closed by a failed exchange is replaced before the next request.
    if (sock < 0) reconnect();
    if (sendRequest(request)) return true;
    const char* reason = std::strerror(errno);
    std::cout << "EEBUS: Error sending JSON RPC request: " << reason << std::endl;
    logMessage(&logLevel, LOG_ERR, "EEBUS: Error sending JSON RPC request [%s]: %.200s",
               textOr(request, "method", "").c_str(), reason);
    reconnect();
    return false;
}

json InternalInterfaceNymeaEEBUS::receiveJsonResponse() {
    const SteadyClock::time_point deadline = SteadyClock::now() + timings.responseTimeout;
    // Every line goes through the shared inbound check before it is parsed.
    nymeajson::CheckedStream stream({kMaxResponseBytes, InternalInterfaceNymea::kMaxJsonDepth});
    std::string valueText;
    std::string why;
    for (;;) {
        if (sock < 0) return nullptr;
        if (!waitFor(sock, POLLIN, deadline)) {
            if (stopping()) return nullptr;
            // The answer may still come: a fresh connection keeps it from being
            // taken for the next request's.
            logMessage(&logLevel, LOG_ERR, "EEBUS: No response within %lld ms.",
                       static_cast<long long>(timings.responseTimeout.count()));
            closeSocket();
            return nullptr;
        }
        char chunk[kReceiveChunkBytes];
        ssize_t n = ::recv(sock, chunk, sizeof(chunk), MSG_DONTWAIT);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n == 0) {
            std::cout << "EEBUS: Connection closed by nymea server." << std::endl;
            logMessage(&logLevel, LOG_WARNING, "EEBUS: Connection closed by nymea server.");
            closeSocket();
            return nullptr;
        }
        if (n < 0) {
            const char* reason = std::strerror(errno);
            std::cout << "EEBUS: Error receiving data: " << reason << std::endl;
            logMessage(&logLevel, LOG_ERR, "EEBUS: Error receiving data: %.200s", reason);
            closeSocket();
            return nullptr;
        }
        stream.append(std::string_view(chunk, static_cast<size_t>(n)));
        for (bool more = true; more;) {
            switch (stream.nextValue(valueText, why)) {
                case nymeajson::CheckedStream::Step::Value:
                    break;
                case nymeajson::CheckedStream::Step::Dropped:
                    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Dropped malformed text from the platform.");
                    continue;
                case nymeajson::CheckedStream::Step::Refused:
                    logMessage(&logLevel, LOG_WARNING, "EEBUS: Response dropped: %s", why.c_str());
                    continue;
                case nymeajson::CheckedStream::Step::Overflow:
                    logMessage(&logLevel, LOG_ERR, "EEBUS: Response larger than %zu bytes. Dropping the connection.",
                               kMaxResponseBytes);
                    closeSocket();
                    return nullptr;
                default:
                    more = false;
                    continue;
            }
            // Each line was checked; a value over several lines may still nest too deeply.
            if (jsonNestsDeeperThan(valueText, InternalInterfaceNymea::kMaxJsonDepth)) {
                logMessage(&logLevel, LOG_WARNING, "EEBUS: Response nested too deeply. Skipping.");
                continue;
            }
            json response = json::parse(valueText, nullptr, false);
            if (response.is_discarded()) {
                logMessage(&logLevel, LOG_WARNING, "EEBUS: Response is no valid JSON. Skipping.");
                continue;
            }
            if (stream.holdsText()) {
                logMessage(&logLevel, LOG_DEBUG, "EEBUS: Dropped %zu bytes after the response.", stream.size());
            }
            if (debugMode) {
                logMessage(&logLevel, LOG_DEBUG, "EEBUS: Received JSON response: %s",
                           response.dump(4, ' ', false, json::error_handler_t::replace).c_str());
            }
            return response;
        }
    }
}

// ---------------------------------------------------------------------------
// The limit thread

void InternalInterfaceNymeaEEBUS::startEEBUSPlimUpdateThread() {
    std::cout << "EEBUS: Starting PLim update thread..." << std::endl;
    std::lock_guard<std::mutex> lock(plimThreadStartMutex);
    if (running) {
        logMessage(&logLevel, LOG_WARNING, "EEBUS: Thread already running.");
        return;
    }
    running = true;
    plimThread = namedThread("eebus-start", [this] {
        if (startUp()) {
            // Connected before the loop starts, so its first step runs at once.
            nymeaConnected = true;
            nameThisThread("eebus-limits");
            plimUpdateLoop();
        }
        running = false;
    });
    std::cout << "EEBUS: PLim update thread started." << std::endl;
}

void InternalInterfaceNymeaEEBUS::plimUpdateLoop() {
    std::cout << "EEBUS: Thread started." << std::endl;
    logMessage(&logLevel, LOG_NOTICE, "EEBUS: Thread started.");
    while (running) {
        try {
            if (nymeaConnected) {
                plimUpdateStep();
            } else {
                pauseUnlessStopping(timings.idlePause);
            }
        } catch (const std::exception& e) {
            logMessage(&logLevel, LOG_ERR, "EEBUS: Step failed: %s", e.what());
            pauseUnlessStopping(timings.idlePause);
        }
    }
    std::cout << "EEBUS: Thread exiting." << std::endl;
    logMessage(&logLevel, LOG_NOTICE, "EEBUS: Thread exiting.");
}

void InternalInterfaceNymeaEEBUS::plimUpdateStep() {
    bool following;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        following = !lineSentryThingId.empty();
    }
    if (following) {
        interval = timings.pollInterval;
        logMessage(&logLevel, LOG_INFO, "EEBUS: Fetching state values and controlling PLim...");
        getStateValues();
        controlPLim();
    } else {
        logMessage(&logLevel, LOG_INFO, "EEBUS: No lineSentryThingId, fetching things...");
        interval = timings.searchInterval;
        getThings();
    }
    std::unique_lock<std::mutex> lock(cvMutex);
    const SteadyClock::time_point deadline = SteadyClock::now() + interval;
    cv.wait_until(lock, deadline, [this] { return !running || stopRequested; });
}

// ---------------------------------------------------------------------------
// Discovery

void InternalInterfaceNymeaEEBUS::getThings() {
    logMessage(&logLevel, LOG_INFO, "EEBUS: Starting Get Things Request.");
    std::cout << "EEBUS: Starting Get Things Request." << std::endl;
    if (!sendJsonRpcRequest({{"id", kGetThingsId}, {"method", "Integrations.GetThings"}})) return;
    const json response = receiveJsonResponse();
    if (!isSuccess(response)) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Failed to get things for the first time.");
        return;
    }
    logMessage(&logLevel, LOG_INFO, "EEBUS: Successfully received things data.");
    const json* things = paramsArray(response, "things");
    if (things == nullptr) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: 'params' or 'things' field missing in response.");
        return;
    }
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Parsing things list (%zu items).", things->size());
    bool candidateSeen = false;
    for (const json& thing : *things) {
        const std::string id = textOr(thing, "id", "N/A");
        if (!thing.is_object()) {
            logMessage(&logLevel, LOG_WARNING, "EEBUS: Skipping thing '%s' due to invalid structure.", id.c_str());
            continue;
        }
        const std::string name = textOr(thing, "name", "N/A");
        const std::string thingClassId = textOr(thing, "thingClassId", "N/A");
        const std::string status = textOr(thing, "status", "N/A");
        logMessage(&logLevel, LOG_DEBUG, "EEBUS: Inspecting thing: %s", compact(thing).c_str());
        const json* params = member(thing, "params");
        const json* states = member(thing, "states");
        if ((params && !params->is_array()) || (states && !states->is_array())) {
            logMessage(&logLevel, LOG_WARNING, "EEBUS: Skipping thing '%s' due to invalid structure.", id.c_str());
            continue;
        }
        const size_t paramCount = params ? params->size() : 0;
        const size_t stateCount = states ? states->size() : 0;
        if (stateCount == 0 || paramCount != 3) continue;
        std::cout << "EEBUS Checking a possible LineSentry Thing" << std::endl
                  << "EEBUS Thing ID: " << id << std::endl
                  << "EEBUS Name: " << name << std::endl
                  << "EEBUS ThingClassId: " << thingClassId << std::endl
                  << "EEBUS Status: " << status << std::endl;
        if (getStateTypes(id, thingClassId)) {
            interval = timings.pollInterval;
            return;
        }
        candidateSeen = true;
    }
    std::string message = candidateSeen
                              ? "EEBUS: A possible LineSentry Thing was found but is not active yet. Waiting for the "
                                "first LPC or LPP command to activate it."
                              : "EEBUS: LineSentry Thing not found in 'things' list. Ensure the EEBUS Controlbox is "
                                "added in the HEMS App.";
    message += " Retrying in " +
               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timings.searchInterval).count()) +
               " seconds.";
    logMessage(&logLevel, LOG_NOTICE, "%s", message.c_str());
    std::cout << message << std::endl;
}

bool InternalInterfaceNymeaEEBUS::getStateTypes(const std::string& thingId, const std::string& thingClassId) {
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Fetching state types for ThingClassId: %s", thingClassId.c_str());
    const json request = {{"id", kGetStateTypesId},
                          {"method", "Integrations.GetStateTypes"},
                          {"params", {{"thingClassId", thingClassId}}}};
    if (!sendJsonRpcRequest(request)) return false;
    const json response = receiveJsonResponse();
    if (!isSuccess(response)) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Failed to fetch state types for ThingClassId: %s",
                   thingClassId.c_str());
        return false;
    }
    logMessage(&logLevel, LOG_INFO, "EEBUS: Successfully received state types for ThingClassId: %s",
               thingClassId.c_str());
    const json* stateTypes = paramsArray(response, "stateTypes");
    if (stateTypes == nullptr) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: 'stateTypes' field missing in response.");
        return false;
    }
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Parsing %zu state types.", stateTypes->size());
    for (const json& stateType : *stateTypes) {
        const std::string displayName = textOr(stateType, "displayName", "");
        const bool consumption = displayName == kConsumptionStateDisplayName;
        if (!consumption && displayName != kProductionStateDisplayName) continue;
        const std::string stateTypeId = textOr(stateType, "id", "");
        logMessage(&logLevel, LOG_DEBUG, "EEBUS: Found potential LineSentry state ID: %s", stateTypeId.c_str());
        if (!checkIfLineSentryIsActive(thingId, stateTypeId)) {
            logMessage(&logLevel, LOG_INFO,
                       consumption ? "EEBUS: Possible LineSentry found, but Consumption limit not active. Thing ID: %s"
                                   : "EEBUS: Possible LineSentry found, but Production limitation not active. Thing ID: %s",
                       thingId.c_str());
            continue;
        }
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: 'LineSentry Connected' is active.");
        {
            std::lock_guard<std::mutex> lock(stateMutex);
            lineSentryThingId = thingId;
        }
        parseStateTypes(*stateTypes);
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: Fetching initial state values.");
        getStateValues();
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: Controlling PLim for the first time.");
        controlPLim();
        return true;
    }
    return false;
}

bool InternalInterfaceNymeaEEBUS::checkIfLineSentryIsActive(const std::string& thingId,
                                                           const std::string& stateTypeId) {
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Fetching state values for possibleLineSentryThingId: %s",
               thingId.c_str());
    std::cout << "EEBUS: Fetching state values for possibleLineSentryThingId: " << thingId << std::endl;
    const json request = {{"id", nextRequestId()},
                          {"method", "Integrations.GetStateValues"},
                          {"params", {{"thingId", thingId}}}};
    if (!sendJsonRpcRequest(request)) return false;
    const json response = receiveJsonResponse();
    if (!isSuccess(response)) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Failed to checkIfLineSentryIsActive!");
        reconnect();
        return false;
    }
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Successfully fetched state values.");
    const json* values = paramsArray(response, "values");
    if (values == nullptr) {
        logMessage(&logLevel, LOG_WARNING, "EEBUS: 'values' field missing in response.");
        return false;
    }
    logMessage(&logLevel, LOG_INFO, "EEBUS: Processing %zu state values.", values->size());
    for (const json& entry : *values) {
        const std::string entryTypeId = textOr(entry, "stateTypeId", "");
        if (entryTypeId.empty()) {
            logMessage(&logLevel, LOG_ERR, "EEBUS: State entry missing 'stateTypeId'.");
            continue;
        }
        const json* value = member(entry, "value");
        if (value == nullptr) {
            logMessage(&logLevel, LOG_ERR, "EEBUS: State entry missing 'value'.");
            continue;
        }
        if (entryTypeId != stateTypeId) continue;
        const std::string limitation = value->is_string() ? value->get<std::string>() : "";
        if (limitation == "limited" || limitation == "unlimited/controlled") {
            logMessage(&logLevel, LOG_NOTICE, "EEBUS: LineSentry is active with state: %s", limitation.c_str());
            std::cout << "EEBUS: LineSentry is active with state: " << limitation << std::endl;
            return true;
        }
        logMessage(&logLevel, LOG_INFO, "EEBUS: The limitationStateValue: %.50s is not active", limitation.c_str());
        std::cout << "EEBUS: The limitationStateValue: " << limitation.substr(0, 50) << " is not active" << std::endl;
        return false;
    }
    logMessage(&logLevel, LOG_WARNING, "EEBUS: 'LineSentry Connected' not found in state values.");
    return false;
}

void InternalInterfaceNymeaEEBUS::parseStateTypes(const json& stateTypes) {
    for (const json& stateType : stateTypes) {
        const std::string name = textOr(stateType, "name", "");
        const std::string id = textOr(stateType, "id", "");
        for (const StateField& field : kStateFields) {
            if (name == field.name) this->*field.typeId = id;
        }
    }
    logMessage(&logLevel, LOG_INFO, "EEBUS: State type IDs summary:");
    for (const StateField& field : kStateFields) {
        logMessage(&logLevel, LOG_INFO, "%s%s", field.label, (this->*field.typeId).c_str());
    }
}

// ---------------------------------------------------------------------------
// Polling and limits

void InternalInterfaceNymeaEEBUS::getStateValues() {
    std::string thingId;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        thingId = lineSentryThingId;
    }
    std::cout << "EEBUS: Fetching state values for lineSentryThingId: " << thingId << std::endl;
    const json request = {{"id", kGetStateValuesId},
                          {"method", "Integrations.GetStateValues"},
                          {"params", {{"thingId", thingId}}}};
    if (!sendJsonRpcRequest(request)) return;
    const json response = receiveJsonResponse();
    if (!isSuccess(response)) {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Failed to getStateValues!");
        reconnect();
        return;
    }
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Successfully fetched state values.");
    const json* values = paramsArray(response, "values");
    if (values == nullptr) {
        logMessage(&logLevel, LOG_WARNING, "EEBUS: 'values' field missing in response.");
        logMessage(&logLevel, LOG_WARNING, "EEBUS: Is the EEBUS controlbox + LineSentry still in the App?");
        std::lock_guard<std::mutex> lock(stateMutex);
        state.consumptionLimitationState = "unlimited";
        state.productionLimitationState = "unlimited";
        lineSentryThingId.clear();
        return;
    }
    logMessage(&logLevel, LOG_INFO, "EEBUS: Processing %zu state values.", values->size());
    bool connectionChanged = false;
    bool wasConnected = false;
    EebusState updated;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        updated = state;
    }
    wasConnected = updated.lineSentryConnected;
    for (const json& entry : *values) {
        const std::string entryTypeId = textOr(entry, "stateTypeId", "");
        if (entryTypeId.empty()) {
            logMessage(&logLevel, LOG_ERR, "EEBUS: State entry missing 'stateTypeId'.");
            continue;
        }
        const json* value = member(entry, "value");
        if (value == nullptr) {
            logMessage(&logLevel, LOG_ERR, "EEBUS: State entry missing 'value'.");
            continue;
        }
        const StateField* field = nullptr;
        for (const StateField& candidate : kStateFields) {
            if (entryTypeId == this->*candidate.typeId) {
                field = &candidate;
                break;
            }
        }
        if (field == nullptr) {
            logMessage(&logLevel, LOG_WARNING, "EEBUS: Unknown stateTypeId: %s. State: %.200s", entryTypeId.c_str(),
                       compact(entry).c_str());
            continue;
        }
        if (!storeValue(updated, field->value, *value)) {
            logMessage(&logLevel, LOG_WARNING, "EEBUS: Skipping state %s: value of the wrong type or range: %.200s",
                       field->name, compact(*value).c_str());
        }
    }
    if (updated.lineSentryConnected != wasConnected) {
        connectionChanged = true;
        std::cout << "EEBUS: LineSentry Connected state changed from " << boolText(wasConnected) << " to "
                  << boolText(updated.lineSentryConnected) << std::endl;
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: LineSentry Connected state changed from %s to %s",
                   boolText(wasConnected), boolText(updated.lineSentryConnected));
    }
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        state = updated;
    }
    if (connectionChanged) logConnectionChange();
    logStateBlock(updated);
}

void InternalInterfaceNymeaEEBUS::logStateBlock(const EebusState& s) const {
    if (LOG_DEBUG > static_cast<int>(logLevel)) return;
    logMessage(&logLevel, LOG_DEBUG, "EEBUS: Mapped State Values:");
    for (const StateField& field : kStateFields) {
        logMessage(&logLevel, LOG_DEBUG, "%s%s%s", field.label, valueText(s, field.value).c_str(), field.unit);
    }
}

void InternalInterfaceNymeaEEBUS::controlPLim() {
    EebusState s;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        s = state;
    }

    // Consumption (LPC, CLS1): exact comparison with the active value.
    const float currentLpc = iecServer.getActiveValue(1);
    const bool lpcLimited = s.consumptionLimitationState == "limited";
    if (lpcLimited || s.consumptionLimitationState == "failsafe") {
        const float target = static_cast<float>(lpcLimited ? s.maxConsumptionPower : s.failsafeMaxConsumptionPower);
        if (currentLpc == target) {
            logMessage(&logLevel, LOG_INFO, "EEBUS: LPC unchanged, skipping write.");
        } else if (iecServer.writeLpcToIec61850(0, true, target)) {
            lpcSetActive = true;
            logMessage(&logLevel, LOG_NOTICE, "EEBUS: Wrote LPC: %.2fW, Active: %s", target, "true");
        } else {
            logMessage(&logLevel, LOG_ERR, "EEBUS: Writing the LPC of %.2fW failed.", target);
        }
    } else if (currentLpc == -1.0f) {
        lpcSetActive = false;
        logMessage(&logLevel, LOG_INFO, "EEBUS: LPC already deactivated, skipping write.");
    } else if (currentLpc == 0.0f && !lpcSetActive) {
        // An LPC of 0 W that this object did not set is left alone.
        logMessage(&logLevel, LOG_INFO, "EEBUS: LPC unchanged, skipping write.");
    } else if (iecServer.writeLpcToIec61850(0, false, 0)) {
        lpcSetActive = false;
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: Wrote LPC: %.2fW, Active: %s", 0.0, "false");
    } else {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Lifting the LPC failed.");
    }

    // Production (LPP, CLS2): within 0.1 W of the active value counts as unchanged.
    const float currentLpp = iecServer.getActiveValue(2);
    const bool lppLimited = s.productionLimitationState == "limited";
    if (lppLimited || s.productionLimitationState == "failsafe") {
        const float target = static_cast<float>(lppLimited ? s.maxProductionPower : s.failsafeMaxProductionPower);
        if (std::fabs(target - currentLpp) <= 0.1f) {
            logMessage(&logLevel, LOG_INFO, "EEBUS: LPP unchanged, skipping write.");
        } else if (iecServer.writeLppToIec61850(0, true, target)) {
            logMessage(&logLevel, LOG_NOTICE, "EEBUS: Wrote LPP: %.2fW, Active: %s", target, "true");
        } else {
            logMessage(&logLevel, LOG_ERR, "EEBUS: Writing the LPP of %.2fW failed.", target);
        }
    } else if (currentLpp == -1.0f) {
        logMessage(&logLevel, LOG_INFO, "EEBUS: LPP already deactivated, skipping write.");
    } else if (iecServer.writeLppToIec61850(0, false, 0)) {
        logMessage(&logLevel, LOG_NOTICE, "EEBUS: Wrote LPP: %.2fW, Active: %s", 0.0, "false");
    } else {
        logMessage(&logLevel, LOG_ERR, "EEBUS: Lifting the LPP failed.");
    }
}

void InternalInterfaceNymeaEEBUS::logConnectionChange() {
    namespace fs = std::filesystem;
    bool connected;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        connected = state.lineSentryConnected;
    }
    const std::string dir = paths::resolve(kDisconnectLogDir);
    const std::string file = paths::resolve(kDisconnectLogFile);
    std::error_code error;
    if (!fs::exists(dir, error)) {
        std::cout << "Creating directory: " << dir << std::endl;
        fs::create_directories(dir, error);
    }
    std::ofstream log(file, std::ios::app);
    if (!log) {
        std::cerr << "Failed to open log file: " << file << std::endl;
        logMessage(&logLevel, LOG_ERR, "EEBUS: Failed to open log file: %s", file.c_str());
        return;
    }
    const time_t now = ::time(nullptr);
    struct tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    log << stamp << " - Connection to EEBUS Controlbox changed to: " << boolText(connected) << "\n"
        << std::string(24, '-') << "\n";
}
