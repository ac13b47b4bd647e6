// The services on the real model: domains, the STB name plate, reports of
// the STB and CLS blocks by trigger option, operates on schedules, the log
// control blocks and the empty journals.
#include <gtest/gtest.h>
#include <syslog.h>

#include <cstring>
#include <optional>
#include <functional>

#include "RealModelServer.h"
#include "ServiceTestModel.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/iec61850_log.h"
#include "tests/support/LibraryLog.h"

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

using testsupport::LibraryLog;

std::string encoded(const MmsValue* value) {
    ber::Writer w;
    if (value == nullptr || !ber::encodeMmsData(w, value)) return "?";
    return hex(w.take());
}

// A GI of a CLS block over an association whose PDU size is too small for
// the whole report: the members arrive across segments, in member order, each
// once and with its value, every segment within the PDU size and numbered as
// one report; a member too large for any segment is left out with a log line.
TEST_F(RealModel, InterrogationTooLargeForThePduSizeGoesOutInSegments) {
    uint32_t pduSize = 65000;
    services->setPduSizeOf([&](sMmsServerConnection* c) { return c == connA ? pduSize : 0; });
    const std::string domain = "FNN_STEUERBOXCLS1";
    ASSERT_EQ(writeBool(domain, "LLN0$RP$reportControl0101$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    auto interrogate = [&] {
        sent.clear();
        EXPECT_EQ(writeBool(domain, "LLN0$RP$reportControl0101$GI", true), DATA_ACCESS_ERROR_SUCCESS);
        services->periodic();
    };
    interrogate();
    ASSERT_EQ(sent.size(), 1u);
    Report whole = decodeReport(sent[0].second);
    ASSERT_EQ(whole.values.size(), 6u + 63u + 63u);  // fits: no segment fields
    EXPECT_EQ(hex(std::span<const uint8_t>(MmsValue_getBitStringBuffer(whole.values[1].get()), 2)), "3880");
    std::vector<std::string> wholeData;
    for (size_t i = 0; i < 63; ++i) wholeData.push_back(encoded(whole.values[6 + i].get()));

    DataAttribute* actSchdRef = attribute("CLS1", {"ActPow_FSCC001", "ActSchdRef", "stVal"});
    ASSERT_NE(actSchdRef, nullptr);
    const std::string original = MmsValue_toString(IedServer_getAttributeValue(server, actSchdRef));
    const std::string longRef(129, 'x');
    struct Case {
        uint32_t pduSize;
        bool longActSchdRef;  // member 2 then needs more than a segment of 200 octets
        size_t leftOut;       // 1-based member left out; 0: none
    } cases[] = {{1000, false, 0}, {200, true, 2}};
    std::optional<uint32_t> lastSqNum;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.pduSize);
        LibraryLog log;
        IedServer_updateVisibleStringAttributeValue(server, actSchdRef,
                                                    c.longActSchdRef ? longRef.c_str() : original.c_str());
        pduSize = c.pduSize;
        // The data change of the long value alone is such a report: nothing goes.
        sent.clear();
        services->periodic();
        EXPECT_TRUE(sent.empty());
        EXPECT_EQ(log.records().size(), c.leftOut != 0 ? 1u : 0u);
        log.records().clear();
        interrogate();
        ASSERT_GE(sent.size(), 2u);
        std::vector<size_t> members;
        for (size_t s = 0; s < sent.size(); ++s) {
            SCOPED_TRACE(s);
            EXPECT_EQ(sent[s].first, connA);
            EXPECT_LE(sent[s].second.size(), c.pduSize);
            Report seg = decodeReport(sent[s].second);
            ASSERT_GE(seg.values.size(), 9u);
            EXPECT_STREQ(MmsValue_toString(seg.values[0].get()), "CLS1/report01");
            const MmsValue* optFlds = seg.values[1].get();
            ASSERT_EQ(MmsValue_getBitStringSize(optFlds), 10);
            // sequence number, time, reason, data set, conf-rev, segmentation
            EXPECT_EQ(hex(std::span<const uint8_t>(MmsValue_getBitStringBuffer(optFlds), 2)), "78c0");
            uint32_t sqNum = MmsValue_toUint32(seg.values[2].get());
            if (s == 0 && lastSqNum) {
                EXPECT_EQ(sqNum, *lastSqNum + 1) << "one number per report";
            } else if (s > 0) {
                EXPECT_EQ(sqNum, *lastSqNum) << "the same number in every segment";
            }
            lastSqNum = sqNum;
            EXPECT_STREQ(MmsValue_toString(seg.values[4].get()), "FNN_STEUERBOXCLS1/LLN0$dataset01");
            EXPECT_EQ(MmsValue_toUint32(seg.values[6].get()), s) << "sub-sequence number";
            EXPECT_EQ(MmsValue_getBoolean(seg.values[7].get()), s + 1 < sent.size()) << "more segments follow";
            const MmsValue* inclusion = seg.values[8].get();
            ASSERT_EQ(MmsValue_getBitStringSize(inclusion), 63);
            std::vector<size_t> here;
            for (int bit = 0; bit < 63; ++bit)
                if (MmsValue_getBitStringBit(inclusion, bit)) here.push_back(static_cast<size_t>(bit));
            ASSERT_FALSE(here.empty());
            ASSERT_EQ(seg.values.size(), 9u + 2 * here.size());
            for (size_t k = 0; k < here.size(); ++k) {
                if (!c.longActSchdRef) {
                    EXPECT_EQ(encoded(seg.values[9 + k].get()), wholeData[here[k]]) << here[k];
                }
                EXPECT_TRUE(MmsValue_getBitStringBit(seg.values[9 + here.size() + k].get(), 5)) << "reason GI";
            }
            members.insert(members.end(), here.begin(), here.end());
        }
        std::vector<size_t> expected;
        for (size_t m = 0; m < 63; ++m)
            if (m + 1 != c.leftOut) {
                expected.push_back(m);
            }
        EXPECT_EQ(members, expected) << "every member once, in member order";
        // One line for the member left out, nothing when every member went.
        const std::pair<int, std::string> reason{
            LOG_WARNING,
            "reports: reportControl0101 of FNN_STEUERBOXCLS1: member 2 (FNN_STEUERBOXCLS1/ActPow_FSCC001$ST$ActSchdRef, "
            "150 octets) left out of the report: it does not fit the PDU size 200 even in a segment of its own"};
        std::vector<std::pair<int, std::string>> expectedLog;
        if (c.leftOut != 0) expectedLog.push_back(reason);
        EXPECT_EQ(log.records(), expectedLog);
    }
    IedServer_updateVisibleStringAttributeValue(server, actSchdRef, original.c_str());
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

