#pragma once
// A libmosquitto client for tests: connects to a test broker (optionally
// with TLS, a client certificate and credentials), subscribes, publishes
// and waits with a bound for the messages that arrive on a topic.

#include <chrono>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

struct MqttMessage {
    std::string topic;
    std::string payload;
    int qos = 0;
    bool retained = false;
};

struct MqttTestClientOptions {
    std::string clientId;  // empty: a random id
    std::string username;
    std::string password;
    // TLS towards the broker when caFile is set; certFile/keyFile for mutual TLS.
    std::filesystem::path caFile;
    std::filesystem::path certFile;
    std::filesystem::path keyFile;
    int keepAliveSeconds = 60;

    static MqttTestClientOptions withCredentials(std::string user, std::string pass) {
        MqttTestClientOptions o;
        o.username = std::move(user);
        o.password = std::move(pass);
        return o;
    }
    static MqttTestClientOptions withTls(std::filesystem::path ca, std::filesystem::path cert = {},
                                         std::filesystem::path key = {}) {
        MqttTestClientOptions o;
        o.caFile = std::move(ca);
        o.certFile = std::move(cert);
        o.keyFile = std::move(key);
        return o;
    }
};

class MqttTestClient {
public:
    MqttTestClient(std::string host, int port, MqttTestClientOptions options = {});
    ~MqttTestClient();
    MqttTestClient(const MqttTestClient&) = delete;
    MqttTestClient& operator=(const MqttTestClient&) = delete;

    // Connects and waits for the broker's CONNACK; true when it accepted.
    bool connect(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // The CONNACK code of the last connect attempt (-1 before one arrived).
    int connackCode() const;
    // Subscribes and waits for the SUBACK.
    bool subscribe(const std::string& topic, int qos = 0,
                   std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Publishes; with QoS 1 or 2 it waits until the broker confirmed it.
    bool publish(const std::string& topic, const std::string& payload, int qos = 0, bool retain = false,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5));
    void disconnect();

    // Takes the oldest message received on the topic (every topic when
    // empty), waiting for one at most the timeout.
    std::optional<MqttMessage> waitForMessage(const std::string& topic,
                                              std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Takes count messages of the topic; fewer when the time runs out.
    std::vector<MqttMessage> waitForMessages(const std::string& topic, size_t count,
                                             std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // True when no message arrives on the topic within the time.
    bool noMessageWithin(const std::string& topic, std::chrono::milliseconds window);
    // Messages received and not taken yet.
    std::vector<MqttMessage> pending() const;
    void clear();

private:
    static void onConnect(mosquitto*, void* self, int rc);
    static void onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    bool takeLocked(const std::string& topic, MqttMessage& out);

    std::string host_;
    int port_;
    MqttTestClientOptions options_;
    mosquitto* client_ = nullptr;
    bool loopStarted_ = false;

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int connack_ = -1;
    std::vector<int> acknowledgedMids_;
    std::deque<MqttMessage> messages_;
};

}  // namespace testsupport
