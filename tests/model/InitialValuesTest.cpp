// The initial values of the static model, before and after the server takes
// them into its cache.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>

#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"
#include "tests/model/ModelWalk.h"

using namespace modeltest;

namespace {

template <typename Visit>
void forEachModelAttribute(IedModel* model, Visit&& visit) {
    for (int i = 0; i < IedModel_getLogicalDeviceCount(model); ++i) {
        ModelNode* ld = IedModel_getDeviceByIndex(model, i);
        for (ModelNode* node : children(ld)) {
            for (ModelNode* object : children(node)) {
                forEachAttribute(object, [&](DataAttribute* attr, DataAttribute*) { visit(ld, attr); });
            }
        }
    }
}

// Runs the initialiser on the bare model (no server holds it), counts what it
// set and frees it again.
TEST(InitialValues, TheInitialiserSetsExactlyTheListedValues) {
    IedModel* model = getStaticIedModel();
    staticModelInitializer();
    std::map<std::string, int> perDevice;
    std::map<MmsType, int> perKind;
    std::map<FunctionalConstraint, int> perFc;
    int total = 0;
    forEachModelAttribute(model, [&](ModelNode* ld, DataAttribute* attr) {
        if (attr->mmsValue == nullptr) return;
        ++total;
        ++perDevice[ld->name];
        ++perFc[attr->fc];
        MmsType kind = MmsValue_getType(attr->mmsValue);
        ++perKind[kind];
        EXPECT_NE(attr->type, IEC61850_CONSTRUCTED) << pathOf(attr);
        MmsValue_delete(attr->mmsValue);
        attr->mmsValue = nullptr;
    });
    EXPECT_EQ(total, 15003);
    EXPECT_EQ(perDevice["STB"], 63);
    for (const char* cls : {"CLS1", "CLS2", "CLS3", "CLS4"}) EXPECT_EQ(perDevice[cls], 3735) << cls;
    EXPECT_EQ(perKind[MMS_INTEGER], 14780);
    EXPECT_EQ(perKind[MMS_VISIBLE_STRING], 178);
    EXPECT_EQ(perKind[MMS_BOOLEAN], 29);
    EXPECT_EQ(perKind[MMS_FLOAT], 12);
    EXPECT_EQ(perKind[MMS_UNSIGNED], 4);
    EXPECT_EQ(perFc[IEC61850_FC_ST], 254);
    EXPECT_EQ(perFc[IEC61850_FC_SP], 972);
    EXPECT_EQ(perFc[IEC61850_FC_CF], 13731);
    EXPECT_EQ(perFc[IEC61850_FC_DC], 30);
    EXPECT_EQ(perFc[IEC61850_FC_EX], 16);
    EXPECT_EQ(perFc[IEC61850_FC_MX], 0);
    EXPECT_EQ(perFc[IEC61850_FC_CO], 0);
}

class ServerOnStaticModel : public ::testing::Test {
protected:
    void SetUp() override {
        server = IedServer_create(getStaticIedModel());
        ASSERT_NE(server, nullptr);
    }
    void TearDown() override { IedServer_destroy(server); }

    DataAttribute* attr(const char* ld, std::initializer_list<const char*> path) {
        ModelNode* node = find(device(getStaticIedModel(), ld), path);
        return node && node->modelType == DataAttributeModelType ? static_cast<DataAttribute*>(node) : nullptr;
    }

