// The MMS server: listening socket, connection set, poll loop, service
// registry and the seam functions of mms_services.h.
#include "iec61850/mms/mms_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "iec61850/mms/mms_pdu.h"
#include "iec61850/core/log.h"

namespace {
using iec61850::iecLog;
constexpr int kListenBacklog = 32;
constexpr int kServicesSupportedBits = 93;
constexpr unsigned kServiceInformationReport = 79;
constexpr unsigned kServiceConclude = 83;

std::string peerName(const sockaddr_in& addr) {
    char text[INET_ADDRSTRLEN] = {0};
    inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(addr.sin_port));
}
}  // namespace

MmsServerState::MmsServerState(sIedServer* server) : server_(server) {
    handle.server = server;
    wakeFd_.reset(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
    registerService(MMS_SERVICE_IDENTIFY, [](MmsServiceContext& ctx, std::span<const uint8_t>, bool constructed) {
        if (constructed) return MmsServiceResult::reject(mms::kRequestInvalidArgument);
        return MmsServiceResult::response(mms::encodeIdentifyResponseContent(
            ctx.server->vendor, ctx.server->modelName, ctx.server->revision));
    });
}

MmsServerState::~MmsServerState() = default;

bool MmsServerState::startListening(int tcpPort) {
    if (listenFd_.valid()) return true;
    if (tcpPort <= 0 || tcpPort > 65535) {
        iecLog(LOG_ERR, "mms: invalid TCP port %d", tcpPort);
        startError_ = EINVAL;
        return false;
    }
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!fd.valid()) {
        startError_ = errno;
        iecLog(LOG_ERR, "mms: socket failed: %s", std::strerror(startError_));
        return false;
    }
    const int one = 1;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    addr.sin_port = htons(static_cast<uint16_t>(tcpPort));
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(fd.get(), kListenBacklog) != 0) {
        startError_ = errno;
        iecLog(LOG_ERR, "mms: cannot listen on port %d: %s", tcpPort, std::strerror(startError_));
        return false;
    }
    startError_ = 0;
    listenFd_ = std::move(fd);
    return true;
}

void MmsServerState::stop() {
    for (auto& c : connections_) c->close("server stopped");
    listenFd_.reset();
}

const MmsServiceHandler* MmsServerState::findService(unsigned tag) const {
    auto it = services_.find(tag);
    return it == services_.end() || !it->second ? nullptr : &it->second;
}

std::vector<uint8_t> MmsServerState::servicesSupported() const {
    std::vector<uint8_t> bits((kServicesSupportedBits + 7) / 8, 0);
    auto set = [&bits](unsigned bit) {
        if (bit < kServicesSupportedBits) bits[bit / 8] |= static_cast<uint8_t>(0x80 >> (bit % 8));
    };
    // The confirmed service tags are the bit numbers of their services.
    for (const auto& [tag, handler] : services_) {
        if (handler) set(tag);
    }
    set(kServiceInformationReport);
    set(kServiceConclude);
    return bits;
}

void MmsServerState::associationOpened(sMmsServerConnection* c) {
    for (auto& h : hooks_) {
        if (h.opened) h.opened(c);
    }
    if (server_->connectionHandler)
        server_->connectionHandler(server_, &c->client, true, server_->connectionHandlerParameter);
}

void MmsServerState::associationClosed(sMmsServerConnection* c) {
    for (auto& h : hooks_) {
        if (h.closed) h.closed(c);
    }
    if (server_->connectionHandler)
        server_->connectionHandler(server_, &c->client, false, server_->connectionHandlerParameter);
}

sMmsServerConnection* MmsServerState::addDetachedConnection(const std::string& peer) {
    connections_.push_back(std::make_unique<sMmsServerConnection>(*this, UniqueFd(), peer, nextLocalRef_++));
    return connections_.back().get();
}

