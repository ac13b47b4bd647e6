#include "internal/InternalInterfaceJSONRPC.h"

#include <syslog.h>

#include <cinttypes>
#include <iostream>
#include <stdexcept>

#include "foundation/ConfigFile.h"
#include "foundation/Logging.h"
#include "foundation/ThreadName.h"
#include "foundation/Paths.h"
#include "internal/ValueReaders.h"

namespace {

// A TCP port by the one port rule (config::parsePort). Text without a
// leading number fails as std::stoi reports it ("stoi").
int parsePort(const std::string& text) {
    if (const std::optional<int> port = config::parsePort(text)) return *port;
    static_cast<void>(std::stoi(text));
    throw std::out_of_range("jsonrpcPort is no TCP port: " + text);
}

}  // namespace

InternalInterfaceJSONRPC::InternalInterfaceJSONRPC(IecCore& core) : InternalInterfaceJSONRPC(core, {}) {}

InternalInterfaceJSONRPC::InternalInterfaceJSONRPC(IecCore& core, const jsonrpc::HttpTimeouts& httpTimeouts)
    : server(core), timeouts(httpTimeouts), debugMode(core.isDebugMode()) {
    readLogLevel(&logLevel);
    std::cout << "InternalInterfaceJSONRPC -> Debug mode: " << (debugMode ? 1 : 0) << std::endl;
    buildTransport("localhost", jsonrpcPort);
    if (readJSONRPCConfig()) buildTransport(jsonrpcHost, jsonrpcPort);
    sender = namedThread("jsonrpc-sender", [this] { senderLoop(); });
    std::cout << "InternalInterfaceJSONRPC -> Adding ActPoweGGIOListener" << std::endl;
    server.registerCallback(kListenerName, [this](int n) { onActivePowerChanged(n); });
    std::cout << "InternalInterfaceJSONRPC -> Added ActPoweGGIOListener" << std::endl;
}

InternalInterfaceJSONRPC::~InternalInterfaceJSONRPC() {
    server.unregisterCallback(kListenerName);
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        stopping = true;
    }
    queueChanged.notify_all();
    connector->stop();
    sender.join();
}

void InternalInterfaceJSONRPC::buildTransport(const std::string& host, int port) {
    auto newConnector = std::make_unique<jsonrpc::CppHttpLibClientConnector>(host, port, timeouts);
    client = std::make_unique<jsonrpc::JsonRpcClient>(*newConnector);
    connector = std::move(newConnector);
}

bool InternalInterfaceJSONRPC::readJSONRPCConfig() {
    std::cout << "InternalInterfaceJSONRPC -> Reading JSONRPC_config.conf" << std::endl;
    std::string path = paths::resolve(kConfigPath);
    if (debugMode) {
        std::cout << "InternalInterfaceJSONRPC -> Debug mode" << std::endl;
        path = kDebugConfigPath;
    }
    std::string refusal;
    const std::optional<std::vector<config::Entry>> entries = config::readFile(path, &refusal);
    if (!entries && refusal.empty()) {
        std::cerr << "Could not open JSONRPC_config.conf config file, using defaults" << std::endl;
        logMessage(&logLevel, LOG_INFO, "Could not open JSONRPC_config.conf config file, using defaults");
        return false;
    }
    if (!entries) {
        std::cerr << "Could not open JSONRPC_config.conf config file, using defaults: " << path << " " << refusal
                  << std::endl;
        logMessage(&logLevel, LOG_ERR, "Could not open JSONRPC_config.conf config file, using defaults: %s %s",
                   path.c_str(), refusal.c_str());
        return false;
    }
    // Applied only when the whole file is good, so a bad line never leaves half a setting.
    std::string host = jsonrpcHost;
    int port = jsonrpcPort;
    try {
        for (const auto& [key, value] : *entries) {
            if (key == "jsonrpcHost") {
                host = value;
                std::cout << "jsonrpcHost: " << host << std::endl;
            } else if (key == "jsonrpcPort") {
                port = parsePort(value);
                std::cout << "jsonrpcPort: " << port << std::endl;
            } else {
                std::cerr << "Unknown key in JSONRPC_config.conf: " << key << std::endl;
                logMessage(&logLevel, LOG_INFO, "Unknown key in JSONRPC_config.conf: %s", key.c_str());
            }
        }
    } catch (const std::exception& e) {
        std::cerr << "Error parsing JSONRPC_config.conf: " << e.what() << std::endl;
        logMessage(&logLevel, LOG_ERR, "Error parsing JSONRPC_config.conf: %s", e.what());
        return false;
    }
    jsonrpcHost = host;
    jsonrpcPort = port;
    logMessage(&logLevel, LOG_INFO, "JSONRPC_config loaded:");
    logMessage(&logLevel, LOG_INFO, "jsonrpcHost: %s", jsonrpcHost.c_str());
    logMessage(&logLevel, LOG_INFO, "jsonrpcPort: %d", jsonrpcPort);
    logMessage(&logLevel, LOG_INFO, "---");
    return true;
}

