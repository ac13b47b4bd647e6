#pragma once
// Time sources of the daemon: wall-clock milliseconds and steady time. Tests
// replace the process clock with a fake one to step through time.

#include <chrono>
#include <cstdint>
#include <memory>

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since the epoch (UTC).
    virtual uint64_t wallMs() const = 0;
    virtual std::chrono::steady_clock::time_point steadyNow() const = 0;

    uint64_t wallSeconds() const { return wallMs() / 1000; }

    // The process clock (the system clock unless a test installed another).
    static const Clock& get();
    // Installs a clock for the whole process; null restores the system clock.
    static void setForTesting(std::shared_ptr<Clock> clock);
};

// A clock that only moves when told to.
class FakeClock : public Clock {
public:
    explicit FakeClock(uint64_t wallMs = 1767225600000ULL) : wall_(wallMs) {}
    uint64_t wallMs() const override { return wall_; }
    std::chrono::steady_clock::time_point steadyNow() const override {
        return std::chrono::steady_clock::time_point(std::chrono::milliseconds(steadyMs_));
    }
    void advanceMs(uint64_t ms) {
        wall_ += ms;
        steadyMs_ += ms;
    }
    void setWallMs(uint64_t ms) { wall_ = ms; }

private:
    uint64_t wall_;
    uint64_t steadyMs_ = 1000000;
};
