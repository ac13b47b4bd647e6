// The variable services on encoded request content over a small model:
// name lists and paging, types, reads, the write policy, direct control,
// data sets, report control blocks and reports, log control blocks, journals.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <thread>

#include "ServiceTestModel.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/services/variable_services.h"

using namespace servicetest;
using services::VariableServices;

namespace {

constexpr uint32_t kPdu = 65000;

class ServicesTest : public ::testing::Test {
protected:
    ServicesTest() {
        server = IedServer_create(model.model());
        IedServer_updateInt32AttributeValue(server, model.ctlModel, 1);
        services = std::make_unique<VariableServices>(
            server,
            [this](sMmsServerConnection* c, std::vector<uint8_t> pdu) {
                sent.emplace_back(c, std::move(pdu));
                return true;
            },
            [this] { return nowMs; });
        server->updateListener = [this](DataAttribute* attr, uint8_t reason) {
            services->reports().onAttributeUpdate(attr, reason);
        };
    }
    ~ServicesTest() override {
        server->updateListener = nullptr;
        services.reset();
        IedServer_destroy(server);
    }

    using Method = MmsServiceResult (VariableServices::*)(const MmsServiceContext&, std::span<const uint8_t>);
    MmsServiceResult call(Method method, const std::vector<uint8_t>& content, sMmsServerConnection* conn = nullptr,
                          uint32_t maxPdu = kPdu) {
        MmsServiceContext ctx{server, conn != nullptr ? conn : connA, 1, maxPdu};
        return (services.get()->*method)(ctx, content);
    }
    std::vector<MmsValuePtr> read(const std::string& item) {
        MmsServiceResult r = call(&VariableServices::read, readRequest({{"IEDLD1", item}}));
        EXPECT_EQ(r.kind, MmsServiceResult::Kind::Response) << item;
        return decodeReadResults(r.content);
    }
    int write(const std::string& item, const MmsValue* value, sMmsServerConnection* conn = nullptr) {
        MmsServiceResult r = call(&VariableServices::write, writeRequest("IEDLD1", item, value), conn);
        std::vector<int> results = decodeWriteResults(r.content);
        return results.size() == 1 ? results[0] : -100;
    }
    int writeBool(const std::string& item, bool v, sMmsServerConnection* conn = nullptr) {
        MmsValuePtr value(MmsValue_newBoolean(v));
        return write(item, value.get(), conn);
    }
    std::vector<std::string> allNames(uint32_t maxPdu) {
        std::vector<std::string> names;
        std::string after;
        for (int page = 0; page < 1000; ++page) {
            MmsServiceResult r = call(&VariableServices::getNameList, getNameListRequest(0, "IEDLD1", after), nullptr,
                                      maxPdu);
            NameListPage p = decodeNameList(r.content);
            names.insert(names.end(), p.names.begin(), p.names.end());
            if (!p.moreFollows || p.names.empty()) break;
            after = p.names.back();
        }
        return names;
    }