void InternalInterfaceJSONRPC::onActivePowerChanged(int n) {
    std::cout << n << std::endl;
    const ActiveLimit record = valuereaders::getActPowGGIO001An1(server, n);
    // The bare value, fraction cut off; the multiplier is not applied.
    const std::optional<int64_t> powerLimit = truncateToInt64(record.value);
    if (!powerLimit) {
        std::cerr << "InternalInterfaceJSONRPC -> Power Limit of CLS" << n << " has no int64 value, not sent" << std::endl;
        logMessage(&logLevel, LOG_ERR, "InternalInterfaceJSONRPC -> Power Limit of CLS%d has no int64 value, not sent",
                   n);
        return;
    }
    std::cout << "InternalInterfaceJSONRPC -> Power Limit: " << *powerLimit << std::endl;
    logMessage(&logLevel, LOG_INFO, "InternalInterfaceJSONRPC -> Power Limit: %" PRId64, *powerLimit);
    enqueue(n, *powerLimit);
}

void InternalInterfaceJSONRPC::enqueue(int n, int64_t powerLimit) {
    {
        std::lock_guard<std::mutex> lock(queueMutex);
        const bool waiting = unsentLimit.count(n) != 0;
        unsentLimit[n] = powerLimit;
        if (!waiting) sendOrder.push_back(n);
    }
    queueChanged.notify_one();
}

void InternalInterfaceJSONRPC::senderLoop() {
    std::unique_lock<std::mutex> lock(queueMutex);
    while (true) {
        queueChanged.wait(lock, [this] { return stopping || !sendOrder.empty(); });
        if (stopping) return;
        const int n = sendOrder.front();
        sendOrder.pop_front();
        const int64_t powerLimit = unsentLimit[n];
        unsentLimit.erase(n);
        lock.unlock();
        const bool answered = notifyServer(n, powerLimit);
        lock.lock();
        if (!answered && !stopping) {
            // Not delivered (server down or not answering): the value goes
            // again after a pause, unless a newer one of the CLS replaced it.
            if (unsentLimit.count(n) == 0) {
                unsentLimit[n] = powerLimit;
                sendOrder.push_back(n);
            }
            queueChanged.wait_for(lock, kRetryPause, [this] { return stopping; });
        }
    }
}

bool InternalInterfaceJSONRPC::notifyServer(int n, int64_t powerLimit) {
    std::cout << "InternalInterfaceJSONRPC -> Notify Tessera Server" << std::endl;
    logMessage(&logLevel, LOG_INFO, "InternalInterfaceJSONRPC -> Notify Tessera Server");
    try {
        const bool accepted = client->CallMethod<bool>(1, "updateEnergyData", nlohmann::json::array({n, powerLimit}));
        if (accepted) {
            std::cout << "InternalInterfaceJSONRPC -> Successfully sent values to server." << std::endl;
            logMessage(&logLevel, LOG_INFO, "InternalInterfaceJSONRPC -> Successfully sent values to server.");
        } else {
            std::cerr << "InternalInterfaceJSONRPC -> Failed to send values to server." << std::endl;
            logMessage(&logLevel, LOG_WARNING, "InternalInterfaceJSONRPC -> Failed to send values to server.");
        }
    } catch (const std::exception& e) {
        std::cerr << "InternalInterfaceJSONRPC -> Error sending values: " << e.what() << std::endl;
        logMessage(&logLevel, LOG_INFO, "InternalInterfaceJSONRPC -> Error sending values: %s", e.what());
        // No usable HTTP answer (refused, past its deadline, cut, over a bound
        // of the answer): the connector names the failure as text.
        const auto* failure = dynamic_cast<const jsonrpc::JsonRpcException*>(&e);
        return !(failure != nullptr && failure->Code() == jsonrpc::kConnectorError && failure->Data().is_string());
    }
    return true;
}
