// ISO session SPDUs.
#include "iec61850/mms/session.h"

#include <algorithm>

namespace mms {

namespace {
constexpr uint8_t kSiGiveTokensOrData = 1;  // GT and DT share the code
constexpr uint8_t kSiFinish = 9;
constexpr uint8_t kSiDisconnect = 10;
constexpr uint8_t kSiRefuse = 12;
constexpr uint8_t kSiConnect = 13;
constexpr uint8_t kSiAccept = 14;
constexpr uint8_t kSiAbort = 25;

constexpr uint8_t kPgiConnectAcceptItem = 5;
constexpr uint8_t kPiProtocolOptions = 19;
constexpr uint8_t kPiVersionNumber = 22;
constexpr uint8_t kPiSessionRequirements = 20;
constexpr uint8_t kPiTransportDisconnect = 17;
constexpr uint8_t kPiCallingSelector = 51;
constexpr uint8_t kPiCalledSelector = 52;
constexpr uint8_t kPgiUserData = 193;
constexpr uint8_t kPgiExtendedUserData = 194;
constexpr uint8_t kVersion2 = 0x02;
constexpr size_t kMaxSelectorSize = 16;  // ISO 8327: at most 16 octets

// Reads a length: one octet, or 0xFF followed by two octets.
bool readLength(std::span<const uint8_t> d, size_t& p, size_t& len) {
    if (p >= d.size()) return false;
    if (d[p] != 0xFF) {
        len = d[p++];
    } else {
        if (p + 3 > d.size()) return false;
        len = (size_t{d[p + 1]} << 8) | d[p + 2];
        p += 3;
    }
    return len <= d.size() - p;
}

void appendLength(std::vector<uint8_t>& out, size_t len) {
    if (len < 255) {
        out.push_back(static_cast<uint8_t>(len));
    } else {
        out.push_back(0xFF);
        out.push_back(static_cast<uint8_t>(len >> 8));
        out.push_back(static_cast<uint8_t>(len));
    }
}

// Parameters of a CONNECT; user data goes to out.userData.
bool parseConnectParameters(std::span<const uint8_t> params, Spdu& out) {
    size_t p = 0;
    while (p < params.size()) {
        const uint8_t code = params[p++];
        size_t len;
        if (!readLength(params, p, len)) return false;
        auto value = params.subspan(p, len);
        switch (code) {
            case kPgiConnectAcceptItem: {
                size_t q = 0;
                while (q < value.size()) {
                    const uint8_t pi = value[q++];
                    size_t l;
                    if (!readLength(value, q, l)) return false;
                    if (pi == kPiVersionNumber && l == 1) out.versionTwo = (value[q] & kVersion2) != 0;
                    q += l;
                }
                break;
            }
            case kPiSessionRequirements:
                if (len != 2) return false;
                out.requirements = static_cast<uint16_t>((value[0] << 8) | value[1]);
                break;
            case kPiCallingSelector:
            case kPiCalledSelector:
                if (len > kMaxSelectorSize) return false;
                (code == kPiCallingSelector ? out.callingSelector : out.calledSelector).assign(value.begin(),
                                                                                             value.end());
                break;
            case kPgiUserData:
            case kPgiExtendedUserData: out.userData = value; break;
            default: break;  // other parameters do not change what we answer
        }
        p += len;
    }
    return true;
}

// Parameters that carry only user data (FINISH, DISCONNECT, ABORT).
bool parseUserDataParameters(std::span<const uint8_t> params, Spdu& out) {
    size_t p = 0;
    while (p < params.size()) {
        const uint8_t code = params[p++];
        size_t len;
        if (!readLength(params, p, len)) return false;
        if (code == kPgiUserData) out.userData = params.subspan(p, len);
        p += len;
    }
    return true;
}

std::vector<uint8_t> encodeWithUserData(uint8_t si, std::span<const uint8_t> prefixParams,
                                        std::span<const uint8_t> userData) {
    std::vector<uint8_t> params(prefixParams.begin(), prefixParams.end());
    if (!userData.empty()) {
        params.push_back(kPgiUserData);
        appendLength(params, userData.size());
        params.insert(params.end(), userData.begin(), userData.end());
    }
    std::vector<uint8_t> out;
    out.reserve(params.size() + 4);
    out.push_back(si);
    appendLength(out, params.size());
    out.insert(out.end(), params.begin(), params.end());
    return out;
}
}  // namespace

bool parseSpdu(std::span<const uint8_t> tsdu, Spdu& out) {
    out = Spdu{};
    size_t p = 0;
    if (tsdu.empty()) return false;
    const uint8_t si = tsdu[p++];
    size_t len;
    if (!readLength(tsdu, p, len)) return false;
    auto params = tsdu.subspan(p, len);
    switch (si) {
        case kSiGiveTokensOrData: {
            // GIVE TOKENS (no parameters) followed by DATA TRANSFER; the user
            // data is everything after the DATA TRANSFER header.
            if (len != 0) return false;
            size_t q = p;
            if (q >= tsdu.size() || tsdu[q] != kSiGiveTokensOrData) return false;
            ++q;
            size_t dtLen;
            if (!readLength(tsdu, q, dtLen) || dtLen != 0) return false;
            out.kind = SpduKind::Data;
            out.userData = tsdu.subspan(q);
            return !out.userData.empty();
        }
        case kSiConnect:
            if (p + len != tsdu.size()) return false;
            out.kind = SpduKind::Connect;
            return parseConnectParameters(params, out);
        case kSiFinish:
        case kSiDisconnect:
        case kSiAbort:
        case kSiRefuse:
            if (p + len != tsdu.size()) return false;
            out.kind = si == kSiFinish       ? SpduKind::Finish
                       : si == kSiDisconnect ? SpduKind::Disconnect
                       : si == kSiAbort      ? SpduKind::Abort
                                             : SpduKind::Refuse;
            return parseUserDataParameters(params, out);
        default:
            out.kind = SpduKind::Other;
            return true;
    }
}

std::vector<uint8_t> encodeAccept(const Spdu& connect, std::span<const uint8_t> userData) {
    std::vector<uint8_t> params = {kPgiConnectAcceptItem, 6, kPiProtocolOptions, 1, 0, kPiVersionNumber, 1, kVersion2,
                                   kPiSessionRequirements, 2, static_cast<uint8_t>(connect.requirements >> 8),
                                   static_cast<uint8_t>(connect.requirements)};
    if (!connect.calledSelector.empty()) {
        params.push_back(kPiCalledSelector);
        params.push_back(static_cast<uint8_t>(connect.calledSelector.size()));
        params.insert(params.end(), connect.calledSelector.begin(), connect.calledSelector.end());
    }
    return encodeWithUserData(kSiAccept, params, userData);
}

std::vector<uint8_t> encodeData(std::span<const uint8_t> userData) {
    // Sized once and filled in place: the four header bytes, then the user data.
    std::vector<uint8_t> out(userData.size() + 4);
    out[0] = kSiGiveTokensOrData;
    out[2] = kSiGiveTokensOrData;
    std::copy(userData.begin(), userData.end(), out.begin() + 4);
    return out;
}

std::vector<uint8_t> encodeDisconnect(std::span<const uint8_t> userData) {
    return encodeWithUserData(kSiDisconnect, {}, userData);
}

std::vector<uint8_t> encodeAbort(std::span<const uint8_t> userData) {
    // Transport disconnect: the transport connection is released, user abort.
    const uint8_t params[] = {kPiTransportDisconnect, 1, 0x03};
    return encodeWithUserData(kSiAbort, params, userData);
}

}  // namespace mms
