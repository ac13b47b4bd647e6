// The parts of the IedServer API that belong to the MMS server: identity,
// handlers, access policy, running and the threadless main-loop calls.
#include <cstring>

#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/mms_server.h"

void IedServer_setServerIdentity(IedServer self, const char* vendor, const char* model, const char* revision) {
    if (self == nullptr) return;
    self->vendor = vendor ? vendor : "";
    self->modelName = model ? model : "";
    self->revision = revision ? revision : "";
}

void IedServer_setConnectionIndicationHandler(IedServer self, IedConnectionIndicationHandler handler,
                                              void* parameter) {
    if (self == nullptr) return;
    self->connectionHandler = handler;
    self->connectionHandlerParameter = parameter;
}

const char* ClientConnection_getPeerAddress(ClientConnection self) {
    return self ? self->peerAddress.c_str() : nullptr;
}

MmsServer IedServer_getMmsServer(IedServer self) { return self ? &mmsState(self).handle : nullptr; }

void IedServer_stopThreadless(IedServer self) {
    if (self != nullptr && self->mms) self->mms->stop();
}

bool IedServer_isRunning(IedServer self) { return self != nullptr && self->mms && self->mms->listening(); }

int IedServer_getStartError(IedServer self) { return self != nullptr && self->mms ? self->mms->startError() : 0; }

int IedServer_waitReady(IedServer self, unsigned int timeoutMs) {
    if (self == nullptr) return 0;
    return mmsState(self).waitReady(timeoutMs);
}

void IedServer_processIncomingData(IedServer self) {
    if (self != nullptr && self->mms) self->mms->processIncomingData();
}

void IedServer_performPeriodicTasks(IedServer self) {
    if (self != nullptr && self->mms) self->mms->performPeriodicTasks();
}

void IedServer_setWriteAccessPolicy(IedServer self, FunctionalConstraint fc, AccessPolicy policy) {
    if (self == nullptr) return;
    // Only SP and CF are open to client writes; every other FC stays closed.
    if (fc == IEC61850_FC_SP) self->writePolicySP = policy;
    else if (fc == IEC61850_FC_CF) self->writePolicyCF = policy;
}

void IedServer_setControlHandler(IedServer self, DataObject* node, ControlHandler handler, void* parameter) {
    if (self == nullptr || node == nullptr) return;
    if (ModelNode_getChild(node, "Oper") == nullptr) return;  // not controllable
    if (handler == nullptr) {
        self->controlHandlers.erase(node);
        return;
    }
    self->controlHandlers[node] = ControlBinding{handler, parameter};
}
