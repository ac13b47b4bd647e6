#pragma once
// MGCP measurement messages of the MoreVale gateway: the one sender thread
// of the process, and the building of one message from its template.
//
// Threads: request() and stop() may come from any thread; the cycle runs on
// the sender thread.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

// The measured values of one MGCP message.
struct MgcpValues {
    std::string now;            // UTC time stamp of the message
    std::string transactionId;  // of the request that started the sender
    std::string hostName;
    float totalActivePower = 0.0f;
    // Active power, current and voltage of L1, L2, L3 (in that order).
    std::array<float, 3> activePower{};
    std::array<float, 3> current{};
    std::array<float, 3> voltage{};
    float controllableDemand = 0.0f;  // W; 0 while no limit above 0 is active
};

// Sets the members of the MGCP message on the template ("states" keyed by
// OBIS code, "clsAvailability", time stamps, ids). Throws when the template
// does not have the shape of an object.
nlohmann::json buildMgcpMessage(nlohmann::json message, const MgcpValues& values);

class MgcpSender {
public:
    // One cycle: builds and publishes one message.
    using Cycle = std::function<void(const std::string& transactionId)>;

    MgcpSender() = default;
    ~MgcpSender();
    MgcpSender(const MgcpSender&) = delete;
    MgcpSender& operator=(const MgcpSender&) = delete;

    // The sender of the process.
    static MgcpSender& process();

    // Sets the interval (1 s or more); the first request starts the thread
    // with its transaction id and cycle, owned by owner. Later requests
    // change the interval only, at once: the pause under way then ends one
    // new interval after the last message (at once when that has passed).
    void request(const void* owner, int intervalSeconds, const std::string& transactionId, Cycle cycle);
    // Stops and joins the thread when owner started it.
    void stop(const void* owner);

    bool running() const { return mgcpRunning.load(); }
    int interval() const { return mgcpInterval.load(); }

private:
    void senderLoop(std::string transactionId, Cycle cycle);

    std::atomic<bool> mgcpRunning{false};
    std::atomic<int> mgcpInterval{0};
    std::thread mgcpThread;
    std::mutex mutex_;  // guards owner_, the thread handle and the pause
    std::condition_variable wake_;
    const void* owner_ = nullptr;
    uint64_t requests_ = 0;  // counts requests, so the pause sees a new one
};
