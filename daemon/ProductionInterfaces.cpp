// The creators of the interface classes built into this daemon: the one unit
// that knows the concrete interface classes.
#include <thread>

#include "external/ExternalInterfaceCLSEEDI.h"
#include "external/ExternalInterfaceMoreVale.h"
#include "external/ExternalInterfaceServiceIn.h"
#include "internal/InternalInterfaceDBUS.h"
#include "internal/InternalInterfaceJSONRPC.h"
#include "internal/InternalInterfaceNymea.h"
#include "internal/InternalInterfaceNymeaEEBUS.h"
#include "server/IecServer.h"
#include "server/InterfaceOwner.h"

InterfaceFactory InterfaceFactory::production() {
    InterfaceFactory factory;
    factory.nymea = [](IecServer& server, int port) {
        return InterfaceOwner<InternalInterfaceNymea>::adopt(std::make_unique<InternalInterfaceNymea>(server, port));
    };
    factory.homeBalance = [](const InterfaceOwner<InternalInterfaceNymea>& owner) {
        HomeBalance balance;
        const InternalInterfaceNymea* nymea = owner.get();
        if (nymea == nullptr) return balance;
        balance.activePower = {nymea->currentPowerPhaseA, nymea->currentPowerPhaseB, nymea->currentPowerPhaseC};
        balance.current = {nymea->currentPhaseA, nymea->currentPhaseB, nymea->currentPhaseC};
        balance.voltage = {nymea->voltagePhaseA, nymea->voltagePhaseB, nymea->voltagePhaseC};
        return balance;
    };
    factory.moreVale = [](IecServer& server) {
        auto gateway = std::make_unique<ExternalInterfaceMoreVale>(server);
        gateway->startMqttLoop();
        return InterfaceOwner<ExternalInterfaceMoreVale>::adopt(std::move(gateway));
    };
    factory.dbus = [](IecServer& server) {
        return InterfaceOwner<InternalInterfaceDBUS>::adopt(std::make_unique<InternalInterfaceDBUS>(server));
    };
    factory.jsonrpc = [](IecServer& server) {
        return InterfaceOwner<InternalInterfaceJSONRPC>::adopt(std::make_unique<InternalInterfaceJSONRPC>(server));
    };
    factory.eebus = [](IecServer& server, int port) {
        return InterfaceOwner<InternalInterfaceNymeaEEBUS>::adopt(
            std::make_unique<InternalInterfaceNymeaEEBUS>(server, port));
    };
    factory.serviceIn = [](IecServer& server) {
        return InterfaceOwner<ExternalInterfaceServiceIn>::adopt(std::make_unique<ExternalInterfaceServiceIn>(server));
    };
    factory.resetServiceInCache = [](InterfaceOwner<ExternalInterfaceServiceIn>& owner) {
        if (owner.get() != nullptr) owner.get()->resetCachedValues();
    };
    factory.clseedi = [](IecServer& server) {
        auto gateway = std::make_unique<ExternalInterfaceCLSEEDI>(server);
        gateway->startMqttLoop();  // the result is in the log; the gateway runs either way
        return InterfaceOwner<ExternalInterfaceCLSEEDI>::adopt(std::move(gateway));
    };
    factory.pause = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
    return factory;
}
