#pragma once
// MMS PDUs of the protocol machine (ISO 9506-2): Initiate, Conclude,
// confirmed request/response/error, Reject, Cancel and Identify.

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "iec61850/mms/ber.h"

namespace mms {

// MMSpdu choice tags.
enum MmsPduTag : uint32_t {
    kPduConfirmedRequest = 0,
    kPduConfirmedResponse = 1,
    kPduConfirmedError = 2,
    kPduUnconfirmed = 3,
    kPduReject = 4,
    kPduCancelRequest = 5,
    kPduCancelResponse = 6,
    kPduCancelError = 7,
    kPduInitiateRequest = 8,
    kPduInitiateResponse = 9,
    kPduInitiateError = 10,
    kPduConcludeRequest = 11,
    kPduConcludeResponse = 12,
    kPduConcludeError = 13,
};

// RejectPDU rejectReason choices and their problem codes.
enum RejectType : uint32_t {
    kRejectConfirmedRequest = 1,
    kRejectConfirmedResponse = 2,
    kRejectConfirmedError = 3,
    kRejectUnconfirmed = 4,
    kRejectPduError = 5,
    kRejectCancelRequest = 6,
    kRejectConcludeRequest = 10,
};
enum : int {
    kRequestOther = 0,
    kRequestUnrecognizedService = 1,
    kRequestUnrecognizedModifier = 2,
    kRequestInvalidInvokeId = 3,
    kRequestInvalidArgument = 4,
    kResponseInvalidInvokeId = 2,
    kPduUnknownType = 0,
    kPduInvalid = 1,
};

// ServiceError errorClass choices used here.
enum : int {
    kErrorClassVmdState = 0,
    kErrorClassResource = 3,
    kErrorClassService = 4,
    kErrorClassInitiate = 8,
    kErrorClassCancel = 10,
};

struct InitiateRequest {
    std::optional<int64_t> localDetailCalling;
    int64_t maxServOutstandingCalling = 0;
    int64_t maxServOutstandingCalled = 0;
    std::optional<int64_t> nestingLevel;
    int64_t version = 0;
    std::vector<uint8_t> parameterCbb;
    int parameterCbbBits = 0;
};
// pdu: the whole initiate-RequestPDU element.
[[nodiscard]] bool parseInitiateRequest(std::span<const uint8_t> pdu, InitiateRequest& out);

struct InitiateResponse {
    int64_t localDetailCalled;
    int64_t maxServOutstandingCalling;
    int64_t maxServOutstandingCalled;
    std::optional<int64_t> nestingLevel;
    std::vector<uint8_t> parameterCbb;
    int parameterCbbBits;
    std::vector<uint8_t> servicesSupported;  // 93 bits
};
std::vector<uint8_t> encodeInitiateResponse(const InitiateResponse& r);
std::vector<uint8_t> encodeInitiateError(int code);

struct ConfirmedRequest {
    uint32_t invokeId = 0;
    bool haveInvokeId = false;
    bool hasModifiers = false;
    unsigned serviceTag = 0;
    bool constructed = false;
    std::span<const uint8_t> content;
};
// content: the content of a confirmed-RequestPDU. False when malformed; the
// invoke id is kept when it could be read.
[[nodiscard]] bool parseConfirmedRequest(std::span<const uint8_t> content, ConfirmedRequest& out);

// The same shape serves confirmed responses from a client (invoke id + one
// service element).
using ConfirmedResponse = ConfirmedRequest;

std::vector<uint8_t> encodeConfirmedResponse(uint32_t invokeId, unsigned serviceTag, bool constructed,
                                             std::span<const uint8_t> content);
std::vector<uint8_t> encodeConfirmedRequest(uint32_t invokeId, unsigned serviceTag, bool constructed,
                                            std::span<const uint8_t> content);
std::vector<uint8_t> encodeConfirmedError(uint32_t invokeId, int errorClass, int errorCode);
std::vector<uint8_t> encodeReject(std::optional<uint32_t> invokeId, RejectType type, int code);
std::vector<uint8_t> encodeCancelError(uint32_t invokeId);
std::vector<uint8_t> encodeConcludeResponse();
// Content of the identify response (vendor [0], model [1], revision [2]).
std::vector<uint8_t> encodeIdentifyResponseContent(std::string_view vendor, std::string_view model,
                                                   std::string_view revision);

}  // namespace mms
