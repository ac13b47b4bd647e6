// libFuzzer target on the PDU decoding path of the MMS server. The first
// octet picks where the input enters:
//   0: raw TCP stream from the first octet on (TPKT, COTP, session, ...)
//   1: raw TCP stream after a valid connect and association
//   2: one MMS PDU on the MMS presentation context of an association
//   3: MMS Data alone: decode, encode, decode, encode; both encodings must agree
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "iec61850/iec61850_log.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_server.h"
#include "iec61850/mms/presentation.h"
#include "iec61850/mms/session.h"
#include "iec61850/mms/tpkt_cotp.h"

namespace {

std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    for (const char* p = text; p[0] && p[1]; p += 2) out.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    return out;
}

// A connect request and an association as a widely used client sends them.
const std::vector<uint8_t>& associationPrefix() {
    static const std::vector<uint8_t> prefix = [] {
        auto bytes = hex("0300001611e00000000100c0010dc2020001c1020001");
        const auto cn = hex(
            "030000bb02f0800db20506130100160102140200023302000134020001c19c318199a003800101a28191810400000001820400000001"
            "a423300f0201010604520100013004060251013010020103060528ca220201300406025101615e305c020101a0576055a107060528"
            "ca220203a20706052901876701a30302010ca606060429018767a70302010cbe2f282d020103a028a826800300fde881010582010583"
            "010aa416800101810305f100820c03ee1c00000408000079ef18");
        bytes.insert(bytes.end(), cn.begin(), cn.end());
        return bytes;
    }();
    return prefix;
}

IedServer fuzzServer() {
    static IedModel model{"FUZZ", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    static IedServer server = [] {
        // Records are formatted but not sent anywhere: syslog on every input
        // would slow the run down.
        Iec61850_setLogHandler([](int, const char*) {});
        IedServer s = IedServer_create(&model);
        IedServer_setServerIdentity(s, "v", "m", "r");
        // A service that decodes Data from its content and answers it back,
        // so the value codec sits on the path too.
        MmsServer_registerService(s, 4, [](MmsServiceContext&, std::span<const uint8_t> content, bool) {
            ber::Reader r(content);
            ber::Tlv tlv;
            ber::Writer w;
            while (r.next(tlv)) {
                ber::MmsValuePtr v = ber::decodeMmsData(tlv);
                ber::encodeAccessResult(w, v.get());
            }
            return MmsServiceResult::response(w.take());
        });
        return s;
    }();
    return server;
}

void checkDataRoundTrip(std::span<const uint8_t> data) {
    // Octets are compared rather than values, so NaN floats count as equal.
    ber::Reader r(data);
    ber::Tlv tlv;
    while (r.next(tlv)) {
        ber::MmsValuePtr first = ber::decodeMmsData(tlv);
        if (!first) continue;
        ber::Writer w;
        if (!ber::encodeMmsData(w, first.get())) continue;
        ber::Tlv again;
        if (!ber::decodeSingle(w.bytes(), again)) std::abort();
        ber::MmsValuePtr second = ber::decodeMmsData(again);
        ber::Writer w2;
        if (!second || !ber::encodeMmsData(w2, second.get()) || w.bytes() != w2.bytes()) std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0] % 4;
    std::span<const uint8_t> rest(data + 1, size - 1);
    if (mode == 3) {
        checkDataRoundTrip(rest);
        return 0;
    }
    IedServer server = fuzzServer();
    MmsServerState& state = mmsState(server);
    sMmsServerConnection* c = state.addDetachedConnection("fuzz:0");
    if (mode >= 1) c->receive(associationPrefix());
    if (mode == 2) {
        // session DT + presentation data on the MMS context (id 3)
        std::vector<uint8_t> tsdu = mms::encodeData(mms::encodeUserData(3, rest));
        std::vector<uint8_t> stream;
        mms::appendData(stream, tsdu, 8192);
        c->receive(stream);
    } else {
        c->receive(rest);
    }
    c->close("end of input");
    state.performPeriodicTasks();  // drops the closed connection
    return 0;
}
