// Registration of the variable services with the MMS protocol machine.
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/mms_services.h"
#include "iec61850/services/variable_services.h"

namespace services {

void installVariableServices(IedServer server) {
    if (server == nullptr || server->model == nullptr) return;
    auto state = std::make_shared<ServicesState>(server, [](sMmsServerConnection* connection, std::vector<uint8_t> pdu) {
        return MmsServerConnection_sendUnconfirmedPdu(connection, std::move(pdu));
    });
    server->services = state;
    VariableServices* services = &state->variables;
    auto bind = [services](MmsServiceResult (VariableServices::*method)(const MmsServiceContext&,
                                                                        std::span<const uint8_t>)) {
        return [services, method](MmsServiceContext& ctx, std::span<const uint8_t> content, bool) {
            return (services->*method)(ctx, content);
        };
    };
    MmsServer_registerService(server, MMS_SERVICE_GET_NAME_LIST, bind(&VariableServices::getNameList));
    MmsServer_registerService(server, MMS_SERVICE_GET_VARIABLE_ACCESS_ATTRIBUTES,
                              bind(&VariableServices::getVariableAccessAttributes));
    MmsServer_registerService(server, MMS_SERVICE_READ, bind(&VariableServices::read));
    MmsServer_registerService(server, MMS_SERVICE_WRITE, bind(&VariableServices::write));
    MmsServer_registerService(server, MMS_SERVICE_GET_NAMED_VARIABLE_LIST_ATTRIBUTES,
                              bind(&VariableServices::getNamedVariableListAttributes));
    MmsServer_registerService(server, MMS_SERVICE_READ_JOURNAL, bind(&VariableServices::readJournal));
    MmsConnectionHooks hooks;
    hooks.closed = [services](sMmsServerConnection* connection) { services->connectionClosed(connection); };
    hooks.periodic = [services] { services->periodic(); };
    MmsServer_addConnectionHooks(server, std::move(hooks));
    services->setWakeUp([server] { MmsServer_signalWork(server); });
    services->setPduSizeOf(&MmsServerConnection_getMaxPduSize);
    server->updateListener = [services](DataAttribute* attr, uint8_t reason) {
        services->reports().onAttributeUpdate(attr, reason);
    };
}

}  // namespace services

void MmsVariableServices_install(sIedServer* server) { services::installVariableServices(server); }
