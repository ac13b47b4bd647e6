// The test client: requests are built with the BER writer, answers are taken
// apart layer by layer with the BER reader only.
#include "MmsTestClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "iec61850/mms/ber.h"

namespace mmstest {

namespace {
using ber::Reader;
using ber::TagClass;
using ber::Tlv;

constexpr int kMmsContext = 3;
constexpr int kAcseContext = 1;

const uint32_t kAcseSyntax[] = {2, 2, 1, 0, 1};
const uint32_t kMmsSyntax[] = {1, 0, 9506, 2, 1};
const uint32_t kBer[] = {2, 1, 1};
const uint32_t kMmsContextName[] = {1, 0, 9506, 2, 3};

void appendTpkt(Bytes& out, std::span<const uint8_t> tpdu) {
    const size_t len = tpdu.size() + 4;
    out.insert(out.end(), {0x03, 0x00, static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)});
    out.insert(out.end(), tpdu.begin(), tpdu.end());
}

Bytes presentationData(int context, std::span<const uint8_t> pdu) {
    ber::Writer w;
    const size_t fe = w.begin(ber::application(1));
    const size_t pdv = w.begin(ber::universal(16));
    w.writeInteger(ber::universal(2), context);
    w.writeConstructed(ber::context(0), pdu);
    w.end(pdv);
    w.end(fe);
    return w.take();
}

Bytes sessionSpdu(uint8_t si, std::span<const uint8_t> params) {
    Bytes out;
    out.reserve(4 + params.size());
    out.push_back(si);
    if (params.size() < 255) {
        out.push_back(static_cast<uint8_t>(params.size()));
    } else {
        out.push_back(0xFF);
        out.push_back(static_cast<uint8_t>(params.size() >> 8));
        out.push_back(static_cast<uint8_t>(params.size()));
    }
    out.insert(out.end(), params.begin(), params.end());
    return out;
}

Bytes withUserData(std::span<const uint8_t> prefix, std::span<const uint8_t> userData) {
    Bytes p(prefix.begin(), prefix.end());
    p.push_back(0xC1);
    if (userData.size() < 255) {
        p.push_back(static_cast<uint8_t>(userData.size()));
    } else {
        p.insert(p.end(), {0xFF, static_cast<uint8_t>(userData.size() >> 8), static_cast<uint8_t>(userData.size())});
    }
    p.insert(p.end(), userData.begin(), userData.end());
    return p;
}

Bytes initiateRequest(int32_t localDetail) {
    ber::Writer w;
    const size_t m = w.begin(ber::context(8));
    w.writeInteger(ber::context(0), localDetail);
    w.writeInteger(ber::context(1), 5);
    w.writeInteger(ber::context(2), 5);
    w.writeInteger(ber::context(3), 10);
    const size_t d = w.begin(ber::context(4));
    w.writeInteger(ber::context(0), 1);
    const uint8_t cbb[] = {0xF1, 0x00};
    w.writeBitString(ber::context(1), cbb, 11);
    const uint8_t services[] = {0xEE, 0x1C, 0x00, 0x00, 0x04, 0x08, 0x00, 0x00, 0x79, 0xEF, 0x18};
    w.writeBitString(ber::context(2), services, 85);
    w.end(d);
    w.end(m);
    return w.take();
}

Bytes connectSpdu(int32_t localDetail) {
    const Bytes init = initiateRequest(localDetail);
    ber::Writer aarq;
    const size_t a = aarq.begin(ber::application(0));
    const size_t ctx = aarq.begin(ber::context(1));
    aarq.writeOid(ber::universal(6), kMmsContextName);
    aarq.end(ctx);
    const size_t ui = aarq.begin(ber::context(30));
    const size_t ext = aarq.begin(ber::universal(8));
    aarq.writeInteger(ber::universal(2), kMmsContext);
    aarq.writeConstructed(ber::context(0), init);
    aarq.end(ext);
    aarq.end(ui);
    aarq.end(a);

    ber::Writer cp;
    const size_t set = cp.begin(ber::universal(17));
    const size_t mode = cp.begin(ber::context(0));
    cp.writeInteger(ber::context(0), 1);
    cp.end(mode);
    const size_t np = cp.begin(ber::context(2));
    const uint8_t sel[] = {0, 0, 0, 1};
    cp.writeOctetString(ber::context(1), sel);
    cp.writeOctetString(ber::context(2), sel);
    const size_t list = cp.begin(ber::context(4));
    for (auto [id, syntax] : {std::pair<int, std::span<const uint32_t>>{kAcseContext, kAcseSyntax},
                              std::pair<int, std::span<const uint32_t>>{kMmsContext, kMmsSyntax}}) {
        const size_t item = cp.begin(ber::universal(16));
        cp.writeInteger(ber::universal(2), id);
        cp.writeOid(ber::universal(6), syntax);
        const size_t ts = cp.begin(ber::universal(16));
        cp.writeOid(ber::universal(6), kBer);
        cp.end(ts);
        cp.end(item);
    }
    cp.end(list);
    cp.writeRaw(presentationData(kAcseContext, aarq.bytes()));
    cp.end(np);
    cp.end(set);

    const uint8_t prefix[] = {0x05, 0x06, 0x13, 0x01, 0x00, 0x16, 0x01, 0x02, 0x14, 0x02, 0x00,
                              0x02, 0x33, 0x02, 0x00, 0x01, 0x34, 0x02, 0x00, 0x01};
    return sessionSpdu(0x0D, withUserData(prefix, cp.bytes()));
}

// Session user data of an SPDU with parameters (AC, DN, ...).
std::optional<Bytes> spduUserData(const Bytes& spdu) {
    if (spdu.size() < 2) return std::nullopt;
    size_t p = 1;
    size_t len = spdu[p++];
    if (len == 0xFF) {
        if (spdu.size() < 4) return std::nullopt;
        len = (size_t{spdu[2]} << 8) | spdu[3];
        p = 4;
    }
    const size_t end = p + len;
    if (end > spdu.size()) return std::nullopt;
    while (p + 2 <= end) {
        const uint8_t code = spdu[p++];
        size_t l = spdu[p++];
        if (l == 0xFF) {
            if (p + 2 > end) return std::nullopt;
            l = (size_t{spdu[p]} << 8) | spdu[p + 1];
            p += 2;
        }
        if (p + l > end) return std::nullopt;
        if (code == 0xC1) return Bytes(spdu.begin() + static_cast<long>(p), spdu.begin() + static_cast<long>(p + l));
        p += l;
    }
    return std::nullopt;
}

// The PDV value of fully-encoded presentation data found inside data.
std::optional<Bytes> pdvValue(std::span<const uint8_t> fullyEncoded) {
    Tlv fe, pdv, el;
    if (!ber::decodeSingle(fullyEncoded, fe) || !fe.is(TagClass::Application, 1)) return std::nullopt;
    Reader r(fe.content);
    if (!r.next(pdv)) return std::nullopt;
    Reader p(pdv.content);
    while (p.next(el)) {
        if (el.is(TagClass::Context, 0)) return Bytes(el.content.begin(), el.content.end());
    }
    return std::nullopt;
}

int64_t intOf(const Tlv& t) {
    int64_t v = -1;
    return ber::decodeInteger(t.content, v) ? v : -1;
}
}  // namespace

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

