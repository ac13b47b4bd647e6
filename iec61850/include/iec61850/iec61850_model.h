#pragma once
// Records of a static IEC 61850 data model: the tree of logical devices,
// logical nodes, data objects and data attributes that share the ModelNode
// head, and the data sets, report control blocks, log control blocks and logs
// hanging off the IedModel root. A model is built once and never changes
// shape; only attribute values change (through the IedServer updaters).

#include <cstdint>

#include "iec61850/mms_value.h"

enum FunctionalConstraint {
    IEC61850_FC_NONE = -1,
    IEC61850_FC_ST = 0,
    IEC61850_FC_MX,
    IEC61850_FC_SP,
    IEC61850_FC_SV,
    IEC61850_FC_CF,
    IEC61850_FC_DC,
    IEC61850_FC_SG,
    IEC61850_FC_SE,
    IEC61850_FC_SR,
    IEC61850_FC_OR,
    IEC61850_FC_BL,
    IEC61850_FC_EX,
    IEC61850_FC_CO,
    IEC61850_FC_RP,
    IEC61850_FC_BR,
    IEC61850_FC_LG,
    IEC61850_FC_ALL = 99
};

// "ST", "MX", ...; null for IEC61850_FC_NONE / ALL.
const char* FunctionalConstraint_toString(FunctionalConstraint fc);
// IEC61850_FC_NONE for an unknown text (exactly two upper-case letters expected).
FunctionalConstraint FunctionalConstraint_fromString(const char* text);

// Basic types of data attributes used by the model.
enum DataAttributeType {
    IEC61850_BOOLEAN,
    IEC61850_INT8U,
    IEC61850_INT16U,
    IEC61850_INT32,
    IEC61850_INT32U,
    IEC61850_FLOAT32,
    IEC61850_ENUMERATED,
    IEC61850_CODEDENUM,
    IEC61850_OCTET_STRING_64,
    IEC61850_VISIBLE_STRING_129,
    IEC61850_VISIBLE_STRING_255,
    IEC61850_QUALITY,
    IEC61850_TIMESTAMP,
    IEC61850_CHECK,
    IEC61850_CONSTRUCTED
};

// Trigger options (bit values as in report control blocks).
enum {
    TRG_OPT_DATA_CHANGED = 1,
    TRG_OPT_QUALITY_CHANGED = 2,
    TRG_OPT_DATA_UPDATE = 4,
    TRG_OPT_INTEGRITY = 8,
    TRG_OPT_GI = 16
};

enum ModelNodeType {
    LogicalDeviceModelType,
    LogicalNodeModelType,
    DataObjectModelType,
    DataAttributeModelType
};

struct ModelNode {
    ModelNodeType modelType;
    const char* name;        // owned by the model; lives as long as the model
    ModelNode* parent;
    ModelNode* sibling;      // next sibling in model order
    ModelNode* firstChild;
};

struct LogicalDevice : ModelNode {
    const char* ldName;      // separate logical-device name; null when unset
};

struct LogicalNode : ModelNode {};

struct DataObject : ModelNode {
    int elementCount;        // 0: no array
};

struct DataAttribute : ModelNode {
    int elementCount;        // 0: no array
    FunctionalConstraint fc;
    DataAttributeType type;
    uint8_t triggerOptions;  // TRG_OPT_* bits
    MmsValue* mmsValue;      // initial value from the initialiser, then the server's cache entry
    uint32_t sAddr;          // short address, 0 when none
};

using IedModelInitializer = void (*)();

// Data sets, report control blocks, log control blocks and logs: defined below.
struct DataSet;
struct ReportControlBlock;
struct LogControlBlock;
struct Log;

struct IedModel {
    const char* name;                // IED name, e.g. "FNN_STEUERBOX"
    LogicalDevice* firstChild;       // logical devices in model order
    DataSet* dataSets;               // linked by DataSet::sibling
    ReportControlBlock* rcbs;        // linked by ReportControlBlock::sibling
    LogControlBlock* lcbs;           // linked by LogControlBlock::sibling
    Log* logs;                       // linked by Log::sibling
    IedModelInitializer initializer; // run once inside IedServer_create
};

