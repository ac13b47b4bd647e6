#include "external/ExternalInterfaceServiceIn.h"

#include <syslog.h>

#include <cmath>
#include <iostream>
#include <stdexcept>

#include "foundation/Logging.h"
#include "foundation/ThreadName.h"
#include "foundation/Paths.h"
#include "server/IecCore.h"

namespace {

constexpr const char* kConsumer = "gpio_read";

float productionFactor(int32_t state) {
    switch (state) {
        case ExternalInterfaceServiceIn::LPP_SERVICE_IN_STATE_60_PERCENT:
            return 0.6f;
        case ExternalInterfaceServiceIn::LPP_SERVICE_IN_STATE_30_PERCENT:
            return 0.3f;
        case ExternalInterfaceServiceIn::LPP_SERVICE_IN_STATE_0_PERCENT:
            return 0.0f;
        default:
            return 1.0f;
    }
}

}  // namespace

ExternalInterfaceServiceIn::ExternalInterfaceServiceIn(IecCore& server)
    : ExternalInterfaceServiceIn(server, ServiceInOptions{}) {}

ExternalInterfaceServiceIn::ExternalInterfaceServiceIn(IecCore& server, ServiceInOptions options)
    : iecServer(server), gpio(std::move(options.gpio)), cycle(options.cycle) {
    logLevel = 5;
    readLogLevel(&logLevel);
    debugMode = server.isDebugMode();
    if (!gpio) gpio = makeDefaultGpioBackend();
    logMessage(&logLevel, LOG_NOTICE, "ServiceIn Konstruktor ---> Initializing ServiceIn");
    if (debugMode) {
        std::cout << "ExternalInterfaceServiceIn: Debug mode is enabled." << std::endl;
        logMessage(&logLevel, LOG_INFO, "ExternalInterfaceServiceIn: Started with debug mode enabled.");
    } else {
        logMessage(&logLevel, LOG_INFO, "ExternalInterfaceServiceIn: Started with debug mode disabled.");
    }
    if (options.startThread) {
        running = true;
        pollThread = namedThread("relay-poll", [this] { pollServiceIns(); });
    }
    logMessage(&logLevel, LOG_NOTICE, "ServiceIn Konstruktor ---> Initialized ServiceIn");
}

ExternalInterfaceServiceIn::~ExternalInterfaceServiceIn() {
    logMessage(&logLevel, LOG_NOTICE, "ServiceIn Destruktor ---> Deactivating ServiceIn");
    {
        std::lock_guard<std::mutex> lock(mutex);
        running = false;
    }
    stopped.notify_all();
    if (pollThread.joinable()) {
        pollThread.join();
        logMessage(&logLevel, LOG_NOTICE, "ServiceIn Destruktor ---> Stopped pollServiceIns thread");
    }
    logMessage(&logLevel, LOG_NOTICE, "ServiceIn Destruktor ---> Deactivated ServiceIn");
}

const char* ExternalInterfaceServiceIn::lpcStateName(int32_t state) {
    switch (state) {
        case LPC_SERVICE_IN_STATE_UNRESTRICTED:
            return "LPC_SERVICE_IN_STATE_UNRESTRICTED";
        case LPC_SERVICE_IN_STATE_DIMMED:
            return "LPC_SERVICE_IN_STATE_DIMMED";
        case LPC_SERVICE_IN_STATE_UNUSED:
            return "LPC_SERVICE_IN_STATE_UNUSED";
        default:
            throw std::invalid_argument("Invalid state");
    }
}

ExternalInterfaceServiceIn::Snapshot ExternalInterfaceServiceIn::snapshot() const {
    std::lock_guard<std::mutex> lock(mutex);
    return {gpio12,   gpio13,   gpio14, gpio15, lpcState, lppState, cachedLpcKw.value, cachedLppW.value,
            cachedLppW.active};
}

