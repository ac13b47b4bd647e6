#pragma once
// The server core started once per test process on the static model, with a
// recording schedule double in place of schedule management (so no system bus
// is needed), and a per-test fixture that installs a fresh double.

#include <gtest/gtest.h>

#include <memory>

#include "server/IecServer.h"
#include "foundation/ModelLookup.h"
#include "server/Serialization.h"
#include "server/SlotBook.h"
#include "tests/server/RecordingSchedules.h"
#include "tests/support/TestSupport.h"

namespace servertest {

// The one IecServer of the test process, its MMS server listening on a free port.
IecServer& startedServer();

inline DataAttribute* attr(const char* ld, const char* ln, const char* dobj, const char* da) {
    return findDataAttribute(ld, ln, dobj, da);
}

class ServerCoreTest : public testsupport::IecTest {
protected:
    ServerCoreTest() {
        startedServer();
        IecServer::setScheduleServiceForTesting(schedules);
        IecServer::slots().clear();
        persistedSlots.clear();
        serialization.debug = true;
        syslog.clear();  // the first test also sees the server's start-up lines
    }
    ~ServerCoreTest() override {
        IecServer::slots().clear();
        persistedSlots.clear();
    }

    std::shared_ptr<RecordingSchedules> schedules = std::make_shared<RecordingSchedules>();
};

}  // namespace servertest
