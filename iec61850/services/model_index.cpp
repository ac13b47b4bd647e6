// Index of data sets, control blocks and logs over the model records.
#include "iec61850/services/model_index.h"

#include <cstring>

namespace services {

namespace {

LogicalDevice* deviceOf(const ModelNode* node) {
    while (node != nullptr && node->modelType != LogicalDeviceModelType) node = node->parent;
    return static_cast<LogicalDevice*>(const_cast<ModelNode*>(node));
}

std::string text(const char* s) { return s != nullptr ? s : ""; }

}  // namespace

ModelIndex::ModelIndex(IedModel* model) : model_(model) {
    if (model_ == nullptr) return;
    for (ModelNode* node = model_->firstChild; node != nullptr; node = node->sibling) {
        auto* device = static_cast<LogicalDevice*>(node);
        domains_.emplace_back(domainName(device), device);
    }
    indexRecords();
}

std::string ModelIndex::domainName(const LogicalDevice* device) const {
    return text(model_ != nullptr ? model_->name : nullptr) + text(device->name);
}

LogicalDevice* ModelIndex::deviceByDomain(const std::string& domain) const {
    for (const auto& [name, device] : domains_) {
        if (name == domain) return device;
    }
    return nullptr;
}

const DataSetInfo* ModelIndex::findDataSet(const LogicalDevice* device, const std::string& itemId) const {
    for (const auto& ds : dataSets_) {
        if (ds.device == device && ds.name == itemId) return &ds;
    }
    return nullptr;
}

const DataSetInfo* ModelIndex::findDataSetByReference(const std::string& reference) const {
    size_t slash = reference.find('/');
    if (slash == std::string::npos) return nullptr;
    std::string device = reference.substr(0, slash);
    std::string item = reference.substr(slash + 1);
    for (const auto& ds : dataSets_) {
        if (ds.name != item) continue;
        if (device == ds.device->name || device == domainName(ds.device)) return &ds;
    }
    return nullptr;
}

void ModelIndex::indexRecords() {
    for (DataSet* ds = model_->dataSets; ds != nullptr; ds = ds->sibling) {
        DataSetInfo info;
        info.device = IedModel_getDeviceByInst(model_, ds->logicalDeviceName);
        if (info.device == nullptr || ds->parent == nullptr) continue;  // not served: no domain
        info.name = text(ds->parent->name) + "$" + text(ds->name);
        info.domainRef = domainName(info.device) + "/" + info.name;
        for (DataSetEntry* e = ds->fcdas; e != nullptr; e = e->sibling) {
            DataSetMember m;
            m.device = IedModel_getDeviceByInst(model_, e->logicalDeviceName);
            m.object = e->dataObject;
            m.fc = e->fc;
            m.itemId = text(e->variableName);
            if (m.object != nullptr) {
                ModelNode* ln = m.object->parent;
                while (ln != nullptr && ln->modelType != LogicalNodeModelType) ln = ln->parent;
                m.node = static_cast<LogicalNode*>(ln);
            }
            if (m.device == nullptr || m.object == nullptr || m.node == nullptr) continue;
            info.members.push_back(std::move(m));
        }
        dataSets_.push_back(std::move(info));
    }
    for (ReportControlBlock* rcb = model_->rcbs; rcb != nullptr; rcb = rcb->sibling) {
        RcbInfo info;
        info.node = rcb->parent;
        info.device = deviceOf(rcb->parent);
        if (info.device == nullptr) continue;
        info.name = text(rcb->name);
        info.rptId = text(rcb->rptId);
        info.buffered = rcb->buffered;
        if (rcb->dataSetName != nullptr && rcb->dataSetName[0] != '\0')
            info.dataSet = findDataSet(info.device, text(rcb->parent->name) + "$" + rcb->dataSetName);
        info.confRev = rcb->confRev;
        info.trgOps = rcb->trgOps;
        info.options = rcb->options;
        info.bufTm = rcb->bufferTime;
        info.intgPd = rcb->intPeriod;
        rcbs_.push_back(std::move(info));
    }
    for (LogControlBlock* lcb = model_->lcbs; lcb != nullptr; lcb = lcb->sibling) {
        LcbInfo info;
        info.node = lcb->parent;
        info.device = deviceOf(lcb->parent);
        if (info.device == nullptr) continue;
        info.name = text(lcb->name);
        if (lcb->dataSetName != nullptr && lcb->dataSetName[0] != '\0')
            info.dataSetRef = domainName(info.device) + "/" + text(lcb->parent->name) + "$" + lcb->dataSetName;
        // The model names the log by device instance ("STB/LLN0$logSTB");
        // clients see it in its domain.
        info.logRef = text(model_->name) + text(lcb->logRef);
        info.trgOps = lcb->trgOps;
        info.intgPd = lcb->intPeriod;
        info.logEna = lcb->logEna;
        info.reasonCode = lcb->reasonCode;
        lcbs_.push_back(std::move(info));
    }
    for (Log* log = model_->logs; log != nullptr; log = log->sibling) {
        LogInfo info;
        info.node = log->parent;
        info.device = deviceOf(log->parent);
        if (info.device == nullptr) continue;
        info.name = text(log->name);
        logs_.push_back(std::move(info));
    }
}

}  // namespace services
