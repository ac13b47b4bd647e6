// The wire format checked by an independent decoder (tshark), and the client
// side of a reference capture replayed against our server with its answers
// compared field by field.
#include <gtest/gtest.h>

#include <filesystem>

#include "MmsTestClient.h"
#include "WireCapture.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/mms_services.h"
#include "tests/support/TestSupport.h"

using mmstest::Bytes;
using mmstest::FieldRows;
using mmstest::MmsTestClient;
using mmstest::ServerLoop;

namespace {

#ifndef MMS_REFERENCE_DIR
#error "MMS_REFERENCE_DIR names the folder of the reference captures"
#endif
constexpr int kReferencePort = 10150;

IedModel* emptyModel() {
    static IedModel model{"TEST", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &model;
}

class WireFormatTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        if (!mmstest::wiresharkToolsAvailable()) GTEST_SKIP() << "tshark/text2pcap not installed";
        server = IedServer_create(emptyModel());
        IedServer_setServerIdentity(server, "Tavelmarck", "generic libIEC", "1.5");
        MmsServer_registerService(server, MMS_SERVICE_READ, [](MmsServiceContext&, std::span<const uint8_t>, bool) {
            return MmsServiceResult::error(7, 2);  // access: object-non-existent
        });
        port = testsupport::freeLoopbackPort();
        ASSERT_TRUE(MmsServer_startListening(server, port));
        loop = std::make_unique<ServerLoop>(server);
    }
    void TearDown() override {
        loop.reset();
        if (server) IedServer_destroy(server);
    }
    std::string pcap(const char* name) const { return (workDir.path() / name).string(); }

    IedServer server = nullptr;
    std::unique_ptr<ServerLoop> loop;
    int port = 0;
};

TEST_F(WireFormatTest, OwnSessionDecodesWithoutProblems) {
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));
    const int clientPort = client.localPort();
    ASSERT_TRUE(client.request(MMS_SERVICE_IDENTIFY, {}, false));
    // Read { variable access: listOfVariable { name domain-specific "D" "x" } }
    ASSERT_TRUE(client.request(MMS_SERVICE_READ, mmstest::fromHex("a10ea00c300aa008a1061a01441a0178"), true));
    ASSERT_TRUE(client.request(MMS_SERVICE_FILE_DIRECTORY, {}, true));  // not registered: reject
    ASSERT_TRUE(client.release());
    EXPECT_TRUE(client.waitClosed());
    const std::string file = pcap("own.pcap");
    ASSERT_TRUE(mmstest::writeCapture(client.transcript(), clientPort, port, file));

    EXPECT_EQ(mmstest::tsharkProblemFrames(file, port), 0);
    const FieldRows rows =
        mmstest::tsharkFields(file, port, "mms or acse",
                     {"_ws.col.Info", "mms.invokeID", "mms.confirmedServiceRequest", "mms.confirmedServiceResponse",
                      "mms.vendorName", "mms.modelName", "mms.revision", "mms.localDetailCalled", "mms.errorClass",
                      "mms.confirmed_requestPDU", "acse.result", "mms.originalInvokeID"});
    const FieldRows expected = {
        {"initiate-RequestPDU", "", "", "", "", "", "", "", "", "", "", ""},
        {"initiate-ResponsePDU", "", "", "", "", "", "", "65000", "", "", "0", ""},
        {"01 confirmed-RequestPDU", "1", "2", "", "", "", "", "", "", "", "", ""},
        {"01 confirmed-ResponsePDU", "1", "", "2", "Tavelmarck", "generic libIEC", "1.5", "", "", "", "", ""},
        {"02 confirmed-RequestPDU", "2", "4", "", "", "", "", "", "", "", "", ""},
        {"02 confirmed-ErrorPDU", "2", "", "", "", "", "", "", "7", "", "", ""},
        {"03 confirmed-RequestPDU", "3", "77", "", "", "", "", "", "", "", "", ""},
        {"rejectPDU", "", "", "", "", "", "", "", "", "1", "", "3"},
        {"conclude-RequestPDU", "", "", "", "", "", "", "", "", "", "", ""},
        {"conclude-ResponsePDU", "", "", "", "", "", "", "", "", "", "", ""},
        {"Release-Request", "", "", "", "", "", "", "", "", "", "", ""},
        {"Release-Response", "", "", "", "", "", "", "", "", "", "", ""},
    };
    ASSERT_EQ(rows.size(), expected.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        ASSERT_EQ(rows[i].size(), expected[i].size());
        // The Info column of ACSE frames carries a reason ("(normal)"); compare its start.
        EXPECT_EQ(rows[i][0].substr(0, expected[i][0].size()), expected[i][0]) << i;
        for (size_t f = 1; f < rows[i].size(); ++f) EXPECT_EQ(rows[i][f], expected[i][f]) << "frame " << i << " field " << f;
    }
}

