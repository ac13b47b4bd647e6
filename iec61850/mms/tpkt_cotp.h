#pragma once
// ISO transport over TCP: TPKT framing (RFC 1006) and COTP class 0 (ISO 8073):
// connection request/confirm, data with segmentation and reassembly,
// disconnect request. Pure functions over bytes; the sockets are elsewhere.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace mms {

constexpr size_t kTpktHeaderSize = 4;
constexpr size_t kTpktMaxSize = 65535;
// TPKT + shortest TPDU (a DT header is 3 octets, LI included).
constexpr size_t kTpktMinSize = kTpktHeaderSize + 3;

enum class FrameStatus { Incomplete, Complete, Invalid };
// Looks at the start of buf: a complete TPKT gives its payload (the TPDU) and
// its whole size.
FrameStatus nextTpkt(std::span<const uint8_t> buf, std::span<const uint8_t>& tpdu, size_t& frameSize);

enum class CotpType { ConnectRequest, ConnectConfirm, DisconnectRequest, Data, Error, Other };

// TPDU size codes (ISO 8073): 7 = 128 octets ... 13 = 8192 octets.
constexpr uint8_t kTpduSizeCodeMin = 7;
constexpr uint8_t kTpduSizeCodeMax = 13;
constexpr size_t tpduSizeFromCode(uint8_t code) { return size_t{1} << code; }

struct CotpTpdu {
    CotpType type = CotpType::Other;
    // CR
    uint16_t srcRef = 0;
    uint8_t tpduSizeCode = 0;  // 0: parameter absent (128 octets by default)
    std::vector<uint8_t> callingTsap;
    std::vector<uint8_t> calledTsap;
    uint8_t protocolClass = 0;
    // DT
    bool endOfTsdu = false;
    std::span<const uint8_t> data;
    // DR
    uint8_t reason = 0;
};

// Parses one TPDU (a TPKT payload). False for anything malformed.
[[nodiscard]] bool parseCotp(std::span<const uint8_t> tpdu, CotpTpdu& out);

// Each encoder appends complete TPKT frames to out.
void appendConnectConfirm(std::vector<uint8_t>& out, const CotpTpdu& request, uint16_t localRef,
                          uint8_t tpduSizeCode);
// Reasons: 0 not specified, 1 congestion, 3 normal, 0x85 protocol error.
void appendDisconnectRequest(std::vector<uint8_t>& out, uint16_t dstRef, uint16_t srcRef, uint8_t reason);
// Splits tsdu into DT TPDUs of at most maxTpduSize octets each.
void appendData(std::vector<uint8_t>& out, std::span<const uint8_t> tsdu, size_t maxTpduSize);

}  // namespace mms
