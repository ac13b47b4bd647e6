// The variable services end to end over loopback TCP on the real model,
// with the protocol machine: the client side of the reference captures is
// replayed byte for byte and tshark decodes our answers as it decodes the
// reference's; operate order, reports sent by the loop thread on updates
// from another thread, and block ownership across associations.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <thread>
#include <filesystem>
#include <mutex>

#include "CaptureReplay.h"
#include "ServiceTestModel.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/mms_services.h"
#include "model/StaticModel.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/mms/WireCapture.h"
#include "tests/support/TestSupport.h"

using mmstest::Bytes;
using mmstest::FieldRows;
using mmstest::MmsTestClient;
using mmstest::ServerLoop;
using namespace servicetest;

namespace {

constexpr int kReferencePort = 10150;

DataAttribute* find(IedModel* model, const char* ld, std::initializer_list<const char*> path) {
    ModelNode* node = IedModel_getDeviceByInst(model, ld);
    for (const char* name : path) node = node ? ModelNode_getChild(node, name) : nullptr;
    return static_cast<DataAttribute*>(node);
}

// A transcript with one TPKT per frame, as a peer sends them: one read of
// the socket may have taken in several, or part of one.
std::vector<mmstest::Segment> oneTpktPerFrame(const std::vector<mmstest::Segment>& transcript) {
    std::vector<mmstest::Segment> joined, frames;
    for (const mmstest::Segment& segment : transcript) {
        if (joined.empty() || joined.back().fromClient != segment.fromClient) joined.push_back({segment.fromClient, {}});
        joined.back().bytes.insert(joined.back().bytes.end(), segment.bytes.begin(), segment.bytes.end());
    }
    for (const mmstest::Segment& segment : joined) {
        size_t pos = 0;
        while (pos + 4 <= segment.bytes.size()) {
            size_t length = (static_cast<size_t>(segment.bytes[pos + 2]) << 8) | segment.bytes[pos + 3];
            if (length < 4 || pos + length > segment.bytes.size()) length = segment.bytes.size() - pos;
            frames.push_back({segment.fromClient, Bytes(segment.bytes.begin() + pos, segment.bytes.begin() + pos + length)});
            pos += length;
        }
    }
    return frames;
}

// Operate handler that waits until the test has seen the write answer, and
// records whether it did (the answer must not wait for the handler).
struct OperateProbe {
    std::mutex mutex;
    std::condition_variable cv;
    bool answered = false;
    bool handlerRan = false;
    bool answerCameFirst = false;
    bool value = false;
};
OperateProbe* probe = nullptr;

ControlHandlerResult waitingHandler(ControlAction, void*, MmsValue* ctlVal, bool) {
    if (probe == nullptr) return CONTROL_RESULT_OK;
    std::unique_lock<std::mutex> lock(probe->mutex);
    probe->answerCameFirst = probe->cv.wait_for(lock, std::chrono::seconds(2), [] { return probe->answered; });
    probe->value = MmsValue_getBoolean(ctlVal);
    probe->handlerRan = true;
    probe->cv.notify_all();
    return CONTROL_RESULT_OK;
}

class ServicesTcpTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        server = IedServer_create(getStaticIedModel());
        ASSERT_NE(server, nullptr);
        for (const char* cls : {"CLS1", "CLS2", "CLS3", "CLS4"})
            IedServer_updateFloatAttributeValue(server, anOut1(cls), -1.0F);
        IedServer_updateVisibleStringAttributeValue(server, find(server->model, "STB", {"LPHD", "PhyNam", "serNum"}),
                                                    "vm");
        IedServer_setControlHandler(
            server, reinterpret_cast<DataObject*>(ModelNode_getChild(
                        ModelNode_getChild(IedModel_getDeviceByInst(server->model, "CLS1"), "EmpWCmd_FSCH030001"),
                        "EnaReq")),
            &waitingHandler, nullptr);
        port = testsupport::freeLoopbackPort();
        IedServer_startThreadless(server, port);
        ASSERT_TRUE(IedServer_isRunning(server));
        loop = std::make_unique<ServerLoop>(server);
    }
    void TearDown() override {
        loop.reset();
        if (server != nullptr) IedServer_destroy(server);
    }

    DataAttribute* anOut1(const char* cls) {
        return find(server->model, cls, {"ActPow_GGIO001", "AnOut1", "mxVal", "f"});
    }
    std::string pcap(const char* name) const { return (workDir.path() / name).string(); }

    // Writes one variable; the data-access result (-100 without an answer).
    int write(MmsTestClient& client, const std::string& domain, const std::string& item, const MmsValue* value) {
        auto answer = client.request(MMS_SERVICE_WRITE, writeRequest(domain, item, value), true);
        if (!answer || answer->pduTag != 1) return -100;
        std::vector<int> results = decodeWriteResults(answer->content);
        return results.size() == 1 ? results[0] : -100;
    }
    int writeBool(MmsTestClient& client, const std::string& domain, const std::string& item, bool v) {
        MmsValuePtr value(MmsValue_newBoolean(v));
        return write(client, domain, item, value.get());
    }

    // The MMS frames of a capture as tshark decodes them, initiate and
    // conclude left out (they belong to the protocol machine).
    FieldRows decoded(const std::string& file, int serverPort) {
        FieldRows rows = mmstest::tsharkFields(
            file, serverPort, "mms",
            {"_ws.col.Info", "mms.invokeID", "mms.confirmedServiceRequest", "mms.confirmedServiceResponse",
             "mms.unconfirmedService", "mms.Identifier", "mms.moreFollows", "mms.domainId", "mms.itemId",
             "mms.componentName", "mms.mmsDeletable", "mms.data.visible-string", "mms.floating_point", "mms.integer",
             "mms.unsigned", "mms.boolean", "mms.data_bit-string", "mms.utc_time", "mms.failure", "mms.success"});
        std::erase_if(rows, [](const auto& row) {
            return row.empty() || row[0].find("initiate") != std::string::npos ||
                   row[0].find("conclude") != std::string::npos;
        });
        return rows;
    }

    // The variable-list names of the InformationReports in a client's
    // transcript as tshark decodes them, one row per report; no frame may
    // be malformed.
    FieldRows decodedReports(const MmsTestClient& client, int clientPort, const char* name) {
        const std::string file = pcap(name);
        EXPECT_TRUE(mmstest::writeCapture(oneTpktPerFrame(client.transcript()), clientPort, port, file));
        EXPECT_EQ(mmstest::tsharkProblemFrames(file, port), 0);
        return mmstest::tsharkFields(file, port, "mms.unconfirmedService == 0", {"mms.vmd_specific"});
    }

    IedServer server = nullptr;
    std::unique_ptr<ServerLoop> loop;
    int port = 0;
};

