// Replays the client side of the reference captures against the services on
// the real model and compares the answers with the reference answers: the
// name lists page by page, reads, writes, the operate, the data set and the
// report control block octet for octet, the reports field by field (their
// time of entry aside).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <initializer_list>

#include "CaptureReplay.h"
#include "RealModelServer.h"
#include "ServiceTestModel.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/services/variable_services.h"
#include "model/StaticModel.h"

using namespace servicetest;
using services::VariableServices;

namespace {

constexpr int kReferencePort = 10150;
constexpr uint32_t kReferencePdu = 65000;

// Empty when equal, else the first differing offset with some context.
std::string firstDifference(const std::vector<uint8_t>& ours, const std::vector<uint8_t>& reference) {
    if (ours == reference) return "";
    size_t i = 0;
    while (i < ours.size() && i < reference.size() && ours[i] == reference[i]) ++i;
    size_t from = i > 24 ? i - 24 : 0;
    auto window = [&](const std::vector<uint8_t>& v) {
        size_t end = std::min(v.size(), i + 40);
        return hex(std::span<const uint8_t>(v).subspan(std::min(from, v.size()), end > from ? end - from : 0));
    };
    return "differ at " + std::to_string(i) + " (sizes " + std::to_string(ours.size()) + "/" +
           std::to_string(reference.size()) + ")\n ours " + window(ours) + "\n  ref " + window(reference);
}

// Replays on the server as the reference captures were made.
class ReferenceReplay : public RealModelTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(std::filesystem::exists(MMS_REFERENCE_DIR)) << "no reference captures";
    }

    std::vector<MmsPdu> capture(const char* file) {
        auto pdus = readCapture(std::string(MMS_REFERENCE_DIR) + "/" + file, kReferencePort);
        EXPECT_TRUE(pdus.has_value()) << file;
        return pdus.value_or(std::vector<MmsPdu>{});
    }

    MmsServiceResult answer(const ConfirmedExchange& ex) {
        MmsServiceContext ctx{server, connA, ex.invokeId, kReferencePdu};
        std::span<const uint8_t> content = ex.requestContent;
        switch (ex.service) {
            case MMS_SERVICE_GET_NAME_LIST: return services->getNameList(ctx, content);
            case MMS_SERVICE_READ: return services->read(ctx, content);
            case MMS_SERVICE_WRITE: return services->write(ctx, content);
            case MMS_SERVICE_GET_VARIABLE_ACCESS_ATTRIBUTES: return services->getVariableAccessAttributes(ctx, content);
            case MMS_SERVICE_GET_NAMED_VARIABLE_LIST_ATTRIBUTES:
                return services->getNamedVariableListAttributes(ctx, content);
            default: return MmsServiceResult::reject(1);
        }
    }

    // Replays every confirmed request and expects the reference answer octet
    // for octet; runs the periodic tasks after each request as the loop does.
    void replayConfirmed(const std::vector<MmsPdu>& pdus, size_t expectedExchanges) {
        std::vector<ConfirmedExchange> exchanges = confirmedExchanges(pdus);
        EXPECT_EQ(exchanges.size(), expectedExchanges);
        for (const ConfirmedExchange& ex : exchanges) {
            MmsServiceResult ours = answer(ex);
            ASSERT_EQ(ours.kind, MmsServiceResult::Kind::Response) << "invoke " << ex.invokeId;
            EXPECT_EQ(ex.answerPdu, 1u) << "invoke " << ex.invokeId;
            EXPECT_EQ(firstDifference(ours.content, ex.answerContent), "")
                << "invoke " << ex.invokeId << " service " << ex.service;
            services->periodic();
        }
    }

    // Sets "AnOut1" of CLS1: t first, so that the report of the value
    // change carries it, as in the reference.
    void setAnOut1(float value, const uint8_t time[8]) {
        MmsValuePtr t(MmsValue_newUtcTime(0));
        MmsValue_setUtcTimeByBuffer(t.get(), time);
        IedServer_updateAttributeValue(server, findAttribute(server->model, "CLS1", {"ActPow_GGIO001", "AnOut1", "t"}),
                                       t.get());
        IedServer_updateFloatAttributeValue(
            server, findAttribute(server->model, "CLS1", {"ActPow_GGIO001", "AnOut1", "mxVal", "f"}), value);
    }
    static constexpr uint8_t kReportedAnOut1Time[8] = {0x6b, 0x1a, 0x7a, 0x2e, 0x1b, 0xa5, 0xe3, 0x8a};
    static constexpr uint8_t kZeroTime[8] = {};


};

TEST_F(ReferenceReplay, DirectoryWalkGivesTheReferenceNameListsPageByPage) {
    replayConfirmed(capture("b-dir.pcapng"), 190);
}

TEST_F(ReferenceReplay, ReadsWritesAndOperateAnswerAsTheReference) {
    for (const char* file : {"c-read.pcapng", "d-write.pcapng", "e-operate.pcapng", "g-dataset.pcapng"}) {
        SCOPED_TRACE(file);
        // The reference server made g-dataset after f-report, whose test hook
        // had set AnOut1 of CLS1 to 11.5 (with its time stamp).
        if (std::strcmp(file, "g-dataset.pcapng") == 0) setAnOut1(11.5F, kReportedAnOut1Time);
        std::vector<MmsPdu> pdus = capture(file);
        replayConfirmed(pdus, confirmedExchanges(pdus).size());
    }
    setAnOut1(-1.0F, kZeroTime);
}

TEST_F(ReferenceReplay, ReportsMatchTheReferenceFieldByField) {
    std::vector<MmsPdu> pdus = capture("f-report.pcapng");
    std::vector<std::vector<uint8_t>> reference = unconfirmedPdus(pdus);
    ASSERT_EQ(reference.size(), 2u);
    std::vector<ConfirmedExchange> exchanges = confirmedExchanges(pdus);
    ASSERT_EQ(exchanges.size(), 8u);
    // Requests 1..7 (read of the block, data set, enable, GI, the operate),
    // then the anchor's own update of AnOut1, then disabling.
    for (size_t i = 0; i < exchanges.size(); ++i) {
        if (i == 7) {
            setAnOut1(11.5F, kReportedAnOut1Time);  // what the reference server's test hook did
            services->periodic();
        }
        MmsServiceResult ours = answer(exchanges[i]);
        ASSERT_EQ(ours.kind, MmsServiceResult::Kind::Response) << i;
        EXPECT_EQ(firstDifference(ours.content, exchanges[i].answerContent), "") << "request " << i + 1;
        services->periodic();
    }
    setAnOut1(-1.0F, kZeroTime);
    ASSERT_EQ(sent.size(), 2u);
    for (size_t r = 0; r < 2; ++r) {
        Report expected = decodeReport(reference[r]);
        Report actual = decodeReport(sent[r].second);
        EXPECT_EQ(actual.name, expected.name);
        ASSERT_EQ(actual.values.size(), expected.values.size()) << "report " << r;
        for (size_t i = 0; i < expected.values.size(); ++i) {
            if (i == 2) {  // TimeOfEntry: the time the report was made
                EXPECT_EQ(MmsValue_getType(actual.values[i].get()), MMS_BINARY_TIME);
                continue;
            }
            EXPECT_TRUE(MmsValue_equals(actual.values[i].get(), expected.values[i].get()))
                << "report " << r << " field " << i;
        }
    }
    // Besides the time of entry, the octets agree.
    EXPECT_EQ(sent[0].second.size(), reference[0].size());
    EXPECT_EQ(sent[1].second.size(), reference[1].size());
}

}  // namespace
