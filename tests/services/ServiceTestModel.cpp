#include "ServiceTestModel.h"

#include <cstdio>

namespace servicetest {

template <typename T>
T* TestModel::node(ModelNodeType type, const char* name, ModelNode* parent) {
    T& n = std::get<std::deque<T>>(storage_).emplace_back();
    n.modelType = type;
    n.name = name;
    n.parent = parent;
    if (parent != nullptr) {
        ModelNode** slot = &parent->firstChild;
        while (*slot != nullptr) slot = &(*slot)->sibling;
        *slot = &n;
    }
    return &n;
}

DataAttribute* TestModel::attr(const char* name, ModelNode* parent, FunctionalConstraint fc, DataAttributeType type,
                               uint8_t trg) {
    DataAttribute* a = node<DataAttribute>(DataAttributeModelType, name, parent);
    a->fc = fc;
    a->type = type;
    a->triggerOptions = trg;
    return a;
}

TestModel::TestModel() {
    model_.name = "IED";
    auto* ld = node<LogicalDevice>(LogicalDeviceModelType, "LD1", nullptr);
    model_.firstChild = ld;
    auto* lln0 = node<LogicalNode>(LogicalNodeModelType, "LLN0", ld);
    auto* namPlt = node<DataObject>(DataObjectModelType, "NamPlt", lln0);
    vendor = attr("vendor", namPlt, IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255, 0);
    configRev = attr("configRev", namPlt, IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255, 0);

    auto* ggio = node<LogicalNode>(LogicalNodeModelType, "GGIO1", ld);
    auto* anIn = node<DataObject>(DataObjectModelType, "AnIn1", ggio);
    auto* mag = attr("mag", anIn, IEC61850_FC_MX, IEC61850_CONSTRUCTED, TRG_OPT_DATA_UPDATE);
    magF = attr("f", mag, IEC61850_FC_MX, IEC61850_FLOAT32, TRG_OPT_DATA_UPDATE);
    q = attr("q", anIn, IEC61850_FC_MX, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED);
    t = attr("t", anIn, IEC61850_FC_MX, IEC61850_TIMESTAMP, 0);
    auto* units = attr("units", anIn, IEC61850_FC_CF, IEC61850_CONSTRUCTED, TRG_OPT_DATA_CHANGED);
    attr("SIUnit", units, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);
    multiplier = attr("multiplier", units, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);

    auto* spc = node<DataObject>(DataObjectModelType, "SPCSO1", ggio);
    stVal = attr("stVal", spc, IEC61850_FC_ST, IEC61850_BOOLEAN, TRG_OPT_DATA_CHANGED);
    attr("q", spc, IEC61850_FC_ST, IEC61850_QUALITY, TRG_OPT_QUALITY_CHANGED);
    ctlModel = attr("ctlModel", spc, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);
    auto* oper = attr("Oper", spc, IEC61850_FC_CO, IEC61850_CONSTRUCTED, 0);
    attr("ctlVal", oper, IEC61850_FC_CO, IEC61850_BOOLEAN, 0);
    auto* origin = attr("origin", oper, IEC61850_FC_CO, IEC61850_CONSTRUCTED, 0);
    attr("orCat", origin, IEC61850_FC_CO, IEC61850_ENUMERATED, 0);
    attr("orIdent", origin, IEC61850_FC_CO, IEC61850_OCTET_STRING_64, 0);
    attr("ctlNum", oper, IEC61850_FC_CO, IEC61850_INT8U, 0);
    attr("T", oper, IEC61850_FC_CO, IEC61850_TIMESTAMP, 0);
    attr("Test", oper, IEC61850_FC_CO, IEC61850_BOOLEAN, 0);
    attr("Check", oper, IEC61850_FC_CO, IEC61850_CHECK, 0);

    auto* pos = node<DataObject>(DataObjectModelType, "Pos", ggio);
    posStVal = attr("stVal", pos, IEC61850_FC_ST, IEC61850_CODEDENUM, TRG_OPT_DATA_CHANGED);
    attr("ctlModel", pos, IEC61850_FC_CF, IEC61850_ENUMERATED, TRG_OPT_DATA_CHANGED);

    auto* prioDo = node<DataObject>(DataObjectModelType, "Prio", ggio);
    prio = attr("setVal", prioDo, IEC61850_FC_SP, IEC61850_INT32, TRG_OPT_DATA_CHANGED);

    auto* name = node<DataObject>(DataObjectModelType, "Name", ggio);
    attr("stVal", name, IEC61850_FC_ST, IEC61850_VISIBLE_STRING_255, TRG_OPT_DATA_CHANGED);
    attr("d", name, IEC61850_FC_DC, IEC61850_VISIBLE_STRING_255, 0);
    attr("dataNs", name, IEC61850_FC_EX, IEC61850_VISIBLE_STRING_255, 0);

    entries_[0] = {"LD1", "GGIO1$MX$AnIn1", anIn, IEC61850_FC_MX, nullptr, &entries_[1]};
    entries_[1] = {"LD1", "GGIO1$ST$SPCSO1", spc, IEC61850_FC_ST, nullptr, nullptr};
    dataSet_ = {"LD1", lln0, "ds", 2, &entries_[0], nullptr};
    rcb_.parent = lln0;
    rcb_.name = "rcb01";
    rcb_.rptId = "LD1/rpt";
    rcb_.dataSetName = "ds";
    rcb_.confRev = 1;
    rcb_.trgOps = TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED | TRG_OPT_DATA_UPDATE | TRG_OPT_GI;
    rcb_.options = 0x8e;
    lcb_ = {lln0, "lcb01", "ds", "LD1/LLN0$log01", TRG_OPT_DATA_CHANGED | TRG_OPT_QUALITY_CHANGED, 0, true, true,
            nullptr};
    log_ = {lln0, "log01", nullptr};
    model_.dataSets = &dataSet_;
    model_.rcbs = &rcb_;
    model_.lcbs = &lcb_;
    model_.logs = &log_;
}

void writeObjectName(ber::Writer& w, const std::string& domain, const std::string& item) {
    size_t m = w.begin(ber::context(1));
    w.writeVisibleString(ber::universal(26), domain);
    w.writeVisibleString(ber::universal(26), item);
    w.end(m);
}

std::vector<uint8_t> getNameListRequest(int objectClass, const std::string& domain, const std::string& continueAfter) {
    ber::Writer w;
    size_t c = w.begin(ber::context(0));
    w.writeInteger(ber::context(0), objectClass);
    w.end(c);
    size_t s = w.begin(ber::context(1));
    if (domain.empty())
        w.writeNull(ber::context(0));
    else
        w.writeVisibleString(ber::context(1), domain);
    w.end(s);
    if (!continueAfter.empty()) w.writeVisibleString(ber::context(2), continueAfter);
    return w.take();
}

static void writeVariableList(ber::Writer& w, const std::vector<std::pair<std::string, std::string>>& names) {
    size_t list = w.begin(ber::context(0));
    for (const auto& [domain, item] : names) {
        size_t entry = w.begin(ber::universal(ber::kUniversalSequence));
        size_t spec = w.begin(ber::context(0));
        writeObjectName(w, domain, item);
        w.end(spec);
        w.end(entry);
    }
    w.end(list);
}

std::vector<uint8_t> readRequest(const std::vector<std::pair<std::string, std::string>>& names) {
    ber::Writer w;
    size_t spec = w.begin(ber::context(1));
    writeVariableList(w, names);
    w.end(spec);
    return w.take();
}

std::vector<uint8_t> readListRequest(const std::string& domain, const std::string& item) {
    ber::Writer w;
    w.writeBoolean(ber::context(0), true);
    size_t spec = w.begin(ber::context(1));
    size_t name = w.begin(ber::context(1));
    writeObjectName(w, domain, item);
    w.end(name);
    w.end(spec);
    return w.take();
}

std::vector<uint8_t> writeRequest(const std::string& domain, const std::string& item, const MmsValue* value) {
    ber::Writer w;
    writeVariableList(w, {{domain, item}});
    size_t data = w.begin(ber::context(0));
    if (!ber::encodeMmsData(w, value)) w.writeNull(ber::context(3));
    w.end(data);
    return w.take();
}

std::vector<uint8_t> nameRequest(const std::string& domain, const std::string& item, bool wrapInName) {
    ber::Writer w;
    size_t m = wrapInName ? w.begin(ber::context(0)) : 0;
    writeObjectName(w, domain, item);
    if (wrapInName) w.end(m);
    return w.take();
}

MmsValuePtr operValue(bool ctlVal, int elements) {
    MmsValuePtr oper(MmsValue_createEmptyStructure(elements));
    MmsValue_setElement(oper.get(), 0, MmsValue_newBoolean(ctlVal));
    if (elements < 6) return oper;
    MmsValue* origin = MmsValue_createEmptyStructure(2);
    MmsValue_setElement(origin, 0, MmsValue_newIntegerFromInt32(0));
    MmsValue_setElement(origin, 1, MmsValue_newOctetString(0, 64));
    MmsValue_setElement(oper.get(), 1, origin);
    MmsValue_setElement(oper.get(), 2, MmsValue_newUnsignedFromUint32(1));
    MmsValue_setElement(oper.get(), 3, MmsValue_newUtcTime(1765360000));
    MmsValue_setElement(oper.get(), 4, MmsValue_newBoolean(false));
    MmsValue_setElement(oper.get(), 5, MmsValue_newBitString(2));
    return oper;
}

NameListPage decodeNameList(std::span<const uint8_t> content) {
    NameListPage page;
    page.moreFollows = true;  // the default when absent
    ber::Reader r(content);
    ber::Tlv tlv;
    while (r.next(tlv)) {
        if (tlv.is(ber::context(0))) {
            ber::Reader list = r.enter(tlv);
            ber::Tlv name;
            while (list.next(name)) {
                std::string text;
                if (ber::decodeVisibleString(name.content, text)) page.names.push_back(text);
            }
        } else if (tlv.is(ber::context(1))) {
            if (!ber::decodeBoolean(tlv.content, page.moreFollows)) page.moreFollows = false;
        }
    }
    return page;
}

std::vector<MmsValuePtr> decodeReadResults(std::span<const uint8_t> content) {
    std::vector<MmsValuePtr> out;
    ber::Reader r(content);
    ber::Tlv tlv;
    while (r.next(tlv)) {
        if (!tlv.is(ber::context(1))) continue;
        ber::Reader list = r.enter(tlv);
        ber::Tlv item;
        while (list.next(item)) out.push_back(ber::decodeAccessResult(item, list.depth()));
    }
    return out;
}

std::vector<int> decodeWriteResults(std::span<const uint8_t> content) {
    std::vector<int> out;
    ber::Reader r(content);
    ber::Tlv tlv;
    while (r.next(tlv)) {
        if (tlv.is(ber::context(1))) {
            out.push_back(DATA_ACCESS_ERROR_SUCCESS);
        } else {
            int64_t code = -2;
            if (!ber::decodeInteger(tlv.content, code)) code = -2;
            out.push_back(static_cast<int>(code));
        }
    }
    return out;
}

Report decodeReport(std::span<const uint8_t> pdu) {
    Report report;
    ber::Tlv outer;
    if (!ber::decodeSingle(pdu, outer) || !outer.is(ber::context(3))) return report;
    ber::Reader r0 = ber::Reader(pdu).enter(outer);
    ber::Tlv info;
    if (!r0.next(info) || !info.is(ber::context(0))) return report;
    ber::Reader r1 = r0.enter(info);
    ber::Tlv spec, results;
    if (!r1.next(spec) || !r1.next(results)) return report;
    ber::Reader specReader = r1.enter(spec);
    ber::Tlv name;
    if (specReader.next(name) && !ber::decodeVisibleString(name.content, report.name)) report.name.clear();
    ber::Reader list = r1.enter(results);
    ber::Tlv item;
    while (list.next(item)) report.values.push_back(ber::decodeAccessResult(item, list.depth()));
    return report;
}

std::string hex(std::span<const uint8_t> bytes) {
    std::string out;
    char buf[3];
    for (uint8_t b : bytes) {
        std::snprintf(buf, sizeof(buf), "%02x", b);
        out += buf;
    }
    return out;
}

}  // namespace servicetest
