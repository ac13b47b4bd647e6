// The creators of the interface classes built into this daemon: the one unit
// that knows the concrete interface classes.
#include <thread>

#include "external/ExternalInterfaceCLSEEDI.h"
#include "internal/InternalInterfaceNymea.h"
#include "server/IecServer.h"
#include "server/InterfaceOwner.h"

InterfaceFactory InterfaceFactory::production() {
    InterfaceFactory factory;
    factory.nymea = [](IecServer& server, int port) {
        return InterfaceOwner<InternalInterfaceNymea>::adopt(std::make_unique<InternalInterfaceNymea>(server, port));
    };
    factory.clseedi = [](IecServer& server) {
        auto gateway = std::make_unique<ExternalInterfaceCLSEEDI>(server);
        gateway->startMqttLoop();  // the result is in the log; the gateway runs either way
        return InterfaceOwner<ExternalInterfaceCLSEEDI>::adopt(std::move(gateway));
    };
    factory.pause = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    return factory;
}
