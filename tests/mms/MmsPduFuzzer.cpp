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
#include "tests/mms/FuzzConnection.h"

namespace {

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
                MmsValuePtr v = ber::decodeMmsData(tlv);
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
        MmsValuePtr first = ber::decodeMmsData(tlv);
        if (!first) continue;
        ber::Writer w;
        if (!ber::encodeMmsData(w, first.get())) continue;
        ber::Tlv again;
        if (!ber::decodeSingle(w.bytes(), again)) std::abort();
        MmsValuePtr second = ber::decodeMmsData(again);
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
    fuzzsupport::feed(fuzzServer(), mode, rest);
    return 0;
}
