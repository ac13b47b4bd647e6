#include "tests/files/ObtainClient.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <span>

#include "iec61850/files/file_services.h"
#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_services.h"

using namespace iec61850::files;
using mmstest::Answer;
using mmstest::Bytes;
using mmstest::MmsTestClient;

namespace obtainclient {

namespace {

constexpr int64_t kClientFileModified = 1796897317;  // 2026-12-10 10:08:37 UTC

Bytes clientError(uint32_t invokeId, int errorClass, int code) {
    // confirmed-ErrorPDU { [0] invokeID, [2] ServiceError { errorClass { [class] code } } }
    ber::Writer w;
    size_t m = w.begin(ber::context(2));
    w.writeUnsigned(ber::context(0), invokeId);
    size_t error = w.begin(ber::context(2));
    size_t cls = w.begin(ber::context(0));
    w.writeUnsigned(ber::context(static_cast<unsigned>(errorClass)), static_cast<uint64_t>(code));
    w.end(cls);
    w.end(error);
    w.end(m);
    return w.take();
}

}  // namespace

void obtainFile(MmsTestClient& client, const ObtainFileRequest& request, const std::string& file, ClientFault fault,
                ObtainExchange& exchange, size_t chunk) {
    ASSERT_TRUE(client.sendMmsPdu(
        MmsTestClient::confirmedRequest(1, MMS_SERVICE_OBTAIN_FILE, encodeObtainFileRequest(request), true)));
    size_t position = 0;
    bool closed = false;
    while (!exchange.answer) {
        auto pdu = client.receiveMmsPdu();
        ASSERT_TRUE(pdu.has_value()) << "the server stopped half way";
        if (auto answer = MmsTestClient::splitAnswer(*pdu); answer && answer->invokeId == 1 &&
                                                            (answer->pduTag == 1 || answer->pduTag == 2)) {
            exchange.answer = answer;
            exchange.closedBeforeAnswer = closed;
            return;
        }
        auto req = MmsTestClient::splitRequest(*pdu);
        ASSERT_TRUE(req.has_value()) << mmstest::toHex(*pdu);
        exchange.asked.push_back(req->service);
        Bytes reply;
        if (req->service == MMS_SERVICE_FILE_OPEN) {
            FileOpenRequest open;
            ASSERT_EQ(decodeFileOpenRequest(req->content, open), DecodeStatus::Ok);
            EXPECT_EQ(open.name, request.sourceFile);
            FileOpenResponse response{3, {file.size(), kClientFileModified}};
            reply = fault == ClientFault::RefuseOpen
                        ? clientError(req->invokeId, kErrorClassFile, 7)  // file-non-existent
                        : MmsTestClient::confirmedResponse(req->invokeId, req->service,
                                                           encodeFileOpenResponse(response), true);
        } else if (req->service == MMS_SERVICE_FILE_READ) {
            EXPECT_EQ(req->content, encodeFrsmId(3));
            size_t n = std::min<size_t>(chunk, file.size() - position);
            auto data = std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(file.data()) + position, n);
            position += n;
            reply = MmsTestClient::confirmedResponse(req->invokeId, req->service,
                                                     encodeFileReadResponse(data, position < file.size()), true);
        } else {
            EXPECT_EQ(req->service, MMS_SERVICE_FILE_CLOSE);
            EXPECT_EQ(req->content, encodeFrsmId(3));
            reply = MmsTestClient::confirmedResponse(req->invokeId, req->service, {}, false);
            closed = true;
        }
        ASSERT_TRUE(client.sendMmsPdu(reply));
        if (fault == ClientFault::DropAfterFirstRead && req->service == MMS_SERVICE_FILE_READ) {
            client.reset();
            return;
        }
    }
}


}  // namespace obtainclient
