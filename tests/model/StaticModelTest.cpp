// The structure of the static model "FNN_STEUERBOX".
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>

#include "model/StaticModel.h"
#include "tests/model/ModelWalk.h"

using namespace modeltest;

namespace {

struct Counts {
    int nodes = 0, objects = 0, attributes = 0, controllable = 0, statusOnly = 0;
};

Counts countDevice(ModelNode* device) {
    Counts c;
    for (ModelNode* node : children(device)) {
        ++c.nodes;
        for (ModelNode* object : children(node)) {
            ++c.objects;
            const bool oper = ModelNode_getChild(object, "Oper") != nullptr;
            const bool ctlModel = ModelNode_getChild(object, "ctlModel") != nullptr;
            if (oper) ++c.controllable;
            if (ctlModel && !oper) ++c.statusOnly;
            forEachAttribute(object, [&](DataAttribute*, DataAttribute*) { ++c.attributes; });
        }
    }
    return c;
}

TEST(StaticModel, CountsPerDeviceAndInAll) {
    IedModel* model = getStaticIedModel();
    ASSERT_NE(model, nullptr);
    EXPECT_STREQ(model->name, "FNN_STEUERBOX");
    EXPECT_EQ(model->initializer, &staticModelInitializer);
    EXPECT_EQ(getStaticIedModel(), model);  // built once

    struct Expected {
        const char* device;
        int nodes, objects, attributes, controllable, statusOnly;
    };
    const Expected table[] = {
        {"STB", 12, 85, 444, 12, 13},
        {"CLS1", 34, 2271, 11611, 47, 11},
        {"CLS2", 34, 2271, 11611, 47, 11},
        {"CLS3", 34, 2271, 11611, 47, 11},
        {"CLS4", 34, 2271, 11611, 47, 11},
    };
    EXPECT_EQ(IedModel_getLogicalDeviceCount(model), 5);
    Counts total;
    int index = 0;
    for (const Expected& e : table) {
        ModelNode* ld = IedModel_getDeviceByIndex(model, index++);
        ASSERT_NE(ld, nullptr);
        EXPECT_STREQ(ld->name, e.device);
        EXPECT_EQ(static_cast<LogicalDevice*>(ld)->ldName, nullptr);
        const Counts c = countDevice(ld);
        EXPECT_EQ(c.nodes, e.nodes) << e.device;
        EXPECT_EQ(c.objects, e.objects) << e.device;
        EXPECT_EQ(c.attributes, e.attributes) << e.device;
        EXPECT_EQ(c.controllable, e.controllable) << e.device;
        EXPECT_EQ(c.statusOnly, e.statusOnly) << e.device;
        total.nodes += c.nodes;
        total.objects += c.objects;
        total.attributes += c.attributes;
        total.controllable += c.controllable;
        total.statusOnly += c.statusOnly;
    }
    EXPECT_EQ(total.nodes, 148);
    EXPECT_EQ(total.objects, 9169);
    EXPECT_EQ(total.attributes, 46888);
    EXPECT_EQ(total.controllable, 200);
    EXPECT_EQ(total.statusOnly, 57);
}

TEST(StaticModel, SiblingOrder) {
    IedModel* model = getStaticIedModel();
    struct Case {
        std::vector<const char*> path;
        std::vector<std::string> children;
    };
    const Case cases[] = {
        {{"STB", "LLN0"}, {"NamPlt", "Beh", "Health", "Mod"}},
        {{"STB", "CommFail_GGIO1"}, {"Ind1", "Ind2", "Beh"}},
        {{"CLS2", "CommFail_GGIO1"}, {"Ind1", "Beh"}},
        {{"STB", "LPHD"}, {"PhyNam", "PhyHealth", "Proxy", "NumPwrUp", "WrmStr", "RsDev", "PwrSupAlm", "NamParamRev"}},
        {{"STB", "LDMS1", "UpdInst"}, {"stVal", "q", "t", "ctlModel", "Oper"}},
        {{"STB", "LDMS1", "UpdInst", "Oper"}, {"ctlVal", "operTm", "origin", "ctlNum", "T", "Test", "Check"}},
        {{"STB", "LPHD", "RsDev"}, {"origin", "ctlNum", "stVal", "q", "t", "ctlModel", "Oper"}},
        {{"STB", "LPHD", "RsDev", "Oper"}, {"ctlVal", "origin", "ctlNum", "T", "Test", "Check"}},
        {{"STB", "LLN0", "NamPlt"}, {"vendor", "swRev", "ldNs", "d", "configRev"}},
        {{"CLS1", "FailSafe_GGIO001", "FailDurSet"},
         {"mxVal", "q", "t", "ctlModel", "Oper", "units", "minVal", "maxVal"}},
        {{"CLS1", "ActPow_GGIO001", "AnOut1"}, {"mxVal", "q", "t", "ctlModel", "units", "minVal", "maxVal"}},
        {{"CLS1", "MMXU001", "TotW"}, {"mag", "q", "t", "units", "db", "dbRef", "d"}},
        {{"CLS1", "EmpDCmd_FSCH050001", "StrTm01", "setCal"},
         {"occ", "occType", "occPer", "weekDay", "month", "day", "hr", "mn"}},
        {{"CLS3", "SysSoft_FSCH110002"},
         {"Beh", "NamPlt", "SchdSt", "SchdEntr", "ValMV", "ActStrTm", "NxtStrTm", "SchdEnaErr", "EnaReq", "DsaReq",
          "SchdPrio", "NumEntr", "SchdIntv", "ValASG001", "SchdReuse", "EvTrg", "InSyn"}},
        {{"CLS1"},
         {"LLN0", "MMXU001", "Softstart_GGIO001", "CommFail_GGIO1", "ActPow_GGIO001", "FailSafe_GGIO001",
          "DERRtg_GGIO001", "ActPow_FSCC001", "SysRes_FSCH010001", "EmpSPrg_FSCH020001", "EmpSPrg_FSCH020002",
          "EmpSPrg_FSCH020003", "EmpSPrg_FSCH020004", "EmpSPrg_FSCH020005", "EmpSPrg_FSCH020101",
          "EmpSPrg_FSCH020102", "EmpSPrg_FSCH020103", "EmpWCmd_FSCH030001", "EmpWCmd_FSCH030002",
          "EmpDCmd_FSCH050001", "EmpDCmd_FSCH050002", "SysSoft_FSCH110001", "SysSoft_FSCH110002",
          "SysSoft_FSCH110003", "SysSoft_FSCH110004", "DsoWCmd_FSCH130001", "DsoWCmd_FSCH130002",
          "DsoDCmd_FSCH150001", "DsoDCmd_FSCH150002", "SysComEr_FSCH220001", "DsoECmd_FSCH250001",
          "DsoECmd_FSCH250002", "DsoECmd_FSCH250003", "DsoECmd_FSCH250004"}},
        {{"STB"},
         {"LLN0", "LPHD", "LCMS1", "LDMS1", "CommFail_GGIO1", "LTMS1", "Manip_GGIO1", "S1_XSWI1", "S2_XSWI1",
          "W3_XSWI1", "W4_XSWI1", "Test_GGIO1"}},
    };
    for (const Case& c : cases) {
        ModelNode* node = device(model, c.path[0]);
        for (size_t i = 1; i < c.path.size(); ++i) node = ModelNode_getChild(node, c.path[i]);
        ASSERT_NE(node, nullptr) << c.path.back();
        EXPECT_EQ(childNames(node), c.children) << c.path.back();
        for (ModelNode* child : children(node)) EXPECT_EQ(child->parent, node);
    }
}

TEST(StaticModel, ScheduleNodesHaveTheirVariant) {
    IedModel* model = getStaticIedModel();
    struct Case {
        const char* node;
        size_t objects;
        const char* lastValue;
        const char* missingValue;
        const char* lastStart;   // null: none
        bool calendar;
        bool trigger;
        bool controllable;
    };
    const Case cases[] = {
        {"SysRes_FSCH010001", 130, "ValASG100", "ValASG101", "StrTm16", true, false, false},
        {"EmpSPrg_FSCH020005", 130, "ValASG100", "ValASG101", "StrTm16", true, false, true},
        {"EmpSPrg_FSCH020101", 330, "ValASG300", "ValASG301", "StrTm16", true, false, true},
        {"EmpWCmd_FSCH030001", 31, "ValASG001", "ValASG002", "StrTm16", false, false, true},
        {"DsoWCmd_FSCH130002", 31, "ValASG001", "ValASG002", "StrTm16", false, false, true},
        {"EmpDCmd_FSCH050001", 16, "ValASG001", "ValASG002", "StrTm01", true, false, true},
        {"DsoECmd_FSCH250004", 16, "ValASG001", "ValASG002", "StrTm01", true, false, true},
        {"SysSoft_FSCH110001", 17, "ValASG001", "ValASG002", nullptr, false, true, false},
        {"SysComEr_FSCH220001", 116, "ValASG100", "ValASG101", nullptr, false, true, true},
    };
    for (const char* ld : {"CLS1", "CLS4"}) {
        for (const Case& c : cases) {
            ModelNode* node = find(device(model, ld), {c.node});
            ASSERT_NE(node, nullptr) << c.node;
            EXPECT_EQ(children(node).size(), c.objects) << c.node;
            EXPECT_NE(ModelNode_getChild(node, c.lastValue), nullptr) << c.node;
            EXPECT_EQ(ModelNode_getChild(node, c.missingValue), nullptr) << c.node;
            if (c.lastStart) {
                ModelNode* start = ModelNode_getChild(node, c.lastStart);
                ASSERT_NE(start, nullptr) << c.node;
                EXPECT_EQ(ModelNode_getChild(start, "setCal") != nullptr, c.calendar) << c.node;
                const std::string next = std::string("StrTm") + (std::strcmp(c.lastStart, "StrTm01") == 0 ? "02" : "17");
                EXPECT_EQ(ModelNode_getChild(node, next.c_str()), nullptr) << c.node;
            } else {
                EXPECT_EQ(ModelNode_getChild(node, "StrTm01"), nullptr) << c.node;
            }
            EXPECT_EQ(ModelNode_getChild(node, "EvTrg") != nullptr, c.trigger) << c.node;
            EXPECT_EQ(ModelNode_getChild(node, "InSyn") != nullptr, c.trigger) << c.node;
            EXPECT_EQ(find(node, {"EnaReq", "Oper"}) != nullptr, c.controllable) << c.node;
            EXPECT_EQ(find(node, {"DsaReq", "Oper"}) != nullptr, c.controllable) << c.node;
            EXPECT_NE(find(node, {"EnaReq", "ctlModel"}), nullptr) << c.node;
        }
    }
}

// The FC/type/trigger rule, checked on every attribute of the model.
uint8_t expectedTrigger(DataAttribute* top, ModelNode* object) {
    const std::string name = top->name;
    switch (top->fc) {
        case IEC61850_FC_ST:
            if (name == "stVal") return TRG_OPT_DATA_CHANGED;
            if (name == "q") return TRG_OPT_QUALITY_CHANGED;
            return 0;
        case IEC61850_FC_MX:
            if (name == "q") return TRG_OPT_QUALITY_CHANGED;
            if (name == "mag") return TRG_OPT_DATA_UPDATE;
            if (name == "mxVal") return TRG_OPT_DATA_CHANGED;
            return 0;
        case IEC61850_FC_CF: {
            const bool tmOfs = std::strcmp(object->name, "TmOfs") == 0 && name == "units";
            return tmOfs ? 0 : TRG_OPT_DATA_CHANGED;
        }
        case IEC61850_FC_SP:
            return TRG_OPT_DATA_CHANGED;
        default:
            return 0;
    }
}

TEST(StaticModel, EveryAttributeFollowsTheFcTypeAndTriggerRules) {
    IedModel* model = getStaticIedModel();
    const std::set<FunctionalConstraint> allowedFcs = {IEC61850_FC_ST, IEC61850_FC_MX, IEC61850_FC_SP, IEC61850_FC_CF,
                                                       IEC61850_FC_DC, IEC61850_FC_EX, IEC61850_FC_CO};
    const std::map<std::string, DataAttributeType> fixedTypes = {
        {"q", IEC61850_QUALITY},      {"t", IEC61850_TIMESTAMP},      {"ctlModel", IEC61850_ENUMERATED},
        {"setSrcRef", IEC61850_VISIBLE_STRING_129}, {"f", IEC61850_FLOAT32}, {"SIUnit", IEC61850_ENUMERATED},
        {"multiplier", IEC61850_ENUMERATED}, {"orCat", IEC61850_ENUMERATED}, {"orIdent", IEC61850_OCTET_STRING_64},
        {"ctlNum", IEC61850_INT8U},   {"T", IEC61850_TIMESTAMP},      {"Test", IEC61850_BOOLEAN},
        {"Check", IEC61850_CHECK},    {"operTm", IEC61850_TIMESTAMP}, {"setTm", IEC61850_TIMESTAMP},
    };
    int checked = 0;
    for (int i = 0; i < IedModel_getLogicalDeviceCount(model); ++i) {
        for (ModelNode* node : children(IedModel_getDeviceByIndex(model, i))) {
            for (ModelNode* object : children(node)) {
                EXPECT_EQ(object->modelType, DataObjectModelType);
                EXPECT_EQ(static_cast<DataObject*>(object)->elementCount, 0);
                forEachAttribute(object, [&](DataAttribute* attr, DataAttribute* top) {
                    ++checked;
                    const std::string where = pathOf(attr);
                    EXPECT_TRUE(allowedFcs.count(attr->fc)) << where;
                    EXPECT_EQ(attr->fc, top->fc) << where;  // sub-attributes carry the FC of their parent
                    EXPECT_EQ(attr->triggerOptions, expectedTrigger(top, object)) << where;
                    EXPECT_EQ(attr->elementCount, 0) << where;
                    EXPECT_EQ(attr->sAddr, 0u) << where;
                    EXPECT_EQ(attr->firstChild != nullptr, attr->type == IEC61850_CONSTRUCTED) << where;
                    auto fixed = fixedTypes.find(attr->name);
                    if (fixed != fixedTypes.end()) {
                        EXPECT_EQ(attr->type, fixed->second) << where;
                    }
                    if (std::strcmp(attr->name, "stVal") == 0 && std::strcmp(object->name, "ActSchdRef") == 0) {
                        EXPECT_EQ(attr->type, IEC61850_VISIBLE_STRING_129) << where;
                    } else if (attr->type == IEC61850_VISIBLE_STRING_129) {
                        EXPECT_STREQ(attr->name, "setSrcRef") << where;
                    }
                    // "q" and "t" take the FC of the shape's value attribute.
                    if (top == attr && (std::strcmp(attr->name, "q") == 0 || std::strcmp(attr->name, "t") == 0)) {
                        const bool measured = ModelNode_getChild(object, "mag") || ModelNode_getChild(object, "mxVal");
                        EXPECT_EQ(attr->fc, measured ? IEC61850_FC_MX : IEC61850_FC_ST) << where;
                    }
                    // A controllable object is operated directly; "Oper" is only where the object is.
                    if (attr->fc == IEC61850_FC_CO) {
                        EXPECT_EQ(top->name, std::string("Oper")) << where;
                    }
                });
            }
        }
    }
    EXPECT_EQ(checked, 46888);
}

// Node by node, the four CLS devices are the same.
TEST(StaticModel, TheFourClsDevicesHaveTheSameTree) {
    IedModel* model = getStaticIedModel();
    std::function<void(ModelNode*, ModelNode*)> compare = [&](ModelNode* a, ModelNode* b) {
        auto ca = children(a);
        auto cb = children(b);
        ASSERT_EQ(ca.size(), cb.size()) << pathOf(a);
        for (size_t i = 0; i < ca.size(); ++i) {
            ASSERT_STREQ(ca[i]->name, cb[i]->name) << pathOf(ca[i]);
            ASSERT_EQ(ca[i]->modelType, cb[i]->modelType);
            if (ca[i]->modelType == DataAttributeModelType) {
                auto* x = static_cast<DataAttribute*>(ca[i]);
                auto* y = static_cast<DataAttribute*>(cb[i]);
                ASSERT_EQ(x->fc, y->fc);
                ASSERT_EQ(x->type, y->type);
                ASSERT_EQ(x->triggerOptions, y->triggerOptions);
            }
            compare(ca[i], cb[i]);
        }
    };
    for (const char* other : {"CLS2", "CLS3", "CLS4"}) compare(device(model, "CLS1"), device(model, other));
}

TEST(StaticModel, DataSetsListTheirMembersInTableOrder) {
    IedModel* model = getStaticIedModel();
    std::vector<DataSet*> sets;
    for (DataSet* s = model->dataSets; s != nullptr; s = s->sibling) sets.push_back(s);
    ASSERT_EQ(sets.size(), 6u);
    const char* devices[] = {"STB", "STB", "CLS1", "CLS2", "CLS3", "CLS4"};
    const char* names[] = {"dataset01", "dataset02", "dataset01", "dataset01", "dataset01", "dataset01"};
    const int sizes[] = {26, 4, 63, 63, 63, 63};
    for (size_t i = 0; i < sets.size(); ++i) {
        EXPECT_STREQ(sets[i]->logicalDeviceName, devices[i]);
        EXPECT_STREQ(sets[i]->name, names[i]);
        EXPECT_STREQ(sets[i]->parent->name, "LLN0");
        EXPECT_EQ(sets[i]->parent->parent, device(model, devices[i]));
        int count = 0;
        for (DataSetEntry* e = sets[i]->fcdas; e != nullptr; e = e->sibling) {
            ++count;
            EXPECT_STREQ(e->logicalDeviceName, devices[i]);
            ASSERT_NE(e->dataObject, nullptr) << e->variableName;
            // The member's FC has attributes in that object; the name spells LN$FC$DO.
            const std::string expected = std::string(e->dataObject->parent->name) + "$" +
                                         FunctionalConstraint_toString(e->fc) + "$" + e->dataObject->name;
            EXPECT_EQ(expected, e->variableName);
            bool hasFc = false;
            for (ModelNode* a : children(e->dataObject)) hasFc |= static_cast<DataAttribute*>(a)->fc == e->fc;
            EXPECT_TRUE(hasFc) << e->variableName;
            EXPECT_EQ(e->dataObject->parent->parent, device(model, devices[i]));
        }
        EXPECT_EQ(count, sizes[i]);
        EXPECT_EQ(sets[i]->elementCount, sizes[i]);
    }
    auto member = [](DataSet* set, int number) {
        DataSetEntry* e = set->fcdas;
        for (int i = 1; i < number && e != nullptr; ++i) e = e->sibling;
        return e ? std::string(e->variableName) : std::string();
    };
    const std::pair<int, const char*> stb[] = {
        {1, "LPHD$ST$PwrSupAlm"}, {8, "LCMS1$ST$DevCerCrt1"}, {18, "LTMS1$ST$TmOfs"},
        {24, "Manip_GGIO1$ST$SPCSO1"}, {26, "LPHD$ST$NumPwrUp"}};
    for (const auto& [n, name] : stb) EXPECT_EQ(member(sets[0], n), name);
    EXPECT_EQ(member(sets[1], 4), "W4_XSWI1$ST$Pos");
    const std::pair<int, const char*> cls[] = {
        {1, "ActPow_FSCC001$MX$ValMV"},          {2, "ActPow_FSCC001$ST$ActSchdRef"},
        {3, "SysRes_FSCH010001$ST$SchdSt"},      {24, "SysComEr_FSCH220001$ST$SchdSt"},
        {28, "DsoECmd_FSCH250004$ST$SchdSt"},    {29, "SysRes_FSCH010001$ST$SchdEnaErr"},
        {54, "DsoECmd_FSCH250004$ST$SchdEnaErr"}, {55, "MMXU001$MX$TotW"},
        {56, "ActPow_GGIO001$MX$AnOut1"},        {63, "FailSafe_GGIO001$MX$FailPLodGet"}};
    for (DataSet* set : {sets[2], sets[5]}) {
        for (const auto& [n, name] : cls) EXPECT_EQ(member(set, n), name);
    }
}

TEST(StaticModel, ReportAndLogControlBlocks) {
    IedModel* model = getStaticIedModel();
    std::vector<ReportControlBlock*> rcbs;
    for (ReportControlBlock* r = model->rcbs; r != nullptr; r = r->sibling) rcbs.push_back(r);
    ASSERT_EQ(rcbs.size(), 10u);
    const char* devices[] = {"STB", "CLS1", "CLS2", "CLS3", "CLS4"};
    for (size_t i = 0; i < rcbs.size(); ++i) {
        const std::string ld = devices[i / 2];
        const ReportControlBlock* r = rcbs[i];
        EXPECT_STREQ(r->name, i % 2 == 0 ? "reportControl0101" : "reportControl0102");
        EXPECT_EQ(r->rptId, ld + "/report01");
        EXPECT_FALSE(r->buffered);
        EXPECT_STREQ(r->dataSetName, "dataset01");
        EXPECT_EQ(r->confRev, 1u);
        EXPECT_EQ(r->trgOps, ld == "STB" ? 0x13 : 0x17);
        EXPECT_EQ(r->options, 0x8e);
        EXPECT_EQ(r->bufferTime, 0u);
        EXPECT_EQ(r->intPeriod, 0u);
        for (uint8_t b : r->clientReservation) EXPECT_EQ(b, 0);
        EXPECT_EQ(r->parent, find(device(model, ld.c_str()), {"LLN0"}));
    }
    struct LogCase {
        const char* device, *name, *dataSet, *logRef, *log;
        uint8_t trgOps;
    };
    const LogCase logs[] = {
        {"STB", "logControlSTB", "dataset01", "STB/LLN0$logSTB", "logSTB", 0x03},
        {"STB", "logControlRelay", "dataset02", "STB/LLN0$logRelay", "logRelay", 0x03},
        {"CLS1", "logControlCLS1", "dataset01", "CLS1/LLN0$logCLS1", "logCLS1", 0x07},
        {"CLS2", "logControlCLS2", "dataset01", "CLS2/LLN0$logCLS2", "logCLS2", 0x07},
        {"CLS3", "logControlCLS3", "dataset01", "CLS3/LLN0$logCLS3", "logCLS3", 0x07},
        {"CLS4", "logControlCLS4", "dataset01", "CLS4/LLN0$logCLS4", "logCLS4", 0x07},
    };
    LogControlBlock* lcb = model->lcbs;
    Log* log = model->logs;
    for (const LogCase& c : logs) {
        ASSERT_NE(lcb, nullptr);
        ASSERT_NE(log, nullptr);
        EXPECT_STREQ(lcb->name, c.name);
        EXPECT_STREQ(lcb->dataSetName, c.dataSet);
        EXPECT_STREQ(lcb->logRef, c.logRef);
        EXPECT_EQ(lcb->trgOps, c.trgOps);
        EXPECT_EQ(lcb->intPeriod, 0u);
        EXPECT_TRUE(lcb->logEna);
        EXPECT_TRUE(lcb->reasonCode);
        EXPECT_EQ(lcb->parent, find(device(model, c.device), {"LLN0"}));
        EXPECT_STREQ(log->name, c.log);
        EXPECT_EQ(log->parent, lcb->parent);
        lcb = lcb->sibling;
        log = log->sibling;
    }
    EXPECT_EQ(lcb, nullptr);
    EXPECT_EQ(log, nullptr);
}

}  // namespace
