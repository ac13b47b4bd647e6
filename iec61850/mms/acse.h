#pragma once
// ACSE (ISO 8650) without authentication: AARQ / AARE, RLRQ / RLRE, ABRT.

#include <cstdint>
#include <span>
#include <vector>

namespace mms {

enum class AcseKind { AssociateRequest, ReleaseRequest, ReleaseResponse, Abort, Other };

struct AcsePdu {
    AcseKind kind = AcseKind::Other;
    bool mmsApplicationContext = false;  // application-context-name is MMS (1.0.9506.2.3)
    // user-information: the first EXTERNAL's single-ASN1-type value (the MMS PDU)
    std::span<const uint8_t> userData;
    int userDataIndirectReference = -1;
};

[[nodiscard]] bool parseAcse(std::span<const uint8_t> pdu, AcsePdu& out);

// AARE. accepted: result accepted with diagnostic null; otherwise
// rejected-permanent with the given acse-service-user diagnostic
// (1 no-reason-given, 2 application-context-name-not-supported).
std::vector<uint8_t> encodeAssociateResponse(bool accepted, int diagnostic, int mmsContextId,
                                             std::span<const uint8_t> mmsPdu);
std::vector<uint8_t> encodeReleaseResponse();
// ABRT with abort-source acse-service-provider.
std::vector<uint8_t> encodeAbort();

}  // namespace mms
