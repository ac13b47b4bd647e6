#pragma once
// What the MMS fuzz targets share: a connection without a socket on a
// server, fed from a fuzz input that starts with a mode octet.
//   mode 0: raw TCP stream from the first octet on (TPKT, COTP, session, ...)
//   mode 1: raw TCP stream after a valid connect and association
//   mode 2: one MMS PDU on the MMS presentation context of an association

#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>
#include <vector>

#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/mms_server.h"
#include "iec61850/mms/presentation.h"
#include "iec61850/mms/session.h"
#include "iec61850/mms/tpkt_cotp.h"

namespace fuzzsupport {

inline std::vector<uint8_t> hex(const char* text) {
    std::vector<uint8_t> out;
    for (const char* p = text; p[0] && p[1]; p += 2) {
        out.push_back(static_cast<uint8_t>(std::strtoul(std::string(p, 2).c_str(), nullptr, 16)));
    }
    return out;
}

// A connect request and an association as a widely used client sends them.
inline const std::vector<uint8_t>& associationPrefix() {
    static const std::vector<uint8_t> prefix = [] {
        auto bytes = hex("0300001611e00000000100c0010dc2020001c1020001");
        const auto cn = hex(
            "030000bb02f0800db20506130100160102140200023302000134020001c19c318199a003800101a28191810400000001820400000001"
            "a423300f0201010604520100013004060251013010020103060528ca220201300406025101615e305c020101a0576055a107060528"
            "ca220203a20706052901876701a30302010ca606060429018767a70302010cbe2f282d020103a028a826800300fde881010582010583"
            "010aa416800101810305f100820c03ee1c00000408000079ef18");
        bytes.insert(bytes.end(), cn.begin(), cn.end());
        return bytes;
    }();
    return prefix;
}

// Feeds rest to a fresh detached connection of server as mode says, closes
// the connection and runs the periodic tasks once (which drop it).
inline void feed(IedServer server, uint8_t mode, std::span<const uint8_t> rest) {
    MmsServerState& state = mmsState(server);
    sMmsServerConnection* c = state.addDetachedConnection("fuzz:0");
    if (mode >= 1) c->receive(associationPrefix());
    if (mode == 2) {
        // session DT + presentation data on the MMS context (id 3)
        std::vector<uint8_t> tsdu = mms::encodeData(mms::encodeUserData(3, rest));
        std::vector<uint8_t> stream;
        mms::appendData(stream, tsdu, 8192);
        c->receive(stream);
    } else {
        c->receive(rest);
    }
    c->close("end of input");
    state.performPeriodicTasks();  // drops the closed connection
}

}  // namespace fuzzsupport
