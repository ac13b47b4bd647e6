// Starting the server: install the service modules, then listen.
#include "iec61850/iec61850_server.h"
#include "iec61850/mms/mms_services.h"

void IedServer_startThreadless(IedServer self, int tcpPort) {
    if (self == nullptr) return;
#ifdef IEC61850_HAVE_VARIABLE_SERVICES
    MmsVariableServices_install(self);
#endif
#ifdef IEC61850_HAVE_FILE_SERVICES
    MmsFileServices_install(self);
#endif
    MmsServer_startListening(self, tcpPort);
}
