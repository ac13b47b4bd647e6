// The creators of the interface classes built into this daemon: the one unit
// that knows the concrete interface classes.
#include <thread>

#include "external/ExternalInterfaceMoreVale.h"
#include "internal/InternalInterfaceNymea.h"
#include "server/IecServer.h"
#include "server/InterfaceOwner.h"

InterfaceFactory InterfaceFactory::production() {
    InterfaceFactory factory;
    factory.nymea = [](IecServer& server, int port) {
        return InterfaceOwner<InternalInterfaceNymea>::adopt(std::make_unique<InternalInterfaceNymea>(server, port));
    };
    factory.moreVale = [](IecServer& server, InternalInterfaceNymea* nymea) {
        auto gateway = std::make_unique<ExternalInterfaceMoreVale>(server, nymea);
        gateway->startMqttLoop();
        return InterfaceOwner<ExternalInterfaceMoreVale>::adopt(std::move(gateway));
    };
    factory.pause = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    return factory;
}
