#pragma once
// Layout of the server object shared by the modules of the library. Not part
// of the public API: application code uses iec61850_server.h only.
//
// Ownership inside the library:
//   iec61850/core/     value cache, getters/updaters, update events, model walks
//   iec61850/mms/      MMS stack: BER, transport, ISO layers, MMS services
//   iec61850/services/ data sets, reports, logs, journals, file services

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "iec61850/iec61850_server.h"

class ValueCache;      // core/value_cache.h: the "LN$FC" / "LN$FC$DO" structures
class MmsServerState;  // mms/mms_server.h
class ServicesState;   // services/: data sets, reports, logs, files

// Called by every updater, under the data-model lock, after the value
// changed or was refreshed. reason holds the TRG_OPT_* bits that fired
// (already filtered by the attribute's trigger options; 0 is never passed).
// attr is always a leaf: an update of a constructed attribute calls the
// listener once for every sub-attribute whose reason is non-zero.
using AttributeUpdateListener = std::function<void(DataAttribute* attr, uint8_t reason)>;

struct ControlBinding {
    ControlHandler handler = nullptr;
    void* parameter = nullptr;
};

struct sIedServer {
    IedModel* model = nullptr;
    std::recursive_mutex dataModelLock;
    std::unique_ptr<ValueCache> cache;

    // Identity answered by the MMS Identify service.
    std::string vendor;
    std::string modelName;
    std::string revision;

    // Write access by FC (client writes); SP allowed by default, CF denied.
    AccessPolicy writePolicySP = ACCESS_POLICY_ALLOW;
    AccessPolicy writePolicyCF = ACCESS_POLICY_DENY;

    IedConnectionIndicationHandler connectionHandler = nullptr;
    void* connectionHandlerParameter = nullptr;

    std::unordered_map<const DataObject*, ControlBinding> controlHandlers;

    std::string filestoreBasepath = "./vmd-filestore/";
    FilestoreLimits filestoreLimits;

    AttributeUpdateListener updateListener;  // set by the reporting module

    // Held by shared_ptr so each module can own its type privately.
    std::shared_ptr<MmsServerState> mms;
    std::shared_ptr<ServicesState> services;
    std::shared_ptr<void> fileServices;  // files/: iec61850::files::FileServices

    sIedServer();
    ~sIedServer();
};
