// Starting the server: install the service modules, then listen.
#include "iec61850/iec61850_server.h"
#include "iec61850/mms/mms_services.h"

void IedServer_startThreadless(IedServer self, int tcpPort) {
    if (self == nullptr) return;
    MmsVariableServices_install(self);
    MmsFileServices_install(self);
    MmsServer_startListening(self, tcpPort);
}