    TestModel model;
    uint64_t nowMs = 1765360000000ULL;  // the report engine's clock
    IedServer server = nullptr;
    std::unique_ptr<VariableServices> services;
    std::vector<std::pair<sMmsServerConnection*, std::vector<uint8_t>>> sent;
    char a_ = 0, b_ = 0;
    sMmsServerConnection* connA = reinterpret_cast<sMmsServerConnection*>(&a_);
    sMmsServerConnection* connB = reinterpret_cast<sMmsServerConnection*>(&b_);
};

// --- names -------------------------------------------------------------------

TEST(MmsNameOrder, ComponentsCompareWithoutCaseAndShorterNamesFirst) {
    struct Case {
        const char* a;
        const char* b;
    } cases[] = {
        {"units$multiplier", "units$SIUnit"},
        {"ActPow_FSCC001", "ActPow_FSCC001$CF"},
        {"LLN0$LG", "LLN0$RP"},
        {"Oper$T", "Oper$Test"},
        {"Oper$Check", "Oper$ctlNum"},
        {"CommFail_GGIO1$ST$Ind2$t", "LCMS1"},
        {"X$Schd001$setSrcRef", "X$Schd002"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(services::mmsNameLess(c.a, c.b)) << c.a << " < " << c.b;
        EXPECT_FALSE(services::mmsNameLess(c.b, c.a)) << c.b << " < " << c.a;
    }
}

TEST_F(ServicesTest, NameListsOfDomainsDataSetsAndJournals) {
    struct Case {
        int objectClass;
        std::string domain;
        std::vector<std::string> expected;
    } cases[] = {
        {9, "", {"IEDLD1"}},
        {2, "IEDLD1", {"LLN0$ds"}},
        {8, "IEDLD1", {"LLN0$log01"}},
        {0, "", {}},
    };
    for (const auto& c : cases) {
        MmsServiceResult r = call(&VariableServices::getNameList, getNameListRequest(c.objectClass, c.domain));
        ASSERT_EQ(r.kind, MmsServiceResult::Kind::Response);
        NameListPage page = decodeNameList(r.content);
        EXPECT_EQ(page.names, c.expected) << c.objectClass;
        EXPECT_FALSE(page.moreFollows);
    }
    MmsServiceResult unknown = call(&VariableServices::getNameList, getNameListRequest(0, "IEDLD9"));
    EXPECT_EQ(unknown.kind, MmsServiceResult::Kind::Error);
    EXPECT_EQ(unknown.errorClass, services::ERROR_CLASS_DEFINITION);
}

TEST_F(ServicesTest, NamedVariablesComeSortedWithEveryLevelAndControlBlockFields) {
    std::vector<std::string> names = allNames(kPdu);
    std::vector<std::string> sorted = names;
    std::sort(sorted.begin(), sorted.end(), [](const std::string& a, const std::string& b) {
        std::string la = a, lb = b;
        std::transform(la.begin(), la.end(), la.begin(), ::tolower);
        std::transform(lb.begin(), lb.end(), lb.begin(), ::tolower);
        return la < lb;
    });
    EXPECT_EQ(names, sorted);
    auto at = [&](const std::string& n) { return std::find(names.begin(), names.end(), n) - names.begin(); };
    std::vector<std::string> mx = {"GGIO1$MX",   "GGIO1$MX$AnIn1",   "GGIO1$MX$AnIn1$mag",
                                   "GGIO1$MX$AnIn1$mag$f", "GGIO1$MX$AnIn1$q", "GGIO1$MX$AnIn1$t"};
    size_t first = at(mx[0]);
    ASSERT_LT(first + mx.size(), names.size());
    EXPECT_EQ(std::vector<std::string>(names.begin() + first, names.begin() + first + mx.size()), mx);
    for (const char* n : {"GGIO1", "GGIO1$CO$SPCSO1$Oper$origin$orIdent", "LLN0$RP$rcb01$RptEna",
                          "LLN0$LG$lcb01$LogRef", "GGIO1$CF$Pos$ctlModel", "GGIO1$EX$Name$dataNs"})
        EXPECT_LT(static_cast<size_t>(at(n)), names.size()) << n;
    EXPECT_EQ(static_cast<size_t>(at("GGIO1$CO$Pos")), names.size());  // status only: no Oper
}

TEST_F(ServicesTest, PagesJoinedEqualTheWholeListAndFitThePduSize) {
    std::vector<std::string> whole = allNames(kPdu);
    for (uint32_t pdu : {120u, 200u, 333u}) {
        std::string after;
        std::vector<std::string> joined;
        int pages = 0;
        while (true) {
            MmsServiceResult r =
                call(&VariableServices::getNameList, getNameListRequest(0, "IEDLD1", after), nullptr, pdu);
            EXPECT_LE(r.content.size() + 6, pdu);  // content plus PDU, invoke id and service headers
            NameListPage p = decodeNameList(r.content);
            joined.insert(joined.end(), p.names.begin(), p.names.end());
            ++pages;
            if (!p.moreFollows) break;
            after = p.names.back();
        }
        EXPECT_GT(pages, 2) << pdu;
        EXPECT_EQ(joined, whole) << pdu;
    }
}

// --- types ---------------------------------------------------------------------

TEST_F(ServicesTest, OperTypeMatchesTheReferenceEncoding) {
    MmsServiceResult r =
        call(&VariableServices::getVariableAccessAttributes, nameRequest("IEDLD1", "GGIO1$CO$SPCSO1", true));
    ASSERT_EQ(r.kind, MmsServiceResult::Kind::Response);
    // The answer of the reference server to "EmpWCmd_FSCH030001$CO$EnaReq".
    EXPECT_EQ(hex(r.content),
              "800100a28180a27ea17c307a80044f706572a172a270a16e300c800663746c56616ca1028300302c80066f726967696ea122a2"
              "20a11e300c80056f72436174a103850108300e80076f724964656e74a1038901c0300d800663746c4e756da103860108300780"
              "0154a1029100300a800454657374a1028300300c8005436865636ba1038401fe");
}

TEST_F(ServicesTest, TypesAtEveryLevel) {
    struct Case {
        std::string item;
        std::string typeHex;  // the type description [2] element
    } cases[] = {
        {"GGIO1$MX$AnIn1$mag$f", "a208a706020120020108"},
        {"GGIO1$MX$AnIn1$q", "a20384010d"},
        {"GGIO1$ST$Pos$stVal", "a203840102"},
        {"LLN0$DC$NamPlt$vendor", "a2048a02ff01"},
        {"GGIO1$SP$Prio", "a213a211a10f300d800673657456616ca103850120"},
        {"LLN0$RP$rcb01$SqNum", "a203860108"},
        {"LLN0$RP$rcb01$OptFlds", "a20384010a"},
    };
    for (const auto& c : cases) {
        MmsServiceResult r = call(&VariableServices::getVariableAccessAttributes, nameRequest("IEDLD1", c.item, true));
        ASSERT_EQ(r.kind, MmsServiceResult::Kind::Response) << c.item;
        EXPECT_EQ(hex(r.content), "800100" + c.typeHex) << c.item;
    }
    MmsServiceResult missing =
        call(&VariableServices::getVariableAccessAttributes, nameRequest("IEDLD1", "GGIO1$CO$Pos", true));
    EXPECT_EQ(missing.kind, MmsServiceResult::Kind::Error);
}

TEST_F(ServicesTest, LogicalNodeComponentsComeByFcOrder) {
    MmsServiceResult r = call(&VariableServices::getVariableAccessAttributes, nameRequest("IEDLD1", "GGIO1", true));
    ASSERT_EQ(r.kind, MmsServiceResult::Kind::Response);
    // Walk the type description -> structure -> components and collect the names.
    ber::Reader top(r.content);
    ber::Tlv tlv, st, comps, comp, name;
    ASSERT_TRUE(top.next(tlv) && top.next(tlv));
    ber::Reader typeReader = top.enter(tlv);
    ASSERT_TRUE(typeReader.next(st));
    ber::Reader stReader = typeReader.enter(st);
    ASSERT_TRUE(stReader.next(comps));
    ber::Reader compsReader = stReader.enter(comps);
    std::vector<std::string> fcs;
    while (compsReader.next(comp)) {
        ber::Reader c = compsReader.enter(comp);
        std::string text;
        if (c.next(name) && ber::decodeVisibleString(name.content, text)) fcs.push_back(text);
    }
    EXPECT_EQ(fcs, (std::vector<std::string>{"MX", "ST", "CO", "CF", "DC", "SP", "EX"}));
}

// --- read --------------------------------------------------------------------------

TEST_F(ServicesTest, ReadsAttributesObjectsNodesAndLists) {
    IedServer_updateVisibleStringAttributeValue(server, model.configRev, "1.2.0");
    IedServer_updateFloatAttributeValue(server, model.magF, -1.0F);

    auto rev = read("LLN0$DC$NamPlt$configRev");
    ASSERT_EQ(rev.size(), 1u);
    EXPECT_STREQ(MmsValue_toString(rev[0].get()), "1.2.0");

    auto anIn = read("GGIO1$MX$AnIn1");
    ASSERT_EQ(anIn.size(), 1u);
    ASSERT_EQ(MmsValue_getType(anIn[0].get()), MMS_STRUCTURE);
    ASSERT_EQ(MmsValue_getArraySize(anIn[0].get()), 3);
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(MmsValue_getElement(anIn[0].get(), 0), 0)), -1.0F);
    EXPECT_EQ(MmsValue_getBitStringSize(MmsValue_getElement(anIn[0].get(), 1)), 13);
    EXPECT_EQ(MmsValue_getType(MmsValue_getElement(anIn[0].get(), 2)), MMS_UTC_TIME);

