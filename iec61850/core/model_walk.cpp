// Walks over the static model records.
#include <cstring>

#include "iec61850/iec61850_model.h"

namespace {

struct FcName {
    FunctionalConstraint fc;
    const char* text;
};

constexpr FcName kFcNames[] = {
    {IEC61850_FC_ST, "ST"}, {IEC61850_FC_MX, "MX"}, {IEC61850_FC_SP, "SP"}, {IEC61850_FC_SV, "SV"},
    {IEC61850_FC_CF, "CF"}, {IEC61850_FC_DC, "DC"}, {IEC61850_FC_SG, "SG"}, {IEC61850_FC_SE, "SE"},
    {IEC61850_FC_SR, "SR"}, {IEC61850_FC_OR, "OR"}, {IEC61850_FC_BL, "BL"}, {IEC61850_FC_EX, "EX"},
    {IEC61850_FC_CO, "CO"}, {IEC61850_FC_RP, "RP"}, {IEC61850_FC_BR, "BR"}, {IEC61850_FC_LG, "LG"},
};

}  // namespace

const char* FunctionalConstraint_toString(FunctionalConstraint fc) {
    for (const auto& entry : kFcNames) {
        if (entry.fc == fc) return entry.text;
    }
    return nullptr;
}

FunctionalConstraint FunctionalConstraint_fromString(const char* text) {
    if (text == nullptr) return IEC61850_FC_NONE;
    for (const auto& entry : kFcNames) {
        if (std::strcmp(entry.text, text) == 0) return entry.fc;
    }
    return IEC61850_FC_NONE;
}

LogicalDevice* IedModel_getDeviceByInst(IedModel* self, const char* ldInst) {
    if (self == nullptr || ldInst == nullptr) return nullptr;
    for (ModelNode* node = self->firstChild; node != nullptr; node = node->sibling) {
        if (std::strcmp(node->name, ldInst) == 0) return static_cast<LogicalDevice*>(node);
    }
    return nullptr;
}

LogicalDevice* IedModel_getDeviceByIndex(IedModel* self, int index) {
    if (self == nullptr || index < 0) return nullptr;
    ModelNode* node = self->firstChild;
    for (int i = 0; node != nullptr && i < index; ++i) node = node->sibling;
    return static_cast<LogicalDevice*>(node);
}

int IedModel_getLogicalDeviceCount(IedModel* self) {
    int count = 0;
    for (ModelNode* node = self ? self->firstChild : nullptr; node != nullptr; node = node->sibling) ++count;
    return count;
}

ModelNode* ModelNode_getChild(ModelNode* self, const char* name) {
    if (self == nullptr || name == nullptr) return nullptr;
    for (ModelNode* child = self->firstChild; child != nullptr; child = child->sibling) {
        if (std::strcmp(child->name, name) == 0) return child;
    }
    return nullptr;
}

int ModelNode_getChildCount(ModelNode* self) {
    int count = 0;
    for (ModelNode* child = self ? self->firstChild : nullptr; child != nullptr; child = child->sibling) ++count;
    return count;
}
