// ACSE APDUs.
#include "iec61850/mms/acse.h"

#include <array>

#include "iec61850/mms/ber.h"

namespace mms {

namespace {
using ber::Reader;
using ber::TagClass;
using ber::Tlv;

constexpr std::array<uint32_t, 5> kMmsApplicationContext = {1, 0, 9506, 2, 3};
constexpr uint32_t kAarq = 0, kAare = 1, kRlrq = 2, kRlre = 3, kAbrt = 4;
constexpr uint32_t kUserInformation = 30;
constexpr int kAbortSourceProvider = 1;

bool parseUserInformation(Reader r, AcsePdu& out) {
    Tlv ext;
    if (!r.next(ext) || !ext.is(TagClass::Universal, ber::kUniversalExternal) || !ext.constructed) return false;
    Reader e = r.enter(ext);
    Tlv el;
    while (e.next(el)) {
        if (el.is(TagClass::Universal, ber::kUniversalInteger)) {
            int64_t v;
            if (!ber::decodeInteger(el.content, v) || v < 0 || v > 127) return false;
            out.userDataIndirectReference = static_cast<int>(v);
        } else if (el.is(TagClass::Context, 0) && el.constructed) {
            out.userData = el.content;
        }
    }
    return e.ok() && !out.userData.empty();
}
}  // namespace

bool parseAcse(std::span<const uint8_t> pdu, AcsePdu& out) {
    out = AcsePdu{};
    Tlv apdu;
    if (!ber::decodeSingle(pdu, apdu) || apdu.cls != TagClass::Application || !apdu.constructed) return false;
    Reader r(apdu.content, 1);
    switch (apdu.number) {
        case kAarq: {
            out.kind = AcseKind::AssociateRequest;
            Tlv el;
            while (r.next(el)) {
                if (el.is(TagClass::Context, 1) && el.constructed) {
                    Tlv oid;
                    std::vector<uint32_t> arcs;
                    if (!ber::decodeSingle(el.content, oid) || !oid.is(TagClass::Universal, ber::kUniversalOid) ||
                        !ber::decodeOid(oid.content, arcs))
                        return false;
                    out.mmsApplicationContext = std::equal(arcs.begin(), arcs.end(), kMmsApplicationContext.begin(),
                                                           kMmsApplicationContext.end());
                } else if (el.is(TagClass::Context, kUserInformation) && el.constructed) {
                    if (!parseUserInformation(r.enter(el), out)) return false;
                }
            }
            return r.ok();
        }
        case kRlrq:
        case kRlre:
        case kAbrt: {
            out.kind = apdu.number == kRlrq ? AcseKind::ReleaseRequest
                       : apdu.number == kRlre ? AcseKind::ReleaseResponse
                                              : AcseKind::Abort;
            Tlv el;
            while (r.next(el)) {
            }
            return r.ok();
        }
        default:
            out.kind = AcseKind::Other;
            return true;
    }
}

std::vector<uint8_t> encodeAssociateResponse(bool accepted, int diagnostic, int mmsContextId,
                                             std::span<const uint8_t> mmsPdu) {
    ber::Writer w(mmsPdu.size() + 48);
    const size_t aare = w.begin(ber::application(kAare));
    const size_t ctx = w.begin(ber::context(1));
    w.writeOid(ber::universal(ber::kUniversalOid), kMmsApplicationContext);
    w.end(ctx);
    const size_t result = w.begin(ber::context(2));
    w.writeInteger(ber::universal(ber::kUniversalInteger), accepted ? 0 : 1);
    w.end(result);
    const size_t diag = w.begin(ber::context(3));
    const size_t user = w.begin(ber::context(1));  // acse-service-user
    w.writeInteger(ber::universal(ber::kUniversalInteger), accepted ? 0 : diagnostic);
    w.end(user);
    w.end(diag);
    if (!mmsPdu.empty() && mmsContextId > 0) {
        const size_t info = w.begin(ber::context(kUserInformation));
        const size_t ext = w.begin(ber::universal(ber::kUniversalExternal));
        w.writeInteger(ber::universal(ber::kUniversalInteger), mmsContextId);
        w.writeConstructed(ber::context(0), mmsPdu);
        w.end(ext);
        w.end(info);
    }
    w.end(aare);
    return w.take();
}

std::vector<uint8_t> encodeReleaseResponse() {
    ber::Writer w;
    w.writeConstructed(ber::application(kRlre), {});
    return w.take();
}

std::vector<uint8_t> encodeAbort() {
    ber::Writer w;
    const size_t abrt = w.begin(ber::application(kAbrt));
    w.writeInteger(ber::context(0), kAbortSourceProvider);
    w.end(abrt);
    return w.take();
}

}  // namespace mms
