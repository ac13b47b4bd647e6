// ISO presentation PPDUs.
#include "iec61850/mms/presentation.h"

#include <array>

#include "iec61850/mms/ber.h"

namespace mms {

namespace {
using ber::Reader;
using ber::TagClass;
using ber::Tlv;

constexpr std::array<uint32_t, 5> kAcseAbstractSyntax = {2, 2, 1, 0, 1};
constexpr std::array<uint32_t, 5> kMmsAbstractSyntax = {1, 0, 9506, 2, 1};
constexpr std::array<uint32_t, 3> kBerTransferSyntax = {2, 1, 1};
constexpr int kNormalMode = 1;
constexpr size_t kMaxSelectorSize = 16;
constexpr size_t kMaxContexts = 8;

bool oidIs(std::span<const uint8_t> content, std::span<const uint32_t> expected) {
    std::vector<uint32_t> arcs;
    return ber::decodeOid(content, arcs) && std::equal(arcs.begin(), arcs.end(), expected.begin(), expected.end());
}

bool parseContextList(Reader list, PresentationConnect& out) {
    Tlv item;
    while (list.next(item)) {
        if (!item.is(TagClass::Universal, ber::kUniversalSequence) || !item.constructed) return false;
        if (out.contexts.size() >= kMaxContexts) return false;
        Reader r = list.enter(item);
        Tlv idTlv, syntaxTlv, transferList;
        int64_t id;
        if (!r.next(idTlv) || !idTlv.is(TagClass::Universal, ber::kUniversalInteger) ||
            !ber::decodeInteger(idTlv.content, id) || id < 1 || id > 127)
            return false;
        if (!r.next(syntaxTlv) || !syntaxTlv.is(TagClass::Universal, ber::kUniversalOid)) return false;
        if (!r.next(transferList) || !transferList.constructed) return false;
        PresentationConnect::Context ctx;
        ctx.id = static_cast<int>(id);
        ctx.acse = oidIs(syntaxTlv.content, kAcseAbstractSyntax);
        ctx.mms = oidIs(syntaxTlv.content, kMmsAbstractSyntax);
        Reader ts = r.enter(transferList);
        Tlv t;
        while (ts.next(t)) {
            if (t.is(TagClass::Universal, ber::kUniversalOid) && oidIs(t.content, kBerTransferSyntax))
                ctx.berTransfer = true;
        }
        if (!ts.ok() || !r.ok()) return false;
        if (ctx.berTransfer && ctx.acse && out.acseContextId < 0) out.acseContextId = ctx.id;
        if (ctx.berTransfer && ctx.mms && out.mmsContextId < 0) out.mmsContextId = ctx.id;
        out.contexts.push_back(ctx);
    }
    return list.ok();
}

// Fully-encoded data [APPLICATION 1] with one PDV-list.
bool parseFullyEncoded(const Tlv& userData, unsigned depth, PresentationData& out) {
    if (!userData.is(TagClass::Application, 1) || !userData.constructed) return false;
    Reader r(userData.content, depth + 1);
    Tlv pdv;
    if (!r.next(pdv) || !pdv.is(TagClass::Universal, ber::kUniversalSequence) || !r.atEnd()) return false;
    Reader p = r.enter(pdv);
    Tlv el;
    if (!p.next(el)) return false;
    if (el.is(TagClass::Universal, ber::kUniversalOid) && !p.next(el)) return false;  // transfer syntax name
    int64_t id;
    if (!el.is(TagClass::Universal, ber::kUniversalInteger) || !ber::decodeInteger(el.content, id) || id < 1 ||
        id > 127)
        return false;
    Tlv value;
    if (!p.next(value) || !value.is(TagClass::Context, 0) || !value.constructed || !p.atEnd()) return false;
    out.contextId = static_cast<int>(id);
    out.pdu = value.content;
    return !out.pdu.empty();
}
}  // namespace

bool parseConnect(std::span<const uint8_t> ppdu, PresentationConnect& out) {
    out = PresentationConnect{};
    Tlv cp;
    if (!ber::decodeSingle(ppdu, cp) || !cp.is(TagClass::Universal, 17) || !cp.constructed) return false;  // SET
    Reader set(cp.content, 1);
    Tlv el;
    bool normalMode = false;
    bool haveParams = false;
    while (set.next(el)) {
        if (el.is(TagClass::Context, 0) && el.constructed) {
            Reader m = set.enter(el);
            Tlv mode;
            int64_t v;
            if (m.next(mode) && mode.is(TagClass::Context, 0) && ber::decodeInteger(mode.content, v))
                normalMode = v == kNormalMode;
        } else if (el.is(TagClass::Context, 2) && el.constructed) {
            haveParams = true;
            Reader np = set.enter(el);
            Tlv p;
            while (np.next(p)) {
                if (p.is(TagClass::Context, 1) || p.is(TagClass::Context, 2)) {
                    if (p.content.size() > kMaxSelectorSize) return false;
                    (p.number == 1 ? out.callingSelector : out.calledSelector).assign(p.content.begin(),
                                                                                   p.content.end());
                } else if (p.is(TagClass::Context, 4) && p.constructed) {
                    if (!parseContextList(np.enter(p), out)) return false;
                } else if (p.is(TagClass::Application, 1)) {
                    PresentationData data;
                    if (!parseFullyEncoded(p, np.depth() + 1, data)) return false;
                    if (data.contextId != out.acseContextId) return false;
                    out.userData = data.pdu;
                }
            }
            if (!np.ok()) return false;
        }
    }
    return set.ok() && normalMode && haveParams && !out.userData.empty();
}

std::vector<uint8_t> encodeConnectAccept(const PresentationConnect& connect, std::span<const uint8_t> acsePdu) {
    ber::Writer w(acsePdu.size() + 96);
    const size_t set = w.begin(ber::universal(17));
    const size_t mode = w.begin(ber::context(0));
    w.writeInteger(ber::context(0), kNormalMode);
    w.end(mode);
    const size_t params = w.begin(ber::context(2));
    if (!connect.calledSelector.empty()) w.writeOctetString(ber::context(3), connect.calledSelector);
    const size_t results = w.begin(ber::context(5));
    for (const auto& ctx : connect.contexts) {
        const size_t item = w.begin(ber::universal(ber::kUniversalSequence));
        const bool accepted = ctx.berTransfer && (ctx.acse || ctx.mms);
        w.writeInteger(ber::context(0), accepted ? 0 : 2);  // acceptance / provider-rejection
        if (accepted) w.writeOid(ber::context(1), kBerTransferSyntax);
        else w.writeInteger(ber::context(2), ctx.berTransfer ? 1 : 2);  // abstract / transfer syntax not supported
        w.end(item);
    }
    w.end(results);
    const std::vector<uint8_t> data = encodeUserData(connect.acseContextId, acsePdu);
    w.writeRaw(data);
    w.end(params);
    w.end(set);
    return w.take();
}

bool parseUserData(std::span<const uint8_t> ppdu, PresentationData& out) {
    Tlv tlv;
    return ber::decodeSingle(ppdu, tlv) && parseFullyEncoded(tlv, 0, out);
}

std::vector<uint8_t> encodeUserData(int contextId, std::span<const uint8_t> pdu) {
    ber::Writer w(pdu.size() + 16);
    const size_t fe = w.begin(ber::application(1));
    const size_t pdv = w.begin(ber::universal(ber::kUniversalSequence));
    w.writeInteger(ber::universal(ber::kUniversalInteger), contextId);
    w.writeConstructed(ber::context(0), pdu);
    w.end(pdv);
    w.end(fe);
    return w.take();
}

std::vector<uint8_t> encodeAbortUser(int acseContextId, std::span<const uint8_t> acsePdu) {
    ber::Writer w(acsePdu.size() + 16);
    const size_t aru = w.begin(ber::context(0));
    if (acseContextId > 0) {
        const std::vector<uint8_t> data = encodeUserData(acseContextId, acsePdu);
        w.writeRaw(data);
    }
    w.end(aru);
    return w.take();
}

}  // namespace mms
