#include "tests/server/ServerFixture.h"

namespace servertest {

IecServer& startedServer() {
    static IecServer* server = [] {
        auto* s = new IecServer;  // lives for the whole test process, like the daemon's
        s->config.iec61850TcpPort = testsupport::freeLoopbackPort();
        IecServer::setScheduleServiceForTesting(std::make_shared<RecordingSchedules>());
        s->initIecServer();
        return s;
    }();
    return *server;
}

}  // namespace servertest
