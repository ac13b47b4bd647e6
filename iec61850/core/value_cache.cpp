// Building and binding the server's value cache.
#include "iec61850/core/value_cache.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <iterator>
#include <string>

namespace {

// Functional constraints that get cache structures, in the order of their
// enumerators. CO has no cache: its attributes exist only as the structure
// a client writes to operate.
constexpr FunctionalConstraint kCachedFcs[] = {
    IEC61850_FC_ST, IEC61850_FC_MX, IEC61850_FC_SP, IEC61850_FC_SV, IEC61850_FC_CF, IEC61850_FC_DC,
    IEC61850_FC_SG, IEC61850_FC_SE, IEC61850_FC_SR, IEC61850_FC_OR, IEC61850_FC_BL, IEC61850_FC_EX,
    IEC61850_FC_RP, IEC61850_FC_BR, IEC61850_FC_LG,
};

constexpr int kQualityBits = 13;
constexpr int kCodedEnumBits = 2;
constexpr int kCheckBits = 2;
constexpr int kOctetString64 = 64;
constexpr int kVisibleString129 = 129;
constexpr int kVisibleString255 = 255;

DataAttribute* asAttribute(ModelNode* node) {
    return node != nullptr && node->modelType == DataAttributeModelType ? static_cast<DataAttribute*>(node) : nullptr;
}

int countChildren(const ModelNode* node) {
    int count = 0;
    for (const ModelNode* child = node->firstChild; child != nullptr; child = child->sibling) ++count;
    return count;
}

template <typename Visit>
void forEachAttribute(ModelNode* node, Visit&& visit) {
    for (ModelNode* child = node->firstChild; child != nullptr; child = child->sibling) {
        if (DataAttribute* attr = asAttribute(child)) visit(attr);
        forEachAttribute(child, visit);
    }
}

template <typename Visit>
void forEachNode(IedModel* model, Visit&& visit) {
    if (model == nullptr) return;
    for (ModelNode* device = model->firstChild; device != nullptr; device = device->sibling) {
        for (ModelNode* node = device->firstChild; node != nullptr; node = node->sibling) {
            visit(static_cast<LogicalNode*>(node));
        }
    }
}

// The bit of an FC among kCachedFcs; 0 for FCs without cache (CO).
uint32_t fcBit(FunctionalConstraint fc) {
    for (size_t i = 0; i < std::size(kCachedFcs); ++i) {
        if (kCachedFcs[i] == fc) return uint32_t{1} << i;
    }
    return 0;
}

int countAttributesOf(const ModelNode* object, FunctionalConstraint fc) {
    int count = 0;
    for (const ModelNode* child = object->firstChild; child != nullptr; child = child->sibling) {
        if (child->modelType == DataAttributeModelType && static_cast<const DataAttribute*>(child)->fc == fc) ++count;
    }
    return count;
}

// Finds "LN$FC$DO" below the logical device of the given instance name.
DataObject* resolveMember(IedModel* model, const char* ldName, const char* variable, FunctionalConstraint* fc) {
    if (ldName == nullptr || variable == nullptr) return nullptr;
    const std::string text(variable);
    const size_t first = text.find('$');
    const size_t second = first == std::string::npos ? first : text.find('$', first + 1);
    if (second == std::string::npos || text.find('$', second + 1) != std::string::npos) return nullptr;
    *fc = FunctionalConstraint_fromString(text.substr(first + 1, second - first - 1).c_str());
    ModelNode* node = ModelNode_getChild(IedModel_getDeviceByInst(model, ldName), text.substr(0, first).c_str());
    ModelNode* object = ModelNode_getChild(node, text.substr(second + 1).c_str());
    return object != nullptr && object->modelType == DataObjectModelType ? static_cast<DataObject*>(object) : nullptr;
}

}  // namespace

MmsValue* ValueCache::newDefaultValue(DataAttributeType type) {
    switch (type) {
        case IEC61850_BOOLEAN: return MmsValue_newBoolean(false);
        case IEC61850_INT8U: return MmsValue_newUnsignedWithWidth(1);
        case IEC61850_INT16U: return MmsValue_newUnsignedWithWidth(2);
        case IEC61850_INT32U: return MmsValue_newUnsignedWithWidth(4);
        case IEC61850_INT32: return MmsValue_newIntegerWithWidth(4);
        case IEC61850_ENUMERATED: return MmsValue_newIntegerWithWidth(1);
        case IEC61850_FLOAT32: return MmsValue_newFloat(0.0f);
        case IEC61850_CODEDENUM: return MmsValue_newBitString(kCodedEnumBits);
        case IEC61850_OCTET_STRING_64: return MmsValue_newOctetString(0, kOctetString64);
        case IEC61850_VISIBLE_STRING_129: return MmsValue_newVisibleStringWithSize(kVisibleString129);
        case IEC61850_VISIBLE_STRING_255: return MmsValue_newVisibleStringWithSize(kVisibleString255);
        case IEC61850_QUALITY: return MmsValue_newBitString(kQualityBits);
        case IEC61850_TIMESTAMP: return MmsValue_newUtcTime(0);
        case IEC61850_CHECK: return MmsValue_newBitString(kCheckBits);
        case IEC61850_CONSTRUCTED: return MmsValue_createEmptyStructure(0);
    }
    return MmsValue_newBoolean(false);
}

ValueCache::ValueCache(IedModel* model) : model_(model) {
    build();
    bindDataSets();
}

