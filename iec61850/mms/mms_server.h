#pragma once
// The MMS protocol machine: one MmsConnection per TCP connection walks the
// layers (TPKT, COTP, session, presentation, ACSE, MMS) and answers every
// PDU; MmsServerState owns the listening socket, the connections, the
// service registry and the hooks of the service modules.
//
// Threads: everything here runs on the thread that calls
// IedServer_processIncomingData / IedServer_performPeriodicTasks, except
// MmsServerState::signalWork, which any thread may call.

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "iec61850/ied_server_internal.h"
#include "iec61850/unique_fd.h"
#include "iec61850/mms/mms_services.h"
#include "iec61850/mms/session.h"
#include "iec61850/mms/tpkt_cotp.h"

class MmsServerState;

using iec61850::UniqueFd;

struct sClientConnection {
    sMmsServerConnection* connection = nullptr;
    std::string peerAddress;
};

// Limits of one connection.
struct MmsLimits {
    // Largest MMS PDU we receive and send (also our Initiate proposal).
    static constexpr uint32_t kMaxPduSize = 65000;
    // A reassembled TSDU holds one MMS PDU plus the session/presentation headers.
    static constexpr size_t kMaxTsduSize = kMaxPduSize + 1024;
    static constexpr int kMaxServOutstanding = 5;
    static constexpr int kMaxNestingLevel = 10;
    // Output a slow reader may leave unread before it is dropped.
    static constexpr size_t kMaxPendingOutput = 4 * 1024 * 1024;
    // Octets read from one socket per pass, so one busy client cannot starve the others.
    static constexpr size_t kMaxReadPerPass = 256 * 1024;
    static constexpr uint8_t kTpduSizeCode = 13;  // 8192 octets
};

struct sMmsServerConnection {
    enum class State { AwaitConnectRequest, AwaitSessionConnect, Associated, Closed };

    sMmsServerConnection(MmsServerState& owner, UniqueFd fd, std::string peer, uint16_t localRef);
    ~sMmsServerConnection();
    sMmsServerConnection(const sMmsServerConnection&) = delete;
    sMmsServerConnection& operator=(const sMmsServerConnection&) = delete;

    // Feeds octets received from the peer; complete TPKTs are handled at once.
    void receive(std::span<const uint8_t> bytes);
    // Reads what the socket has (at most kMaxReadPerPass); closes on EOF/error.
    // toEnd: the peer has shut its side, so read on to the end of its data
    // (and close) in this pass instead of stopping at a short read.
    void readSocket(bool toEnd = false);
    // Writes pending output; closes the connection when the peer is gone.
    void flush();
    // Ends the connection now (socket closed, hooks and indication called once).
    void close(const char* reason);

    bool closed() const { return state == State::Closed; }
    bool hasPendingOutput() const { return outPos < out.size(); }
    bool associated() const { return state == State::Associated; }

    bool sendMmsPdu(std::span<const uint8_t> pdu);
    bool sendConfirmedRequest(unsigned serviceTag, std::span<const uint8_t> content, bool constructed,
                              MmsClientResponseHandler onResponse);
    // The later answer of a request whose handler deferred it; false when
    // the association has ended or no such request is outstanding.
    bool sendServiceResult(uint32_t invokeId, unsigned serviceTag, const MmsServiceResult& result);

    MmsServerState& owner;
    sIedServer* server;
    UniqueFd fd;
    sClientConnection client;
    State state = State::AwaitConnectRequest;
    std::chrono::steady_clock::time_point createdAt;
    uint32_t maxPduSize = MmsLimits::kMaxPduSize;

    // Output not yet written to the socket (octets before outPos are sent).
    std::vector<uint8_t> out;
    size_t outPos = 0;
    bool closeWhenFlushed = false;

private:
    void handleTpdu(std::span<const uint8_t> tpdu);
    void handleTsdu(std::span<const uint8_t> tsdu);
    void handleConnect(const mms::Spdu& spdu);
    void handleData(std::span<const uint8_t> ppdu);
    void handleFinish(const mms::Spdu& spdu);
    void handleMmsPdu(std::span<const uint8_t> pdu);
    void handleConfirmedRequest(std::span<const uint8_t> content);
    void handleClientAnswer(uint32_t tag, std::span<const uint8_t> content);
    void sendReject(std::optional<uint32_t> invokeId, uint32_t type, int code);
    // Encodes and queues the answer of a confirmed request.
    void sendResult(uint32_t invokeId, unsigned serviceTag, const MmsServiceResult& result);
    bool canAnswer() const { return associated() && !closeWhenFlushed && !concluded; }
    void sendTsdu(std::span<const uint8_t> tsdu);
    // Session abort (with an ACSE ABRT once presentation is up), then close.
    void abort(const char* reason);
    // COTP disconnect request, then close.
    void disconnect(const char* reason);
    void failPendingRequests();

