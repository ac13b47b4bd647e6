#pragma once
// The home-platform connection's waits, shortened for the tests.

#include <chrono>

#include "internal/InternalInterfaceNymea.h"

inline NymeaTimings shortTimings() {
    using namespace std::chrono_literals;
    NymeaTimings t;
    t.probeInterval = 20ms;
    t.sourceRetryInterval = 50ms;
    t.reconnectPause = 50ms;
    t.responseTimeout = 300ms;
    t.listenerPollSlice = 20ms;
    t.startupSourceQueries = 3;
    t.balanceInterval = 20ms;
    return t;
}
