// The creators of the interface classes built into this daemon. A class that
// is not built here has no creator; IecServer then logs that it is missing.
#include <thread>

#include "server/IecServer.h"
#include "server/InterfaceOwner.h"

#ifdef IEC_HAVE_NYMEA
#include "internal/InternalInterfaceNymea.h"
#endif

InterfaceFactory InterfaceFactory::production() {
    InterfaceFactory factory;
#ifdef IEC_HAVE_NYMEA
    factory.nymea = [](IecServer& server, int port) {
        return InterfaceOwner<InternalInterfaceNymea>::adopt(std::make_unique<InternalInterfaceNymea>(server, port));
    };
#endif
    factory.pause = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    return factory;
}