void ExternalInterfaceServiceIn::resetCachedValues() {
    std::lock_guard<std::mutex> lock(mutex);
    cachedLpcKw = {-1.0f, false};
    cachedLppW = {-1.0f, false};
    ++cacheGeneration;
    logMessage(&logLevel, LOG_INFO, "ServiceIn: Cached LPC/LPP values reset.");
}

void ExternalInterfaceServiceIn::storeCache(CachedLimit& cache, CachedLimit value, uint64_t generation) {
    std::lock_guard<std::mutex> lock(mutex);
    // A reset that came during this cycle wins over the cycle's older view.
    if (generation == cacheGeneration) cache = value;
}

// ---------------------------------------------------------------------------
// The polling thread

void ExternalInterfaceServiceIn::pollServiceIns() {
    while (running) {
        try {
            runCycle();
        } catch (const std::exception& e) {
            logMessage(&logLevel, LOG_ERR, "ServiceIn: Cycle failed: %s", e.what());
        }
        logMessage(&logLevel, LOG_DEBUG, "serviceIn: pollServiceIns sleep for %d ms", static_cast<int>(cycle.count()));
        std::unique_lock<std::mutex> lock(mutex);
        stopped.wait_for(lock, cycle, [this] { return !running; });
    }
}

void ExternalInterfaceServiceIn::runCycle() {
    int32_t lpc;
    int32_t lpp;
    {
        std::lock_guard<std::mutex> lock(mutex);
        readGpios();
        evaluateGpioStates();
        lpc = lpcState;
        lpp = lppState;
    }
    loadThings();
    updateLpc(lpc);
    updateLpp(lpp);
}

void ExternalInterfaceServiceIn::readGpios() {
    logMessage(&logLevel, LOG_INFO, "ServiceIn: Reading ServiceIn GPIOs...");
    if (debugMode) std::cout << "Reading ServiceIn GPIOs..." << std::endl;
    int raw[4] = {-1, -1, -1, -1};
    GpioBackend::Chip* chip = gpio->openChipByLabel(kChipLabel);
    if (chip == nullptr) {
        std::cerr << "Error: Unable to open chip " << kChipLabel << std::endl;
        logMessage(&logLevel, LOG_ERR, "ServiceIn: Error: Unable to open chip %s", kChipLabel);
    } else {
        for (unsigned i = 0; i < 4; ++i) {
            const unsigned pin = kFirstPin + i;
            GpioBackend::Line* line = gpio->getLine(chip, pin);
            if (line == nullptr) {
                std::cerr << "Error: Unable to get line for pin " << pin << std::endl;
                logMessage(&logLevel, LOG_ERR, "Error: Unable to get line for pin %u", pin);
                continue;
            }
            if (gpio->requestInput(line, kConsumer) < 0) {
                std::cerr << "Error: Request line as input failed for pin " << pin << std::endl;
                logMessage(&logLevel, LOG_ERR, "ServiceIn: Error: Request line as input failed for pin %u", pin);
            } else {
                const int value = gpio->getValue(line);
                if (value < 0) {
                    std::cerr << "Error: gpiod_line_get_value failed for pin " << pin << std::endl;
                    logMessage(&logLevel, LOG_ERR, "ServiceIn: Error: gpiod_line_get_value failed for pin %u", pin);
                } else {
                    raw[i] = value;
                }
            }
            gpio->releaseLine(line);
        }
        gpio->closeChip(chip);
    }
    int32_t* readings[4] = {&gpio12, &gpio13, &gpio14, &gpio15};
    for (unsigned i = 0; i < 4; ++i) {
        if (raw[i] == -1) {
            *readings[i] = -1;
            continue;
        }
        logMessage(&logLevel, LOG_INFO, "ServiceIn: GPIO%u = %d", kFirstPin + i, raw[i]);
        if (debugMode) std::cout << "GPIO" << kFirstPin + i << " = " << raw[i] << std::endl;
        *readings[i] = raw[i] == 1 ? 1 : 0;
    }
    logMessage(&logLevel, LOG_INFO, "ServiceIn: Reading ServiceIn GPIOs done.");
    if (debugMode) std::cout << "ServiceIn: Reading ServiceIn GPIOs done." << std::endl;
}

