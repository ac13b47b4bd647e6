#pragma once
// Small walks over the model records for the model tests.

#include <functional>
#include <string>
#include <vector>

#include "iec61850/iec61850_model.h"

namespace modeltest {

inline std::vector<ModelNode*> children(ModelNode* node) {
    std::vector<ModelNode*> list;
    for (ModelNode* c = node ? node->firstChild : nullptr; c != nullptr; c = c->sibling) list.push_back(c);
    return list;
}

inline std::vector<std::string> childNames(ModelNode* node) {
    std::vector<std::string> names;
    for (ModelNode* c : children(node)) names.emplace_back(c->name);
    return names;
}

// Visits every attribute below node with its top-level attribute.
inline void forEachAttribute(ModelNode* node, const std::function<void(DataAttribute*, DataAttribute* top)>& visit,
                             DataAttribute* top = nullptr) {
    for (ModelNode* c : children(node)) {
        if (c->modelType != DataAttributeModelType) continue;
        auto* attr = static_cast<DataAttribute*>(c);
        DataAttribute* t = top ? top : attr;
        visit(attr, t);
        forEachAttribute(attr, visit, t);
    }
}

inline ModelNode* find(ModelNode* node, std::initializer_list<const char*> path) {
    for (const char* name : path) node = ModelNode_getChild(node, name);
    return node;
}

inline ModelNode* device(IedModel* model, const char* name) { return IedModel_getDeviceByInst(model, name); }

// "CLS1/LLN0.NamPlt.vendor" style path of a node.
inline std::string pathOf(ModelNode* node) {
    std::string path;
    for (ModelNode* n = node; n != nullptr; n = n->parent) {
        const std::string sep = n->parent == nullptr ? "" : (n->parent->parent == nullptr ? "/" : ".");
        path = sep + n->name + path;
    }
    return path.substr(0);
}

}  // namespace modeltest