    auto ln = read("GGIO1");
    ASSERT_EQ(ln.size(), 1u);
    EXPECT_EQ(MmsValue_getArraySize(ln[0].get()), 7);  // MX ST CO CF DC SP EX

    // Several variables at once; a missing one fails alone.
    MmsServiceResult r = call(&VariableServices::read, readRequest({{"IEDLD1", "GGIO1$SP$Prio$setVal"},
                                                                    {"IEDLD1", "GGIO1$ST$Nope"},
                                                                    {"IEDLD9", "GGIO1"}}));
    auto results = decodeReadResults(r.content);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_EQ(MmsValue_getType(results[0].get()), MMS_INTEGER);
    EXPECT_EQ(MmsValue_getDataAccessError(results[1].get()), DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT);
    EXPECT_EQ(MmsValue_getDataAccessError(results[2].get()), DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT);
}

TEST_F(ServicesTest, DataSetAttributesAndReadGiveEveryMemberInOrder) {
    MmsServiceResult attrs =
        call(&VariableServices::getNamedVariableListAttributes, nameRequest("IEDLD1", "LLN0$ds", false));
    ASSERT_EQ(attrs.kind, MmsServiceResult::Kind::Response);
    std::string h = hex(attrs.content);
    EXPECT_EQ(h.substr(0, 6), "800100");  // not deletable
    for (const char* member : {"GGIO1$MX$AnIn1", "GGIO1$ST$SPCSO1"}) {
        std::vector<uint8_t> bytes(member, member + std::strlen(member));
        EXPECT_NE(h.find(hex(bytes)), std::string::npos) << member;
    }

    MmsServiceResult r = call(&VariableServices::read, readListRequest("IEDLD1", "LLN0$ds"));
    ASSERT_EQ(r.kind, MmsServiceResult::Kind::Response);
    EXPECT_EQ(hex(r.content).substr(0, 4), "a015");  // the list name is echoed
    auto results = decodeReadResults(r.content);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(MmsValue_getArraySize(results[0].get()), 3);  // mag, q, t
    EXPECT_EQ(MmsValue_getArraySize(results[1].get()), 2);  // stVal, q

    MmsServiceResult missing = call(&VariableServices::read, readListRequest("IEDLD1", "LLN0$nope"));
    EXPECT_EQ(missing.kind, MmsServiceResult::Kind::Error);
}