void ExternalInterfaceServiceIn::evaluateGpioStates() {
    if (debugMode) {
        std::cout << "Current ServiceIn configuration: " << gpio12 << " " << gpio13 << " " << gpio14 << " " << gpio15
                  << std::endl;
    }
    if (gpio12 == -1) {
        lpcState = LPC_SERVICE_IN_STATE_UNUSED;
        logMessage(&logLevel, LOG_WARNING, "ServiceIn: LPC: GPIO12 unused/invalid.");
    } else if (gpio12 == 1) {
        lpcState = LPC_SERVICE_IN_STATE_DIMMED;
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC: Dimmed / limit active (GPIO12=1).");
    } else {
        lpcState = LPC_SERVICE_IN_STATE_UNRESTRICTED;
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC: Unrestricted (GPIO12=0).");
    }

    if (gpio13 == -1 || gpio14 == -1 || gpio15 == -1) {
        lppState = LPP_SERVICE_IN_STATE_UNUSED;
        logMessage(&logLevel, LOG_WARNING, "ServiceIn: LPP: one or more GPIOs unused/invalid.");
        return;
    }
    const int mask = gpio13 * 4 + gpio14 * 2 + gpio15;
    switch (mask) {
        case 0:
            lppState = LPP_SERVICE_IN_STATE_UNRESTRICTED;
            logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP: Unrestricted (13=0,14=0,15=0).");
            break;
        case 4:
            lppState = LPP_SERVICE_IN_STATE_0_PERCENT;
            logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP: 0%% limit (13=1,14=0,15=0).");
            break;
        case 2:
            lppState = LPP_SERVICE_IN_STATE_30_PERCENT;
            logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP: 30%% limit (13=0,14=1,15=0).");
            break;
        case 1:
            lppState = LPP_SERVICE_IN_STATE_60_PERCENT;
            logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP: 60%% limit (13=0,14=0,15=1).");
            break;
        default:
            lppState = LPP_SERVICE_IN_STATE_UNUSED;
            logMessage(&logLevel, LOG_WARNING, "ServiceIn: LPP: Invalid/undefined GPIO combination (mask=%d).", mask);
            break;
    }
}

void ExternalInterfaceServiceIn::loadThings() {
    const servicein::LogContext log{&logLevel, debugMode};
    const servicein::SettingsStore store = servicein::readSettingsFile(paths::resolve(kSettingsFile), log);
    servicein::DeviceSettings settings = servicein::parseThings(store, log);
    things = std::move(settings.things);
    pvClsPeakKwSum = settings.pvClsPeakKwSum;
}

// ---------------------------------------------------------------------------
// Limits

void ExternalInterfaceServiceIn::updateLpc(int32_t state) {
    if (state == LPC_SERVICE_IN_STATE_UNUSED) {
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - not written because InterfaceStateLPC is %s",
                   lpcStateName(state));
        return;
    }
    const float pMin = servicein::calculatePmin(things, state, {&logLevel, debugMode});
    const bool active = state == LPC_SERVICE_IN_STATE_DIMMED;
    CachedLimit cached;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex);
        cached = cachedLpcKw;
        generation = cacheGeneration;
    }
    if (std::fabs(pMin - cached.value) <= 0.01f && active == cached.active) {
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - not written because LPC_value did not change: %.2f kW", pMin);
        return;
    }
    logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - writing LPC (state=%s): %.2f kW", lpcStateName(state), pMin);
    if (!writeLpc(pMin, state)) {
        logMessage(&logLevel, LOG_ERR, "ServiceIn: LPC - the write of %.2f kW was refused; trying again next cycle.",
                   pMin);
        return;
    }
    storeCache(cachedLpcKw, {pMin, active}, generation);
}

