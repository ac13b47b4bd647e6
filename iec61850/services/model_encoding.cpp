// Types and values of model nodes on the wire; checking and applying writes.
#include "iec61850/services/model_encoding.h"

#include <cstring>
#include <limits>

#include "iec61850/core/value_cache.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/services/variable_reference.h"

namespace services {

namespace {

constexpr int kQualityBits = 13;
constexpr int kCodedEnumBits = 2;
constexpr int kCheckBits = 2;
constexpr int kFloatFormatWidth = 32;
constexpr int kFloatExponentWidth = 8;

struct LeafKind {
    MmsType mmsType;
    int size;  // bits of integers and bit strings, max size of strings
};

LeafKind leafKind(DataAttributeType type) {
    switch (type) {
        case IEC61850_BOOLEAN: return {MMS_BOOLEAN, 0};
        case IEC61850_INT8U: return {MMS_UNSIGNED, 8};
        case IEC61850_INT16U: return {MMS_UNSIGNED, 16};
        case IEC61850_INT32U: return {MMS_UNSIGNED, 32};
        case IEC61850_INT32: return {MMS_INTEGER, 32};
        case IEC61850_ENUMERATED: return {MMS_INTEGER, 8};
        case IEC61850_FLOAT32: return {MMS_FLOAT, 32};
        case IEC61850_CODEDENUM: return {MMS_BIT_STRING, kCodedEnumBits};
        case IEC61850_OCTET_STRING_64: return {MMS_OCTET_STRING, 64};
        case IEC61850_VISIBLE_STRING_129: return {MMS_VISIBLE_STRING, 129};
        case IEC61850_VISIBLE_STRING_255: return {MMS_VISIBLE_STRING, 255};
        case IEC61850_QUALITY: return {MMS_BIT_STRING, kQualityBits};
        case IEC61850_TIMESTAMP: return {MMS_UTC_TIME, 0};
        case IEC61850_CHECK: return {MMS_BIT_STRING, kCheckBits};
        case IEC61850_CONSTRUCTED: break;
    }
    return {MMS_STRUCTURE, 0};
}

bool isLeaf(const ModelNode* node) {
    return node->modelType == DataAttributeModelType &&
           static_cast<const DataAttribute*>(node)->type != IEC61850_CONSTRUCTED;
}

void writeLeafType(ber::Writer& w, DataAttributeType type) {
    LeafKind kind = leafKind(type);
    switch (kind.mmsType) {
        case MMS_BOOLEAN: writeBooleanType(w); break;
        case MMS_UNSIGNED: writeUnsignedType(w, kind.size); break;
        case MMS_INTEGER: w.writeInteger(ber::context(5), kind.size); break;
        case MMS_FLOAT: {
            size_t m = w.begin(ber::context(7));
            w.writeInteger(ber::universal(ber::kUniversalInteger), kFloatFormatWidth);
            w.writeInteger(ber::universal(ber::kUniversalInteger), kFloatExponentWidth);
            w.end(m);
            break;
        }
        // Check is a bit string of variable length (up to two bits).
        case MMS_BIT_STRING: writeBitStringType(w, type == IEC61850_CHECK ? -kind.size : kind.size); break;
        case MMS_OCTET_STRING: writeOctetStringType(w, kind.size); break;
        case MMS_VISIBLE_STRING: writeVisibleStringType(w, kind.size); break;
        case MMS_UTC_TIME: w.writeNull(ber::context(17)); break;
        default: break;
    }
}

MmsDataAccessError checkLeaf(DataAttributeType type, const MmsValue* value) {
    if (type == IEC61850_CHECK) {
        bool fits = MmsValue_getType(value) == MMS_BIT_STRING && MmsValue_getBitStringSize(value) <= kCheckBits;
        return fits ? DATA_ACCESS_ERROR_SUCCESS : DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    }
    LeafKind kind = leafKind(type);
    if (MmsValue_getType(value) != kind.mmsType) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    switch (kind.mmsType) {
        case MMS_UNSIGNED: {
            int64_t v = MmsValue_toInt64(value);
            int64_t max = kind.size >= 32 ? std::numeric_limits<uint32_t>::max() : ((1LL << kind.size) - 1);
            if (v < 0 || v > max) return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
            break;
        }
        case MMS_INTEGER: {
            int64_t v = MmsValue_toInt64(value);
            int64_t limit = kind.size >= 32 ? std::numeric_limits<int32_t>::max() : ((1LL << (kind.size - 1)) - 1);
            if (v > limit || v < -limit - 1) return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
            break;
        }
        case MMS_BIT_STRING:
            if (MmsValue_getBitStringSize(value) != kind.size) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
            break;
        case MMS_OCTET_STRING:
            if (MmsValue_getOctetStringSize(value) > kind.size) return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
            break;
        case MMS_VISIBLE_STRING:
            if (MmsValue_getStringSize(value) > kind.size) return DATA_ACCESS_ERROR_OBJECT_VALUE_INVALID;
            break;
        default: break;
    }
    return DATA_ACCESS_ERROR_SUCCESS;
}

void applyLeaf(IedServer server, DataAttribute* attr, const MmsValue* value) {
    switch (leafKind(attr->type).mmsType) {
        case MMS_BOOLEAN: IedServer_updateBooleanAttributeValue(server, attr, MmsValue_getBoolean(value)); break;
        case MMS_UNSIGNED: IedServer_updateUnsignedAttributeValue(server, attr, MmsValue_toUint32(value)); break;
        case MMS_INTEGER: IedServer_updateInt32AttributeValue(server, attr, MmsValue_toInt32(value)); break;
        case MMS_FLOAT: IedServer_updateFloatAttributeValue(server, attr, MmsValue_toFloat(value)); break;
        case MMS_VISIBLE_STRING:
            IedServer_updateVisibleStringAttributeValue(server, attr, MmsValue_toString(value));
            break;
        default: IedServer_updateAttributeValue(server, attr, value); break;
    }
}

}  // namespace

size_t primitiveSize(size_t contentSize) {
    size_t lengthOctets = 1;
    for (size_t rest = contentSize; contentSize >= 0x80 && rest > 0; rest >>= 8) ++lengthOctets;
    return 1 + lengthOctets + contentSize;
}

void writeBooleanType(ber::Writer& w) { w.writeNull(ber::context(3)); }
void writeUnsignedType(ber::Writer& w, int bits) { w.writeInteger(ber::context(6), bits); }
void writeBitStringType(ber::Writer& w, int bits) { w.writeInteger(ber::context(4), bits); }
// A negative size marks a variable-length string of at most that many octets.
void writeVisibleStringType(ber::Writer& w, int maxSize) { w.writeInteger(ber::context(10), -maxSize); }
void writeOctetStringType(ber::Writer& w, int maxSize) { w.writeInteger(ber::context(9), -maxSize); }
void writeBinaryTimeType(ber::Writer& w) { w.writeBoolean(ber::context(12), true); }

StructureTypeMarker beginStructureType(ber::Writer& w) {
    StructureTypeMarker m;
    m.structure = w.begin(ber::context(2));
    m.components = w.begin(ber::context(1));
    return m;
}

void endStructureType(ber::Writer& w, StructureTypeMarker marker) {
    w.end(marker.components);
    w.end(marker.structure);
}

StructureTypeMarker beginComponent(ber::Writer& w, const char* name) {
    StructureTypeMarker m;
    m.structure = w.begin(ber::universal(ber::kUniversalSequence));
    w.writeVisibleString(ber::context(0), name);
    m.components = w.begin(ber::context(1));
    return m;
}

void endComponent(ber::Writer& w, StructureTypeMarker marker) {
    w.end(marker.components);
    w.end(marker.structure);
}

void writeFieldTableType(ber::Writer& w, const char* const* names, int count, void (*fieldType)(ber::Writer&, int)) {
    StructureTypeMarker s = beginStructureType(w);
    for (int f = 0; f < count; ++f) {
        StructureTypeMarker c = beginComponent(w, names[f]);
        fieldType(w, f);
        endComponent(w, c);
    }
    endStructureType(w, s);
}

void writeTypeSpec(ber::Writer& w, const ModelNode* node, FunctionalConstraint fc) {
    if (isLeaf(node)) {
        writeLeafType(w, static_cast<const DataAttribute*>(node)->type);
        return;
    }
    StructureTypeMarker s = beginStructureType(w);
    for (const ModelNode* child : childrenUnderFc(node, fc)) {
        StructureTypeMarker c = beginComponent(w, child->name);
        writeTypeSpec(w, child, fc);
        endComponent(w, c);
    }
    endStructureType(w, s);
}

void writeNodeValue(ber::Writer& w, IedServer server, const ModelNode* node, FunctionalConstraint fc) {
    if (isLeaf(node)) {
        auto* attr = const_cast<DataAttribute*>(static_cast<const DataAttribute*>(node));
        const MmsValue* value = IedServer_getAttributeValue(server, attr);
        if (value != nullptr && ber::encodeMmsData(w, value)) return;
        // Attributes without a cached value (the operate structures) read as
        // the default of their type.
        MmsValuePtr fallback(ValueCache::newDefaultValue(attr->type));
        if (!fallback || !ber::encodeMmsData(w, fallback.get())) w.writeNull(ber::context(ber::kDataBoolean));
        return;
    }
    if (node->modelType == DataObjectModelType && server->cache) {
        // The cache keeps each data object's FC structure whole.
        const MmsValue* whole = server->cache->valueOf(static_cast<const DataObject*>(node), fc);
        if (whole != nullptr && ber::encodeMmsData(w, whole)) return;
    }
    size_t m = w.begin(ber::context(ber::kDataStructure));
    for (const ModelNode* child : childrenUnderFc(node, fc)) writeNodeValue(w, server, child, fc);
    w.end(m);
}

MmsDataAccessError checkNodeValue(const ModelNode* node, FunctionalConstraint fc, const MmsValue* value) {
    if (value == nullptr) return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    if (isLeaf(node)) return checkLeaf(static_cast<const DataAttribute*>(node)->type, value);
    std::vector<ModelNode*> children = childrenUnderFc(node, fc);
    if (MmsValue_getType(value) != MMS_STRUCTURE || MmsValue_getArraySize(value) != static_cast<int>(children.size()))
        return DATA_ACCESS_ERROR_TYPE_INCONSISTENT;
    for (size_t i = 0; i < children.size(); ++i) {
        MmsDataAccessError e = checkNodeValue(children[i], fc, MmsValue_getElement(value, static_cast<int>(i)));
        if (e != DATA_ACCESS_ERROR_SUCCESS) return e;
    }
    return DATA_ACCESS_ERROR_SUCCESS;
}

void applyNodeValue(IedServer server, ModelNode* node, FunctionalConstraint fc, const MmsValue* value) {
    if (isLeaf(node)) {
        applyLeaf(server, static_cast<DataAttribute*>(node), value);
        return;
    }
    std::vector<ModelNode*> children = childrenUnderFc(node, fc);
    for (size_t i = 0; i < children.size(); ++i)
        applyNodeValue(server, children[i], fc, MmsValue_getElement(value, static_cast<int>(i)));
}

}  // namespace services