// --- write policy --------------------------------------------------------------------

TEST_F(ServicesTest, WritePolicyByFunctionalConstraintAndType) {
    MmsValuePtr i30(MmsValue_newIntegerFromInt32(30));
    MmsValuePtr i3(MmsValue_newIntegerFromInt32(3));
    MmsValuePtr f(MmsValue_newFloat(1.5F));
    MmsValuePtr b(MmsValue_newBoolean(true));
    MmsValuePtr s(MmsValue_newVisibleString("x"));
    MmsValuePtr tooLong(MmsValue_newVisibleString(std::string(256, 'x').c_str()));
    struct Case {
        std::string item;
        const MmsValue* value;
        int before;  // default policy
        int after;   // CF opened
    } cases[] = {
        {"GGIO1$SP$Prio$setVal", i30.get(), DATA_ACCESS_ERROR_SUCCESS, DATA_ACCESS_ERROR_SUCCESS},
        {"GGIO1$CF$AnIn1$units$multiplier", i3.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_SUCCESS},
        {"GGIO1$ST$SPCSO1$stVal", b.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED},
        {"GGIO1$MX$AnIn1$mag$f", f.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED},
        {"LLN0$DC$NamPlt$vendor", s.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED},
        {"GGIO1$EX$Name$dataNs", s.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED},
        {"GGIO1$SP$Prio$setVal", f.get(), DATA_ACCESS_ERROR_TYPE_INCONSISTENT, DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
        {"GGIO1$CF$AnIn1$units$multiplier", i30.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_SUCCESS},
        {"GGIO1$CF$AnIn1$units$multiplier", tooLong.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_TYPE_INCONSISTENT},
        {"GGIO1$SP$Nope$setVal", i30.get(), DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT,
         DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT},
        {"LLN0$LG$lcb01$LogEna", b.get(), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED,
         DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED},
    };
    for (const auto& c : cases) EXPECT_EQ(write(c.item, c.value), c.before) << c.item;
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, model.prio), 30);
    server->writePolicyCF = ACCESS_POLICY_ALLOW;  // what IedServer_setWriteAccessPolicy(CF, ALLOW) sets
    for (const auto& c : cases) EXPECT_EQ(write(c.item, c.value), c.after) << c.item;
    EXPECT_EQ(IedServer_getInt32AttributeValue(server, model.multiplier), 30);
}

// --- direct control --------------------------------------------------------------------

struct HandlerLog {
    int calls = 0;
    void* parameter = nullptr;
    bool value = false;
    bool lockFree = false;
    IedServer server = nullptr;
};
HandlerLog handlerLog;

ControlHandlerResult recordingHandler(ControlAction, void* parameter, MmsValue* ctlVal, bool) {
    ++handlerLog.calls;
    handlerLog.parameter = parameter;
    handlerLog.value = MmsValue_getBoolean(ctlVal);
    // Another thread can take the data-model lock while the handler runs.
    std::thread probe([] {
        handlerLog.lockFree = handlerLog.server->dataModelLock.try_lock();
        if (handlerLog.lockFree) handlerLog.server->dataModelLock.unlock();
    });
    probe.join();
    return CONTROL_RESULT_OK;
}