// Sends the client's payloads of a reference capture one by one and takes
// the answers; extraAnswers[i] more TSDUs (reports) follow payload i.
// beforePayload runs before a payload is sent.
void replay(MmsTestClient& client, const std::vector<Bytes>& payloads, const std::map<size_t, int>& extraAnswers,
            const std::function<void(size_t)>& beforePayload = {}) {
    for (size_t i = 0; i < payloads.size(); ++i) {
        if (beforePayload) beforePayload(i);
        ASSERT_TRUE(client.sendRaw(payloads[i])) << i;
        ASSERT_TRUE(i == 0 ? client.receiveTpdu().has_value() : client.receiveTsdu().has_value()) << "payload " << i;
        auto extra = extraAnswers.find(i);
        for (int n = 0; extra != extraAnswers.end() && n < extra->second; ++n) {
            ASSERT_TRUE(client.receiveTsdu().has_value()) << "report after payload " << i;
        }
    }
}

TEST_F(ServicesTcpTest, ReplayedReferenceSessionsDecodeAsTheReference) {
    if (!mmstest::wiresharkToolsAvailable()) GTEST_SKIP() << "no tshark/text2pcap";
    struct Session {
        const char* file;
        std::map<size_t, int> reports;  // payload index -> reports that follow it
    };
    // f-report: the GI report follows the GI write (payload 5); the anchor's
    // own AnOut1 update is made here before the last write (payload 9).
    // (The directory walk of b-dir is compared page by page at the service
    // level; here one full page goes over TCP in the ownership test.)
    const Session sessions[] = {{"c-read.pcapng", {}},
                                {"d-write.pcapng", {}},
                                {"e-operate.pcapng", {}},
                                {"f-report.pcapng", {{5, 1}}},
                                {"g-dataset.pcapng", {}}};
    IedServer_setWriteAccessPolicy(server, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);  // before any client, as the daemon
    // All sessions go into one capture each way, so tshark runs twice.
    std::vector<mmstest::Segment> ourSessions;
    std::string references;
    for (const Session& s : sessions) {
        SCOPED_TRACE(s.file);
        const std::string reference = std::string(MMS_REFERENCE_DIR) + "/" + s.file;
        ASSERT_TRUE(std::filesystem::exists(reference)) << "no reference capture " << reference;
        references += " '" + reference + "'";
        std::vector<Bytes> payloads = servicetest::clientPayloads(reference, kReferencePort);
        bool isReport = std::string(s.file) == "f-report.pcapng";
        if (isReport) {
            ASSERT_EQ(payloads.size(), 12u);
        }
        MmsTestClient client;
        ASSERT_TRUE(client.connect(port));
        replay(client, payloads, s.reports, [&](size_t i) {
            if (!isReport || i != 9) return;
            // AnOut1 gets the reference's time stamp, then its value (the
            // later g-dataset read still sees both, as in the reference).
            const uint8_t time[8] = {0x6b, 0x1a, 0x7a, 0x2e, 0x1b, 0xa5, 0xe3, 0x8a};
            MmsValuePtr t(MmsValue_newUtcTime(0));
            MmsValue_setUtcTimeByBuffer(t.get(), time);
            IedServer_updateAttributeValue(server, find(server->model, "CLS1", {"ActPow_GGIO001", "AnOut1", "t"}),
                                           t.get());
            IedServer_updateFloatAttributeValue(server, anOut1("CLS1"), 11.5F);
            ASSERT_TRUE(client.receiveTsdu().has_value()) << "data-change report";
        });
        client.close();
        std::vector<mmstest::Segment> frames = oneTpktPerFrame(client.transcript());
        ourSessions.insert(ourSessions.end(), frames.begin(), frames.end());
    }
    const std::string ours = pcap("ours.pcap");
    const std::string merged = pcap("reference.pcapng");
    ASSERT_TRUE(mmstest::writeCapture(ourSessions, 40000, port, ours));
    ASSERT_EQ(std::system(("mergecap -a -w '" + merged + "'" + references).c_str()), 0);
    EXPECT_EQ(mmstest::tsharkProblemFrames(ours, port), 0);
    FieldRows got = decoded(ours, port);
    FieldRows want = decoded(merged, kReferencePort);
    ASSERT_GE(want.size(), 30u);  // requests, answers and the two reports
    ASSERT_EQ(got.size(), want.size());
    for (size_t row = 0; row < want.size(); ++row) {
        for (size_t field = 0; field < want[row].size(); ++field)
            EXPECT_EQ(got[row][field], want[row][field]) << "frame " << row << " field " << field;
    }
}

