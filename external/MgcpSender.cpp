#include "external/MgcpSender.h"

#include <syslog.h>

#include <charconv>
#include <cstdlib>
#include <iostream>

#include "external/MoreValeMessages.h"
#include "external/ReplyTemplate.h"
#include "foundation/Logging.h"
#include "foundation/ThreadName.h"

using json = nlohmann::json;

namespace {

// A float as the JSON number of its shortest text (230.1f is 230.1, not
// 230.10000610351562).
double jsonNumber(float value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof(text) - 1, value);
    *result.ptr = '\0';
    return std::strtod(text, nullptr);
}

}  // namespace

json buildMgcpMessage(json message, const MgcpValues& v) {
    using replytemplate::setMember;
    setMember(message, {"creationDateTime"}, v.now);
    setMember(message, {"timestamp"}, v.now);
    setMember(message, {"transactionId"}, v.transactionId);
    setMember(message, {"gricConnectionPoint"}, v.hostName);
    setMember(message, {"states"}, {
        {"1-0: 16.7.0.255", jsonNumber(v.totalActivePower)},
        {"1-0: 36.7.0.255", jsonNumber(v.activePower[0])},
        {"1-0: 56.7.0.255", jsonNumber(v.activePower[1])},
        {"1-0: 76.7.0.255", jsonNumber(v.activePower[2])},
        {"1-0: 31.7.0.255", jsonNumber(v.current[0])},
        {"1-0: 51.7.0.255", jsonNumber(v.current[1])},
        {"1-0: 71.7.0.255", jsonNumber(v.current[2])},
        {"1-0: 14.7.0.255", 0},
        {"1-0: 32.7.0.255", jsonNumber(v.voltage[0])},
        {"1-0: 52.7.0.255", jsonNumber(v.voltage[1])},
        {"1-0: 72.7.0.255", jsonNumber(v.voltage[2])},
        {"1-0: 81.7.1.255", 0},
        {"1-0: 81.7.2.255", 0},
        {"1-0: 81.7.4.255", 0},
        {"1-0: 81.7.15.255", 0},
        {"1-0: 81.7.26.255", 0},
    });
    setMember(message, {"clsAvailability", "controllableDemand"}, jsonNumber(v.controllableDemand));
    setMember(message, {"clsAvailability", "controllableProduction"}, 0);
    return message;
}

MgcpSender::~MgcpSender() {
    const void* owner = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        owner = owner_;
    }
    stop(owner);
}

MgcpSender& MgcpSender::process() {
    static MgcpSender sender;
    return sender;
}

void MgcpSender::request(const void* owner, int intervalSeconds, const std::string& transactionId, Cycle cycle) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        mgcpInterval.exchange(intervalSeconds);
        ++requests_;
        if (!mgcpRunning.exchange(true)) {
            owner_ = owner;
            mgcpThread = namedThread("mgcp-sender", [this, transactionId, cycle = std::move(cycle)]() mutable {
                senderLoop(std::move(transactionId), std::move(cycle));
            });
        }
    }
    // A pause under way is measured against the new interval at once.
    wake_.notify_all();
}

void MgcpSender::stop(const void* owner) {
    std::thread stopped;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (owner_ != owner || !mgcpThread.joinable()) return;
        mgcpRunning.exchange(false);
        stopped = std::move(mgcpThread);
        owner_ = nullptr;
    }
    wake_.notify_all();
    stopped.join();
}

void MgcpSender::senderLoop(std::string transactionId, Cycle cycle) {
    auto due = std::chrono::steady_clock::now();  // when the message of this pass is due
    while (mgcpRunning) {
        std::cout << "mor-e-vale: Sending MGCP message at interval: " << mgcpInterval.load() << " seconds"
                  << std::endl;
        try {
            cycle(transactionId);
        } catch (const std::exception& e) {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: MGCP message not sent: %s", e.what());
        }
        // The next message one interval after this one was due, with the
        // interval as it stands: a request during the pause wakes it and the
        // pause ends at once when the new interval has already passed. A
        // sender that fell behind starts afresh from now.
        const auto sent = due;
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            due = sent + std::chrono::seconds(mgcpInterval.load());
            const auto now = std::chrono::steady_clock::now();
            if (!mgcpRunning || due <= now) {
                if (due < now) due = now;
                break;
            }
            const uint64_t seen = requests_;
            wake_.wait_until(lock, due, [&] { return !mgcpRunning || requests_ != seen; });
        }
    }
}