TEST_F(ServicesTest, OperateAnswersFirstThenCallsTheHandlerWithoutTheLock) {
    handlerLog = HandlerLog{};
    handlerLog.server = server;
    int parameter = 7;
    DataObject* spc = static_cast<DataObject*>(model.stVal->parent);
    server->controlHandlers[spc] = {&recordingHandler, &parameter};

    EXPECT_EQ(write("GGIO1$CO$SPCSO1$Oper", operValue(true).get()), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(handlerLog.calls, 0);  // the answer goes out before the handler runs
    services->periodic();
    EXPECT_EQ(handlerLog.calls, 1);
    EXPECT_EQ(handlerLog.parameter, &parameter);
    EXPECT_TRUE(handlerLog.value);
    EXPECT_TRUE(handlerLog.lockFree);
    services->periodic();
    EXPECT_EQ(handlerLog.calls, 1);
}

TEST_F(ServicesTest, OperateRefusals) {
    handlerLog = HandlerLog{};
    handlerLog.server = server;
    DataObject* spc = static_cast<DataObject*>(model.stVal->parent);
    server->controlHandlers[spc] = {&recordingHandler, nullptr};
    MmsValuePtr b(MmsValue_newBoolean(true));
    struct Case {
        std::string item;
        MmsValuePtr value;
        int expected;
    };
    std::vector<Case> cases;
    cases.push_back({"GGIO1$CO$SPCSO1$Oper", operValue(true, 1), DATA_ACCESS_ERROR_TYPE_INCONSISTENT});
    cases.push_back({"GGIO1$CO$SPCSO1$Oper$ctlVal", MmsValuePtr(MmsValue_newBoolean(true)),
                     DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED});
    cases.push_back({"GGIO1$CO$Pos$Oper", operValue(true), DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT});
    for (const auto& c : cases) EXPECT_EQ(write(c.item, c.value.get()), c.expected) << c.item;
    // A control model switched to status only refuses the operate.
    IedServer_updateInt32AttributeValue(server, model.ctlModel, 0);
    EXPECT_EQ(write("GGIO1$CO$SPCSO1$Oper", operValue(true).get()), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    services->periodic();
    EXPECT_EQ(handlerLog.calls, 0);
    // Without a handler the operate is accepted with no effect.
    IedServer_updateInt32AttributeValue(server, model.ctlModel, 1);
    server->controlHandlers.clear();
    EXPECT_EQ(write("GGIO1$CO$SPCSO1$Oper", operValue(false).get()), DATA_ACCESS_ERROR_SUCCESS);
    services->periodic();
    EXPECT_EQ(handlerLog.calls, 0);
}

// --- report control blocks -----------------------------------------------------------------

TEST_F(ServicesTest, ReportBlockStartsWithItsConfiguredValues) {
    auto rcb = read("LLN0$RP$rcb01");
    ASSERT_EQ(rcb.size(), 1u);
    const MmsValue* v = rcb[0].get();
    ASSERT_EQ(MmsValue_getArraySize(v), 11);
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(v, 0)), "LD1/rpt");
    EXPECT_FALSE(MmsValue_getBoolean(MmsValue_getElement(v, 1)));
    EXPECT_FALSE(MmsValue_getBoolean(MmsValue_getElement(v, 2)));
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(v, 3)), "IEDLD1/LLN0$ds");
    EXPECT_EQ(MmsValue_toUint32(MmsValue_getElement(v, 4)), 1u);
    const MmsValue* optFlds = MmsValue_getElement(v, 5);
    ASSERT_EQ(MmsValue_getBitStringSize(optFlds), 10);
    EXPECT_EQ(hex(std::span<const uint8_t>(MmsValue_getBitStringBuffer(optFlds), 2)), "3880");
    const MmsValue* trgOps = MmsValue_getElement(v, 8);
    ASSERT_EQ(MmsValue_getBitStringSize(trgOps), 6);
    EXPECT_EQ(hex(std::span<const uint8_t>(MmsValue_getBitStringBuffer(trgOps), 1)), "74");
    EXPECT_EQ(MmsValue_toUint32(MmsValue_getElement(v, 9)), 0u);
    EXPECT_FALSE(MmsValue_getBoolean(MmsValue_getElement(v, 10)));
}

TEST_F(ServicesTest, GeneralInterrogationReportsEveryMemberFieldByField) {
    IedServer_updateFloatAttributeValue(server, model.magF, 11.5F);
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$GI", true), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_TRUE(sent.empty());  // sent with the periodic tasks, after the write answer
    services->periodic();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, connA);
    Report report = decodeReport(sent[0].second);
    EXPECT_EQ(report.name, "RPT");
    // RptID, OptFlds, TimeOfEntry, DatSet, ConfRev, inclusion, 2 values, 2 reasons.
    ASSERT_EQ(report.values.size(), 10u);
    EXPECT_STREQ(MmsValue_toString(report.values[0].get()), "LD1/rpt");
    EXPECT_EQ(MmsValue_getBitStringSize(report.values[1].get()), 10);
    EXPECT_EQ(MmsValue_getType(report.values[2].get()), MMS_BINARY_TIME);
    EXPECT_STREQ(MmsValue_toString(report.values[3].get()), "IEDLD1/LLN0$ds");
    EXPECT_EQ(MmsValue_toUint32(report.values[4].get()), 1u);
    EXPECT_EQ(MmsValue_getBitStringSize(report.values[5].get()), 2);
    EXPECT_TRUE(MmsValue_getBitStringBit(report.values[5].get(), 0));
    EXPECT_TRUE(MmsValue_getBitStringBit(report.values[5].get(), 1));
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(MmsValue_getElement(report.values[6].get(), 0), 0)), 11.5F);
    EXPECT_EQ(MmsValue_getArraySize(report.values[7].get()), 2);
    for (int i : {8, 9}) {
        ASSERT_EQ(MmsValue_getBitStringSize(report.values[i].get()), 6);
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[i].get(), 5)) << "reason GI";
    }
}