bool ExternalInterfaceServiceIn::writeLpc(float pMinKw, int32_t state) {
    if (state == LPC_SERVICE_IN_STATE_DIMMED) {
        const float watts = pMinKw * 1000.0f;
        if (!std::isfinite(watts)) {
            logMessage(&logLevel, LOG_ERR, "ServiceIn: LPC - computed P_min is no finite number; not written.");
            return false;
        }
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - Activating LPC with %f W", watts);
        if (!iecServer.writeLpcToIec61850(0, true, watts)) return false;
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC successfully activated with %f W", watts);
        return true;
    }
    logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - Deactivating LPC...");
    if (iecServer.checkIfLPCisAlreadyDeactivated()) {
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - LPC is already deactivated. No action needed.");
        return true;
    }
    if (!iecServer.writeLpcToIec61850(0, false, -1)) return false;
    logMessage(&logLevel, LOG_INFO, "ServiceIn: LPC - LPC successfully deactivated.");
    return true;
}

void ExternalInterfaceServiceIn::updateLpp(int32_t state) {
    if (state == LPP_SERVICE_IN_STATE_UNUSED) {
        logMessage(&logLevel, LOG_INFO,
                   "ServiceIn: LPP - not written because InterfaceStateLPP is LPP_SERVICE_IN_STATE_UNUSED");
        return;
    }
    float pLpp = 0;
    if (pvClsPeakKwSum > 0) {
        const float factor = productionFactor(state);
        pLpp = (pvClsPeakKwSum * factor) * 1000.0f;
        logMessage(&logLevel, LOG_INFO,
                   "ServiceIn: LPP state=%d (%.0f%%), PV_CLS_peak_kW_Sum=%.3f kW → P_lpp=%.0f W", state,
                   factor * 100.0f, pvClsPeakKwSum, pLpp);
    } else {
        logMessage(&logLevel, LOG_INFO, "ServiceIn: No PV_CLS_peak_kW_Sum set. Returning 0 W for LPP.");
    }
    const bool active = state != LPP_SERVICE_IN_STATE_UNRESTRICTED;
    CachedLimit cached;
    uint64_t generation;
    {
        std::lock_guard<std::mutex> lock(mutex);
        cached = cachedLppW;
        generation = cacheGeneration;
    }
    // Value and active flag together: leaving a 0-W limit for "unrestricted" is a change.
    if (std::isfinite(cached.value) && std::fabs(pLpp - cached.value) <= 0.1f && active == cached.active) {
        logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP not written (unchanged): %.0f W", pLpp);
        return;
    }
    // A PV sum beyond any real plant: no active limit can be made of it. The
    // deactivation ("unrestricted") writes 0 whatever the computed value is,
    // so it goes on.
    if (active && !std::isfinite(pLpp)) {
        logMessage(&logLevel, LOG_ERR,
                   "ServiceIn: LPP - computed limit is no finite number (PV_CLS_peak_kW_Sum=%.3f kW); not written.",
                   pvClsPeakKwSum);
        return;
    }
    logMessage(&logLevel, LOG_INFO, "ServiceIn: Writing LPP: %.0f W", pLpp);
    bool ok;
    if (active) {
        ok = iecServer.writeLppToIec61850(0, true, pLpp);
        if (ok) logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP successfully activated with %.0f W", pLpp);
    } else {
        logMessage(&logLevel, LOG_INFO, "ServiceIn: Deactivating LPP (unrestricted).");
        if (iecServer.checkIfLPPisAlreadyDeactivated()) {
            logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP already deactivated. No action needed.");
            ok = true;
        } else {
            ok = iecServer.writeLppToIec61850(0, false, 0);
            if (ok) logMessage(&logLevel, LOG_INFO, "ServiceIn: LPP successfully deactivated.");
        }
    }
    if (!ok) {
        logMessage(&logLevel, LOG_ERR, "ServiceIn: LPP - the write of %.0f W was refused; trying again next cycle.",
                   pLpp);
        return;
    }
    storeCache(cachedLppW, {pLpp, active}, generation);
}
