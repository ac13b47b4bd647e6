#pragma once
// ISO session (ISO 8327, kernel and duplex functional units): CONNECT /
// ACCEPT, data transfer (GIVE TOKENS + DATA TRANSFER), FINISH / DISCONNECT
// and ABORT. Pure functions over bytes.

#include <cstdint>
#include <span>
#include <vector>

namespace mms {

enum class SpduKind { Connect, Data, Finish, Disconnect, Abort, Refuse, Other };

struct Spdu {
    SpduKind kind = SpduKind::Other;
    std::span<const uint8_t> userData;   // session user data (the presentation PDU)
    std::vector<uint8_t> callingSelector;
    std::vector<uint8_t> calledSelector;
    uint16_t requirements = 0x0002;      // duplex by default
    bool versionTwo = true;              // the peer offers protocol version 2
};

// Parses one session PDU (a whole TSDU). False when malformed.
[[nodiscard]] bool parseSpdu(std::span<const uint8_t> tsdu, Spdu& out);

std::vector<uint8_t> encodeAccept(const Spdu& connect, std::span<const uint8_t> userData);
std::vector<uint8_t> encodeData(std::span<const uint8_t> userData);
std::vector<uint8_t> encodeDisconnect(std::span<const uint8_t> userData);
std::vector<uint8_t> encodeAbort(std::span<const uint8_t> userData);

}  // namespace mms
