// The file services' part of the server API and their installation into the
// MMS protocol machine.
#include "iec61850/files/file_services.h"
#include "iec61850/iec61850_server.h"
#include "iec61850/mms/mms_services.h"

using iec61850::files::FileServices;
using iec61850::files::fileServicesOf;

void IedServer_setFilestoreBasepath(IedServer self, const char* basepath) {
    if (self == nullptr || basepath == nullptr) return;
    self->filestoreBasepath = basepath;
}

void IedServer_setFilestoreLimits(IedServer self, FilestoreLimits limits) {
    if (self == nullptr) return;
    self->filestoreLimits = limits;
}

void MmsServer_installFileAccessHandler(MmsServer self, MmsFileAccessHandler handler, void* parameter) {
    sIedServer* server = MmsServer_getIedServer(self);
    if (server == nullptr) return;
    fileServicesOf(server).setAccessHandler(handler, parameter);
}

namespace {

using Method = MmsServiceResult (FileServices::*)(MmsServiceContext&, std::span<const uint8_t>, bool);

void registerMethod(sIedServer* server, FileServices& services, unsigned tag, Method method) {
    MmsServer_registerService(
        server, tag, [&services, method](MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed) {
            return (services.*method)(ctx, content, constructed);
        });
}

}  // namespace

void MmsFileServices_install(sIedServer* server) {
    if (server == nullptr) return;
    FileServices& services = fileServicesOf(server);
    // The server starts: the base directory is resolved and opened now, its
    // leftover upload temporaries removed and its files counted.
    services.store();
    registerMethod(server, services, MMS_SERVICE_FILE_DIRECTORY, &FileServices::fileDirectory);
    registerMethod(server, services, MMS_SERVICE_FILE_OPEN, &FileServices::fileOpen);
    registerMethod(server, services, MMS_SERVICE_FILE_READ, &FileServices::fileRead);
    registerMethod(server, services, MMS_SERVICE_FILE_CLOSE, &FileServices::fileClose);
    registerMethod(server, services, MMS_SERVICE_FILE_DELETE, &FileServices::fileDelete);
    registerMethod(server, services, MMS_SERVICE_FILE_RENAME, &FileServices::fileRename);
    // ObtainFile answers once the file has come over from the client: the
    // server's own requests go over the same association, and the answer
    // follows the last of them.
    MmsServer_registerService(
        server, MMS_SERVICE_OBTAIN_FILE,
        [&services](MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed) {
            sMmsServerConnection* connection = ctx.connection;
            const uint32_t invokeId = ctx.invokeId;
            auto send = [connection](unsigned tag, std::vector<uint8_t> request, bool requestConstructed,
                                     MmsClientResponseHandler onResponse) {
                return MmsServerConnection_sendConfirmedRequest(connection, tag, std::move(request),
                                                                requestConstructed, std::move(onResponse));
            };
            auto respond = [connection, invokeId](MmsServiceResult result) {
                MmsServerConnection_sendServiceResult(connection, invokeId, MMS_SERVICE_OBTAIN_FILE, result);
            };
            return services.obtainFile(ctx, content, constructed, std::move(send), std::move(respond))
                .value_or(MmsServiceResult::deferred());
        });

    MmsConnectionHooks hooks;
    hooks.opened = [](sMmsServerConnection*) {};
    hooks.closed = [&services](sMmsServerConnection* connection) { services.connectionClosed(connection); };
    hooks.periodic = [] {};
    MmsServer_addConnectionHooks(server, std::move(hooks));
}
