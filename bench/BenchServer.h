#pragma once
// Set-up shared by the MMS benchmarks: the server on the static model,
// listening on a free loopback port, its loop on a thread of its own, and
// one associated client.

#include <cstdio>
#include <memory>

#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/support/TestSupport.h"

namespace bench {

// False (with a line on stdout) when the server does not listen or the client
// cannot associate.
inline bool startServerWithClient(IedServer& server, int& port, std::unique_ptr<mmstest::ServerLoop>& loop,
                                  mmstest::MmsTestClient& client) {
    server = IedServer_create(getStaticIedModel());
    IedServer_setServerIdentity(server, "Tavelmarck", "generic libIEC", "1.5");
    port = testsupport::freeLoopbackPort();
    IedServer_startThreadless(server, port);
    if (!IedServer_isRunning(server)) {
        std::printf("server does not listen on %d\n", port);
        return false;
    }
    loop = std::make_unique<mmstest::ServerLoop>(server);
    if (!client.associate(port)) {
        std::printf("association failed\n");
        return false;
    }
    return true;
}

}  // namespace bench