// Model walks (no lock: the structure never changes).
LogicalDevice* IedModel_getDeviceByInst(IedModel* self, const char* ldInst);
LogicalDevice* IedModel_getDeviceByIndex(IedModel* self, int index);
int IedModel_getLogicalDeviceCount(IedModel* self);
ModelNode* ModelNode_getChild(ModelNode* self, const char* name);
int ModelNode_getChildCount(ModelNode* self);

// --- Data sets, control blocks and logs ---------------------------------
// Plain records, linked in model order through their sibling pointers. Every
// text is owned by the model and lives as long as it. Names of data sets and
// logs are relative to their logical node ("dataset01" in "LLN0").

// One member of a data set: a data object under one functional constraint.
struct DataSetEntry {
    const char* logicalDeviceName;  // instance name of the member's logical device, e.g. "CLS1"
    const char* variableName;       // MMS form "LN$FC$DO", e.g. "MMXU001$MX$TotW"
    DataObject* dataObject;         // the member's data object in the tree
    FunctionalConstraint fc;        // the member's FC; only attributes of this FC belong to it
    // The member's current value: the cache structure of the data object's
    // attributes under fc, in model order. Bound by IedServer_create (borrowed
    // from the server; null while no server exists).
    MmsValue* value;
    DataSetEntry* sibling;          // next member in data-set order
};

struct DataSet {
    const char* logicalDeviceName;  // e.g. "STB"
    LogicalNode* parent;            // the LLN0 holding it
    const char* name;               // e.g. "dataset01"; reference "STB/LLN0$dataset01"
    int elementCount;               // number of entries
    DataSetEntry* fcdas;            // first entry
    DataSet* sibling;
};

// Option bits of a report control block (OptFlds bits 1..8 in this order).
enum {
    RPT_OPT_SEQ_NUM = 0x01,
    RPT_OPT_TIME_STAMP = 0x02,
    RPT_OPT_REASON_FOR_INCLUSION = 0x04,
    RPT_OPT_DATA_SET = 0x08,
    RPT_OPT_DATA_REFERENCE = 0x10,
    RPT_OPT_BUFFER_OVERFLOW = 0x20,
    RPT_OPT_ENTRY_ID = 0x40,
    RPT_OPT_CONF_REV = 0x80
};

constexpr int kRcbClientReservationSize = 17;

struct ReportControlBlock {
    LogicalNode* parent;            // the LLN0 holding it
    const char* name;               // e.g. "reportControl0101"
    const char* rptId;              // e.g. "CLS1/report01"
    bool buffered;                  // false: FC RP; true: FC BR
    const char* dataSetName;        // relative to the parent LN, e.g. "dataset01"
    uint32_t confRev;
    uint8_t trgOps;                 // TRG_OPT_* bits
    uint8_t options;                // RPT_OPT_* bits
    uint32_t bufferTime;            // ms
    uint32_t intPeriod;             // integrity period in ms; 0: none
    uint8_t clientReservation[kRcbClientReservationSize];  // preset reservation; all zero: none
    ReportControlBlock* sibling;
};

struct LogControlBlock {
    LogicalNode* parent;            // the LLN0 holding it
    const char* name;               // e.g. "logControlSTB"
    const char* dataSetName;        // relative to the parent LN, e.g. "dataset01"
    const char* logRef;             // e.g. "STB/LLN0$logSTB"
    uint8_t trgOps;                 // TRG_OPT_* bits
    uint32_t intPeriod;             // ms; 0: none
    bool logEna;
    bool reasonCode;
    LogControlBlock* sibling;
};

struct Log {
    LogicalNode* parent;            // the LLN0 holding it
    const char* name;               // e.g. "logSTB"
    Log* sibling;
};
