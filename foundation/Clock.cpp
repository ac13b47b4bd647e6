#include "foundation/Clock.h"

#include <atomic>

namespace {

class SystemClock : public Clock {
public:
    uint64_t wallMs() const override {
        using namespace std::chrono;
        return static_cast<uint64_t>(duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count());
    }
    std::chrono::steady_clock::time_point steadyNow() const override { return std::chrono::steady_clock::now(); }
};

std::shared_ptr<Clock>& installed() {
    static std::shared_ptr<Clock> clock;
    return clock;
}

}  // namespace

const Clock& Clock::get() {
    static SystemClock systemClock;
    auto clock = std::atomic_load(&installed());
    return clock ? *clock : systemClock;
}

void Clock::setForTesting(std::shared_ptr<Clock> clock) { std::atomic_store(&installed(), std::move(clock)); }
