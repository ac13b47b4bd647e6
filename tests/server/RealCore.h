#pragma once
// The one core of a test process with the real schedule handling (which
// needs a system bus while it is created), its MMS server on a free port,
// in debug mode (the value file in the working directory). It lives for the
// whole test process, like the daemon's.

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

}  // namespace servertest
