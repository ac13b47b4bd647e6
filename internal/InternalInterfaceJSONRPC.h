#pragma once
// Hands every change of a CLS's active power limit to the home
// energy-management server as the JSON-RPC 2.0 call "updateEnergyData"
// [cls, limit] over HTTP (host and port from "JSONRPC.conf").
//
// Threads: the listener "callbackJSONRPC" runs inside the core's road; it
// reads the limit, queues it and returns at once. One sender thread of this
// object posts the queued values in order, one at a time. While a post is
// under way, a newer value of a CLS replaces its older unsent one, so the
// server always ends up with every CLS's latest limit and a slow or hung
// server never holds up the road. A value the server never answered is sent
// again until it is answered or replaced by a newer one.
//
// A post ends within its deadline (jsonrpc::HttpTimeouts::answer, 5 s) and
// reads no more of an answer than the connector's bounds allow (header
// lines, every line, the whole answer: jsonrpc/CppHttpLibClientConnector.h);
// an answer over any of them fails the post like no answer, with one
// "Error sending values" line, and the sender goes on.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "jsonrpc/CppHttpLibClientConnector.h"
#include "jsonrpc/JsonRpcClient.h"
#include "server/IecCore.h"

class InternalInterfaceJSONRPC {
public:
    explicit InternalInterfaceJSONRPC(IecCore& server);
    // Tests shorten the HTTP time-outs.
    InternalInterfaceJSONRPC(IecCore& server, const jsonrpc::HttpTimeouts& timeouts);
    // Stops the sender (a post under way is cut short); unsent values are dropped.
    ~InternalInterfaceJSONRPC();
    InternalInterfaceJSONRPC(const InternalInterfaceJSONRPC&) = delete;
    InternalInterfaceJSONRPC& operator=(const InternalInterfaceJSONRPC&) = delete;

    // Reads "JSONRPC.conf" ("../etc/iec/config/" in debug mode, else
    // "/etc/iec/config/"); true when the whole file was read.
    bool readJSONRPCConfig();

    // The listener body: reads the limit of CLS n and queues it for the sender.
    void onActivePowerChanged(int n);
    // One call "updateEnergyData" [n, powerLimit]; reports its outcome. Runs
    // on the sender thread. False when the server gave no answer (the value
    // is sent again), true when it answered, whatever it answered.
    bool notifyServer(int n, int64_t powerLimit);
    // Pause before a value the server did not answer is sent again.
    static constexpr std::chrono::milliseconds kRetryPause{2000};

    // Where the calls go.
    const std::string& serverHost() const { return connector->host(); }
    int serverPort() const { return connector->port(); }

    static constexpr const char* kListenerName = "callbackJSONRPC";
    static constexpr const char* kConfigPath = "/etc/iec/config/JSONRPC.conf";
    static constexpr const char* kDebugConfigPath = "../etc/iec/config/JSONRPC.conf";

private:
    void buildTransport(const std::string& host, int port);
    void enqueue(int n, int64_t powerLimit);
    void senderLoop();

    IecCore& server;
    uint32_t logLevel = 5;
    std::string jsonrpcHost = "localhost";
    int jsonrpcPort = 5000;
    jsonrpc::HttpTimeouts timeouts;
    std::unique_ptr<jsonrpc::CppHttpLibClientConnector> connector;
    std::unique_ptr<jsonrpc::JsonRpcClient> client;
    bool debugMode = false;

    std::mutex queueMutex;
    std::condition_variable queueChanged;
    std::deque<int> sendOrder;          // CLS numbers with an unsent value, oldest first
    std::map<int, int64_t> unsentLimit;  // the newest unsent value of each of them
    bool stopping = false;
    std::thread sender;
};
