#pragma once
// Index of the model parts the variable services serve besides the tree:
// data sets, report control blocks, log control blocks and logs, each tied
// to its logical device and logical node. Built once when the services are
// installed; the model never changes shape afterwards.

#include <deque>
#include <utility>
#include <string>
#include <vector>

#include "iec61850/iec61850_model.h"

namespace services {

struct DataSetMember {
    LogicalDevice* device = nullptr;
    LogicalNode* node = nullptr;
    FunctionalConstraint fc = IEC61850_FC_NONE;
    ModelNode* object = nullptr;  // the data object (or attribute) named by the member
    std::string itemId;           // "LN$FC$DO..." as MMS names it
};

struct DataSetInfo {
    LogicalDevice* device = nullptr;
    std::string name;      // "LLN0$dataset01" (MMS item id in the device's domain)
    std::string domainRef; // "FNN_STEUERBOXCLS1/LLN0$dataset01"
    std::vector<DataSetMember> members;
};

struct RcbInfo {
    LogicalDevice* device = nullptr;
    LogicalNode* node = nullptr;
    std::string name;
    std::string rptId;
    bool buffered = false;
    const DataSetInfo* dataSet = nullptr;
    uint32_t confRev = 0;
    uint8_t trgOps = 0;
    uint8_t options = 0;
    uint32_t bufTm = 0;
    uint32_t intgPd = 0;
};

struct LcbInfo {
    LogicalDevice* device = nullptr;
    LogicalNode* node = nullptr;
    std::string name;
    std::string dataSetRef;  // domain form, "" when none
    std::string logRef;      // domain form
    uint8_t trgOps = 0;
    uint32_t intgPd = 0;
    bool logEna = false;
    bool reasonCode = false;
};

struct LogInfo {
    LogicalDevice* device = nullptr;
    LogicalNode* node = nullptr;
    std::string name;
};

class ModelIndex {
public:
    explicit ModelIndex(IedModel* model);

    IedModel* model() const { return model_; }
    // MMS domain of a logical device: IED name followed by the device name.
    std::string domainName(const LogicalDevice* device) const;
    LogicalDevice* deviceByDomain(const std::string& domain) const;

    const std::deque<DataSetInfo>& dataSets() const { return dataSets_; }
    const std::vector<RcbInfo>& rcbs() const { return rcbs_; }
    const std::vector<LcbInfo>& lcbs() const { return lcbs_; }
    const std::vector<LogInfo>& logs() const { return logs_; }

    const DataSetInfo* findDataSet(const LogicalDevice* device, const std::string& itemId) const;
    // Accepts the domain form "FNN_STEUERBOXCLS1/LLN0$dataset01" and the
    // device form "CLS1/LLN0$dataset01".
    const DataSetInfo* findDataSetByReference(const std::string& reference) const;

    // Test seam: index parts added by hand for a model without records.
    void addDataSet(DataSetInfo info) { dataSets_.push_back(std::move(info)); }
    void addRcb(RcbInfo info) { rcbs_.push_back(std::move(info)); }
    void addLcb(LcbInfo info) { lcbs_.push_back(std::move(info)); }
    void addLog(LogInfo info) { logs_.push_back(std::move(info)); }

private:
    void indexRecords();

    IedModel* model_;
    std::vector<std::pair<std::string, LogicalDevice*>> domains_;
    std::deque<DataSetInfo> dataSets_;  // stable addresses: blocks point at them
    std::vector<RcbInfo> rcbs_;
    std::vector<LcbInfo> lcbs_;
    std::vector<LogInfo> logs_;
};

}  // namespace services