TEST_F(ServicesTest, UpdatesReportByTriggerOption) {
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    struct Case {
        const char* what;
        std::function<void()> update;
        int member;     // -1: no report
        int reasonBit;  // 1 dchg, 2 qchg, 3 dupd
    } cases[] = {
        {"mag.f unchanged (dupd)", [&] { IedServer_updateFloatAttributeValue(server, model.magF, 0.0F); }, 0, 3},
        {"stVal unchanged (dchg only)", [&] { IedServer_updateBooleanAttributeValue(server, model.stVal, false); },
         -1, 0},
        {"stVal changed", [&] { IedServer_updateBooleanAttributeValue(server, model.stVal, true); }, 1, 1},
        {"quality changed", [&] { IedServer_updateQuality(server, model.q, 0x0002); }, 0, 2},
        {"units outside the member's FC", [&] { IedServer_updateInt32AttributeValue(server, model.multiplier, 3); },
         -1, 0},
        {"attribute in no data set", [&] { IedServer_updateInt32AttributeValue(server, model.prio, 5); }, -1, 0},
    };
    for (const auto& c : cases) {
        sent.clear();
        c.update();
        services->periodic();
        if (c.member < 0) {
            EXPECT_TRUE(sent.empty()) << c.what;
            continue;
        }
        ASSERT_EQ(sent.size(), 1u) << c.what;
        Report report = decodeReport(sent[0].second);
        ASSERT_EQ(report.values.size(), 8u) << c.what;  // one member
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[5].get(), c.member)) << c.what;
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[7].get(), c.reasonBit)) << c.what;
    }
    // Each triggering update is its own report (no buffer time).
    sent.clear();
    IedServer_updateFloatAttributeValue(server, model.magF, 1.0F);
    IedServer_updateFloatAttributeValue(server, model.magF, 2.0F);
    services->periodic();
    ASSERT_EQ(sent.size(), 2u);
    Report second = decodeReport(sent[1].second);
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(MmsValue_getElement(second.values[6].get(), 0), 0)), 2.0F);
    // Disabled: nothing more.
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", false), DATA_ACCESS_ERROR_SUCCESS);
    sent.clear();
    IedServer_updateFloatAttributeValue(server, model.magF, 3.0F);
    services->periodic();
    EXPECT_TRUE(sent.empty());
}

TEST_F(ServicesTest, UpdatesFromAnotherThreadAreReportedByTheProcessingThread) {
    int wakeUps = 0;
    services->reports().setWakeUp([&] { ++wakeUps; });
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    std::thread writer([&] {
        for (int i = 0; i < 50; ++i) IedServer_updateFloatAttributeValue(server, model.magF, static_cast<float>(i));
    });
    writer.join();
    EXPECT_TRUE(sent.empty());
    services->periodic();
    EXPECT_EQ(sent.size(), 50u);
    EXPECT_EQ(wakeUps, 50);
}

TEST_F(ServicesTest, AFloodOfUpdatesQueuesABoundedNumberOfReportsAndKeepsTheLastValue) {
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    const size_t cap = services::ReportEngine::kMaxPendingReports;
    for (size_t i = 0; i < cap + 100; ++i) IedServer_updateFloatAttributeValue(server, model.magF, static_cast<float>(i));
    IedServer_updateBooleanAttributeValue(server, model.stVal, true);
    services->periodic();
    EXPECT_EQ(sent.size(), cap + 1);
    EXPECT_EQ(services->reports().droppedReports(), 101u);
    // The last report carries the latest state of both members.
    Report last = decodeReport(sent.back().second);
    ASSERT_EQ(last.values.size(), 10u);
    EXPECT_FLOAT_EQ(MmsValue_toFloat(MmsValue_getElement(MmsValue_getElement(last.values[6].get(), 0), 0)),
                    static_cast<float>(cap + 99));
    EXPECT_TRUE(MmsValue_getBoolean(MmsValue_getElement(last.values[7].get(), 0)));
    sent.clear();
    IedServer_updateFloatAttributeValue(server, model.magF, 1.0F);
    services->periodic();
    EXPECT_EQ(sent.size(), 1u);  // room again after the loop caught up
}

