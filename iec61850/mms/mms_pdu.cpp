// MMS PDUs of the protocol machine.
#include "iec61850/mms/mms_pdu.h"

namespace mms {

namespace {
using ber::Reader;
using ber::TagClass;
using ber::Tlv;

bool readInt(const Tlv& t, int64_t& v) { return !t.constructed && ber::decodeInteger(t.content, v); }

void writeVisible(ber::Writer& w, uint32_t tag, std::string_view text) {
    // VisibleString admits printable ASCII only; anything else becomes '?'.
    std::string clean(text);
    for (char& c : clean) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) > 0x7E) c = '?';
    }
    w.writeVisibleString(ber::context(tag), clean);
}

std::vector<uint8_t> encodeInvokeAndService(uint32_t pduTag, uint32_t invokeId, unsigned serviceTag,
                                            bool constructed, std::span<const uint8_t> content) {
    ber::Writer w(content.size() + 16);
    const size_t m = w.begin(ber::context(pduTag));
    w.writeUnsigned(ber::universal(ber::kUniversalInteger), invokeId);
    if (constructed)
        w.writeConstructed(ber::context(serviceTag), content);
    else
        w.writePrimitive(ber::context(serviceTag), content);
    w.end(m);
    return w.take();
}

void writeServiceError(ber::Writer& w, int errorClass, int errorCode) {
    const size_t cls = w.begin(ber::context(0));
    w.writeInteger(ber::context(static_cast<uint32_t>(errorClass)), errorCode);
    w.end(cls);
}
}  // namespace

bool parseInitiateRequest(std::span<const uint8_t> pdu, InitiateRequest& out) {
    out = InitiateRequest{};
    Tlv init;
    if (!ber::decodeSingle(pdu, init) || !init.is(TagClass::Context, kPduInitiateRequest) || !init.constructed)
        return false;
    Reader r(init.content, 4);
    Tlv el;
    bool haveCalling = false, haveCalled = false, haveDetail = false;
    while (r.next(el)) {
        if (el.cls != TagClass::Context) return false;
        int64_t v;
        switch (el.number) {
            case 0:
                if (!readInt(el, v)) return false;
                out.localDetailCalling = v;
                break;
            case 1:
                if (!readInt(el, out.maxServOutstandingCalling)) return false;
                haveCalling = true;
                break;
            case 2:
                if (!readInt(el, out.maxServOutstandingCalled)) return false;
                haveCalled = true;
                break;
            case 3:
                if (!readInt(el, v)) return false;
                out.nestingLevel = v;
                break;
            case 4: {
                if (!el.constructed) return false;
                Reader d = r.enter(el);
                Tlv dt;
                bool haveVersion = false;
                while (d.next(dt)) {
                    if (dt.is(TagClass::Context, 0)) {
                        if (!readInt(dt, out.version)) return false;
                        haveVersion = true;
                    } else if (dt.is(TagClass::Context, 1)) {
                        if (!ber::decodeBitString(dt.content, out.parameterCbb, out.parameterCbbBits)) return false;
                    }
                }
                if (!d.ok() || !haveVersion) return false;
                haveDetail = true;
                break;
            }
            default: break;
        }
    }
    return r.ok() && haveCalling && haveCalled && haveDetail;
}

std::vector<uint8_t> encodeInitiateResponse(const InitiateResponse& resp) {
    ber::Writer w(64);
    const size_t m = w.begin(ber::context(kPduInitiateResponse));
    w.writeInteger(ber::context(0), resp.localDetailCalled);
    w.writeInteger(ber::context(1), resp.maxServOutstandingCalling);
    w.writeInteger(ber::context(2), resp.maxServOutstandingCalled);
    if (resp.nestingLevel) w.writeInteger(ber::context(3), *resp.nestingLevel);
    const size_t detail = w.begin(ber::context(4));
    w.writeInteger(ber::context(0), 1);  // version 1
    w.writeBitString(ber::context(1), resp.parameterCbb, resp.parameterCbbBits);
    w.writeBitString(ber::context(2), resp.servicesSupported, 93);
    w.end(detail);
    w.end(m);
    return w.take();
}

std::vector<uint8_t> encodeInitiateError(int code) {
    ber::Writer w;
    const size_t m = w.begin(ber::context(kPduInitiateError));
    writeServiceError(w, kErrorClassInitiate, code);
    w.end(m);
    return w.take();
}

bool parseConfirmedRequest(std::span<const uint8_t> content, ConfirmedRequest& out) {
    out = ConfirmedRequest{};
    Reader r(content, 4);
    Tlv el;
    if (!r.next(el) || !el.is(TagClass::Universal, ber::kUniversalInteger)) return false;
    uint64_t id;
    if (el.constructed || !ber::decodeUnsigned(el.content, id) || id > 0xFFFFFFFFu) return false;
    out.invokeId = static_cast<uint32_t>(id);
    out.haveInvokeId = true;
    if (!r.next(el)) return false;
    if (el.is(TagClass::Universal, ber::kUniversalSequence)) {  // listOfModifier
        out.hasModifiers = true;
        if (!r.next(el)) return false;
    }
    if (el.cls != TagClass::Context) return false;
    out.serviceTag = el.number;
    out.constructed = el.constructed;
    out.content = el.content;
    return r.atEnd() && r.ok();
}

std::vector<uint8_t> encodeConfirmedResponse(uint32_t invokeId, unsigned serviceTag, bool constructed,
                                             std::span<const uint8_t> content) {
    return encodeInvokeAndService(kPduConfirmedResponse, invokeId, serviceTag, constructed, content);
}

std::vector<uint8_t> encodeConfirmedRequest(uint32_t invokeId, unsigned serviceTag, bool constructed,
                                            std::span<const uint8_t> content) {
    return encodeInvokeAndService(kPduConfirmedRequest, invokeId, serviceTag, constructed, content);
}

std::vector<uint8_t> encodeConfirmedError(uint32_t invokeId, int errorClass, int errorCode) {
    ber::Writer w;
    const size_t m = w.begin(ber::context(kPduConfirmedError));
    w.writeUnsigned(ber::context(0), invokeId);
    const size_t se = w.begin(ber::context(2));
    writeServiceError(w, errorClass, errorCode);
    w.end(se);
    w.end(m);
    return w.take();
}

std::vector<uint8_t> encodeReject(std::optional<uint32_t> invokeId, RejectType type, int code) {
    ber::Writer w;
    const size_t m = w.begin(ber::context(kPduReject));
    if (invokeId) w.writeUnsigned(ber::context(0), *invokeId);
    w.writeInteger(ber::context(type), code);
    w.end(m);
    return w.take();
}

std::vector<uint8_t> encodeCancelError(uint32_t invokeId) {
    ber::Writer w;
    const size_t m = w.begin(ber::context(kPduCancelError));
    w.writeUnsigned(ber::context(0), invokeId);
    const size_t se = w.begin(ber::context(1));
    writeServiceError(w, kErrorClassCancel, 1);  // invalid-invokeID: nothing is outstanding
    w.end(se);
    w.end(m);
    return w.take();
}

std::vector<uint8_t> encodeConcludeResponse() {
    ber::Writer w;
    w.writeNull(ber::context(kPduConcludeResponse));
    return w.take();
}

std::vector<uint8_t> encodeIdentifyResponseContent(std::string_view vendor, std::string_view model,
                                                   std::string_view revision) {
    ber::Writer w(64);
    writeVisible(w, 0, vendor);
    writeVisible(w, 1, model);
    writeVisible(w, 2, revision);
    return w.take();
}

}  // namespace mms
