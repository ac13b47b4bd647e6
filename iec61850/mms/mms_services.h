#pragma once
// Seam between the MMS protocol machine (association handling, PDU framing,
// invoke ids, errors, rejects) and the modules that implement MMS services
// (variable access, data sets and reports, journals, files).
//
// The protocol machine decodes a Confirmed-RequestPDU, looks up the handler
// registered for the service's context tag and hands it the service's
// content octets. The handler answers with the encoded content of the
// matching ConfirmedServiceResponse (the protocol machine adds the tag), a
// service error, or a reject. A service that can only answer after further
// exchanges (ObtainFile pulls the file from the client first) returns
// Deferred and later hands its answer to MmsServerConnection_sendServiceResult.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "iec61850/ied_server_internal.h"

struct MmsServiceContext {
    sIedServer* server;
    sMmsServerConnection* connection;
    uint32_t invokeId;
    uint32_t maxPduSize;  // negotiated at Initiate
};

struct MmsServiceResult {
    // Deferred: no answer now; it follows through MmsServerConnection_sendServiceResult.
    enum class Kind { Response, Error, Reject, Deferred };
    Kind kind = Kind::Response;
    // Response: the content octets of the response choice (without its own tag
    // and length); responseConstructed tells whether the choice is constructed.
    std::vector<uint8_t> content;
    bool responseConstructed = true;
    // Error: ServiceError errorClass choice tag and its code.
    int errorClass = 0;
    int errorCode = 0;
    // Reject: the confirmed-requestPDU problem code.
    int rejectCode = 0;

    static MmsServiceResult response(std::vector<uint8_t> content, bool constructed = true) {
        MmsServiceResult r;
        r.content = std::move(content);
        r.responseConstructed = constructed;
        return r;
    }
    static MmsServiceResult error(int errorClass, int errorCode) {
        MmsServiceResult r;
        r.kind = Kind::Error;
        r.errorClass = errorClass;
        r.errorCode = errorCode;
        return r;
    }
    static MmsServiceResult reject(int code) {
        MmsServiceResult r;
        r.kind = Kind::Reject;
        r.rejectCode = code;
        return r;
    }
    static MmsServiceResult deferred() {
        MmsServiceResult r;
        r.kind = Kind::Deferred;
        return r;
    }
};

// content: the service request's content octets; constructed: whether the
// request element was encoded constructed.
using MmsServiceHandler =
    std::function<MmsServiceResult(MmsServiceContext& ctx, std::span<const uint8_t> content, bool constructed)>;

// Confirmed service tags (ConfirmedServiceRequest choice numbers).
enum MmsConfirmedService : unsigned {
    MMS_SERVICE_STATUS = 0,
    MMS_SERVICE_GET_NAME_LIST = 1,
    MMS_SERVICE_IDENTIFY = 2,
    MMS_SERVICE_READ = 4,
    MMS_SERVICE_WRITE = 5,
    MMS_SERVICE_GET_VARIABLE_ACCESS_ATTRIBUTES = 6,
    MMS_SERVICE_DEFINE_NAMED_VARIABLE_LIST = 11,
    MMS_SERVICE_GET_NAMED_VARIABLE_LIST_ATTRIBUTES = 12,
    MMS_SERVICE_DELETE_NAMED_VARIABLE_LIST = 13,
    MMS_SERVICE_OBTAIN_FILE = 46,
    MMS_SERVICE_READ_JOURNAL = 65,
    MMS_SERVICE_FILE_OPEN = 72,
    MMS_SERVICE_FILE_READ = 73,
    MMS_SERVICE_FILE_CLOSE = 74,
    MMS_SERVICE_FILE_RENAME = 75,
    MMS_SERVICE_FILE_DELETE = 76,
    MMS_SERVICE_FILE_DIRECTORY = 77
};

// Registers (or replaces) the handler of one confirmed service. Services
// without a handler are rejected as unrecognized.
void MmsServer_registerService(sIedServer* server, unsigned serviceTag, MmsServiceHandler handler);

// Hooks of the service modules into the connection life cycle and the
// periodic tasks (all run on the thread that processes incoming data).
struct MmsConnectionHooks {
    std::function<void(sMmsServerConnection*)> opened;   // association up
    std::function<void(sMmsServerConnection*)> closed;   // association gone
    std::function<void()> periodic;                      // each IedServer_performPeriodicTasks
};
void MmsServer_addConnectionHooks(sIedServer* server, MmsConnectionHooks hooks);

// Queues an unconfirmed PDU (for example an InformationReport) for the
// connection: pdu is the complete encoded MMS PDU. Safe only on the thread
// that processes incoming data.
bool MmsServerConnection_sendUnconfirmedPdu(sMmsServerConnection* connection, std::vector<uint8_t> pdu);

// Sends a confirmed request originated by the server (ObtainFile pulls the
// file from the client with FileOpen/FileRead/FileClose). The callback gets
// the response content (or success=false on an error or a lost association).
using MmsClientResponseHandler =
    std::function<void(bool success, std::span<const uint8_t> responseContent)>;
bool MmsServerConnection_sendConfirmedRequest(sMmsServerConnection* connection, unsigned serviceTag,
                                              std::vector<uint8_t> requestContent, bool constructed,
                                              MmsClientResponseHandler onResponse);

// Sends the answer of a request whose handler returned Kind::Deferred: the
// invoke id and service tag of that request, and a result of any other kind.
// Each deferred request is answered once; the call does nothing (false) when
// the association has ended (released, concluded, aborted) or the invoke id
// has no deferred request outstanding. Safe only on the thread that
// processes incoming data, and with a connection whose closed hook has not
// run yet.
bool MmsServerConnection_sendServiceResult(sMmsServerConnection* connection, uint32_t invokeId, unsigned serviceTag,
                                           const MmsServiceResult& result);

uint32_t MmsServerConnection_getMaxPduSize(sMmsServerConnection* connection);
ClientConnection MmsServerConnection_getClientConnection(sMmsServerConnection* connection);

// Opens the listening socket (all addresses, tcpPort); false when it cannot
// (port in use, no permission). IedServer_startThreadless installs the
// service modules below and then calls this.
bool MmsServer_startListening(sIedServer* server, int tcpPort);

// The handle IedServer_getMmsServer gives out: it names the IED server.
struct sMmsServer {
    sIedServer* server = nullptr;
};
sIedServer* MmsServer_getIedServer(MmsServer self);

// Wakes IedServer_waitReady (an updater queued a report, ...). Safe from any
// thread once IedServer_startThreadless has run; does nothing before.
void MmsServer_signalWork(sIedServer* server);

// Peer "address:port" of a connection.
const char* MmsServerConnection_getPeerAddress(sMmsServerConnection* connection);

// Installation of the service modules (each registers its services and hooks).
void MmsVariableServices_install(sIedServer* server);  // iec61850/services/
void MmsFileServices_install(sIedServer* server);      // iec61850/files/