TEST_F(ServicesTest, BufferTimeGathersChangesOfDifferentMembersIntoOneReport) {
    MmsValuePtr bufTm(MmsValue_newUnsignedFromUint32(100));
    ASSERT_EQ(write("LLN0$RP$rcb01$BufTm", bufTm.get()), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    IedServer_updateBooleanAttributeValue(server, model.stVal, true);  // member 2
    nowMs += 10;
    IedServer_updateFloatAttributeValue(server, model.magF, 5.0F);  // member 1
    services->periodic();
    EXPECT_TRUE(sent.empty()) << "held for the buffer time";
    nowMs += 90;
    services->periodic();
    ASSERT_EQ(sent.size(), 1u);
    Report both = decodeReport(sent[0].second);
    ASSERT_EQ(both.values.size(), 10u);
    EXPECT_TRUE(MmsValue_getBitStringBit(both.values[5].get(), 0));
    EXPECT_TRUE(MmsValue_getBitStringBit(both.values[5].get(), 1));
    EXPECT_TRUE(MmsValue_getBitStringBit(both.values[8].get(), 3)) << "member 1: data update";
    EXPECT_TRUE(MmsValue_getBitStringBit(both.values[9].get(), 1)) << "member 2: data change";

    // A second change of a buffered member sends the first one at once.
    sent.clear();
    IedServer_updateFloatAttributeValue(server, model.magF, 6.0F);
    IedServer_updateFloatAttributeValue(server, model.magF, 7.0F);
    services->periodic();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_FLOAT_EQ(
        MmsValue_toFloat(MmsValue_getElement(MmsValue_getElement(decodeReport(sent[0].second).values[6].get(), 0), 0)),
        6.0F);
    nowMs += 100;
    services->periodic();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_FLOAT_EQ(
        MmsValue_toFloat(MmsValue_getElement(MmsValue_getElement(decodeReport(sent[1].second).values[6].get(), 0), 0)),
        7.0F);
}

TEST_F(ServicesTest, IntegrityReportsOnlyWithAPeriodAndTheirTrigger) {
    MmsValuePtr period(MmsValue_newUnsignedFromUint32(1000));
    MmsValuePtr trgOps(MmsValue_newBitString(6));
    for (int bit : {1, 4}) MmsValue_setBitStringBit(trgOps.get(), bit, true);  // dchg, integrity
    ASSERT_EQ(write("LLN0$RP$rcb01$IntgPd", period.get()), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    nowMs += 1500;
    services->periodic();
    EXPECT_TRUE(sent.empty()) << "integrity not among the trigger options";
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", false), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(write("LLN0$RP$rcb01$TrgOps", trgOps.get()), DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true), DATA_ACCESS_ERROR_SUCCESS);
    nowMs += 999;
    services->periodic();
    EXPECT_TRUE(sent.empty()) << "period not yet over";
    nowMs += 1;
    services->periodic();
    ASSERT_EQ(sent.size(), 1u);
    Report report = decodeReport(sent[0].second);
    ASSERT_EQ(report.values.size(), 10u);  // both members
    EXPECT_TRUE(MmsValue_getBitStringBit(report.values[8].get(), 4)) << "reason integrity";
    // Quality changes are no longer among the trigger options.
    sent.clear();
    IedServer_updateQuality(server, model.q, 0x0002);
    services->periodic();
    EXPECT_TRUE(sent.empty());
}

TEST_F(ServicesTest, BlockOwnershipAndConfigurationWhileEnabled) {
    MmsValuePtr id(MmsValue_newVisibleString("other"));
    ASSERT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true, connA), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true, connB), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    EXPECT_EQ(writeBool("LLN0$RP$rcb01$Resv", true, connB), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    EXPECT_EQ(write("LLN0$RP$rcb01$RptID", id.get(), connB), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    EXPECT_EQ(write("LLN0$RP$rcb01$RptID", id.get(), connA), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    MmsValuePtr sq(MmsValue_newUnsignedFromUint32(3));
    EXPECT_EQ(write("LLN0$RP$rcb01$SqNum", sq.get(), connA), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    auto resv = read("LLN0$RP$rcb01$Resv");
    EXPECT_TRUE(MmsValue_getBoolean(resv[0].get()));

    services->connectionClosed(connA);
    EXPECT_FALSE(services->reports().isEnabled(0));
    EXPECT_EQ(write("LLN0$RP$rcb01$RptID", id.get(), connB), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(writeBool("LLN0$RP$rcb01$RptEna", true, connB), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(services->reports().ownerOf(0), connB);
    IedServer_updateFloatAttributeValue(server, model.magF, 4.0F);
    services->periodic();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, connB);
    EXPECT_STREQ(MmsValue_toString(decodeReport(sent[0].second).values[0].get()), "other");
}

// --- log control blocks and journals ------------------------------------------------------------

TEST_F(ServicesTest, LogControlBlockReadsItsValuesAndJournalsAreEmpty) {
    auto lcb = read("LLN0$LG$lcb01");
    ASSERT_EQ(lcb.size(), 1u);
    ASSERT_EQ(MmsValue_getArraySize(lcb[0].get()), 9);
    EXPECT_TRUE(MmsValue_getBoolean(MmsValue_getElement(lcb[0].get(), 0)));
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(lcb[0].get(), 1)), "IEDLD1/LLN0$log01");
    EXPECT_STREQ(MmsValue_toString(MmsValue_getElement(lcb[0].get(), 2)), "IEDLD1/LLN0$ds");

    ber::Writer w;
    size_t m = w.begin(ber::context(0));
    writeObjectName(w, "IEDLD1", "LLN0$log01");
    w.end(m);
    MmsServiceResult r = call(&VariableServices::readJournal, w.take());
    ASSERT_EQ(r.kind, MmsServiceResult::Kind::Response);
    EXPECT_EQ(hex(r.content), "a000810100");

    ber::Writer w2;
    m = w2.begin(ber::context(0));
    writeObjectName(w2, "IEDLD1", "LLN0$nolog");
    w2.end(m);
    EXPECT_EQ(call(&VariableServices::readJournal, w2.take()).kind, MmsServiceResult::Kind::Error);
}

TEST_F(ServicesTest, AnswersThatDoNotFitThePduSizeAreRefused) {
    MmsServiceResult r = call(&VariableServices::read, readRequest({{"IEDLD1", "GGIO1"}}), nullptr, 100);
    EXPECT_EQ(r.kind, MmsServiceResult::Kind::Error);
    EXPECT_EQ(r.errorClass, services::ERROR_CLASS_RESOURCE);
    r = call(&VariableServices::getVariableAccessAttributes, nameRequest("IEDLD1", "GGIO1", true), nullptr, 100);
    EXPECT_EQ(r.kind, MmsServiceResult::Kind::Error);
    EXPECT_EQ(call(&VariableServices::read, readRequest({{"IEDLD1", "GGIO1"}}), nullptr, 2000).kind,
              MmsServiceResult::Kind::Response);
}

// Every cut and every single-octet change of valid requests gets an answer
// of some kind, and nothing reads out of bounds (the suite runs under ASan).
TEST_F(ServicesTest, CutAndAlteredRequestsAreAnsweredSafely) {
    MmsValuePtr b(MmsValue_newBoolean(true));
    struct Case {
        Method method;
        std::vector<uint8_t> request;
    } cases[] = {
        {&VariableServices::getNameList, getNameListRequest(0, "IEDLD1", "GGIO1$MX")},
        {&VariableServices::read, readRequest({{"IEDLD1", "GGIO1$MX$AnIn1"}, {"IEDLD1", "LLN0$RP$rcb01"}})},
        {&VariableServices::read, readListRequest("IEDLD1", "LLN0$ds")},
        {&VariableServices::write, writeRequest("IEDLD1", "GGIO1$CO$SPCSO1$Oper", operValue(true).get())},
        {&VariableServices::write, writeRequest("IEDLD1", "LLN0$RP$rcb01$GI", b.get())},
        {&VariableServices::getVariableAccessAttributes, nameRequest("IEDLD1", "GGIO1$CO$SPCSO1", true)},
        {&VariableServices::getNamedVariableListAttributes, nameRequest("IEDLD1", "LLN0$ds", false)},
    };
    for (const auto& c : cases) {
        for (size_t cut = 0; cut < c.request.size(); ++cut) {
            std::vector<uint8_t> shorter(c.request.begin(), c.request.begin() + cut);
            (void)call(c.method, shorter);
        }
        for (size_t i = 0; i < c.request.size(); ++i) {
            for (uint8_t v : {0x00, 0x7f, 0x80, 0xff}) {
                std::vector<uint8_t> altered = c.request;
                altered[i] = v;
                (void)call(c.method, altered);
            }
        }
    }
    services->periodic();
    SUCCEED();
}

TEST_F(ServicesTest, MalformedContentIsRejected) {
    std::vector<std::vector<uint8_t>> inputs = {{}, {0xa1}, {0xa1, 0x05, 0x00}, {0x30, 0x80, 0x00, 0x00}};
    for (Method m : {&VariableServices::getNameList, &VariableServices::getVariableAccessAttributes,
                     &VariableServices::read, &VariableServices::write,
                     &VariableServices::getNamedVariableListAttributes, &VariableServices::readJournal}) {
        for (const auto& input : inputs) EXPECT_EQ(call(m, input).kind, MmsServiceResult::Kind::Reject);
    }
}

}  // namespace