void MmsServerState::acceptPending() {
    if (!listenFd_.valid()) return;
    while (true) {
        sockaddr_in addr{};
        socklen_t len = sizeof addr;
        UniqueFd fd(::accept4(listenFd_.get(), reinterpret_cast<sockaddr*>(&addr), &len,
                              SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!fd.valid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                iecLog(LOG_WARNING, "mms: accept failed: %s", std::strerror(errno));
            return;
        }
        std::string peer = peerName(addr);
        const size_t open = static_cast<size_t>(std::count_if(
            connections_.begin(), connections_.end(), [](const auto& c) { return !c->closed(); }));
        if (open >= kMaxConnections) {
            iecLog(LOG_WARNING, "mms: %s refused: %zu connections open", peer.c_str(), open);
            continue;  // the socket closes here; the peer sees the connection end
        }
        configureAccepted(fd.get());
        connections_.push_back(std::make_unique<sMmsServerConnection>(*this, std::move(fd), peer, nextLocalRef_++));
        if (nextLocalRef_ == 0) nextLocalRef_ = 1;
    }
}

void MmsServerState::configureAccepted(int fd) const {
    const int one = 1;
    const int idle = static_cast<int>(keepalive_.idle.count());
    const int interval = static_cast<int>(keepalive_.interval.count());
    const int probes = keepalive_.probes;
    const unsigned userTimeoutMs =
        static_cast<unsigned>(std::chrono::duration_cast<std::chrono::milliseconds>(keepalive_.bound()).count());
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &probes, sizeof probes) != 0 ||
        ::setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &userTimeoutMs, sizeof userTimeoutMs) != 0) {
        iecLog(LOG_WARNING, "mms: keepalive not set: %s", std::strerror(errno));
    }
}

void MmsServerState::dropExpiredAndClosed() {
    const auto now = std::chrono::steady_clock::now();
    for (auto& c : connections_) {
        if (!c->closed() && !c->associated() && !c->closeWhenFlushed && now - c->createdAt > associationTimeout_)
            c->close("no association in time");
    }
    // Erasing invalidates what the last waitReady saw.
    ready_.clear();
    readyFresh_ = false;
    std::erase_if(connections_, [](const auto& c) { return c->closed(); });
}

namespace {
// A peer that has shut its side shows POLLRDHUP, so its end is seen in the
// same pass as its last data.
constexpr short kReadEvents = POLLIN | POLLRDHUP;
}  // namespace

int MmsServerState::waitReady(unsigned timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<sMmsServerConnection*> owners;
    fds.reserve(connections_.size() + 2);
    owners.reserve(connections_.size());
    if (wakeFd_.valid()) fds.push_back({wakeFd_.get(), POLLIN, 0});
    const int listenIndex = listenFd_.valid() ? static_cast<int>(fds.size()) : -1;
    if (listenFd_.valid()) fds.push_back({listenFd_.get(), POLLIN, 0});
    const size_t first = fds.size();
    for (const auto& c : connections_) {
        if (!c->fd.valid() || c->closed()) continue;
        fds.push_back({c->fd.get(), static_cast<short>(kReadEvents | (c->hasPendingOutput() ? POLLOUT : 0)), 0});
        owners.push_back(c.get());
    }
    readyFresh_ = false;
    const int n = ::poll(fds.data(), fds.size(), static_cast<int>(std::min<unsigned>(timeoutMs, INT32_MAX)));
    if (n <= 0) return 0;
    if (wakeFd_.valid() && (fds[0].revents & POLLIN)) {
        uint64_t count;
        (void)!::read(wakeFd_.get(), &count, sizeof count);
    }
    listenReady_ = listenIndex >= 0 && fds[static_cast<size_t>(listenIndex)].revents != 0;
    ready_.clear();
    for (size_t i = first; i < fds.size(); ++i) {
        if (fds[i].revents != 0) ready_.push_back({owners[i - first], fds[i].revents});
    }
    readyFresh_ = true;
    return n;
}

void MmsServerState::signalWork() {
    if (!wakeFd_.valid()) return;
    const uint64_t one = 1;
    (void)!::write(wakeFd_.get(), &one, sizeof one);
}

