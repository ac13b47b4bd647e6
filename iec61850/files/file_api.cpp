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
    registerMethod(server, services, MMS_SERVICE_FILE_DIRECTORY, &FileServices::fileDirectory);
    registerMethod(server, services, MMS_SERVICE_FILE_OPEN, &FileServices::fileOpen);
    registerMethod(server, services, MMS_SERVICE_FILE_READ, &FileServices::fileRead);
    registerMethod(server, services, MMS_SERVICE_FILE_CLOSE, &FileServices::fileClose);
    registerMethod(server, services, MMS_SERVICE_FILE_DELETE, &FileServices::fileDelete);
    registerMethod(server, services, MMS_SERVICE_FILE_RENAME, &FileServices::fileRename);
    // ObtainFile (FileServices::obtainFile) answers only after the file has
    // come over, but the dispatch sends every answer when its handler
    // returns. It stays unregistered, and so unsupported in the Initiate
    // answer, until the dispatch can take an answer later.

    MmsConnectionHooks hooks;
    hooks.opened = [](sMmsServerConnection*) {};
    hooks.closed = [&services](sMmsServerConnection* connection) { services.connectionClosed(connection); };
    hooks.periodic = [] {};
    MmsServer_addConnectionHooks(server, std::move(hooks));
}
