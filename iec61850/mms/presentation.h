#pragma once
// ISO presentation (ISO 8823, normal mode, BER transfer syntax only): CP /
// CPA, fully-encoded user data with one PDV, and ARU. Pure functions.

#include <cstdint>
#include <span>
#include <vector>

namespace mms {

struct PresentationConnect {
    std::vector<uint8_t> callingSelector;
    std::vector<uint8_t> calledSelector;
    struct Context {
        int id = 0;
        bool acse = false;
        bool mms = false;
        bool berTransfer = false;
    };
    std::vector<Context> contexts;
    int acseContextId = -1;  // -1: not proposed with the BER transfer syntax
    int mmsContextId = -1;
    std::span<const uint8_t> userData;  // the PDV of the ACSE context (the AARQ)
};

// Parses a CP-type PPDU. False when malformed, when it is not normal mode or
// when its user data is not one PDV of the ACSE context.
[[nodiscard]] bool parseConnect(std::span<const uint8_t> ppdu, PresentationConnect& out);
// CPA-PPDU accepting the contexts that name ACSE or MMS with BER.
std::vector<uint8_t> encodeConnectAccept(const PresentationConnect& connect, std::span<const uint8_t> acsePdu);

struct PresentationData {
    int contextId = 0;
    std::span<const uint8_t> pdu;  // the single-ASN1-type value
};
// Parses fully-encoded user data holding exactly one PDV.
[[nodiscard]] bool parseUserData(std::span<const uint8_t> ppdu, PresentationData& out);
std::vector<uint8_t> encodeUserData(int contextId, std::span<const uint8_t> pdu);
// ARU-PPDU (normal mode) carrying an ACSE PDU.
std::vector<uint8_t> encodeAbortUser(int acseContextId, std::span<const uint8_t> acsePdu);

}  // namespace mms