TEST_F(WireFormatTest, ReferenceIdentifySessionGetsTheReferenceAnswers) {
    const std::string reference = std::string(MMS_REFERENCE_DIR) + "/a-identify.pcapng";
    ASSERT_TRUE(std::filesystem::exists(reference)) << "no reference capture at " << reference;
    const auto payloads = mmstest::clientPayloads(reference, kReferencePort);
    ASSERT_EQ(payloads.size(), 5u);  // CR, initiate, identify, conclude, release

    MmsTestClient client;
    ASSERT_TRUE(client.connect(port));
    const int clientPort = client.localPort();
    for (size_t i = 0; i < payloads.size(); ++i) {
        ASSERT_TRUE(client.sendRaw(payloads[i]));
        ASSERT_TRUE(i == 0 ? client.receiveTpdu().has_value() : client.receiveTsdu().has_value()) << i;
    }
    EXPECT_TRUE(client.waitClosed());
    const std::string ours = pcap("replay.pcap");
    ASSERT_TRUE(mmstest::writeCapture(client.transcript(), clientPort, port, ours));
    EXPECT_EQ(mmstest::tsharkProblemFrames(ours, port), 0);

    // Every field of the server's answers, except the services-supported bit
    // string: ours names exactly the services registered with the server (here
    // Identify and Read) plus informationReport and conclude; the reference
    // also names status and cancel, which this server does not offer (a
    // cancel is answered with a cancel-ErrorPDU, nothing being outstanding).
    const std::vector<std::string> fields = {
        "_ws.col.Info", "cotp.type", "cotp.class", "cotp.parameter_value", "cotp.src-tsap", "cotp.dst-tsap",
        "ses.type", "pres.presentation_context_identifier", "acse.result", "acse.aSO_context_name", "mms.invokeID", "mms.confirmedServiceResponse", "mms.vendorName",
        "mms.modelName", "mms.revision", "mms.localDetailCalled", "mms.negociatedMaxServOutstandingCalling",
        "mms.negociatedMaxServOutstandingCalled", "mms.negociatedDataStructureNestingLevel",
        "mms.negociatedVersionNumber", "mms.negociatedParameterCBB"};
    const FieldRows theirs =
        mmstest::tsharkFields(reference, kReferencePort, "tcp.srcport==" + std::to_string(kReferencePort) + " and tcp.len>0", fields);
    const FieldRows mine = mmstest::tsharkFields(ours, port, "tcp.srcport==" + std::to_string(port) + " and tcp.len>0", fields);
    ASSERT_EQ(mine.size(), theirs.size());
    ASSERT_EQ(mine.size(), 5u);  // CC, initiate, identify, conclude, release answers
    for (size_t i = 0; i < mine.size(); ++i) {
        for (size_t f = 0; f < fields.size(); ++f)
            EXPECT_EQ(mine[i][f], theirs[i][f]) << "answer " << i << " field " << fields[f];
    }
}

}  // namespace