TEST_F(ServicesTcpTest, OperateAnswerGoesOutBeforeTheHandlerRuns) {
    OperateProbe p;
    probe = &p;
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));
    EXPECT_EQ(write(client, "FNN_STEUERBOXCLS1", "EmpWCmd_FSCH030001$CO$EnaReq$Oper", operValue(true).get()),
              DATA_ACCESS_ERROR_SUCCESS);
    {
        std::unique_lock<std::mutex> lock(p.mutex);
        p.answered = true;
        p.cv.notify_all();
        ASSERT_TRUE(p.cv.wait_for(lock, std::chrono::seconds(3), [&] { return p.handlerRan; }));
    }
    EXPECT_TRUE(p.answerCameFirst);
    EXPECT_TRUE(p.value);
    EXPECT_EQ(write(client, "FNN_STEUERBOXCLS1", "SysRes_FSCH010001$CO$EnaReq$Oper", operValue(true).get()),
              DATA_ACCESS_ERROR_OBJECT_NONE_EXISTENT);
    EXPECT_TRUE(client.release());
    probe = nullptr;
}

TEST_F(ServicesTcpTest, UpdatesFromAnotherThreadReachTheClientAsReports) {
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));
    const int clientPort = client.localPort();
    ASSERT_EQ(writeBool(client, "FNN_STEUERBOXCLS1", "LLN0$RP$reportControl0101$RptEna", true),
              DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool(client, "FNN_STEUERBOXCLS1", "LLN0$RP$reportControl0101$GI", true), DATA_ACCESS_ERROR_SUCCESS);
    auto gi = client.receiveMmsPdu();
    ASSERT_TRUE(gi.has_value());
    Report giReport = decodeReport(*gi);
    EXPECT_EQ(giReport.name, "RPT");
    EXPECT_EQ(giReport.values.size(), 6u + 63u + 63u);

    // This thread is not the loop's: the update is queued and wakes the loop.
    DataAttribute* totW = find(server->model, "CLS1", {"MMXU001", "TotW", "mag", "f"});
    IedServer_updateFloatAttributeValue(server, totW, IedServer_getFloatAttributeValue(server, totW));
    auto dupd = client.receiveMmsPdu();
    ASSERT_TRUE(dupd.has_value());
    Report report = decodeReport(*dupd);
    ASSERT_EQ(report.values.size(), 8u);
    EXPECT_TRUE(MmsValue_getBitStringBit(report.values[5].get(), 54));  // member 55, TotW
    EXPECT_TRUE(MmsValue_getBitStringBit(report.values[7].get(), 3));   // data update
    EXPECT_TRUE(client.release());

    if (!mmstest::wiresharkToolsAvailable()) return;
    EXPECT_EQ(decodedReports(client, clientPort, "reports.pcap"), (FieldRows{{"RPT"}, {"RPT"}}));
}

