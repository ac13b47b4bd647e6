// One MMS connection: the layers from TPKT up to MMS, bottom-up.
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>

#include "iec61850/mms/acse.h"
#include "iec61850/mms/mms_pdu.h"
#include "iec61850/mms/mms_server.h"
#include "iec61850/mms/presentation.h"
#include "iec61850/core/log.h"

namespace {
using iec61850::iecLog;

// COTP disconnect reasons.
constexpr uint8_t kDrNormal = 128;
constexpr uint8_t kDrProtocolError = 133;
// acse-service-user diagnostics.
constexpr int kDiagNoReason = 1;
constexpr int kDiagContextNotSupported = 2;
// initiate error codes.
constexpr int kInitiateOther = 0;
// ServiceError codes of class service.
constexpr int kServicePduSize = 3;
constexpr int kServiceOther = 0;
}  // namespace

sMmsServerConnection::sMmsServerConnection(MmsServerState& o, UniqueFd f, std::string peer, uint16_t ref)
    : owner(o), server(o.handle.server), fd(std::move(f)), createdAt(std::chrono::steady_clock::now()),
      localRef(ref) {
    client.connection = this;
    client.peerAddress = std::move(peer);
}

sMmsServerConnection::~sMmsServerConnection() = default;

void sMmsServerConnection::receive(std::span<const uint8_t> bytes) {
    if (closed()) return;
    in.insert(in.end(), bytes.begin(), bytes.end());
    size_t pos = 0;
    while (!closed() && !closeWhenFlushed) {
        std::span<const uint8_t> tpdu;
        size_t frameSize = 0;
        const auto status = mms::nextTpkt(std::span<const uint8_t>(in).subspan(pos), tpdu, frameSize);
        if (status == mms::FrameStatus::Incomplete) break;
        if (status == mms::FrameStatus::Invalid) {
            iecLog(LOG_WARNING, "mms: %s: invalid TPKT header", client.peerAddress.c_str());
            close("invalid TPKT");
            return;
        }
        handleTpdu(tpdu);
        pos += frameSize;
    }
    if (closed()) return;
    if (closeWhenFlushed) {
        in.clear();  // nothing more is read from a connection that is going away
    } else {
        in.erase(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(pos));
    }
}

void sMmsServerConnection::readSocket(bool toEnd) {
    if (closed() || !fd.valid()) return;
    uint8_t buf[16384];
    size_t total = 0;
    while (total < MmsLimits::kMaxReadPerPass && !closed()) {
        const ssize_t n = ::recv(fd.get(), buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            total += static_cast<size_t>(n);
            receive(std::span<const uint8_t>(buf, static_cast<size_t>(n)));
            // A short read drained the socket; more data wakes the next poll.
            if (static_cast<size_t>(n) < sizeof buf && !toEnd) return;
            continue;
        }
        if (n == 0) {
            close("peer closed the connection");
            return;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) close("receive failed");
        return;
    }
}

