#pragma once
// One MQTT client session on libmosquitto: the library's initialisation
// (once per process, never undone while a session lives), the client, TLS,
// credentials, will and reconnect delay, the connect, the network loop and
// the orderly end. The clients around it keep their topics, messages,
// timings and log texts; they set their callbacks before the first connect.
//
// The network loop comes in two forms:
//  - startLibraryLoop(): the library's own loop thread (it reconnects by
//    itself after the reconnect delay); it is named from within its first
//    connect, disconnect or message callback.
//  - startOwnThread(body): a thread of the session, named at once, that runs
//    the client's own connect and loop logic (loopOnce, connect, reconnect);
//    the body ends when the client's own stop signal tells it to.
//
// close() (and the destructor) disconnects, stops or joins the network
// thread, then sends a DISCONNECT that was only queued because it was asked
// for while the loop was inside a callback, then destroys the client. No
// callback runs once close() returned. A client with an own thread tells its
// body to stop before it closes the session; close() never runs from a
// callback of the session.

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

struct mosquitto;
struct mosquitto_message;

struct MqttTls {
    std::string caFile;    // empty: none
    std::string caPath;    // empty: none
    std::string certFile;  // client certificate (mutual TLS); empty: none
    std::string keyFile;
    // Peer verification and TLS version through mosquitto_tls_opts_set; empty: library defaults.
    std::string tlsVersion;
    // Host-name verification off (mosquitto_tls_insecure_set); set only when setInsecure.
    bool setInsecure = false;
    bool insecure = false;
};

class MqttSession {
public:
    struct Callbacks {
        std::function<void(int rc)> onConnect;
        std::function<void(int rc)> onDisconnect;
        std::function<void(const mosquitto_message* message)> onMessage;
        std::function<void(int level, const char* text)> onLog;  // unset: no log callback
    };

    // Creates the client (clean session). threadName names the network
    // thread (at most 15 characters). logLevel and logPrefix are for the
    // session's own last-resort log lines (a callback that threw).
    MqttSession(const std::string& clientId, std::string threadName, const uint32_t* logLevel,
                std::string logPrefix);
    ~MqttSession();
    MqttSession(const MqttSession&) = delete;
    MqttSession& operator=(const MqttSession&) = delete;

    // The client exists (mosquitto_new succeeded).
    bool ok() const { return mosq_ != nullptr; }
    const std::string& clientId() const { return clientId_; }

    // Before the first connect.
    void setCallbacks(Callbacks callbacks);
    // The loop is run by a thread of the caller (startOwnThread): the client locks for it.
    void setThreadedByCaller();
    // The client library's result code. failedStep names the call that failed.
    int setTls(const MqttTls& tls, const char** failedStep = nullptr);
    int setCredentials(const std::string& username, const std::string& password);
    int setWill(const std::string& topic, const std::string& payload, int qos, bool retain);
    int setReconnectDelay(unsigned minSeconds, unsigned maxSeconds, bool exponential);

    // A blocking connect (the TCP connection; CONNACK arrives in the loop).
    int connect(const std::string& host, int port, int keepAliveSeconds);
    int reconnect();
    int disconnect();

    // The library's own loop thread; the library's code (a second start is refused).
    int startLibraryLoop();
    bool libraryLoopRunning() const { return libraryLoop_.load(); }
    // Starts the session's own network thread running body; false when one runs already.
    bool startOwnThread(std::function<void()> body);
    // One pass of the network loop (own thread only).
    int loopOnce(int timeoutMs);

    int publish(const std::string& topic, const std::string& payload, int qos = 0, bool retain = false);
    int subscribe(const std::string& topic, int qos = 0);

    // Ends the session as described above; safe to call more than once.
    void close();

private:
    static void onConnectThunk(mosquitto*, void* self, int rc);
    static void onDisconnectThunk(mosquitto*, void* self, int rc);
    static void onMessageThunk(mosquitto*, void* self, const mosquitto_message* message);
    static void onLogThunk(mosquitto*, void* self, int level, const char* text);
    template <typename Body>
    void guarded(const char* what, Body&& body);
    void nameLibraryThread();

    std::string clientId_;
    std::string threadName_;
    const uint32_t* logLevel_;
    std::string logPrefix_;
    mosquitto* mosq_ = nullptr;
    Callbacks callbacks_;
    std::atomic<bool> libraryLoop_{false};
    std::atomic<bool> libraryThreadNamed_{false};
    std::thread ownThread_;
};
