#include "tests/support/MqttTestClient.h"

#include <mosquitto.h>

#include <algorithm>
#include <random>

namespace testsupport {

MqttTestClient::MqttTestClient(std::string host, int port, MqttTestClientOptions options)
    : host_(std::move(host)), port_(port), options_(std::move(options)) {
    mosquitto_lib_init();
    std::string id = options_.clientId;
    if (id.empty()) id = "test-client-" + std::to_string(std::random_device{}());
    client_ = mosquitto_new(id.c_str(), true, this);
    if (client_ == nullptr) return;
    mosquitto_int_option(client_, MOSQ_OPT_TCP_NODELAY, 1);
    mosquitto_connect_callback_set(client_, &MqttTestClient::onConnect);
    mosquitto_subscribe_callback_set(client_, &MqttTestClient::onSubscribe);
    mosquitto_publish_callback_set(client_, &MqttTestClient::onPublish);
    mosquitto_message_callback_set(client_, &MqttTestClient::onMessage);
    if (!options_.username.empty()) {
        mosquitto_username_pw_set(client_, options_.username.c_str(), options_.password.c_str());
    }
    if (!options_.caFile.empty()) {
        mosquitto_tls_set(client_, options_.caFile.c_str(), nullptr,
                          options_.certFile.empty() ? nullptr : options_.certFile.c_str(),
                          options_.keyFile.empty() ? nullptr : options_.keyFile.c_str(), nullptr);
    }
    loopStarted_ = mosquitto_loop_start(client_) == MOSQ_ERR_SUCCESS;
}

MqttTestClient::~MqttTestClient() {
    if (client_ != nullptr) {
        mosquitto_disconnect(client_);
        if (loopStarted_) mosquitto_loop_stop(client_, false);
        mosquitto_destroy(client_);
    }
    mosquitto_lib_cleanup();
}

bool MqttTestClient::connect(std::chrono::milliseconds timeout) {
    if (client_ == nullptr || !loopStarted_) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        connack_ = -1;
    }
    if (mosquitto_connect_async(client_, host_.c_str(), port_, options_.keepAliveSeconds) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [this] { return connack_ >= 0; }) && connack_ == 0;
}

int MqttTestClient::connackCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return connack_;
}

bool MqttTestClient::subscribe(const std::string& topic, int qos, std::chrono::milliseconds timeout) {
    int mid = 0;
    if (client_ == nullptr || mosquitto_subscribe(client_, &mid, topic.c_str(), qos) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::find(acknowledgedMids_.begin(), acknowledgedMids_.end(), mid) != acknowledgedMids_.end();
    });
}

bool MqttTestClient::publish(const std::string& topic, const std::string& payload, int qos, bool retain,
                             std::chrono::milliseconds timeout) {
    int mid = 0;
    if (client_ == nullptr || mosquitto_publish(client_, &mid, topic.c_str(), static_cast<int>(payload.size()),
                                                payload.data(), qos, retain) != MOSQ_ERR_SUCCESS) {
        return false;
    }
    if (qos == 0) return true;
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        return std::find(acknowledgedMids_.begin(), acknowledgedMids_.end(), mid) != acknowledgedMids_.end();
    });
}

void MqttTestClient::disconnect() {
    if (client_ != nullptr) mosquitto_disconnect(client_);
}

bool MqttTestClient::takeLocked(const std::string& topic, MqttMessage& out) {
    auto it = std::find_if(messages_.begin(), messages_.end(),
                           [&](const MqttMessage& m) { return topic.empty() || m.topic == topic; });
    if (it == messages_.end()) return false;
    out = std::move(*it);
    messages_.erase(it);
    return true;
}

std::optional<MqttMessage> MqttTestClient::waitForMessage(const std::string& topic,
                                                          std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    MqttMessage message;
    if (changed_.wait_for(lock, timeout, [&] { return takeLocked(topic, message); })) return message;
    return std::nullopt;
}

std::vector<MqttMessage> MqttTestClient::waitForMessages(const std::string& topic, size_t count,
                                                         std::chrono::milliseconds timeout) {
    std::vector<MqttMessage> taken;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    std::unique_lock<std::mutex> lock(mutex_);
    while (taken.size() < count) {
        MqttMessage message;
        if (!changed_.wait_until(lock, deadline, [&] { return takeLocked(topic, message); })) break;
        taken.push_back(std::move(message));
    }
    return taken;
}

bool MqttTestClient::noMessageWithin(const std::string& topic, std::chrono::milliseconds window) {
    std::unique_lock<std::mutex> lock(mutex_);
    return !changed_.wait_for(lock, window, [&] {
        return std::any_of(messages_.begin(), messages_.end(),
                           [&](const MqttMessage& m) { return topic.empty() || m.topic == topic; });
    });
}

std::vector<MqttMessage> MqttTestClient::pending() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return {messages_.begin(), messages_.end()};
}

void MqttTestClient::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    messages_.clear();
}

void MqttTestClient::onConnect(mosquitto*, void* self, int rc) {
    auto* client = static_cast<MqttTestClient*>(self);
    std::lock_guard<std::mutex> lock(client->mutex_);
    client->connack_ = rc;
    client->changed_.notify_all();
}

void MqttTestClient::onSubscribe(mosquitto*, void* self, int mid, int, const int*) {
    auto* client = static_cast<MqttTestClient*>(self);
    std::lock_guard<std::mutex> lock(client->mutex_);
    client->acknowledgedMids_.push_back(mid);
    client->changed_.notify_all();
}

void MqttTestClient::onPublish(mosquitto*, void* self, int mid) {
    auto* client = static_cast<MqttTestClient*>(self);
    std::lock_guard<std::mutex> lock(client->mutex_);
    client->acknowledgedMids_.push_back(mid);
    client->changed_.notify_all();
}

void MqttTestClient::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* client = static_cast<MqttTestClient*>(self);
    MqttMessage m;
    if (message->topic != nullptr) m.topic = message->topic;
    if (message->payload != nullptr && message->payloadlen > 0) {
        m.payload.assign(static_cast<const char*>(message->payload), static_cast<size_t>(message->payloadlen));
    }
    m.qos = message->qos;
    m.retained = message->retain;
    std::lock_guard<std::mutex> lock(client->mutex_);
    client->messages_.push_back(std::move(m));
    client->changed_.notify_all();
}

}  // namespace testsupport
