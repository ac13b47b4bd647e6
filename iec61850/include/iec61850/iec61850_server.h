#pragma once
// The IEC 61850 server: a value cache over a static model, typed getters and
// updaters, and an MMS server over ISO-on-TCP run without threads of its own
// (the owner calls IedServer_processIncomingData and
// IedServer_performPeriodicTasks from its loop).

#include <cstdint>

#include "iec61850/iec61850_model.h"
#include "iec61850/mms_value.h"

struct sIedServer;
using IedServer = sIedServer*;
struct sClientConnection;
using ClientConnection = sClientConnection*;
struct sMmsServer;
using MmsServer = sMmsServer*;
struct sMmsServerConnection;
using MmsServerConnection = sMmsServerConnection*;
struct sControlAction;
using ControlAction = sControlAction*;

// --- Creation and running ------------------------------------------------

// Runs the model's initializer once, then builds the value cache (type
// defaults for every attribute outside FC CO) and takes the initial values
// into it (freeing them). Each attribute's mmsValue then points at its cache
// entry, and the data-set entries at their members' values. One server per
// model at a time; IedServer_destroy clears those pointers again.
IedServer IedServer_create(IedModel* model);
void IedServer_destroy(IedServer self);

IedModel* IedServer_getDataModel(IedServer self);

void IedServer_setServerIdentity(IedServer self, const char* vendor, const char* model, const char* revision);

// Opens the listening socket on all addresses at tcpPort; serves nothing until
// IedServer_processIncomingData runs. Check IedServer_isRunning afterwards.
void IedServer_startThreadless(IedServer self, int tcpPort);
void IedServer_stopThreadless(IedServer self);
bool IedServer_isRunning(IedServer self);
// Why the last IedServer_startThreadless did not listen: the system's error
// number (EACCES, EADDRINUSE, EINVAL for a port outside 1..65535 ...); 0 when
// it listens or was never started.
int IedServer_getStartError(IedServer self);

// Waits until a socket of the server is readable (or an update wants to be
// reported), at most timeoutMs. Returns > 0 when there is work, 0 on timeout.
int IedServer_waitReady(IedServer self, unsigned int timeoutMs);
// Accepts connections and handles every complete request that has arrived.
void IedServer_processIncomingData(IedServer self);
// Sends pending control answers, runs control handlers and sends reports.
void IedServer_performPeriodicTasks(IedServer self);

// --- Access policy -------------------------------------------------------

enum AccessPolicy { ACCESS_POLICY_ALLOW, ACCESS_POLICY_DENY };
// Client writes are allowed for FC SP by default; CF may be opened here.
// ST, MX, DC, EX are never writable by a client.
void IedServer_setWriteAccessPolicy(IedServer self, FunctionalConstraint fc, AccessPolicy policy);

// --- Handlers ------------------------------------------------------------

using IedConnectionIndicationHandler = void (*)(IedServer self, ClientConnection connection, bool connected,
                                                void* parameter);
void IedServer_setConnectionIndicationHandler(IedServer self, IedConnectionIndicationHandler handler,
                                              void* parameter);
// "address:port" of the peer.
const char* ClientConnection_getPeerAddress(ClientConnection self);

enum ControlHandlerResult { CONTROL_RESULT_FAILED = 0, CONTROL_RESULT_OK = 1, CONTROL_RESULT_WAITING = 2 };
using ControlHandler = ControlHandlerResult (*)(ControlAction action, void* parameter, MmsValue* ctlVal,
                                                bool test);
// Installs the operate handler of a controllable data object (one with "Oper");
// does nothing for any other object.
void IedServer_setControlHandler(IedServer self, DataObject* node, ControlHandler handler, void* parameter);

// --- File services ---------------------------------------------------------

enum MmsFileServiceType {
    MMS_FILE_ACCESS_TYPE_READ_DIRECTORY = 0,
    MMS_FILE_ACCESS_TYPE_OPEN = 1,
    MMS_FILE_ACCESS_TYPE_OBTAIN = 2,
    MMS_FILE_ACCESS_TYPE_DELETE = 3,
    MMS_FILE_ACCESS_TYPE_RENAME = 4
};

// Results of a file access handler. A value other than MMS_ERROR_NONE refuses
// the file service with the matching MMS FileError (value - 90 on the wire).
enum MmsError {
    MMS_ERROR_NONE = 0,
    MMS_ERROR_FILE_OTHER = 90,
    MMS_ERROR_FILE_FILENAME_AMBIGUOUS = 91,
    MMS_ERROR_FILE_FILE_BUSY = 92,
    MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR = 93,
    MMS_ERROR_FILE_CONTENT_TYPE_INVALID = 94,
    MMS_ERROR_FILE_POSITION_INVALID = 95,
    MMS_ERROR_FILE_FILE_ACCESS_DENIED = 96,
    MMS_ERROR_FILE_FILE_NON_EXISTENT = 97,
    MMS_ERROR_FILE_DUPLICATE_FILENAME = 98,
    MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE = 99
};

