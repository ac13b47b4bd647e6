// Mapping between MMS item ids and the model tree; the name list of a domain.
#include "iec61850/services/variable_reference.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <functional>

namespace services {

const char* const kRcbFieldNames[RCB_FIELD_COUNT] = {"RptID",  "RptEna", "Resv",  "DatSet", "ConfRev", "OptFlds",
                                                     "BufTm",  "SqNum",  "TrgOps", "IntgPd", "GI"};
const char* const kLcbFieldNames[LCB_FIELD_COUNT] = {"LogEna",  "LogRef",  "DatSet", "OldEntrTm", "NewEntrTm",
                                                     "OldEntr", "NewEntr", "TrgOps", "IntgPd"};

const FunctionalConstraint kLogicalNodeFcOrder[] = {
    IEC61850_FC_MX, IEC61850_FC_ST, IEC61850_FC_CO, IEC61850_FC_CF, IEC61850_FC_DC, IEC61850_FC_SP,
    IEC61850_FC_SG, IEC61850_FC_RP, IEC61850_FC_LG, IEC61850_FC_BR, IEC61850_FC_SV, IEC61850_FC_SE,
    IEC61850_FC_EX, IEC61850_FC_SR, IEC61850_FC_OR, IEC61850_FC_BL,
};
const size_t kLogicalNodeFcCount = sizeof(kLogicalNodeFcOrder) / sizeof(kLogicalNodeFcOrder[0]);

namespace {

bool isFcForNodes(FunctionalConstraint fc) {
    return fc != IEC61850_FC_RP && fc != IEC61850_FC_BR && fc != IEC61850_FC_LG;
}

std::vector<std::string_view> splitItemId(std::string_view itemId) {
    std::vector<std::string_view> parts;
    size_t start = 0;
    while (true) {
        size_t pos = itemId.find('$', start);
        parts.push_back(itemId.substr(start, pos == std::string_view::npos ? std::string_view::npos : pos - start));
        if (pos == std::string_view::npos) break;
        start = pos + 1;
    }
    return parts;
}

ModelNode* childNamed(const ModelNode* parent, std::string_view name) {
    for (ModelNode* child = parent->firstChild; child != nullptr; child = child->sibling) {
        if (name == child->name) return child;
    }
    return nullptr;
}

int componentCompare(std::string_view a, std::string_view b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        int ca = std::tolower(static_cast<unsigned char>(a[i]));
        int cb = std::tolower(static_cast<unsigned char>(b[i]));
        if (ca != cb) return ca < cb ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

}  // namespace

bool hasFc(const ModelNode* node, FunctionalConstraint fc) {
    if (node->modelType == DataAttributeModelType) return static_cast<const DataAttribute*>(node)->fc == fc;
    for (const ModelNode* child = node->firstChild; child != nullptr; child = child->sibling) {
        if (hasFc(child, fc)) return true;
    }
    return false;
}

std::vector<ModelNode*> childrenUnderFc(const ModelNode* node, FunctionalConstraint fc) {
    std::vector<ModelNode*> out;
    bool filter = node->modelType != DataAttributeModelType;
    for (ModelNode* child = node->firstChild; child != nullptr; child = child->sibling) {
        if (!filter || hasFc(child, fc)) out.push_back(child);
    }
    return out;
}

std::vector<FunctionalConstraint> fcsOfNode(const ModelIndex& index, const LogicalNode* node) {
    std::vector<FunctionalConstraint> out;
    for (size_t i = 0; i < kLogicalNodeFcCount; ++i) {
        FunctionalConstraint fc = kLogicalNodeFcOrder[i];
        bool present = false;
        if (fc == IEC61850_FC_RP || fc == IEC61850_FC_BR) {
            for (const auto& rcb : index.rcbs()) {
                if (rcb.node == node && rcb.buffered == (fc == IEC61850_FC_BR)) present = true;
            }
        } else if (fc == IEC61850_FC_LG) {
            for (const auto& lcb : index.lcbs()) {
                if (lcb.node == node) present = true;
            }
        } else {
            present = hasFc(node, fc);
        }
        if (present) out.push_back(fc);
    }
    return out;
}

std::optional<VariableRef> resolveVariable(const ModelIndex& index, LogicalDevice* device, std::string_view itemId) {
    if (device == nullptr || itemId.empty()) return std::nullopt;
    std::vector<std::string_view> parts = splitItemId(itemId);
    for (auto part : parts) {
        if (part.empty()) return std::nullopt;
    }
    VariableRef ref;
    ref.device = device;
    ModelNode* ln = childNamed(device, parts[0]);
    if (ln == nullptr || ln->modelType != LogicalNodeModelType) return std::nullopt;
    ref.node = static_cast<LogicalNode*>(ln);
    if (parts.size() == 1) return ref;

    if (parts[1].size() != 2) return std::nullopt;
    std::string fcText(parts[1]);
    ref.fc = FunctionalConstraint_fromString(fcText.c_str());
    if (ref.fc == IEC61850_FC_NONE) return std::nullopt;
    ref.kind = RefKind::FcGroup;
    if (parts.size() == 2) {
        std::vector<FunctionalConstraint> present = fcsOfNode(index, ref.node);
        if (std::find(present.begin(), present.end(), ref.fc) == present.end()) return std::nullopt;
        return ref;
    }

    if (!isFcForNodes(ref.fc)) {
        if (parts.size() > 4) return std::nullopt;
        if (ref.fc == IEC61850_FC_LG) {
            const auto& lcbs = index.lcbs();
            for (size_t i = 0; i < lcbs.size(); ++i) {
                if (lcbs[i].node == ref.node && lcbs[i].name == parts[2]) ref.lcb = static_cast<int>(i);
            }
            if (ref.lcb < 0) return std::nullopt;
        } else {
            const auto& rcbs = index.rcbs();
            for (size_t i = 0; i < rcbs.size(); ++i) {
                if (rcbs[i].node == ref.node && rcbs[i].name == parts[2] &&
                    rcbs[i].buffered == (ref.fc == IEC61850_FC_BR))
                    ref.rcb = static_cast<int>(i);
            }
            if (ref.rcb < 0) return std::nullopt;
        }
        ref.kind = RefKind::ControlBlock;
        if (parts.size() == 3) return ref;
        const char* const* names = ref.fc == IEC61850_FC_LG ? kLcbFieldNames : kRcbFieldNames;
        int count = ref.fc == IEC61850_FC_LG ? static_cast<int>(LCB_FIELD_COUNT) : static_cast<int>(RCB_FIELD_COUNT);
        for (int i = 0; i < count; ++i) {
            if (parts[3] == names[i]) ref.field = i;
        }
        if (ref.field < 0) return std::nullopt;
        ref.kind = RefKind::ControlBlockField;
        return ref;
    }

    ModelNode* current = ref.node;
    for (size_t i = 2; i < parts.size(); ++i) {
        ModelNode* child = childNamed(current, parts[i]);
        if (child == nullptr || !hasFc(child, ref.fc)) return std::nullopt;
        current = child;
    }
    ref.kind = RefKind::Element;
    ref.element = current;
    return ref;
}

bool mmsNameLess(std::string_view a, std::string_view b) {
    while (true) {
        size_t pa = a.find('$');
        size_t pb = b.find('$');
        int c = componentCompare(a.substr(0, pa), b.substr(0, pb));
        if (c != 0) return c < 0;
        if (pa == std::string_view::npos || pb == std::string_view::npos) {
            // Equal first components: the name that ends here comes first.
            return pa == std::string_view::npos && pb != std::string_view::npos;
        }
        a.remove_prefix(pa + 1);
        b.remove_prefix(pb + 1);
    }
}

std::vector<std::string> namedVariablesOf(const ModelIndex& index, const LogicalDevice* device) {
    std::vector<std::string> names;
    std::function<void(const ModelNode*, FunctionalConstraint, const std::string&)> addTree =
        [&](const ModelNode* node, FunctionalConstraint fc, const std::string& prefix) {
            for (ModelNode* child : childrenUnderFc(node, fc)) {
                std::string name = prefix + "$" + child->name;
                names.push_back(name);
                addTree(child, fc, name);
            }
        };
    for (const ModelNode* ln = device->firstChild; ln != nullptr; ln = ln->sibling) {
        const auto* node = static_cast<const LogicalNode*>(ln);
        names.emplace_back(ln->name);
        for (FunctionalConstraint fc : fcsOfNode(index, node)) {
            std::string fcPrefix = std::string(ln->name) + "$" + FunctionalConstraint_toString(fc);
            names.push_back(fcPrefix);
            if (fc == IEC61850_FC_RP || fc == IEC61850_FC_BR) {
                for (const auto& rcb : index.rcbs()) {
                    if (rcb.node != node || rcb.buffered != (fc == IEC61850_FC_BR)) continue;
                    names.push_back(fcPrefix + "$" + rcb.name);
                    for (const char* field : kRcbFieldNames) names.push_back(fcPrefix + "$" + rcb.name + "$" + field);
                }
            } else if (fc == IEC61850_FC_LG) {
                for (const auto& lcb : index.lcbs()) {
                    if (lcb.node != node) continue;
                    names.push_back(fcPrefix + "$" + lcb.name);
                    for (const char* field : kLcbFieldNames) names.push_back(fcPrefix + "$" + lcb.name + "$" + field);
                }
            } else {
                addTree(node, fc, fcPrefix);
            }
        }
    }
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return mmsNameLess(a, b); });
    return names;
}

}  // namespace services