    std::vector<uint8_t> in;
    std::vector<uint8_t> tsdu;
    uint16_t localRef;
    uint16_t remoteRef = 0;
    size_t maxTpduSize = 128;
    int acseContextId = -1;
    int mmsContextId = -1;
    bool indicated = false;   // opened hooks and indication ran
    bool concluded = false;
    uint32_t nextInvokeId = 1;
    std::map<uint32_t, MmsClientResponseHandler> pendingRequests;
    // Client requests whose answer a service handler deferred: invoke id -> service tag.
    std::map<uint32_t, unsigned> deferredRequests;
};

class MmsServerState {
public:
    explicit MmsServerState(sIedServer* server);
    ~MmsServerState();
    MmsServerState(const MmsServerState&) = delete;
    MmsServerState& operator=(const MmsServerState&) = delete;

    // Most associations served at once; a further connection is closed at once.
    static constexpr size_t kMaxConnections = 100;
    // A connection that has not associated within this time is dropped.
    static constexpr std::chrono::milliseconds kAssociationTimeout{10000};
    void setAssociationTimeoutForTesting(std::chrono::milliseconds t) { associationTimeout_ = t; }

    // TCP keepalive of accepted sockets: a peer that vanishes without a FIN
    // (cable pulled, box switched off) is found dead and its connection
    // closed within bound(); output it leaves unacknowledged is given up
    // after the same time.
    struct Keepalive {
        std::chrono::seconds idle{60};
        std::chrono::seconds interval{15};
        int probes = 4;
        std::chrono::seconds bound() const { return idle + interval * probes; }
    };
    // Applies to connections accepted afterwards.
    void setKeepaliveForTesting(Keepalive k) { keepalive_ = k; }

    bool startListening(int tcpPort);
    void stop();
    bool listening() const { return listenFd_.valid(); }
    // errno of the last failed startListening; 0 after a successful one.
    int startError() const { return startError_; }
    int waitReady(unsigned timeoutMs);
    void processIncomingData();
    void performPeriodicTasks();
    void signalWork();

    void registerService(unsigned tag, MmsServiceHandler handler) { services_[tag] = std::move(handler); }
    const MmsServiceHandler* findService(unsigned tag) const;
    void addHooks(MmsConnectionHooks hooks) { hooks_.push_back(std::move(hooks)); }
    // Services-supported bit string (93 bits) of the Initiate response.
    std::vector<uint8_t> servicesSupported() const;

    // Called by a connection when its association comes up or goes away.
    void associationOpened(sMmsServerConnection* c);
    void associationClosed(sMmsServerConnection* c);

    // Test seam: a connection without a socket, fed through receive().
    sMmsServerConnection* addDetachedConnection(const std::string& peer);
    size_t connectionCount() const { return connections_.size(); }

    sMmsServer handle;

private:
    void acceptPending();
    void configureAccepted(int fd) const;
    void dropExpiredAndClosed();

    // Readiness seen by the last waitReady, used by the next
    // processIncomingData instead of polling once more.
    struct Readiness {
        sMmsServerConnection* connection;
        short revents;
    };
    std::vector<Readiness> ready_;
    bool listenReady_ = false;
    bool readyFresh_ = false;

    sIedServer* server_;
    UniqueFd listenFd_;
    UniqueFd wakeFd_;
    std::vector<std::unique_ptr<sMmsServerConnection>> connections_;
    std::unordered_map<unsigned, MmsServiceHandler> services_;
    std::vector<MmsConnectionHooks> hooks_;
    uint16_t nextLocalRef_ = 1;
    std::chrono::milliseconds associationTimeout_ = kAssociationTimeout;
    Keepalive keepalive_;
    int startError_ = 0;
};

// The state of a server, created on first use.
MmsServerState& mmsState(sIedServer* server);
