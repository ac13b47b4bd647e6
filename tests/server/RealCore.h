#pragma once
// The one core of a test process with the real schedule handling (which
// needs a system bus while it is created), its MMS server on a free port,
// in debug mode (the value file in the working directory). It lives for the
// whole test process, like the daemon's.

#include <functional>
#include <vector>

#include "foundation/Clock.h"
#include "foundation/ModelLookup.h"
#include "server/IecServer.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace servertest {

inline IecServer& realCore() {
    static IecServer* core = [] {
        testsupport::PrivateSystemBus bus;
        auto* s = new IecServer;
        s->config.iec61850TcpPort = testsupport::freeLoopbackPort();
        s->debugMode = true;
        s->initIecServer();
        return s;
    }();
    return *core;
}

// The schedule node of CLS1 that the tests of a limit that cannot be stored
// operate, and the model attributes they watch.
inline constexpr const char* kNode = "EmpDCmd_FSCH050001";
struct WatchedModel {
    DataAttribute* anOut1 = findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal", "f");
    DataAttribute* anOut1Cls2 = findSubDataAttribute("CLS2", "ActPow_GGIO001", "AnOut1", "mxVal", "f");
    DataAttribute* state = findDataAttribute("CLS1", kNode, "SchdSt", "stVal");
    DataAttribute* valueInModel = findSubDataAttribute("CLS1", kNode, "ValASG001", "setMag", "f");
};

// The gateways' three write entry points, each with a limit of its own (an
// LPC of lpcWatts, an LPP, an LPC with a start time), for the tests of a
// limit that cannot be stored.
struct EntryPointWrite {
    const char* what;
    std::function<bool()> call;
};
inline std::vector<EntryPointWrite> entryPointWrites(IecServer& core, float lpcWatts) {
    return {
        {"LPC", [&core, lpcWatts] { return core.writeLpcToIec61850(0, true, lpcWatts); }},
        {"LPP", [&core] { return core.writeLppToIec61850(0, true, 1000.0f); }},
        {"LPC with start time",
         [&core] { return core.writeLpcWithStartTimeToIec61850(Clock::get().wallMs(), 900, "CLS1", true, 1500.0f); }},
    };
}

}  // namespace servertest
