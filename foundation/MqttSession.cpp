#include "foundation/MqttSession.h"

#include <mosquitto.h>
#include <pthread.h>
#include <syslog.h>

#include <mutex>
#include <utility>

#include "foundation/CallbackGuard.h"

namespace {

// The library is initialised once per process and never cleaned up: a
// cleanup while another session lives would pull the ground from under it.
void initialiseLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

void nameThisThread(const std::string& name) {
    // The kernel takes at most 15 characters and the terminating NUL.
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace

MqttSession::MqttSession(const std::string& clientId, std::string threadName, const uint32_t* logLevel,
                         std::string logPrefix)
    : clientId_(clientId), threadName_(std::move(threadName)), logLevel_(logLevel), logPrefix_(std::move(logPrefix)) {
    initialiseLibraryOnce();
    mosq_ = mosquitto_new(clientId_.c_str(), true, this);
    if (mosq_ == nullptr) return;
    // An answer follows the PUBACK of the message it answers at once; with
    // Nagle's algorithm it would wait for the broker's delayed ACK (40 ms).
    mosquitto_int_option(mosq_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(mosq_, &MqttSession::onConnectThunk);
    mosquitto_disconnect_callback_set(mosq_, &MqttSession::onDisconnectThunk);
    mosquitto_message_callback_set(mosq_, &MqttSession::onMessageThunk);
}

MqttSession::~MqttSession() { close(); }

void MqttSession::setCallbacks(Callbacks callbacks) {
    callbacks_ = std::move(callbacks);
    if (mosq_ != nullptr && callbacks_.onLog) mosquitto_log_callback_set(mosq_, &MqttSession::onLogThunk);
}

void MqttSession::setThreadedByCaller() {
    if (mosq_ != nullptr) mosquitto_threaded_set(mosq_, true);
}

int MqttSession::setTls(const MqttTls& tls, const char** failedStep) {
    if (mosq_ == nullptr) return MOSQ_ERR_INVAL;
    auto orNull = [](const std::string& s) { return s.empty() ? nullptr : s.c_str(); };
    const char* step = "mosquitto_tls_set";
    int rc = mosquitto_tls_set(mosq_, orNull(tls.caFile), orNull(tls.caPath), orNull(tls.certFile),
                               orNull(tls.keyFile), nullptr);
    if (rc == MOSQ_ERR_SUCCESS && !tls.tlsVersion.empty()) {
        step = "mosquitto_tls_opts_set";
        rc = mosquitto_tls_opts_set(mosq_, 1, tls.tlsVersion.c_str(), nullptr);
    }
    if (rc == MOSQ_ERR_SUCCESS && tls.setInsecure) {
        step = "mosquitto_tls_insecure_set";
        rc = mosquitto_tls_insecure_set(mosq_, tls.insecure);
    }
    if (failedStep != nullptr) *failedStep = rc == MOSQ_ERR_SUCCESS ? nullptr : step;
    return rc;
}

int MqttSession::setCredentials(const std::string& username, const std::string& password) {
    return mosq_ != nullptr ? mosquitto_username_pw_set(mosq_, username.c_str(), password.c_str()) : MOSQ_ERR_INVAL;
}

int MqttSession::setWill(const std::string& topic, const std::string& payload, int qos, bool retain) {
    return mosq_ != nullptr ? mosquitto_will_set(mosq_, topic.c_str(), static_cast<int>(payload.size()),
                                                 payload.data(), qos, retain)
                            : MOSQ_ERR_INVAL;
}

int MqttSession::setReconnectDelay(unsigned minSeconds, unsigned maxSeconds, bool exponential) {
    return mosq_ != nullptr ? mosquitto_reconnect_delay_set(mosq_, minSeconds, maxSeconds, exponential)
                            : MOSQ_ERR_INVAL;
}

int MqttSession::connect(const std::string& host, int port, int keepAliveSeconds) {
    return mosq_ != nullptr ? mosquitto_connect(mosq_, host.c_str(), port, keepAliveSeconds) : MOSQ_ERR_INVAL;
}

int MqttSession::reconnect() { return mosq_ != nullptr ? mosquitto_reconnect(mosq_) : MOSQ_ERR_INVAL; }

int MqttSession::disconnect() { return mosq_ != nullptr ? mosquitto_disconnect(mosq_) : MOSQ_ERR_INVAL; }

int MqttSession::startLibraryLoop() {
    if (mosq_ == nullptr) return MOSQ_ERR_INVAL;
    const int rc = mosquitto_loop_start(mosq_);
    if (rc == MOSQ_ERR_SUCCESS) libraryLoop_ = true;
    return rc;
}

bool MqttSession::startOwnThread(std::function<void()> body) {
    if (mosq_ == nullptr || ownThread_.joinable()) return false;
    ownThread_ = std::thread([this, body = std::move(body)] {
        nameThisThread(threadName_);
        body();
    });
    return true;
}

int MqttSession::loopOnce(int timeoutMs) {
    return mosq_ != nullptr ? mosquitto_loop(mosq_, timeoutMs, 1) : MOSQ_ERR_INVAL;
}

int MqttSession::publish(const std::string& topic, const std::string& payload, int qos, bool retain) {
    if (mosq_ == nullptr) return MOSQ_ERR_INVAL;
    return mosquitto_publish(mosq_, nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), qos,
                             retain);
}

int MqttSession::subscribe(const std::string& topic, int qos) {
    return mosq_ != nullptr ? mosquitto_subscribe(mosq_, nullptr, topic.c_str(), qos) : MOSQ_ERR_INVAL;
}

void MqttSession::close() {
    if (mosq_ == nullptr) return;
    // Also wakes a loop waiting in select.
    mosquitto_disconnect(mosq_);
    if (libraryLoop_) {
        mosquitto_loop_stop(mosq_, false);
        libraryLoop_ = false;
    }
    if (ownThread_.joinable()) ownThread_.join();
    // A DISCONNECT asked for while the loop was inside a callback is only
    // queued; the loop has ended, so it goes out here.
    if (mosquitto_want_write(mosq_)) mosquitto_loop_write(mosq_, 1);
    mosquitto_destroy(mosq_);
    mosq_ = nullptr;
}

template <typename Body>
void MqttSession::guarded(const char* what, Body&& body) {
    runGuardedCallback(logLevel_, logPrefix_.c_str(), what, std::forward<Body>(body));
}

void MqttSession::nameLibraryThread() {
    // The callbacks of the library's loop run on its thread only.
    if (libraryLoop_ && !libraryThreadNamed_.exchange(true)) nameThisThread(threadName_);
}

void MqttSession::onConnectThunk(mosquitto*, void* self, int rc) {
    auto* session = static_cast<MqttSession*>(self);
    session->nameLibraryThread();
    if (session->callbacks_.onConnect) session->guarded("connect callback", [&] { session->callbacks_.onConnect(rc); });
}

void MqttSession::onDisconnectThunk(mosquitto*, void* self, int rc) {
    auto* session = static_cast<MqttSession*>(self);
    session->nameLibraryThread();
    if (session->callbacks_.onDisconnect) {
        session->guarded("disconnect callback", [&] { session->callbacks_.onDisconnect(rc); });
    }
}

void MqttSession::onMessageThunk(mosquitto*, void* self, const mosquitto_message* message) {
    auto* session = static_cast<MqttSession*>(self);
    session->nameLibraryThread();
    if (session->callbacks_.onMessage) {
        session->guarded("message callback", [&] { session->callbacks_.onMessage(message); });
    }
}

void MqttSession::onLogThunk(mosquitto*, void* self, int level, const char* text) {
    auto* session = static_cast<MqttSession*>(self);
    if (session->callbacks_.onLog) session->guarded("log callback", [&] { session->callbacks_.onLog(level, text); });
}