using MmsFileAccessHandler = MmsError (*)(void* parameter, MmsServerConnection connection,
                                          MmsFileServiceType service, const char* localFilename,
                                          const char* otherFilename);

// How much of the file system the file services may take. ObtainFile is
// refused with MMS_ERROR_FILE_FILE_ACCESS_DENIED when the files below the
// base directory would then exceed maxTotalBytes or number more than
// maxFiles, or when the file system holding the base directory would be left
// with less than reservedFreeBytes free or with fewer than reservedFreeInodes
// free inodes (room kept for the device's own files; a file system without a
// fixed number of inodes has no inode reserve).
struct FilestoreLimits {
    uint64_t maxTotalBytes = 16u * 1024u * 1024u;
    uint64_t reservedFreeBytes = 1u * 1024u * 1024u;
    uint64_t maxFiles = 2000;
    uint64_t reservedFreeInodes = 1000;
};

MmsServer IedServer_getMmsServer(IedServer self);
// The base directory of the file services. The server resolves and opens it
// when it starts (IedServer_startThreadless; made when missing) and serves
// every file below that directory from then on: a base replaced by a link
// later moves nothing. A base path set after the start takes effect at the
// next file service.
void IedServer_setFilestoreBasepath(IedServer self, const char* basepath);
void IedServer_setFilestoreLimits(IedServer self, FilestoreLimits limits);
void MmsServer_installFileAccessHandler(MmsServer self, MmsFileAccessHandler handler, void* parameter);

// --- Data model lock -------------------------------------------------------

void IedServer_lockDataModel(IedServer self);
void IedServer_unlockDataModel(IedServer self);

// Holds the data-model lock of a server from construction to destruction
// (nothing for a null server); unlock() gives it up earlier.
class DataModelLock {
public:
    explicit DataModelLock(IedServer server) : server_(server) { IedServer_lockDataModel(server_); }
    ~DataModelLock() { unlock(); }
    DataModelLock(const DataModelLock&) = delete;
    DataModelLock& operator=(const DataModelLock&) = delete;

    void unlock() {
        IedServer_unlockDataModel(server_);
        server_ = nullptr;
    }

private:
    IedServer server_;
};

// --- Getters ---------------------------------------------------------------
// Each read takes the data-model lock for its own duration, so it never meets
// an update half done. Borrowed results (values, texts) stay valid while the
// server lives; copy them when a consistent view of several values matters,
// or hold a DataModelLock around the reads.

MmsValue* IedServer_getAttributeValue(IedServer self, DataAttribute* attr);  // borrowed; structures for constructed
bool IedServer_getBooleanAttributeValue(IedServer self, const DataAttribute* attr);
int32_t IedServer_getInt32AttributeValue(IedServer self, const DataAttribute* attr);
int64_t IedServer_getInt64AttributeValue(IedServer self, const DataAttribute* attr);
uint32_t IedServer_getUInt32AttributeValue(IedServer self, const DataAttribute* attr);
float IedServer_getFloatAttributeValue(IedServer self, const DataAttribute* attr);
uint64_t IedServer_getUTCTimeAttributeValue(IedServer self, const DataAttribute* attr);  // ms since epoch
uint32_t IedServer_getBitStringAttributeValue(IedServer self, const DataAttribute* attr);
const char* IedServer_getStringAttributeValue(IedServer self, const DataAttribute* attr);

// --- Updaters (take the data-model lock, apply the trigger options) --------

void IedServer_updateAttributeValue(IedServer self, DataAttribute* attr, const MmsValue* value);
void IedServer_updateFloatAttributeValue(IedServer self, DataAttribute* attr, float value);
void IedServer_updateInt32AttributeValue(IedServer self, DataAttribute* attr, int32_t value);
void IedServer_updateInt64AttributeValue(IedServer self, DataAttribute* attr, int64_t value);
void IedServer_updateUnsignedAttributeValue(IedServer self, DataAttribute* attr, uint32_t value);
void IedServer_updateBitStringAttributeValue(IedServer self, DataAttribute* attr, uint32_t value);
void IedServer_updateBooleanAttributeValue(IedServer self, DataAttribute* attr, bool value);
void IedServer_updateVisibleStringAttributeValue(IedServer self, DataAttribute* attr, const char* value);
void IedServer_updateUTCTimeAttributeValue(IedServer self, DataAttribute* attr, uint64_t msSinceEpoch);
void IedServer_updateQuality(IedServer self, DataAttribute* attr, uint16_t quality);

// Milliseconds since the epoch, from the system clock.
uint64_t Hal_getTimeInMs();