void MmsServerState::processIncomingData() {
    if (!readyFresh_) {
        // No waitReady since the last pass: look at every socket now.
        std::vector<pollfd> fds;
        std::vector<sMmsServerConnection*> owners;
        fds.reserve(connections_.size() + 1);
        if (listenFd_.valid()) fds.push_back({listenFd_.get(), POLLIN, 0});
        const size_t first = fds.size();
        for (const auto& c : connections_) {
            if (c->closed() || !c->fd.valid()) continue;
            fds.push_back({c->fd.get(), static_cast<short>(kReadEvents | (c->hasPendingOutput() ? POLLOUT : 0)), 0});
            owners.push_back(c.get());
        }
        ready_.clear();
        listenReady_ = false;
        if (!fds.empty() && ::poll(fds.data(), fds.size(), 0) > 0) {
            listenReady_ = first > 0 && fds[0].revents != 0;
            for (size_t i = first; i < fds.size(); ++i) {
                if (fds[i].revents != 0) ready_.push_back({owners[i - first], fds[i].revents});
            }
        }
    }
    readyFresh_ = false;
    // Connections are only erased below, so every pointer in ready_ is alive.
    // Their input (and their end) comes first, so a client that closes and
    // connects again at once finds its old slot free when the new connection
    // is judged against the limit.
    for (const auto& [c, revents] : ready_) {
        if (revents & (POLLIN | POLLRDHUP | POLLHUP | POLLERR)) c->readSocket((revents & (POLLRDHUP | POLLHUP)) != 0);
        if (!c->closed() && (revents & POLLERR) && !(revents & POLLIN)) c->close("socket error");
        c->flush();
    }
    ready_.clear();
    // The listening socket is only tried when it has a connection waiting.
    if (listenReady_) acceptPending();
    listenReady_ = false;
    dropExpiredAndClosed();
}

void MmsServerState::performPeriodicTasks() {
    for (auto& h : hooks_) {
        if (h.periodic) h.periodic();
    }
    for (auto& c : connections_) c->flush();
    dropExpiredAndClosed();
}

MmsServerState& mmsState(sIedServer* server) {
    if (!server->mms) server->mms = std::make_shared<MmsServerState>(server);
    return *server->mms;
}

// --- mms_services.h --------------------------------------------------------------

void MmsServer_registerService(sIedServer* server, unsigned serviceTag, MmsServiceHandler handler) {
    if (server) mmsState(server).registerService(serviceTag, std::move(handler));
}

void MmsServer_addConnectionHooks(sIedServer* server, MmsConnectionHooks hooks) {
    if (server) mmsState(server).addHooks(std::move(hooks));
}

bool MmsServerConnection_sendUnconfirmedPdu(sMmsServerConnection* connection, std::vector<uint8_t> pdu) {
    if (connection == nullptr || pdu.size() > connection->maxPduSize) return false;
    if (!connection->sendMmsPdu(pdu)) return false;
    connection->flush();
    return !connection->closed();
}

bool MmsServerConnection_sendConfirmedRequest(sMmsServerConnection* connection, unsigned serviceTag,
                                              std::vector<uint8_t> requestContent, bool constructed,
                                              MmsClientResponseHandler onResponse) {
    if (connection == nullptr) return false;
    if (!connection->sendConfirmedRequest(serviceTag, requestContent, constructed, std::move(onResponse)))
        return false;
    connection->flush();
    return !connection->closed();
}

bool MmsServerConnection_sendServiceResult(sMmsServerConnection* connection, uint32_t invokeId, unsigned serviceTag,
                                           const MmsServiceResult& result) {
    if (connection == nullptr || !connection->sendServiceResult(invokeId, serviceTag, result)) return false;
    connection->flush();
    return !connection->closed();
}

uint32_t MmsServerConnection_getMaxPduSize(sMmsServerConnection* connection) {
    return connection ? connection->maxPduSize : 0;
}

ClientConnection MmsServerConnection_getClientConnection(sMmsServerConnection* connection) {
    return connection ? &connection->client : nullptr;
}

const char* MmsServerConnection_getPeerAddress(sMmsServerConnection* connection) {
    return connection ? connection->client.peerAddress.c_str() : nullptr;
}

bool MmsServer_startListening(sIedServer* server, int tcpPort) {
    return server != nullptr && mmsState(server).startListening(tcpPort);
}

sIedServer* MmsServer_getIedServer(MmsServer self) { return self ? self->server : nullptr; }

void MmsServer_signalWork(sIedServer* server) {
    if (server != nullptr && server->mms) server->mms->signalWork();
}
