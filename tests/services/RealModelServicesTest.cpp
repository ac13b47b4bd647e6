// The services on the real model: domains, the STB name plate, reports of
// the STB and CLS blocks by trigger option, operates on schedules, the log
// control blocks and the empty journals.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "RealModelServer.h"
#include "ServiceTestModel.h"
#include "iec61850/ied_server_internal.h"

using namespace servicetest;
using services::VariableServices;

namespace {

const char* const kStbDataSet[26][2] = {
    {"LPHD", "PwrSupAlm"},      {"LPHD", "PhyHealth"},      {"LCMS1", "VndCerExpNr1"},  {"LCMS1", "VndCerExpNr2"},
    {"LCMS1", "OpCerExpNr1"},   {"LCMS1", "OpCerExpNr2"},   {"LCMS1", "DevCerExpNr1"},  {"LCMS1", "DevCerCrt1"},
    {"LCMS1", "DevCerExpNr2"},  {"LCMS1", "DevCerCrt2"},    {"LDMS1", "UpdSt"},         {"LDMS1", "UpdErrCode"},
    {"LDMS1", "UpdErrMsg"},     {"CommFail_GGIO1", "Ind1"}, {"CommFail_GGIO1", "Ind2"}, {"LTMS1", "TmSyn"},
    {"LTMS1", "TmSyc"},         {"LTMS1", "TmOfs"},         {"LTMS1", "TmUpd"},         {"Test_GGIO1", "Ind1"},
    {"Test_GGIO1", "Ind2"},     {"Test_GGIO1", "SPCSO1"},   {"Manip_GGIO1", "Ind1"},    {"Manip_GGIO1", "SPCSO1"},
    {"LPHD", "WrmStr"},         {"LPHD", "NumPwrUp"},
};

using RealModel = RealModelTest;

TEST_F(RealModel, FiveDomainsAndTheStbNamePlate) {
    MmsServiceResult r = call(&VariableServices::getNameList, getNameListRequest(9, ""));
    EXPECT_EQ(decodeNameList(r.content).names,
              (std::vector<std::string>{"FNN_STEUERBOXCLS1", "FNN_STEUERBOXCLS2", "FNN_STEUERBOXCLS3",
                                        "FNN_STEUERBOXCLS4", "FNN_STEUERBOXSTB"}));
    MmsServiceResult read = call(&VariableServices::read, readRequest({{"FNN_STEUERBOXSTB", "LLN0$DC$NamPlt$configRev"}}));
    auto values = decodeReadResults(read.content);
    ASSERT_EQ(values.size(), 1u);
    EXPECT_STREQ(MmsValue_toString(values[0].get()), "1.2.0");
}

TEST_F(RealModel, StbInterrogationGivesTheTwentySixMembersInTableOrder) {
    MmsServiceResult attrs = call(&VariableServices::getNamedVariableListAttributes,
                                  nameRequest("FNN_STEUERBOXSTB", "LLN0$dataset01", false));
    ASSERT_EQ(attrs.kind, MmsServiceResult::Kind::Response);
    // Member references in order, as LN$ST$DO.
    std::string text(attrs.content.begin(), attrs.content.end());
    size_t at = 0;
    for (const auto& member : kStbDataSet) {
        std::string ref = std::string(member[0]) + "$ST$" + member[1];
        size_t found = text.find(ref, at);
        ASSERT_NE(found, std::string::npos) << ref;
        at = found + ref.size();
    }

    ASSERT_EQ(writeBool("FNN_STEUERBOXSTB", "LLN0$RP$reportControl0101$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool("FNN_STEUERBOXSTB", "LLN0$RP$reportControl0101$GI", true), DATA_ACCESS_ERROR_SUCCESS);
    services->periodic();
    ASSERT_EQ(sent.size(), 1u);
    Report report = decodeReport(sent[0].second);
    ASSERT_EQ(report.values.size(), 6u + 26u + 26u);
    EXPECT_STREQ(MmsValue_toString(report.values[0].get()), "STB/report01");
    EXPECT_STREQ(MmsValue_toString(report.values[3].get()), "FNN_STEUERBOXSTB/LLN0$dataset01");
    // Each member carries the data object's ST attributes: member 14 is
    // CommFail_GGIO1.Ind1 (stVal, q, t), member 18 LTMS1.TmOfs (stVal, q, t).
    EXPECT_EQ(MmsValue_getType(MmsValue_getElement(report.values[6 + 13].get(), 0)), MMS_BOOLEAN);
    EXPECT_EQ(MmsValue_getType(MmsValue_getElement(report.values[6 + 17].get(), 0)), MMS_INTEGER);
    for (size_t i = 6 + 26; i < report.values.size(); ++i)
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[i].get(), 5)) << "reason GI, member " << i - 31;
}

TEST_F(RealModel, BothBlocksOfADeviceReportItsIdentifier) {
    for (const char* block : {"reportControl0101", "reportControl0102"}) {
        sent.clear();
        std::string base = std::string("LLN0$RP$") + block;
        ASSERT_EQ(writeBool("FNN_STEUERBOXCLS3", base + "$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
        ASSERT_EQ(writeBool("FNN_STEUERBOXCLS3", base + "$GI", true), DATA_ACCESS_ERROR_SUCCESS);
        services->periodic();
        ASSERT_EQ(sent.size(), 1u) << block;
        Report report = decodeReport(sent[0].second);
        EXPECT_STREQ(MmsValue_toString(report.values[0].get()), "CLS3/report01") << block;
        EXPECT_EQ(report.values.size(), 6u + 63u + 63u) << block;
        ASSERT_EQ(writeBool("FNN_STEUERBOXCLS3", base + "$RptEna", false), DATA_ACCESS_ERROR_SUCCESS);
    }
}

TEST_F(RealModel, TriggerTable) {
    ASSERT_EQ(writeBool("FNN_STEUERBOXCLS1", "LLN0$RP$reportControl0101$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool("FNN_STEUERBOXSTB", "LLN0$RP$reportControl0101$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    DataAttribute* totW = attribute("CLS1", {"MMXU001", "TotW", "mag", "f"});
    DataAttribute* totWq = attribute("CLS1", {"MMXU001", "TotW", "q"});
    DataAttribute* anOut1 = attribute("CLS1", {"ActPow_GGIO001", "AnOut1", "mxVal", "f"});
    DataAttribute* tmOfsUnit = attribute("STB", {"LTMS1", "TmOfs", "units", "SIUnit"});
    ASSERT_TRUE(totW && totWq && anOut1 && tmOfsUnit);
    float totWNow = IedServer_getFloatAttributeValue(server, totW);
    float anOut1Now = IedServer_getFloatAttributeValue(server, anOut1);
    int32_t unitNow = IedServer_getInt32AttributeValue(server, tmOfsUnit);
    struct Case {
        const char* what;
        std::function<void()> update;
        int member;     // 1-based member of CLS1/LLN0$dataset01; 0: no report
        int reasonBit;  // 1 dchg, 2 qchg, 3 dupd
    } cases[] = {
        {"TotW.mag.f unchanged", [&] { IedServer_updateFloatAttributeValue(server, totW, totWNow); }, 55, 3},
        {"AnOut1.mxVal.f unchanged", [&] { IedServer_updateFloatAttributeValue(server, anOut1, anOut1Now); }, 0, 0},
        {"AnOut1.mxVal.f changed", [&] { IedServer_updateFloatAttributeValue(server, anOut1, anOut1Now + 1); }, 56, 1},
        {"TotW quality changed", [&] { IedServer_updateQuality(server, totWq, 0x0004); }, 55, 2},
        {"STB LTMS1 TmOfs units", [&] { IedServer_updateInt32AttributeValue(server, tmOfsUnit, unitNow + 1); }, 0, 0},
    };
    for (const auto& c : cases) {
        sent.clear();
        c.update();
        services->periodic();
        if (c.member == 0) {
            EXPECT_TRUE(sent.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(sent.size(), 1u) << c.what;
        Report report = decodeReport(sent[0].second);
        ASSERT_EQ(report.values.size(), 8u) << c.what;
        EXPECT_STREQ(MmsValue_toString(report.values[0].get()), "CLS1/report01");
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[5].get(), c.member - 1)) << c.what;
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[7].get(), c.reasonBit)) << c.what;
    }
    IedServer_updateFloatAttributeValue(server, anOut1, anOut1Now);
    IedServer_updateQuality(server, totWq, 0);
    IedServer_updateInt32AttributeValue(server, tmOfsUnit, unitNow);
}

TEST_F(RealModel, OwnershipOfABlock) {
    const std::string ena = "LLN0$RP$reportControl0102$RptEna";
    ASSERT_EQ(writeBool("FNN_STEUERBOXCLS2", ena, true, connA), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(writeBool("FNN_STEUERBOXCLS2", ena, true, connB), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    services->connectionClosed(connA);
    EXPECT_EQ(writeBool("FNN_STEUERBOXCLS2", ena, true, connB), DATA_ACCESS_ERROR_SUCCESS);
}

TEST_F(RealModel, OperatesOnSchedules) {
    DataAttribute* stVal = attribute("CLS4", {"DsoECmd_FSCH250004", "EnaReq", "stVal"});
    ASSERT_NE(stVal, nullptr);
    IedServer_updateBooleanAttributeValue(server, stVal, false);
    struct Case {
        const char* domain;
        const char* item;
        int result;
    } cases[] = {
        {"FNN_STEUERBOXCLS4", "DsoECmd_FSCH250004$CO$EnaReq$Oper", DATA_ACCESS_ERROR_SUCCESS},
        {"FNN_STEUERBOXCLS1", "SysRes_FSCH010001$CO$EnaReq$Oper", DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT},
        {"FNN_STEUERBOXCLS1", "SysSoft_FSCH110002$CO$DsaReq$Oper", DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT},
        {"FNN_STEUERBOXCLS1", "ActPow_GGIO001$CO$AnOut1$Oper", DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT},
        {"FNN_STEUERBOXSTB", "S1_XSWI1$CO$Pos$Oper", DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT},
    };
    for (const auto& c : cases) EXPECT_EQ(write(c.domain, c.item, operValue(true).get()), c.result) << c.item;
    EXPECT_FALSE(IedServer_getBooleanAttributeValue(server, stVal));  // the handler runs with the periodic tasks
    services->periodic();
    EXPECT_TRUE(IedServer_getBooleanAttributeValue(server, stVal));
    IedServer_updateBooleanAttributeValue(server, stVal, false);
}

TEST_F(RealModel, LogControlBlocksAndJournals) {
    MmsServiceResult r = call(&VariableServices::read, readRequest({{"FNN_STEUERBOXCLS1", "LLN0$LG$logControlCLS1"}}));
    auto values = decodeReadResults(r.content);
    ASSERT_EQ(values.size(), 1u);
    const MmsValue* lcb = values[0].get();
    ASSERT_EQ(MmsValue_getArraySize(lcb), 9);
    EXPECT_TRUE(MmsValue_getBoolean(MmsValue_getElement(lcb, 0)));
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(lcb, 1)), "FNN_STEUERBOXCLS1/LLN0$logCLS1");
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(lcb, 2)), "FNN_STEUERBOXCLS1/LLN0$dataset01");
    const MmsValue* trgOps = MmsValue_getElement(lcb, 7);
    EXPECT_EQ(hex(std::span<const uint8_t>(MmsValue_getBitStringBuffer(trgOps), 1)), "70");  // dchg, qchg, dupd
    EXPECT_EQ(writeBool("FNN_STEUERBOXSTB", "LLN0$LG$logControlSTB$LogEna", false),
              DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);

    MmsServiceResult stb = call(&VariableServices::getNameList, getNameListRequest(8, "FNN_STEUERBOXSTB"));
    EXPECT_EQ(decodeNameList(stb.content).names, (std::vector<std::string>{"LLN0$logRelay", "LLN0$logSTB"}));
    struct Journal {
        const char* domain;
        const char* name;
    } journals[] = {{"FNN_STEUERBOXSTB", "LLN0$logSTB"},   {"FNN_STEUERBOXSTB", "LLN0$logRelay"},
                    {"FNN_STEUERBOXCLS1", "LLN0$logCLS1"}, {"FNN_STEUERBOXCLS2", "LLN0$logCLS2"},
                    {"FNN_STEUERBOXCLS3", "LLN0$logCLS3"}, {"FNN_STEUERBOXCLS4", "LLN0$logCLS4"}};
    for (const auto& j : journals) {
        ber::Writer w;
        size_t m = w.begin(ber::context(0));
        writeObjectName(w, j.domain, j.name);
        w.end(m);
        MmsServiceResult answer = call(&VariableServices::readJournal, w.take());
        ASSERT_EQ(answer.kind, MmsServiceResult::Kind::Response) << j.name;
        EXPECT_EQ(hex(answer.content), "a000810100") << j.name;  // no entries, no more to follow
    }
}

}  // namespace