    IedServer server = nullptr;
};

struct Expected {
    const char* ld;
    std::vector<const char*> path;
    MmsType type;
    std::string text;  // strings
    double number;     // numbers and booleans
};

TEST_F(ServerOnStaticModel, ValuesAfterCreation) {
    const Expected cases[] = {
        {"STB", {"LLN0", "NamPlt", "configRev"}, MMS_VISIBLE_STRING, "1.2.0", 0},
        {"STB", {"LLN0", "NamPlt", "ldNs"}, MMS_VISIBLE_STRING, "IEC 61850-7-4:2007B", 0},
        {"STB", {"LLN0", "Mod", "ctlModel"}, MMS_INTEGER, "", 0},
        {"STB", {"LLN0", "Health", "stVal"}, MMS_INTEGER, "", 1},
        {"STB", {"LPHD", "PhyNam", "serNum"}, MMS_VISIBLE_STRING, "13377331", 0},
        {"STB", {"LPHD", "PhyHealth", "stVal"}, MMS_INTEGER, "", 0},
        {"STB", {"LPHD", "NamParamRev", "dataNs"}, MMS_VISIBLE_STRING, "FNN-STB-ext:2019A", 0},
        {"STB", {"LPHD", "RsDev", "ctlModel"}, MMS_INTEGER, "", 1},
        {"STB", {"LCMS1", "NamPlt", "lnNs"}, MMS_VISIBLE_STRING, "FNN-STB-ext:2019A", 0},
        {"STB", {"LCMS1", "NamPlt", "vendor"}, MMS_VISIBLE_STRING, "", 0},
        {"STB", {"LTMS1", "TmOfs", "units", "SIUnit"}, MMS_INTEGER, "", 4},
        {"STB", {"S3_XSWI1"}, MMS_DATA_ACCESS_ERROR, "", 0},  // no such node
        {"STB", {"W4_XSWI1", "Loc", "stVal"}, MMS_BOOLEAN, "", 1},
        {"STB", {"W4_XSWI1", "SwTyp", "stVal"}, MMS_INTEGER, "", 1},
        {"STB", {"W4_XSWI1", "Pos", "ctlModel"}, MMS_INTEGER, "", 0},
        {"CLS3", {"ActPow_FSCC001", "Schd014", "setSrcRef"}, MMS_VISIBLE_STRING, "@CLS3/SysSoft_FSCH110001", 0},
        {"CLS1", {"ActPow_FSCC001", "Schd026", "setSrcRef"}, MMS_VISIBLE_STRING, "@CLS1/DsoECmd_FSCH250004", 0},
        {"CLS2", {"ActPow_FSCC001", "CtlEnt", "setSrcRef"}, MMS_VISIBLE_STRING, "@CLS2/ActPow_GGIO001.AnOut1.mxVal.f", 0},
        {"CLS2", {"SysSoft_FSCH110003", "InSyn", "setSrcRef"}, MMS_VISIBLE_STRING, "@CLS2/Softstart_GGIO001.Ind3.stVal", 0},
        {"CLS4", {"SysComEr_FSCH220001", "InSyn", "setSrcRef"}, MMS_VISIBLE_STRING, "@CLS4/CommFail_GGIO1.Ind1.stVal", 0},
        {"CLS4", {"LLN0", "GrRef", "setSrcRef"}, MMS_VISIBLE_STRING, "@CLG", 0},
        {"CLS1", {"FailSafe_GGIO001", "Beh", "stVal"}, MMS_INTEGER, "", 0},
        {"CLS1", {"DERRtg_GGIO001", "Mod", "stVal"}, MMS_INTEGER, "", 0},
        {"CLS1", {"DERRtg_GGIO001", "Mod", "ctlModel"}, MMS_INTEGER, "", 1},
        {"CLS1", {"ActPow_GGIO001", "Beh", "stVal"}, MMS_INTEGER, "", 1},
        {"CLS1", {"ActPow_GGIO001", "AnOut1", "ctlModel"}, MMS_INTEGER, "", 0},
        {"CLS1", {"ActPow_GGIO001", "AnOut1", "units", "multiplier"}, MMS_INTEGER, "", 3},
        {"CLS1", {"EmpDCmd_FSCH050001", "StrTm01", "setCal", "occType"}, MMS_INTEGER, "", 5},
        {"CLS1", {"EmpDCmd_FSCH050001", "StrTm01", "setCal", "occ"}, MMS_UNSIGNED, "", 0},
        {"CLS1", {"EmpSPrg_FSCH020103", "ValASG300", "units", "SIUnit"}, MMS_INTEGER, "", 38},
        {"CLS1", {"EmpSPrg_FSCH020103", "ValASG300", "units", "multiplier"}, MMS_INTEGER, "", 3},
        {"CLS1", {"EmpSPrg_FSCH020103", "NumEntr", "setVal"}, MMS_INTEGER, "", 300},
        {"CLS1", {"DsoECmd_FSCH250002", "SchdPrio", "setVal"}, MMS_INTEGER, "", 250},
        {"CLS1", {"SysRes_FSCH010001", "EnaReq", "ctlModel"}, MMS_INTEGER, "", 0},
        {"CLS1", {"SysComEr_FSCH220001", "EnaReq", "ctlModel"}, MMS_INTEGER, "", 1},
        {"CLS1", {"SysComEr_FSCH220001", "SchdReuse", "setVal"}, MMS_BOOLEAN, "", 1},
        {"CLS1", {"SysSoft_FSCH110004", "EvTrg", "setVal"}, MMS_BOOLEAN, "", 1},
        {"CLS1", {"SysSoft_FSCH110004", "SchdReuse", "setVal"}, MMS_BOOLEAN, "", 0},
        {"CLS1", {"SysRes_FSCH010001", "SchdIntv", "units", "SIUnit"}, MMS_INTEGER, "", 4},
        {"CLS1", {"SysRes_FSCH010001", "SchdEnaErr", "stVal"}, MMS_INTEGER, "", 1},
        {"CLS1", {"MMXU001", "TotW", "db"}, MMS_UNSIGNED, "", 1000},
        {"CLS1", {"MMXU001", "TotW", "dbRef"}, MMS_FLOAT, "", 100.0},
        {"CLS1", {"MMXU001", "TotW", "d"}, MMS_VISIBLE_STRING, "Wirkleistungswert", 0},
        {"CLS1", {"FailSafe_GGIO001", "FailDurSet", "maxVal", "f"}, MMS_FLOAT, "", 86400.0},
        {"CLS1", {"FailSafe_GGIO001", "FailDurGet", "units", "SIUnit"}, MMS_INTEGER, "", 4},
        {"CLS1", {"ActPow_FSCC001", "ActSchdRef", "stVal"}, MMS_VISIBLE_STRING, "", 0},
    };
    for (const Expected& c : cases) {
        std::string where = c.ld;
        for (const char* p : c.path) where += std::string("/") + p;
        ModelNode* node = device(getStaticIedModel(), c.ld);
        for (const char* p : c.path) node = ModelNode_getChild(node, p);
        if (c.type == MMS_DATA_ACCESS_ERROR) {
            EXPECT_EQ(node, nullptr) << where;
            continue;
        }
        ASSERT_NE(node, nullptr) << where;
        MmsValue* value = IedServer_getAttributeValue(server, static_cast<DataAttribute*>(node));
        ASSERT_NE(value, nullptr) << where;
        ASSERT_EQ(MmsValue_getType(value), c.type) << where;
        switch (c.type) {
            case MMS_VISIBLE_STRING: EXPECT_EQ(MmsValue_toString(value), c.text) << where; break;
            case MMS_BOOLEAN: EXPECT_EQ(MmsValue_getBoolean(value), c.number != 0) << where; break;
            case MMS_FLOAT: EXPECT_EQ(MmsValue_toDouble(value), c.number) << where; break;
            default: EXPECT_EQ(MmsValue_toInt64(value), static_cast<int64_t>(c.number)) << where; break;
        }
    }
}

TEST_F(ServerOnStaticModel, DefaultsOfBasicTypes) {
    DataAttribute* q = attr("STB", {"LPHD", "PhyHealth", "q"});
    ASSERT_NE(q, nullptr);
    EXPECT_EQ(MmsValue_getBitStringSize(q->mmsValue), 13);
    EXPECT_EQ(IedServer_getBitStringAttributeValue(server, q), 0u);
    DataAttribute* t = attr("STB", {"LPHD", "PhyHealth", "t"});
    const uint8_t zero[8] = {};
    EXPECT_EQ(std::memcmp(MmsValue_getUtcTimeBuffer(IedServer_getAttributeValue(server, t)), zero, 8), 0);
    DataAttribute* pos = attr("STB", {"S1_XSWI1", "Pos", "stVal"});
    EXPECT_EQ(MmsValue_getType(pos->mmsValue), MMS_BIT_STRING);
    EXPECT_EQ(MmsValue_getBitStringSize(pos->mmsValue), 2);
    DataAttribute* orIdent = attr("CLS1", {"EmpWCmd_FSCH030001", "EnaReq", "origin", "orIdent"});
    EXPECT_EQ(MmsValue_getOctetStringSize(orIdent->mmsValue), 0);
    EXPECT_EQ(MmsValue_getOctetStringMaxSize(orIdent->mmsValue), 64);
    DataAttribute* desc = attr("STB", {"LLN0", "NamPlt", "d"});
    EXPECT_EQ(MmsValue_getStringSize(desc->mmsValue), 60);
    EXPECT_EQ(MmsValue_getStringSize(attr("CLS2", {"LLN0", "NamPlt", "d"})->mmsValue), 67);
    // The control structure has no cache entry.
    EXPECT_EQ(attr("CLS1", {"EmpWCmd_FSCH030001", "EnaReq", "Oper"})->mmsValue, nullptr);
    EXPECT_EQ(attr("CLS1", {"EmpWCmd_FSCH030001", "EnaReq", "Oper", "ctlVal"})->mmsValue, nullptr);
    // A constructed attribute is the structure of its members.
    DataAttribute* units = attr("CLS1", {"MMXU001", "TotW", "units"});
    MmsValue* structure = IedServer_getAttributeValue(server, units);
    ASSERT_EQ(MmsValue_getArraySize(structure), 2);
    EXPECT_EQ(MmsValue_getElement(structure, 1), attr("CLS1", {"MMXU001", "TotW", "units", "multiplier"})->mmsValue);
}

TEST_F(ServerOnStaticModel, CallingTheInitialiserAgainChangesNothing) {
    DataAttribute* serNum = attr("STB", {"LPHD", "PhyNam", "serNum"});
    MmsValue* entry = serNum->mmsValue;
    IedServer_updateVisibleStringAttributeValue(server, serNum, "host");
    staticModelInitializer();
    EXPECT_EQ(serNum->mmsValue, entry);
    EXPECT_STREQ(IedServer_getStringAttributeValue(server, serNum), "host");
}

TEST_F(ServerOnStaticModel, TextReadStaysValidWhenTheTextIsRewritten) {
    DataAttribute* serNum = attr("STB", {"LPHD", "PhyNam", "serNum"});
    const char* before = IedServer_getStringAttributeValue(server, serNum);
    const std::string longer(200, 'h');
    IedServer_updateVisibleStringAttributeValue(server, serNum, longer.c_str());
    EXPECT_EQ(IedServer_getStringAttributeValue(server, serNum), before);
    EXPECT_EQ(std::string(before), longer);
    // Longer than the attribute's 255 bytes: refused, the old text stays.
    IedServer_updateVisibleStringAttributeValue(server, serNum, std::string(256, 'x').c_str());
    EXPECT_EQ(std::string(IedServer_getStringAttributeValue(server, serNum)), longer);
}

TEST_F(ServerOnStaticModel, DataSetMembersAreBoundToTheCache) {
    for (DataSet* set = getStaticIedModel()->dataSets; set != nullptr; set = set->sibling) {
        for (DataSetEntry* e = set->fcdas; e != nullptr; e = e->sibling) {
            ASSERT_NE(e->value, nullptr) << e->variableName;
            int attributes = 0;
            int index = 0;
            for (ModelNode* a : children(e->dataObject)) {
                auto* da = static_cast<DataAttribute*>(a);
                if (da->fc != e->fc) continue;
                EXPECT_EQ(MmsValue_getElement(e->value, index++), da->mmsValue) << e->variableName;
                ++attributes;
            }
            EXPECT_EQ(MmsValue_getArraySize(e->value), attributes) << e->variableName;
        }
    }
    IedServer_destroy(server);
    server = nullptr;
    EXPECT_EQ(getStaticIedModel()->dataSets->fcdas->value, nullptr);
}

// Values of CLS2..CLS4 equal those of CLS1 once "@CLSn/" is read as "@CLS1/".
TEST_F(ServerOnStaticModel, TheFourClsDevicesHoldTheSameValues) {
    IedModel* model = getStaticIedModel();
    std::vector<DataAttribute*> first;
    forEachModelAttribute(model, [&](ModelNode* ld, DataAttribute* a) {
        if (std::string(ld->name) == "CLS1") first.push_back(a);
    });
    for (const char* other : {"CLS2", "CLS3", "CLS4"}) {
        size_t i = 0;
        int references = 0;
        const std::string prefix = std::string("@") + other + "/";
        forEachModelAttribute(model, [&](ModelNode* ld, DataAttribute* a) {
            if (std::string(ld->name) != other) return;
            ASSERT_LT(i, first.size());
            DataAttribute* b = first[i++];
            if (a->mmsValue == nullptr || b->mmsValue == nullptr) {
                EXPECT_EQ(a->mmsValue, b->mmsValue) << pathOf(a);
                return;
            }
            if (const char* text = MmsValue_toString(a->mmsValue)) {
                std::string mine = text;
                if (mine.rfind(prefix, 0) == 0) {
                    mine = "@CLS1/" + mine.substr(prefix.size());
                    ++references;
                }
                EXPECT_EQ(mine, MmsValue_toString(b->mmsValue)) << pathOf(a);
            } else {
                EXPECT_TRUE(MmsValue_equals(a->mmsValue, b->mmsValue)) << pathOf(a);
            }
        });
        EXPECT_EQ(i, first.size());
        EXPECT_EQ(references, 32) << other;
    }
}

}  // namespace
