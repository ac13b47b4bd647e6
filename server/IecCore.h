#pragma once
// What the interface classes (internal/, external/) use of the server core,
// and nothing more. IecServer implements it; the interfaces and their tests
// see only this class (unit tests hand in a recording double).
//
// Threads: every call may come from any thread. The write entry points and
// resendLpc run the processing road on the calling thread and return after
// the slot was processed, the schedule store written and every listener ran;
// they take the road lock themselves, so a caller must never hold it (and a
// listener must never call them: see registerCallback).

#include <array>
#include <cstdint>
#include <map>
#include <string>

#include "iec61850/iec61850_server.h"
#include "foundation/Callbacks.h"
#include "server/ActiveLimit.h"

// Start time (ms since the epoch) -> limit in W, ascending.
using PowerLimitScheduleMap = std::map<uint64_t, int64_t>;

// The home's per-phase measurements of L1, L2, L3 (in that order), as the
// home platform interface holds them.
struct HomeBalance {
    std::array<float, 3> activePower{};
    std::array<float, 3> current{};
    std::array<float, 3> voltage{};
};

class IecCore {
public:
    virtual ~IecCore() = default;

    // The "--debug" flag of the command line.
    virtual bool isDebugMode() const = 0;
    // "nymea_tcpPort" of "IECServer.conf".
    virtual int getNymeaTcpPort() const = 0;

    // Power-limit write entry points ("CLS1" carries LPC, "CLS2" LPP).
    virtual bool writePowerLimitToIec61850(const std::string& clsDevice, int durationSeconds, bool active,
                                           float limitW) = 0;
    virtual bool writeLpcToIec61850(int durationSeconds, bool active, float limitW) = 0;
    virtual bool writeLppToIec61850(int durationSeconds, bool active, float limitW) = 0;
    virtual bool writeLpcWithStartTimeToIec61850(uint64_t startTimeMs, int durationSeconds,
                                                 const std::string& clsDevice, bool active, float limitW) = 0;

    // Read-backs of what the schedule handling published (never wait for a running road).
    virtual float getActiveValue(int cls) = 0;
    virtual int32_t getActiveMultiplier(int cls) = 0;
    virtual std::string getActiveScheduleName(int cls) = 0;
    virtual bool checkIfLPCisAlreadyDeactivated() = 0;
    virtual bool checkIfLPPisAlreadyDeactivated() = 0;
    virtual int64_t getTotalDuration() = 0;
    // The limit of a CLS as the model holds it ("ActPow_GGIO001.AnOut1"), read
    // under the data-model lock: what every listener and gateway reports.
    virtual ActiveLimit readActiveLimit(int cls) const = 0;
    // The limit schedule of a CLS as the schedule handling hands it on.
    virtual PowerLimitScheduleMap getScheduleData(int cls) = 0;

    // Hands every schedule to the store again and calls the listeners for CLS1 and CLS2.
    virtual void resendLpc() = 0;

    // The power-limit source named by the home platform ("eebus", "relais", ...).
    virtual void setPowerLimitSource(const std::string& source) = 0;
    virtual std::string getPowerLimitSource() const = 0;

    // Listener registry. A listener is called with the CLS number on the
    // thread that ran the road, inside the road, one listener after the
    // other. It must return promptly: never wait on the network, never call
    // a write entry point or resendLpc (another road), never register or
    // unregister listeners. Hand slow work to a thread of your own.
    virtual void registerCallback(const std::string& name, CallbackFunction listener) = 0;
    virtual void unregisterCallback(const std::string& name) = 0;

    // The IEC 61850 server holding the model (null before the start-up created it).
    virtual IedServer getIedServer() const = 0;

    // The per-phase measurements of the home platform interface (all 0 while
    // there is none). Any thread; reads without a lock.
    virtual HomeBalance homeBalance() const = 0;
};