void sMmsServerConnection::flush() {
    if (closed()) return;
    if (fd.valid()) {
        while (outPos < out.size()) {
            const ssize_t n = ::send(fd.get(), out.data() + outPos, out.size() - outPos, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                outPos += static_cast<size_t>(n);
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            close("send failed");
            return;
        }
        if (outPos == out.size()) {
            out.clear();
            outPos = 0;
        } else if (outPos > out.size() / 2) {
            out.erase(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(outPos));
            outPos = 0;
        }
    }
    if (out.size() - outPos > MmsLimits::kMaxPendingOutput) {
        iecLog(LOG_WARNING, "mms: %s: peer does not read its answers, dropped", client.peerAddress.c_str());
        close("output backlog");
        return;
    }
    if (closeWhenFlushed && (!fd.valid() || outPos == out.size())) close("association ended");
}

void sMmsServerConnection::close(const char* reason) {
    if (closed()) return;
    iecLog(LOG_INFO, "mms: %s: connection closed (%s)", client.peerAddress.c_str(), reason);
    state = State::Closed;
    fd.reset();
    in.clear();
    tsdu.clear();
    deferredRequests.clear();
    failPendingRequests();
    if (indicated) {
        indicated = false;
        owner.associationClosed(this);
    }
}

void sMmsServerConnection::failPendingRequests() {
    auto pending = std::move(pendingRequests);
    pendingRequests.clear();
    for (auto& [id, callback] : pending) {
        if (callback) callback(false, {});
    }
}

// --- transport ----------------------------------------------------------------

void sMmsServerConnection::handleTpdu(std::span<const uint8_t> tpdu) {
    mms::CotpTpdu t;
    if (!mms::parseCotp(tpdu, t)) {
        iecLog(LOG_WARNING, "mms: %s: malformed COTP TPDU", client.peerAddress.c_str());
        disconnect("malformed TPDU");
        return;
    }
    switch (t.type) {
        case mms::CotpType::ConnectRequest: {
            if (state != State::AwaitConnectRequest || t.protocolClass != 0) {
                disconnect("unexpected connection request");
                return;
            }
            // Absent or below the class 0 range: the 128-octet default; above it: our largest.
            uint8_t code = std::max(t.tpduSizeCode, mms::kTpduSizeCodeMin);
            code = std::min({code, mms::kTpduSizeCodeMax, MmsLimits::kTpduSizeCode});
            maxTpduSize = mms::tpduSizeFromCode(code);
            remoteRef = t.srcRef;
            mms::appendConnectConfirm(out, t, localRef, code);
            state = State::AwaitSessionConnect;
            return;
        }
        case mms::CotpType::Data:
            if (state == State::AwaitConnectRequest) {
                disconnect("data before connection");
                return;
            }
            if (tsdu.size() + t.data.size() > MmsLimits::kMaxTsduSize) {
                iecLog(LOG_WARNING, "mms: %s: TSDU above %zu octets",
                       client.peerAddress.c_str(), MmsLimits::kMaxTsduSize);
                abort("oversized TSDU");
                return;
            }
            tsdu.insert(tsdu.end(), t.data.begin(), t.data.end());
            if (t.endOfTsdu) {
                std::vector<uint8_t> whole = std::move(tsdu);
                tsdu.clear();
                handleTsdu(whole);
            }
            return;
        case mms::CotpType::DisconnectRequest: close("disconnect request"); return;
        default: disconnect("unexpected TPDU"); return;
    }
}

void sMmsServerConnection::sendTsdu(std::span<const uint8_t> data) {
    if (closed()) return;
    mms::appendData(out, data, maxTpduSize);
}

void sMmsServerConnection::disconnect(const char* reason) {
    if (closed()) return;
    if (state != State::AwaitConnectRequest) {
        mms::appendDisconnectRequest(out, remoteRef, localRef, kDrProtocolError);
        closeWhenFlushed = true;
        flush();
        if (!closed()) close(reason);
        return;
    }
    close(reason);
}

void sMmsServerConnection::abort(const char* reason) {
    if (closed()) return;
    if (state == State::AwaitConnectRequest) {
        close(reason);
        return;
    }
    iecLog(LOG_WARNING, "mms: %s: association aborted (%s)", client.peerAddress.c_str(), reason);
    std::vector<uint8_t> userData;
    if (state == State::Associated && acseContextId > 0)
        userData = mms::encodeAbortUser(acseContextId, mms::encodeAbort());
    sendTsdu(mms::encodeAbort(userData));
    closeWhenFlushed = true;
    flush();
    if (!closed()) close(reason);
}

// --- session / presentation / ACSE ------------------------------------------------

void sMmsServerConnection::handleTsdu(std::span<const uint8_t> data) {
    mms::Spdu spdu;
    if (!mms::parseSpdu(data, spdu)) {
        abort("malformed session PDU");
        return;
    }
    switch (spdu.kind) {
        case mms::SpduKind::Connect:
            if (state != State::AwaitSessionConnect) {
                abort("unexpected session connect");
                return;
            }
            handleConnect(spdu);
            return;
        case mms::SpduKind::Data:
            if (state != State::Associated) {
                abort("data before association");
                return;
            }
            handleData(spdu.userData);
            return;
        case mms::SpduKind::Finish:
            if (state != State::Associated) {
                abort("release before association");
                return;
            }
            handleFinish(spdu);
            return;
        case mms::SpduKind::Abort: close("peer aborted"); return;
        default: abort("unexpected session PDU"); return;
    }
}

void sMmsServerConnection::handleConnect(const mms::Spdu& spdu) {
    mms::PresentationConnect cp;
    if (!mms::parseConnect(spdu.userData, cp) || cp.acseContextId < 0) {
        abort("presentation connect not acceptable");
        return;
    }
    acseContextId = cp.acseContextId;
    mms::AcsePdu aarq;
    if (!mms::parseAcse(cp.userData, aarq) || aarq.kind != mms::AcseKind::AssociateRequest) {
        abort("no associate request");
        return;
    }
    auto answer = [&](bool accepted, int diagnostic, std::span<const uint8_t> mmsPdu) {
        const auto aare = mms::encodeAssociateResponse(accepted, diagnostic, cp.mmsContextId, mmsPdu);
        const auto cpa = mms::encodeConnectAccept(cp, aare);
        sendTsdu(mms::encodeAccept(spdu, cpa));
    };
    if (!aarq.mmsApplicationContext || cp.mmsContextId < 0 || !spdu.versionTwo) {
        iecLog(LOG_WARNING, "mms: %s: association refused: no MMS context", client.peerAddress.c_str());
        answer(false, kDiagContextNotSupported, {});
        closeWhenFlushed = true;
        return;
    }
    mms::InitiateRequest init;
    if (aarq.userDataIndirectReference != cp.mmsContextId || !mms::parseInitiateRequest(aarq.userData, init) ||
        init.maxServOutstandingCalling < 1 || init.maxServOutstandingCalled < 1) {
        iecLog(LOG_WARNING, "mms: %s: association refused: bad initiate request", client.peerAddress.c_str());
        const auto err = mms::encodeInitiateError(kInitiateOther);
        answer(false, kDiagNoReason, err);
        closeWhenFlushed = true;
        return;
    }
    mmsContextId = cp.mmsContextId;
    int64_t pduSize = init.localDetailCalling.value_or(MmsLimits::kMaxPduSize);
    if (pduSize <= 0 || pduSize > MmsLimits::kMaxPduSize) pduSize = MmsLimits::kMaxPduSize;
    maxPduSize = static_cast<uint32_t>(pduSize);

    mms::InitiateResponse resp;
    resp.localDetailCalled = maxPduSize;
    resp.maxServOutstandingCalling = std::min<int64_t>(init.maxServOutstandingCalling, MmsLimits::kMaxServOutstanding);
    resp.maxServOutstandingCalled = std::min<int64_t>(init.maxServOutstandingCalled, MmsLimits::kMaxServOutstanding);
    if (init.nestingLevel)
        resp.nestingLevel = std::min<int64_t>(std::max<int64_t>(*init.nestingLevel, 0), MmsLimits::kMaxNestingLevel);
    // Parameter CBB: str1, str2, vnam, valt, vlis (11 bits).
    resp.parameterCbb = {0xF1, 0x00};
    resp.parameterCbbBits = 11;
    resp.servicesSupported = owner.servicesSupported();
    const auto initResp = mms::encodeInitiateResponse(resp);
    answer(true, 0, initResp);
    state = State::Associated;
    indicated = true;
    iecLog(LOG_INFO, "mms: %s: associated (PDU size %u)", client.peerAddress.c_str(), maxPduSize);
    owner.associationOpened(this);
}

void sMmsServerConnection::handleData(std::span<const uint8_t> ppdu) {
    mms::PresentationData data;
    if (!mms::parseUserData(ppdu, data)) {
        abort("malformed presentation data");
        return;
    }
    if (data.contextId == mmsContextId) {
        handleMmsPdu(data.pdu);
        return;
    }
    mms::AcsePdu acse;
    if (data.contextId == acseContextId && mms::parseAcse(data.pdu, acse) && acse.kind == mms::AcseKind::Abort) {
        close("peer aborted the association");
        return;
    }
    abort("data on an unknown presentation context");
}

void sMmsServerConnection::handleFinish(const mms::Spdu& spdu) {
    mms::PresentationData data;
    mms::AcsePdu rlrq;
    if (!mms::parseUserData(spdu.userData, data) || data.contextId != acseContextId ||
        !mms::parseAcse(data.pdu, rlrq) || rlrq.kind != mms::AcseKind::ReleaseRequest) {
        abort("malformed release request");
        return;
    }
    const auto rlre = mms::encodeReleaseResponse();
    sendTsdu(mms::encodeDisconnect(mms::encodeUserData(acseContextId, rlre)));
    closeWhenFlushed = true;
}

// --- MMS -----------------------------------------------------------------------------

bool sMmsServerConnection::sendMmsPdu(std::span<const uint8_t> pdu) {
    if (!associated() || closeWhenFlushed) return false;
    sendTsdu(mms::encodeData(mms::encodeUserData(mmsContextId, pdu)));
    return true;
}

void sMmsServerConnection::sendReject(std::optional<uint32_t> invokeId, uint32_t type, int code) {
    sendMmsPdu(mms::encodeReject(invokeId, static_cast<mms::RejectType>(type), code));
}

bool sMmsServerConnection::sendConfirmedRequest(unsigned serviceTag, std::span<const uint8_t> content,
                                                bool constructed, MmsClientResponseHandler onResponse) {
    if (!canAnswer()) return false;
    const uint32_t id = nextInvokeId++;
    const auto pdu = mms::encodeConfirmedRequest(id, serviceTag, constructed, content);
    if (pdu.size() > maxPduSize) return false;
    pendingRequests[id] = std::move(onResponse);
    return sendMmsPdu(pdu);
}

void sMmsServerConnection::handleMmsPdu(std::span<const uint8_t> pdu) {
    ber::Tlv tlv;
    if (pdu.size() > maxPduSize) {
        sendReject(std::nullopt, mms::kRejectPduError, mms::kPduInvalid);
        return;
    }
    if (!ber::decodeSingle(pdu, tlv) || tlv.cls != ber::TagClass::Context) {
        sendReject(std::nullopt, mms::kRejectPduError, mms::kPduInvalid);
        return;
    }
    switch (tlv.number) {
        case mms::kPduConfirmedRequest:
            if (!tlv.constructed) break;
            handleConfirmedRequest(tlv.content);
            return;
        case mms::kPduConfirmedResponse:
        case mms::kPduConfirmedError:
        case mms::kPduReject:
            if (!tlv.constructed) break;
            handleClientAnswer(tlv.number, tlv.content);
            return;
        case mms::kPduCancelRequest: {
            uint64_t id;
            if (tlv.constructed || !ber::decodeUnsigned(tlv.content, id) || id > 0xFFFFFFFFu) break;
            sendMmsPdu(mms::encodeCancelError(static_cast<uint32_t>(id)));
            return;
        }
        case mms::kPduConcludeRequest:
            if (tlv.constructed || !tlv.content.empty()) break;
            concluded = true;
            failPendingRequests();
            sendMmsPdu(mms::encodeConcludeResponse());
            return;
        case mms::kPduUnconfirmed:
            sendReject(std::nullopt, mms::kRejectUnconfirmed, mms::kRequestUnrecognizedService);
            return;
        default:
            sendReject(std::nullopt, mms::kRejectPduError, mms::kPduUnknownType);
            return;
    }
    sendReject(std::nullopt, mms::kRejectPduError, mms::kPduInvalid);
}

void sMmsServerConnection::handleConfirmedRequest(std::span<const uint8_t> content) {
    mms::ConfirmedRequest req;
    if (!mms::parseConfirmedRequest(content, req)) {
        if (req.haveInvokeId)
            sendReject(req.invokeId, mms::kRejectConfirmedRequest, mms::kRequestInvalidArgument);
        else
            sendReject(std::nullopt, mms::kRejectPduError, mms::kPduInvalid);
        return;
    }
    if (concluded) {
        sendReject(req.invokeId, mms::kRejectConfirmedRequest, mms::kRequestOther);
        return;
    }
    if (req.hasModifiers) {
        sendReject(req.invokeId, mms::kRejectConfirmedRequest, mms::kRequestUnrecognizedModifier);
        return;
    }
    const MmsServiceHandler* handler = owner.findService(req.serviceTag);
    if (handler == nullptr) {
        sendReject(req.invokeId, mms::kRejectConfirmedRequest, mms::kRequestUnrecognizedService);
        return;
    }
    if (deferredRequests.contains(req.invokeId)) {
        // The invoke id of a request still being served.
        sendReject(req.invokeId, mms::kRejectConfirmedRequest, mms::kRequestInvalidInvokeId);
        return;
    }
    MmsServiceContext ctx{server, this, req.invokeId, maxPduSize};
    // Registered before the handler runs, so that an answer it sends at
    // once (before returning Deferred) finds its request.
    deferredRequests[req.invokeId] = req.serviceTag;
    MmsServiceResult result;
    try {
        result = (*handler)(ctx, req.content, req.constructed);
    } catch (const std::exception& e) {
        iecLog(LOG_ERR, "mms: service %u failed: %s", req.serviceTag, e.what());
        result = MmsServiceResult::error(mms::kErrorClassService, kServiceOther);
    }
    if (closed()) return;
    if (result.kind == MmsServiceResult::Kind::Deferred) return;
    // Answered now, unless the handler already answered through sendServiceResult.
    if (deferredRequests.erase(req.invokeId) == 0) return;
    sendResult(req.invokeId, req.serviceTag, result);
}

bool sMmsServerConnection::sendServiceResult(uint32_t invokeId, unsigned serviceTag, const MmsServiceResult& result) {
    if (result.kind == MmsServiceResult::Kind::Deferred || !canAnswer()) return false;
    auto it = deferredRequests.find(invokeId);
    if (it == deferredRequests.end() || it->second != serviceTag) return false;
    deferredRequests.erase(it);
    sendResult(invokeId, serviceTag, result);
    return true;
}

void sMmsServerConnection::sendResult(uint32_t invokeId, unsigned serviceTag, const MmsServiceResult& result) {
    switch (result.kind) {
        case MmsServiceResult::Kind::Response: {
            auto pdu = mms::encodeConfirmedResponse(invokeId, serviceTag, result.responseConstructed, result.content);
            if (pdu.size() > maxPduSize) {
                iecLog(LOG_WARNING, "mms: %s: answer of service %u exceeds the PDU size %u",
                       client.peerAddress.c_str(), serviceTag, maxPduSize);
                pdu = mms::encodeConfirmedError(invokeId, mms::kErrorClassService, kServicePduSize);
            }
            sendMmsPdu(pdu);
            return;
        }
        case MmsServiceResult::Kind::Error:
            sendMmsPdu(mms::encodeConfirmedError(invokeId, result.errorClass, result.errorCode));
            return;
        case MmsServiceResult::Kind::Reject:
            sendReject(invokeId, mms::kRejectConfirmedRequest, result.rejectCode);
            return;
        case MmsServiceResult::Kind::Deferred:
            return;
    }
}

void sMmsServerConnection::handleClientAnswer(uint32_t tag, std::span<const uint8_t> content) {
    // Response: invokeID + service element; error: [0] invokeID + [2] ServiceError;
    // reject: [0] originalInvokeID OPTIONAL + reason.
    ber::Reader r(content, 4);
    ber::Tlv first;
    uint64_t id = 0;
    if (!r.next(first) || first.constructed || !ber::decodeUnsigned(first.content, id) || id > 0xFFFFFFFFu) {
        if (tag != mms::kPduReject) sendReject(std::nullopt, mms::kRejectPduError, mms::kPduInvalid);
        return;
    }
    auto it = pendingRequests.find(static_cast<uint32_t>(id));
    if (it == pendingRequests.end()) {
        if (tag == mms::kPduConfirmedResponse)
            sendReject(static_cast<uint32_t>(id), mms::kRejectConfirmedResponse, mms::kResponseInvalidInvokeId);
        else if (tag == mms::kPduConfirmedError)
            sendReject(static_cast<uint32_t>(id), mms::kRejectConfirmedError, mms::kResponseInvalidInvokeId);
        return;
    }
    MmsClientResponseHandler callback = std::move(it->second);
    pendingRequests.erase(it);
    ber::Tlv service;
    const bool success = tag == mms::kPduConfirmedResponse && r.next(service) && r.atEnd();
    if (callback) callback(success, success ? service.content : std::span<const uint8_t>{});
}
