#pragma once
// A small model with the shapes the services care about, plus helpers that
// encode MMS service requests and decode the answers.
//
//   IED "IED", device "LD1" (domain "IEDLD1"):
//     LLN0:  NamPlt{vendor DC, configRev DC}, data set "LLN0$ds" (GGIO1$MX$AnIn1, GGIO1$ST$SPCSO1),
//            report block "rcb01" (rptID "LD1/rpt", dchg|qchg|dupd|GI, options 0x8e),
//            log block "lcb01" (data set "ds", log "log01"), log "log01"
//     GGIO1: AnIn1 (MV: mag{f} MX dupd, q MX qchg, t MX, units{SIUnit, multiplier} CF dchg)
//            SPCSO1 (SPC: stVal ST dchg, q ST qchg, ctlModel CF, Oper CO {ctlVal, origin{orCat, orIdent},
//                    ctlNum, T, Test, Check})
//            Pos (status only: stVal ST CODEDENUM dchg, ctlModel CF = 0)
//            Prio (ING: setVal SP INT32 dchg)
//            Name (VSS: stVal ST VISIBLE_STRING_255; d DC VISIBLE_STRING_255; dataNs EX)

#include <deque>
#include <span>
#include <string>
#include <tuple>
#include <vector>

#include "iec61850/iec61850_model.h"
#include "iec61850/iec61850_server.h"
#include "iec61850/mms/ber.h"

namespace servicetest {

class TestModel {
public:
    TestModel();
    TestModel(const TestModel&) = delete;
    TestModel& operator=(const TestModel&) = delete;

    IedModel* model() { return &model_; }

    DataAttribute *vendor, *configRev, *magF, *q, *t, *multiplier, *stVal, *ctlModel, *posStVal, *prio;

private:
    template <typename T>
    T* node(ModelNodeType type, const char* name, ModelNode* parent);
    DataAttribute* attr(const char* name, ModelNode* parent, FunctionalConstraint fc, DataAttributeType type,
                        uint8_t trg);

    IedModel model_{};
    std::tuple<std::deque<LogicalDevice>, std::deque<LogicalNode>, std::deque<DataObject>, std::deque<DataAttribute>>
        storage_;
    DataSetEntry entries_[2]{};
    DataSet dataSet_{};
    ReportControlBlock rcb_{};
    LogControlBlock lcb_{};
    Log log_{};
};

// --- request encoding ----------------------------------------------------------
void writeObjectName(ber::Writer& w, const std::string& domain, const std::string& item);
std::vector<uint8_t> getNameListRequest(int objectClass, const std::string& domain,
                                        const std::string& continueAfter = "");
std::vector<uint8_t> readRequest(const std::vector<std::pair<std::string, std::string>>& names);
std::vector<uint8_t> readListRequest(const std::string& domain, const std::string& item);
std::vector<uint8_t> writeRequest(const std::string& domain, const std::string& item, const MmsValue* value);
std::vector<uint8_t> nameRequest(const std::string& domain, const std::string& item, bool wrapInName);
// An "Oper" value {ctlVal, origin{orCat, orIdent}, ctlNum, T, Test, Check};
// with fewer elements only ctlVal is set.
MmsValuePtr operValue(bool ctlVal, int elements = 6);

// --- answer decoding ---------------------------------------------------------------
struct NameListPage {
    std::vector<std::string> names;
    bool moreFollows = false;
};
NameListPage decodeNameList(std::span<const uint8_t> content);
// Read results: values (or data-access errors) in order.
std::vector<MmsValuePtr> decodeReadResults(std::span<const uint8_t> content);
// Write results: DATA_ACCESS_ERROR_SUCCESS or the error, per item.
std::vector<int> decodeWriteResults(std::span<const uint8_t> content);
// An InformationReport PDU: the "RPT" name and its access results.
struct Report {
    std::string name;
    std::vector<MmsValuePtr> values;
};
Report decodeReport(std::span<const uint8_t> pdu);

std::string hex(std::span<const uint8_t> bytes);

}  // namespace servicetest
