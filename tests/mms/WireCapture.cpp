// text2pcap / tshark helpers for wire-format tests.
#include "WireCapture.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace mmstest {

namespace {
std::string run(const std::string& command) {
    std::string out;
    FILE* p = ::popen((command + " 2>/dev/null").c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    ::pclose(p);
    return out;
}

std::string decodeAs(int serverPort) { return "-d tcp.port==" + std::to_string(serverPort) + ",tpkt"; }

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string cur;
    for (char c : line) {
        if (c == sep) {
            out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    out.push_back(cur);
    return out;
}
}  // namespace

bool wiresharkToolsAvailable() {
    return std::system("command -v tshark >/dev/null 2>&1 && command -v text2pcap >/dev/null 2>&1") == 0;
}

bool writeCapture(const std::vector<Segment>& transcript, int clientPort, int serverPort, const std::string& pcapPath) {
    const std::string textPath = pcapPath + ".txt";
    {
        std::ofstream f(textPath);
        for (const auto& seg : transcript) {
            // With -T client,server text2pcap sends "O" packets from the second
            // port, so the client's packets are the "I" ones.
            f << (seg.fromClient ? "I" : "O") << "\n";
            char line[32];
            for (size_t i = 0; i < seg.bytes.size(); i += 16) {
                std::snprintf(line, sizeof line, "%06zx", i);
                f << line;
                for (size_t j = i; j < i + 16 && j < seg.bytes.size(); ++j) {
                    std::snprintf(line, sizeof line, " %02x", seg.bytes[j]);
                    f << line;
                }
                f << "\n";
            }
            f << "\n";
        }
    }
    const std::string cmd = "text2pcap -q -D -T " + std::to_string(clientPort) + "," + std::to_string(serverPort) +
                            " -4 127.0.0.1,127.0.0.1 " + textPath + " " + pcapPath + " && echo ok";
    return run(cmd).find("ok") != std::string::npos;
}

FieldRows tsharkFields(const std::string& pcapPath, int serverPort, const std::string& displayFilter,
                       const std::vector<std::string>& fields) {
    std::string cmd = "tshark -r " + pcapPath + " " + decodeAs(serverPort) + " -T fields -E separator='|' -E aggregator=','";
    for (const auto& f : fields) cmd += " -e " + f;
    cmd += " -Y '" + displayFilter + "'";
    FieldRows rows;
    std::istringstream in(run(cmd));
    std::string line;
    while (std::getline(in, line)) rows.push_back(split(line, '|'));
    return rows;
}

int tsharkProblemFrames(const std::string& pcapPath, int serverPort) {
    const auto rows =
        tsharkFields(pcapPath, serverPort, "_ws.malformed or _ws.expert.severity >= 0x600000", {"frame.number"});
    return static_cast<int>(rows.size());
}

std::vector<Bytes> clientPayloads(const std::string& pcapPath, int serverPort) {
    std::vector<Bytes> out;
    const auto rows = tsharkFields(pcapPath, serverPort,
                                   "tcp.dstport==" + std::to_string(serverPort) + " and tcp.len>0", {"tcp.payload"});
    for (const auto& row : rows) {
        if (!row.empty() && !row[0].empty()) out.push_back(fromHex(row[0]));
    }
    return out;
}

}  // namespace mmstest