// A report queued before the block was disabled, given another data set and
// enabled again in the same pass belongs to the old data set: it is dropped,
// never encoded against the new one.
TEST_F(RealModel, ReportOfTheOldDataSetIsDroppedWhenTheBlockIsReconfigured) {
    const std::string domain = "FNN_STEUERBOXSTB", base = "LLN0$RP$reportControl0102$";
    ASSERT_EQ(writeBool(domain, base + "RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    DataAttribute* ind1 = attribute("STB", {"Test_GGIO1", "Ind1", "stVal"});  // member 20 of 26
    ASSERT_NE(ind1, nullptr);
    const bool before = IedServer_getBooleanAttributeValue(server, ind1);
    IedServer_updateBooleanAttributeValue(server, ind1, !before);
    ASSERT_EQ(writeBool(domain, base + "RptEna", false), DATA_ACCESS_ERROR_SUCCESS);
    MmsValuePtr dataSet02(MmsValue_newVisibleString("FNN_STEUERBOXSTB/LLN0$dataset02"));  // 4 members
    ASSERT_EQ(write(domain, base + "DatSet", dataSet02.get()), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool(domain, base + "RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    services->periodic();
    EXPECT_TRUE(sent.empty());
    IedServer_updateBooleanAttributeValue(server, ind1, before);
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
