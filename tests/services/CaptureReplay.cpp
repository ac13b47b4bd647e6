#include "CaptureReplay.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <sstream>

#include "iec61850/mms/ber.h"

namespace servicetest {

namespace {

// Parses one direction's TCP byte stream: TPKT, COTP DT with reassembly,
// session DT, presentation user data; appends each MMS PDU.
void parseStream(const std::vector<uint8_t>& stream, bool fromClient, std::vector<std::pair<size_t, MmsPdu>>& out,
                 const std::vector<size_t>& offsets, const std::vector<size_t>& order) {
    std::vector<uint8_t> tsdu;
    size_t pos = 0;
    while (pos + 4 <= stream.size()) {
        size_t length = (static_cast<size_t>(stream[pos + 2]) << 8) | stream[pos + 3];
        if (length < 7 || pos + length > stream.size()) break;
        const uint8_t* tpdu = &stream[pos + 4];
        size_t tpduLength = length - 4;
        size_t start = pos;
        pos += length;
        if (tpdu[1] != 0xF0) continue;  // only DT carries data
        size_t header = tpdu[0] + 1;
        bool eot = (tpdu[2] & 0x80) != 0;
        tsdu.insert(tsdu.end(), tpdu + header, tpdu + tpduLength);
        if (!eot) continue;
        // Session: Give-Tokens + Data Transfer, both empty, then presentation.
        if (tsdu.size() > 4 && tsdu[0] == 0x01 && tsdu[2] == 0x01) {
            ber::Reader r(std::span<const uint8_t>(tsdu).subspan(4));
            ber::Tlv userData, pdv, item;
            if (r.next(userData) && userData.is(ber::application(1))) {
                ber::Reader u = r.enter(userData);
                if (u.next(pdv)) {
                    ber::Reader p = u.enter(pdv);
                    while (p.next(item)) {
                        if (item.is(ber::context(0))) {
                            MmsPdu pdu;
                            pdu.fromClient = fromClient;
                            pdu.bytes.assign(item.content.begin(), item.content.end());
                            // Ordered by the frame in which its last TPKT starts.
                            size_t frame = 0;
                            for (size_t i = 0; i < offsets.size(); ++i)
                                if (offsets[i] <= start) frame = order[i];
                            out.emplace_back(frame, std::move(pdu));
                        }
                    }
                }
            }
        }
        tsdu.clear();
    }
}

}  // namespace

bool tsharkAvailable() { return std::system("tshark -v > /dev/null 2>&1") == 0; }

namespace {

constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr size_t kEthernetHeader = 14;
constexpr uint16_t kEtherTypeIpv4 = 0x0800;
constexpr uint8_t kIpProtocolTcp = 6;

uint32_t le32(const uint8_t* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24); }
uint16_t be16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// TCP payloads of a little-endian pcapng file of Ethernet frames:
// (source port, payload) in capture order.
std::optional<std::vector<std::pair<int, std::vector<uint8_t>>>> tcpPayloads(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::vector<uint8_t> file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::pair<int, std::vector<uint8_t>>> out;
    size_t pos = 0;
    while (pos + 12 <= file.size()) {
        uint32_t type = le32(&file[pos]);
        uint32_t length = le32(&file[pos + 4]);
        if (length < 12 || pos + length > file.size()) return std::nullopt;
        if (type == kEnhancedPacketBlock && length >= 32) {
            uint32_t captured = le32(&file[pos + 20]);
            const uint8_t* frame = &file[pos + 28];
            if (28 + captured <= length && captured > kEthernetHeader + 20 &&
                be16(frame + 12) == kEtherTypeIpv4) {
                const uint8_t* ip = frame + kEthernetHeader;
                size_t ipHeader = (ip[0] & 0x0F) * 4;
                size_t ipTotal = be16(ip + 2);
                if (ip[9] == kIpProtocolTcp && kEthernetHeader + ipTotal <= captured) {
                    const uint8_t* tcp = ip + ipHeader;
                    size_t tcpHeader = (tcp[12] >> 4) * 4;
                    if (ipHeader + tcpHeader < ipTotal)
                        out.emplace_back(be16(tcp), std::vector<uint8_t>(tcp + tcpHeader, ip + ipTotal));
                }
            }
        }
        pos += length;
    }
    return out;
}

}  // namespace

std::vector<std::vector<uint8_t>> clientPayloads(const std::string& path, int serverPort) {
    std::vector<std::vector<uint8_t>> out;
    auto payloads = tcpPayloads(path);
    if (!payloads) return out;
    for (auto& [port, bytes] : *payloads)
        if (port != serverPort) out.push_back(std::move(bytes));
    return out;
}

std::optional<std::vector<MmsPdu>> readCapture(const std::string& path, int serverPort) {
    auto payloads = tcpPayloads(path);
    if (!payloads) return std::nullopt;
    std::vector<uint8_t> streams[2];
    std::vector<size_t> offsets[2], frames[2];
    for (size_t frame = 0; frame < payloads->size(); ++frame) {
        const auto& [port, bytes] = (*payloads)[frame];
        int dir = port == serverPort ? 0 : 1;
        offsets[dir].push_back(streams[dir].size());
        frames[dir].push_back(frame);
        streams[dir].insert(streams[dir].end(), bytes.begin(), bytes.end());
    }
    if (streams[0].empty() && streams[1].empty()) return std::nullopt;
    std::vector<std::pair<size_t, MmsPdu>> ordered;
    parseStream(streams[0], false, ordered, offsets[0], frames[0]);
    parseStream(streams[1], true, ordered, offsets[1], frames[1]);
    std::stable_sort(ordered.begin(), ordered.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<MmsPdu> out;
    for (auto& [frame, pdu] : ordered) out.push_back(std::move(pdu));
    return out;
}

std::vector<ConfirmedExchange> confirmedExchanges(const std::vector<MmsPdu>& pdus) {
    std::vector<ConfirmedExchange> out;
    std::map<uint32_t, size_t> open;
    for (const MmsPdu& pdu : pdus) {
        ber::Tlv outer;
        if (!ber::decodeSingle(pdu.bytes, outer) || outer.cls != ber::TagClass::Context) continue;
        ber::Reader r = ber::Reader(pdu.bytes).enter(outer);
        ber::Tlv id, service;
        int64_t invoke = 0;
        if (!r.next(id) || !ber::decodeInteger(id.content, invoke)) continue;
        if (!r.next(service)) service = ber::Tlv{};
        if (pdu.fromClient && outer.number == 0) {
            ConfirmedExchange ex;
            ex.invokeId = static_cast<uint32_t>(invoke);
            ex.service = service.number;
            ex.requestContent.assign(service.content.begin(), service.content.end());
            open[ex.invokeId] = out.size();
            out.push_back(std::move(ex));
        } else if (!pdu.fromClient && (outer.number == 1 || outer.number == 2 || outer.number == 4)) {
            auto it = open.find(static_cast<uint32_t>(invoke));
            if (it == open.end()) continue;
            out[it->second].answerPdu = outer.number;
            out[it->second].answerContent.assign(service.content.begin(), service.content.end());
            open.erase(it);
        }
    }
    return out;
}

std::vector<std::vector<uint8_t>> unconfirmedPdus(const std::vector<MmsPdu>& pdus) {
    std::vector<std::vector<uint8_t>> out;
    for (const MmsPdu& pdu : pdus) {
        if (!pdu.fromClient && !pdu.bytes.empty() && pdu.bytes[0] == 0xA3) out.push_back(pdu.bytes);
    }
    return out;
}

}  // namespace servicetest