ValueCache::~ValueCache() {
    forEachNode(model_, [](LogicalNode* node) { forEachAttribute(node, [](DataAttribute* attr) { attr->mmsValue = nullptr; }); });
    for (DataSet* set = model_ ? model_->dataSets : nullptr; set != nullptr; set = set->sibling) {
        for (DataSetEntry* entry = set->fcdas; entry != nullptr; entry = entry->sibling) entry->value = nullptr;
    }
}

void ValueCache::build() {
    // Attributes outside the cache (FC CO) keep no value; an initial value
    // given to one anyway is freed.
    forEachNode(model_, [](LogicalNode* node) {
        forEachAttribute(node, [](DataAttribute* attr) {
            if (attr->fc == IEC61850_FC_CO && attr->mmsValue != nullptr) {
                MmsValue_delete(attr->mmsValue);
                attr->mmsValue = nullptr;
            }
        });
    });

    // Creates the entry of an attribute and its sub-attributes, takes in the
    // initial value of each leaf and points the attribute at its entry.
    auto makeEntry = [this](auto& self, DataAttribute* attr) -> MmsValue* {
        MmsValue* entry;
        if (attr->type == IEC61850_CONSTRUCTED || attr->firstChild != nullptr) {
            entry = arena_.newStructure(countChildren(attr));
            int index = 0;
            for (ModelNode* child = attr->firstChild; child != nullptr; child = child->sibling) {
                DataAttribute* sub = asAttribute(child);
                MmsValue_setElement(entry, index++, sub ? self(self, sub) : arena_.newStructure(0));
            }
        } else {
            entry = arena_.adopt(newDefaultValue(attr->type));
        }
        if (MmsValue* initial = attr->mmsValue) {
            // A value of the wrong type is dropped; the default stays.
            MmsValue_update(entry, initial);
            MmsValue_delete(initial);
        }
        attr->mmsValue = entry;
        return entry;
    };

    std::vector<uint32_t> objectFcs;  // per data object of a node: bit i set when it has kCachedFcs[i]
    forEachNode(model_, [&](LogicalNode* node) {
        objectFcs.clear();
        uint32_t nodeFcs = 0;
        for (ModelNode* object = node->firstChild; object != nullptr; object = object->sibling) {
            uint32_t mask = 0;
            for (ModelNode* child = object->firstChild; child != nullptr; child = child->sibling) {
                if (const DataAttribute* attr = asAttribute(child)) mask |= fcBit(attr->fc);
            }
            objectFcs.push_back(mask);
            nodeFcs |= mask;
        }
        for (size_t f = 0; f < std::size(kCachedFcs); ++f) {
            const uint32_t bit = uint32_t{1} << f;
            if ((nodeFcs & bit) == 0) continue;
            const FunctionalConstraint fc = kCachedFcs[f];
            const int objects = static_cast<int>(
                std::count_if(objectFcs.begin(), objectFcs.end(), [bit](uint32_t mask) { return (mask & bit) != 0; }));
            MmsValue* nodeValue = arena_.newStructure(objects);
            roots_.emplace_back(nodeValue);
            index_.push_back({node, fc, nodeValue});
            int objectIndex = 0;
            size_t position = 0;
            for (ModelNode* object = node->firstChild; object != nullptr; object = object->sibling, ++position) {
                if ((objectFcs[position] & bit) == 0) continue;
                MmsValue* objectValue = arena_.newStructure(countAttributesOf(object, fc));
                MmsValue_setElement(nodeValue, objectIndex++, objectValue);
                index_.push_back({object, fc, objectValue});
                int attrIndex = 0;
                for (ModelNode* child = object->firstChild; child != nullptr; child = child->sibling) {
                    DataAttribute* attr = asAttribute(child);
                    if (attr == nullptr || attr->fc != fc) continue;
                    MmsValue_setElement(objectValue, attrIndex++, makeEntry(makeEntry, attr));
                }
            }
        }
    });
    std::sort(index_.begin(), index_.end(), [](const IndexEntry& a, const IndexEntry& b) {
        return std::less<const ModelNode*>()(a.node, b.node) || (a.node == b.node && a.fc < b.fc);
    });
    index_.shrink_to_fit();
    roots_.shrink_to_fit();
}

void ValueCache::bindDataSets() {
    if (model_ == nullptr) return;
    for (DataSet* set = model_->dataSets; set != nullptr; set = set->sibling) {
        for (DataSetEntry* entry = set->fcdas; entry != nullptr; entry = entry->sibling) {
            if (entry->dataObject == nullptr) {
                entry->dataObject = resolveMember(model_, entry->logicalDeviceName, entry->variableName, &entry->fc);
            }
            entry->value = entry->dataObject ? valueOf(entry->dataObject, entry->fc) : nullptr;
        }
    }
}

MmsValue* ValueCache::find(const ModelNode* node, FunctionalConstraint fc) const {
    auto it = std::lower_bound(index_.begin(), index_.end(), IndexEntry{node, fc, nullptr},
                               [](const IndexEntry& a, const IndexEntry& b) {
                                   return std::less<const ModelNode*>()(a.node, b.node) ||
                                          (a.node == b.node && a.fc < b.fc);
                               });
    return it != index_.end() && it->node == node && it->fc == fc ? it->value : nullptr;
}

MmsValue* ValueCache::valueOf(const LogicalNode* node, FunctionalConstraint fc) const { return find(node, fc); }

MmsValue* ValueCache::valueOf(const DataObject* object, FunctionalConstraint fc) const { return find(object, fc); }