std::string toHex(std::span<const uint8_t> bytes) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s.push_back(digits[b >> 4]);
        s.push_back(digits[b & 15]);
    }
    return s;
}

MmsTestClient::~MmsTestClient() { close(); }

void MmsTestClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    in_.clear();
}

void MmsTestClient::reset() {
    if (fd_ >= 0) {
        const linger l{1, 0};
        ::setsockopt(fd_, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    close();
}

int MmsTestClient::localPort() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) return -1;
    return ntohs(addr.sin_port);
}

bool MmsTestClient::connect(int port) {
    close();
    transcript_.clear();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

bool MmsTestClient::sendRaw(std::span<const uint8_t> bytes) {
    if (fd_ < 0) return false;
    transcript_.push_back({true, Bytes(bytes.begin(), bytes.end())});
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool MmsTestClient::sendTsdu(std::span<const uint8_t> tsdu) {
    Bytes tpdu = {0x02, 0xF0, 0x80};
    tpdu.insert(tpdu.end(), tsdu.begin(), tsdu.end());
    Bytes frame;
    appendTpkt(frame, tpdu);
    return sendRaw(frame);
}

bool MmsTestClient::readSome(int timeoutMs) {
    if (fd_ < 0) return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return false;
    uint8_t buf[65536];
    const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return false;
    transcript_.push_back({false, Bytes(buf, buf + n)});
    in_.insert(in_.end(), buf, buf + n);
    return true;
}

std::optional<Bytes> MmsTestClient::receiveTpdu(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (true) {
        if (in_.size() >= 4) {
            const size_t len = (size_t{in_[2]} << 8) | in_[3];
            if (len >= 4 && in_.size() >= len) {
                Bytes tpdu(in_.begin() + 4, in_.begin() + static_cast<long>(len));
                in_.erase(in_.begin(), in_.begin() + static_cast<long>(len));
                return tpdu;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0 || !readSome(static_cast<int>(left.count()))) return std::nullopt;
    }
}

std::optional<Bytes> MmsTestClient::receiveTsdu(int timeoutMs) {
    Bytes tsdu;
    while (true) {
        auto tpdu = receiveTpdu(timeoutMs);
        if (!tpdu || tpdu->size() < 3 || ((*tpdu)[1] & 0xF0) != 0xF0) return std::nullopt;
        largestTpdu_ = std::max(largestTpdu_, tpdu->size());
        tsdu.insert(tsdu.end(), tpdu->begin() + 3, tpdu->end());
        if ((*tpdu)[2] & 0x80) return tsdu;
    }
}

bool MmsTestClient::waitClosed(int timeoutMs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (fd_ >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return false;
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
        uint8_t buf[4096];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) return true;
        transcript_.push_back({false, Bytes(buf, buf + n)});
    }
    return true;
}

bool MmsTestClient::associate(int port, int32_t localDetail, uint8_t tpduSizeCode) {
    return connect(port) && initiate(localDetail, tpduSizeCode);
}

bool MmsTestClient::initiate(int32_t localDetail, uint8_t tpduSizeCode) {
    if (fd_ < 0) return false;
    Bytes cr = fromHex("0300001611e00000000100c0010dc2020001c1020001");
    cr[13] = tpduSizeCode;
    if (!sendRaw(cr)) return false;
    auto cc = receiveTpdu();
    if (!cc || cc->size() < 2 || (*cc)[1] != 0xD0) return false;
    if (!sendTsdu(connectSpdu(localDetail))) return false;
    auto ac = receiveTsdu();
    if (!ac || ac->empty() || (*ac)[0] != 0x0E) return false;
    auto cpa = spduUserData(*ac);
    if (!cpa) return false;
    // CPA: SET { [0] mode, [2] { ..., fully-encoded data } }
    Tlv set, el;
    if (!ber::decodeSingle(*cpa, set)) return false;
    Reader r(set.content);
    std::optional<Bytes> aare;
    while (r.next(el)) {
        if (!el.is(TagClass::Context, 2)) continue;
        Reader np(el.content);
        Tlv p;
        while (np.next(p)) {
            if (p.is(TagClass::Application, 1)) aare = pdvValue(std::span(p.content.data() - p.headerSize, p.totalSize()));
        }
    }
    if (!aare) return false;
    Tlv a;
    if (!ber::decodeSingle(*aare, a) || !a.is(TagClass::Application, 1)) return false;
    Reader ar(a.content);
    bool accepted = false;
    while (ar.next(el)) {
        if (el.is(TagClass::Context, 2)) {
            Tlv v;
            accepted = ber::decodeSingle(el.content, v) && intOf(v) == 0;
        } else if (el.is(TagClass::Context, 30)) {
            Tlv ext, x;
            if (!ber::decodeSingle(el.content, ext)) continue;
            Reader er(ext.content);
            while (er.next(x)) {
                if (x.is(TagClass::Context, 0)) initiateResponse_.assign(x.content.begin(), x.content.end());
            }
        }
    }
    return accepted;
}

bool MmsTestClient::sendMmsPdu(std::span<const uint8_t> pdu) {
    Bytes tsdu = {0x01, 0x00, 0x01, 0x00};
    const Bytes ppdu = presentationData(kMmsContext, pdu);
    tsdu.insert(tsdu.end(), ppdu.begin(), ppdu.end());
    return sendTsdu(tsdu);
}

std::optional<Bytes> MmsTestClient::receiveMmsPdu(int timeoutMs) {
    auto tsdu = receiveTsdu(timeoutMs);
    if (!tsdu || tsdu->size() < 4 || (*tsdu)[0] != 0x01 || (*tsdu)[2] != 0x01) return std::nullopt;
    return pdvValue(std::span(*tsdu).subspan(4));
}

std::optional<Answer> MmsTestClient::splitAnswer(const Bytes& pdu) {
    Tlv t;
    if (!ber::decodeSingle(pdu, t) || t.cls != TagClass::Context) return std::nullopt;
    Answer a;
    a.pdu = pdu;
    a.pduTag = t.number;
    Reader r(t.content);
    Tlv el;
    uint64_t id = 0;
    switch (t.number) {
        case 1:  // confirmed-ResponsePDU
            if (!r.next(el) || !ber::decodeUnsigned(el.content, id) || !r.next(el)) return std::nullopt;
            a.invokeId = static_cast<uint32_t>(id);
            a.serviceTag = el.number;
            a.content.assign(el.content.begin(), el.content.end());
            return a;
        case 2: {  // confirmed-ErrorPDU
            if (!r.next(el) || !ber::decodeUnsigned(el.content, id) || !r.next(el)) return std::nullopt;
            a.invokeId = static_cast<uint32_t>(id);
            a.content.assign(el.content.begin(), el.content.end());
            Tlv cls, code;
            Reader se(el.content);
            if (se.next(cls) && ber::decodeSingle(cls.content, code)) {
                a.errorClass = static_cast<int>(code.number);
                a.errorCode = static_cast<int>(intOf(code));
            }
            return a;
        }
        case 4:  // rejectPDU
            while (r.next(el)) {
                if (el.number == 0) {
                    if (ber::decodeUnsigned(el.content, id)) a.invokeId = static_cast<uint32_t>(id);
                } else {
                    a.rejectType = static_cast<int>(el.number);
                    a.rejectCode = static_cast<int>(intOf(el));
                }
            }
            return a;
        default: return a;
    }
}

namespace {

// A confirmed PDU (request [0] or response [1]): the invoke id, then the
// service element.
Bytes confirmedPdu(uint32_t pduTag, uint32_t invokeId, unsigned serviceTag, std::span<const uint8_t> content,
                   bool constructed) {
    ber::Writer w;
    const size_t m = w.begin(ber::context(pduTag));
    w.writeUnsigned(ber::universal(2), invokeId);
    if (constructed)
        w.writeConstructed(ber::context(serviceTag), content);
    else
        w.writePrimitive(ber::context(serviceTag), content);
    w.end(m);
    return w.take();
}

}  // namespace

Bytes MmsTestClient::confirmedRequest(uint32_t invokeId, unsigned serviceTag, std::span<const uint8_t> content,
                                      bool constructed) {
    return confirmedPdu(0, invokeId, serviceTag, content, constructed);
}

Bytes MmsTestClient::confirmedResponse(uint32_t invokeId, unsigned serviceTag, std::span<const uint8_t> content,
                                       bool constructed) {
    return confirmedPdu(1, invokeId, serviceTag, content, constructed);
}

std::optional<MmsTestClient::Request> MmsTestClient::splitRequest(const Bytes& pdu) {
    Tlv tlv, id, service;
    if (!ber::decodeSingle(pdu, tlv) || !tlv.is(ber::context(0))) return std::nullopt;
    ber::Reader reader(tlv.content);
    uint64_t invokeId = 0;
    if (!reader.next(id) || !ber::decodeUnsigned(id.content, invokeId) || !reader.next(service)) return std::nullopt;
    return Request{static_cast<uint32_t>(invokeId), service.number, Bytes(service.content.begin(), service.content.end())};
}

bool MmsTestClient::supportsService(unsigned serviceTag) const {
    // initiate-ResponsePDU [9] { ... [4] { [0] version [1] parameterCBB [2] servicesSupported } }
    Tlv init, el, services;
    if (!ber::decodeSingle(initiateResponse_, init) || !init.is(TagClass::Context, 9)) return false;
    bool found = false;
    for (Reader r(init.content); !found && r.next(el);) {
        if (!el.is(TagClass::Context, 4)) continue;
        for (Reader detail(el.content); !found && detail.next(services);) found = services.is(TagClass::Context, 2);
    }
    std::vector<uint8_t> bits;
    int count = 0;
    if (!found || !ber::decodeBitString(services.content, bits, count)) return false;
    return static_cast<int>(serviceTag) < count && (bits[serviceTag / 8] & (0x80 >> (serviceTag % 8))) != 0;
}

std::optional<Answer> MmsTestClient::request(unsigned serviceTag, std::span<const uint8_t> content, bool constructed,
                                             int timeoutMs) {
    const uint32_t id = invokeId_++;
    if (!sendMmsPdu(confirmedRequest(id, serviceTag, content, constructed))) return std::nullopt;
    while (true) {
        auto pdu = receiveMmsPdu(timeoutMs);
        if (!pdu) return std::nullopt;
        auto a = splitAnswer(*pdu);
        if (!a) return std::nullopt;
        if ((a->pduTag == 1 || a->pduTag == 2 || a->pduTag == 4) && a->invokeId == id) return a;
    }
}

bool MmsTestClient::release(int timeoutMs) {
    const uint8_t conclude[] = {0x8B, 0x00};
    if (!sendMmsPdu(conclude)) return false;
    auto resp = receiveMmsPdu(timeoutMs);
    if (!resp || resp->size() != 2 || (*resp)[0] != 0x8C) return false;
    const uint8_t rlrq[] = {0x62, 0x03, 0x80, 0x01, 0x00};
    const Bytes ppdu = presentationData(kAcseContext, rlrq);
    const Bytes fn = sessionSpdu(0x09, withUserData({}, ppdu));
    if (!sendTsdu(fn)) return false;
    auto dn = receiveTsdu(timeoutMs);
    if (!dn || dn->empty() || (*dn)[0] != 0x0A) return false;
    auto ud = spduUserData(*dn);
    if (!ud) return false;
    auto rlre = pdvValue(*ud);
    return rlre && !rlre->empty() && (*rlre)[0] == 0x63;
}

ServerLoop::ServerLoop(IedServer server) : server_(server) {
    thread_ = std::thread([this] {
        while (!stop_.load()) {
            IedServer_waitReady(server_, 20);
            IedServer_processIncomingData(server_);
            IedServer_performPeriodicTasks(server_);
        }
    });
}

ServerLoop::~ServerLoop() {
    stop_ = true;
    thread_.join();
}

}  // namespace mmstest
