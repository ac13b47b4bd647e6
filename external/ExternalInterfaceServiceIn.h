#pragma once
// The relay-contact limit source: four relay contacts of the grid operator on
// GPIO lines 12..15 of the chip labelled "pelmox". Line 12 dims consumption
// (LPC = P_min from the home's device settings); lines 13..15 select a
// production step of 0, 30 or 60 % of the controllable PV peak power (LPP).
//
// A polling thread reads the lines, re-reads the settings file and writes LPC
// and LPP through the core when a value changed against its cache, every
// 10 s. The destructor stops the wait at once and joins the thread.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "external/GpioLines.h"
#include "external/ServiceInSettings.h"

class IecCore;

struct ServiceInOptions {
    // The GPIO calls (null: makeDefaultGpioBackend()).
    std::unique_ptr<GpioBackend> gpio;
    // Pause between two cycles.
    std::chrono::milliseconds cycle{10000};
    // False: no polling thread; the caller runs the cycles (tests).
    bool startThread = true;
};

class ExternalInterfaceServiceIn {
public:
    enum InterfaceStateLPC : int32_t {
        LPC_SERVICE_IN_STATE_UNRESTRICTED = 0,
        LPC_SERVICE_IN_STATE_DIMMED = 1,
        LPC_SERVICE_IN_STATE_UNUSED = 2,
    };
    enum InterfaceStateLPP : int32_t {
        LPP_SERVICE_IN_STATE_UNRESTRICTED = 0,
        LPP_SERVICE_IN_STATE_60_PERCENT = 1,
        LPP_SERVICE_IN_STATE_30_PERCENT = 2,
        LPP_SERVICE_IN_STATE_0_PERCENT = 3,
        LPP_SERVICE_IN_STATE_UNUSED = 4,
    };

    static constexpr const char* kChipLabel = "pelmox";
    static constexpr const char* kSettingsFile = "/etc/nymea/tavelmarck.conf";
    static constexpr unsigned kFirstPin = 12;

    explicit ExternalInterfaceServiceIn(IecCore& server);
    ExternalInterfaceServiceIn(IecCore& server, ServiceInOptions options);
    ~ExternalInterfaceServiceIn();
    ExternalInterfaceServiceIn(const ExternalInterfaceServiceIn&) = delete;
    ExternalInterfaceServiceIn& operator=(const ExternalInterfaceServiceIn&) = delete;

    // Forgets the cached LPC and LPP values, so the next cycle writes again.
    void resetCachedValues();

    // One polling cycle: read the lines, evaluate, load the settings, update LPC and LPP.
    void runCycle();

    // "LPC_SERVICE_IN_STATE_..."; std::invalid_argument("Invalid state") for other values.
    static const char* lpcStateName(int32_t state);

    // What the cycle last saw and cached.
    struct Snapshot {
        int32_t gpio12, gpio13, gpio14, gpio15;
        int32_t lpcState, lppState;
        float cachedLpcKw, cachedLppW;
        bool cachedLppActive;
    };
    Snapshot snapshot() const;

private:
    // A value handed to a write, with whether the write made it an active limit.
    struct CachedLimit {
        float value;
        bool active;
    };

    void pollServiceIns();
    void readGpios();
    void evaluateGpioStates();
    void loadThings();
    void updateLpc(int32_t state);
    bool writeLpc(float pMinKw, int32_t state);
    void updateLpp(int32_t state);
    // Stores value in cache unless a reset came since generation was read.
    void storeCache(CachedLimit& cache, CachedLimit value, uint64_t generation);

    std::atomic<bool> running{false};
    uint32_t logLevel = 5;
    bool debugMode = false;
    CachedLimit cachedLpcKw{-1.0f, false};
    float pvClsPeakKwSum = 0;
    CachedLimit cachedLppW{-1.0f, false};
    int32_t gpio12 = -1;
    int32_t gpio13 = -1;
    int32_t gpio14 = -1;
    int32_t gpio15 = -1;
    int32_t lpcState = LPC_SERVICE_IN_STATE_UNUSED;
    int32_t lppState = LPP_SERVICE_IN_STATE_UNUSED;
    std::vector<servicein::Thing> things;
    IecCore& iecServer;
    std::unique_ptr<GpioBackend> gpio;
    std::chrono::milliseconds cycle;
    std::thread pollThread;
    // Guards the readings, the states, the caches, cacheGeneration and the stop.
    mutable std::mutex mutex;
    std::condition_variable stopped;
    uint64_t cacheGeneration = 0;
};
