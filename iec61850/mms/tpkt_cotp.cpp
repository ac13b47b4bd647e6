// TPKT framing and COTP class 0.
#include "iec61850/mms/tpkt_cotp.h"

#include <algorithm>

namespace mms {

namespace {
constexpr uint8_t kTpktVersion = 3;
constexpr uint8_t kCodeCR = 0xE0;
constexpr uint8_t kCodeCC = 0xD0;
constexpr uint8_t kCodeDR = 0x80;
constexpr uint8_t kCodeDT = 0xF0;
constexpr uint8_t kCodeER = 0x70;
constexpr uint8_t kParamTpduSize = 0xC0;
constexpr uint8_t kParamCallingTsap = 0xC1;
constexpr uint8_t kParamCalledTsap = 0xC2;
constexpr uint8_t kEot = 0x80;
constexpr size_t kDtHeaderSize = 3;
// TSAP selectors are short (2 octets in practice); a bound keeps copies small.
constexpr size_t kMaxTsapSize = 32;

void appendTpktHeader(std::vector<uint8_t>& out, size_t payloadSize) {
    const size_t total = payloadSize + kTpktHeaderSize;
    out.push_back(kTpktVersion);
    out.push_back(0);
    out.push_back(static_cast<uint8_t>(total >> 8));
    out.push_back(static_cast<uint8_t>(total));
}
}  // namespace

FrameStatus nextTpkt(std::span<const uint8_t> buf, std::span<const uint8_t>& tpdu, size_t& frameSize) {
    if (buf.size() < kTpktHeaderSize) {
        // A wrong version is visible from the first octet on.
        return !buf.empty() && buf[0] != kTpktVersion ? FrameStatus::Invalid : FrameStatus::Incomplete;
    }
    if (buf[0] != kTpktVersion) return FrameStatus::Invalid;
    const size_t length = (size_t{buf[2]} << 8) | buf[3];
    if (length < kTpktMinSize) return FrameStatus::Invalid;
    if (buf.size() < length) return FrameStatus::Incomplete;
    tpdu = buf.subspan(kTpktHeaderSize, length - kTpktHeaderSize);
    frameSize = length;
    return FrameStatus::Complete;
}

bool parseCotp(std::span<const uint8_t> tpdu, CotpTpdu& out) {
    if (tpdu.size() < 2) return false;
    const size_t li = tpdu[0];
    if (li == 0 || li == 255 || li + 1 > tpdu.size()) return false;
    const uint8_t code = tpdu[1] & 0xF0;
    out = CotpTpdu{};
    switch (code) {
        case kCodeDT: {
            if (li != 2) return false;
            out.type = CotpType::Data;
            out.endOfTsdu = (tpdu[2] & kEot) != 0;
            out.data = tpdu.subspan(kDtHeaderSize);
            return true;
        }
        case kCodeCR: {
            if (li < 6 || li + 1 != tpdu.size()) return false;  // a CR of class 0 carries no user data
            out.type = CotpType::ConnectRequest;
            out.srcRef = static_cast<uint16_t>((tpdu[4] << 8) | tpdu[5]);
            out.protocolClass = tpdu[6] >> 4;
            size_t p = 7;
            while (p < li + 1) {
                if (p + 2 > li + 1) return false;
                const uint8_t param = tpdu[p];
                const size_t len = tpdu[p + 1];
                if (p + 2 + len > li + 1) return false;
                auto value = tpdu.subspan(p + 2, len);
                if (param == kParamTpduSize) {
                    if (len != 1) return false;
                    out.tpduSizeCode = value[0];
                } else if (param == kParamCallingTsap || param == kParamCalledTsap) {
                    if (len > kMaxTsapSize) return false;
                    (param == kParamCallingTsap ? out.callingTsap : out.calledTsap).assign(value.begin(), value.end());
                }
                p += 2 + len;
            }
            return true;
        }
        case kCodeCC:
            out.type = CotpType::ConnectConfirm;
            return li >= 6;
        case kCodeDR:
            if (li < 6) return false;
            out.type = CotpType::DisconnectRequest;
            out.reason = tpdu[6];
            return true;
        case kCodeER:
            out.type = CotpType::Error;
            return true;
        default:
            out.type = CotpType::Other;
            return true;
    }
}

void appendConnectConfirm(std::vector<uint8_t>& out, const CotpTpdu& request, uint16_t localRef,
                          uint8_t tpduSizeCode) {
    std::vector<uint8_t> t = {0,
                              kCodeCC,
                              static_cast<uint8_t>(request.srcRef >> 8),
                              static_cast<uint8_t>(request.srcRef),
                              static_cast<uint8_t>(localRef >> 8),
                              static_cast<uint8_t>(localRef),
                              0x00,
                              kParamTpduSize,
                              1,
                              tpduSizeCode};
    auto tsap = [&t](uint8_t code, const std::vector<uint8_t>& v) {
        if (v.empty()) return;
        t.push_back(code);
        t.push_back(static_cast<uint8_t>(v.size()));
        t.insert(t.end(), v.begin(), v.end());
    };
    tsap(kParamCalledTsap, request.calledTsap);
    tsap(kParamCallingTsap, request.callingTsap);
    t[0] = static_cast<uint8_t>(t.size() - 1);
    appendTpktHeader(out, t.size());
    out.insert(out.end(), t.begin(), t.end());
}

void appendDisconnectRequest(std::vector<uint8_t>& out, uint16_t dstRef, uint16_t srcRef, uint8_t reason) {
    const uint8_t t[] = {6,
                         kCodeDR,
                         static_cast<uint8_t>(dstRef >> 8),
                         static_cast<uint8_t>(dstRef),
                         static_cast<uint8_t>(srcRef >> 8),
                         static_cast<uint8_t>(srcRef),
                         reason};
    appendTpktHeader(out, sizeof t);
    out.insert(out.end(), t, t + sizeof t);
}

void appendData(std::vector<uint8_t>& out, std::span<const uint8_t> tsdu, size_t maxTpduSize) {
    const size_t maxChunk = std::max<size_t>(maxTpduSize, kDtHeaderSize + 1) - kDtHeaderSize;
    size_t pos = 0;
    do {
        const size_t chunk = std::min(maxChunk, tsdu.size() - pos);
        const bool last = pos + chunk == tsdu.size();
        appendTpktHeader(out, kDtHeaderSize + chunk);
        out.push_back(2);
        out.push_back(kCodeDT);
        out.push_back(last ? kEot : 0x00);
        out.insert(out.end(), tsdu.begin() + static_cast<std::ptrdiff_t>(pos),
                   tsdu.begin() + static_cast<std::ptrdiff_t>(pos + chunk));
        pos += chunk;
    } while (pos < tsdu.size());
}

}  // namespace mms