TEST_F(ServicesTcpTest, InterrogationOverASmallPduSizeArrivesInSegments) {
    constexpr uint32_t kPduSize = 1000;  // a CLS interrogation takes about twice that
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port, kPduSize));
    const int clientPort = client.localPort();
    ASSERT_EQ(writeBool(client, "FNN_STEUERBOXCLS1", "LLN0$RP$reportControl0101$RptEna", true),
              DATA_ACCESS_ERROR_SUCCESS);
    ASSERT_EQ(writeBool(client, "FNN_STEUERBOXCLS1", "LLN0$RP$reportControl0101$GI", true), DATA_ACCESS_ERROR_SUCCESS);
    std::vector<size_t> members;
    size_t segments = 0;
    for (bool more = true; more && segments < 63; ++segments) {
        SCOPED_TRACE(segments);
        auto pdu = client.receiveMmsPdu();
        ASSERT_TRUE(pdu.has_value());
        EXPECT_LE(pdu->size(), kPduSize);
        Report report = decodeReport(*pdu);
        ASSERT_EQ(report.name, "RPT");
        ASSERT_GE(report.values.size(), 9u);
        EXPECT_TRUE(MmsValue_getBitStringBit(report.values[1].get(), 9)) << "segmentation";
        EXPECT_EQ(MmsValue_toUint32(report.values[6].get()), segments) << "sub-sequence number";
        more = MmsValue_getBoolean(report.values[7].get());
        for (int bit = 0; bit < 63; ++bit)
            if (MmsValue_getBitStringBit(report.values[8].get(), bit)) members.push_back(static_cast<size_t>(bit));
    }
    EXPECT_GE(segments, 2u);
    std::vector<size_t> all(63);
    for (size_t m = 0; m < all.size(); ++m) all[m] = m;
    EXPECT_EQ(members, all) << "every member exactly once, in member order";
    EXPECT_TRUE(client.release());

    if (!mmstest::wiresharkToolsAvailable()) return;
    EXPECT_EQ(decodedReports(client, clientPort, "segments.pcap"), FieldRows(segments, {"RPT"}));
}

TEST_F(ServicesTcpTest, WritePolicyAndBlockOwnershipAcrossAssociations) {
    MmsTestClient a, b;
    ASSERT_TRUE(a.associate(port));
    ASSERT_TRUE(b.associate(port, 20000));
    // A full page of names fills the negotiated PDU size of each association.
    for (auto [client, pdu] : {std::pair{&a, 65000u}, std::pair{&b, 20000u}}) {
        auto page = client->request(MMS_SERVICE_GET_NAME_LIST, getNameListRequest(0, "FNN_STEUERBOXCLS1"), true);
        ASSERT_TRUE(page.has_value());
        EXPECT_LE(page->pdu.size(), pdu);
        EXPECT_GT(page->pdu.size(), pdu - 100);
        NameListPage names = decodeNameList(page->content);
        EXPECT_TRUE(names.moreFollows);
        EXPECT_EQ(names.names.front(), "ActPow_FSCC001");
    }
    MmsValuePtr zero(MmsValue_newIntegerFromInt32(0));
    const char* cf = "EmpWCmd_FSCH030001$CF$ValASG001$units$multiplier";
    EXPECT_EQ(write(a, "FNN_STEUERBOXCLS1", cf, zero.get()), DATA_ACCESS_ERROR_OBJECT_ACCESS_DENIED);
    MmsValuePtr prio(MmsValue_newIntegerFromInt32(30));
    EXPECT_EQ(write(a, "FNN_STEUERBOXCLS1", "EmpWCmd_FSCH030001$SP$SchdPrio$setVal", prio.get()),
              DATA_ACCESS_ERROR_SUCCESS);
    loop.reset();  // the policy is set on the loop's thread in the daemon
    IedServer_setWriteAccessPolicy(server, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    loop = std::make_unique<ServerLoop>(server);
    EXPECT_EQ(write(a, "FNN_STEUERBOXCLS1", cf, zero.get()), DATA_ACCESS_ERROR_SUCCESS);

    const char* ena = "LLN0$RP$reportControl0102$RptEna";
    ASSERT_EQ(writeBool(a, "FNN_STEUERBOXCLS2", ena, true), DATA_ACCESS_ERROR_SUCCESS);
    EXPECT_EQ(writeBool(b, "FNN_STEUERBOXCLS2", ena, true), DATA_ACCESS_ERROR_TEMPORARILY_UNAVAILABLE);
    EXPECT_TRUE(a.release());
    a.close();
    int result = -1;
    for (int attempt = 0; attempt < 100 && result != DATA_ACCESS_ERROR_SUCCESS; ++attempt) {
        result = writeBool(b, "FNN_STEUERBOXCLS2", ena, true);
        if (result != DATA_ACCESS_ERROR_SUCCESS) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(result, DATA_ACCESS_ERROR_SUCCESS) << "free once the owner's association ended";
    EXPECT_TRUE(b.release());
}

}  // namespace
