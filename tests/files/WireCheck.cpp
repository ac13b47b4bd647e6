// tshark as an independent decoder of recorded sessions.
#include "tests/files/WireCheck.h"

#include <cstdio>
#include <sstream>

#include "tests/mms/WireCapture.h"

namespace filetest {

namespace {

constexpr int kClientPort = 40000;

std::string run(const std::string& command) {
    std::string output;
    FILE* pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) return output;
    char buffer[4096];
    size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
    ::pclose(pipe);
    return output;
}

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) out.push_back(line);
    return out;
}

}  // namespace

Decoded decodeCapture(const std::filesystem::path& capture, int port) {
    Decoded decoded;
    std::string decodeAs = " -d tcp.port==" + std::to_string(port) + ",tpkt";
    decoded.fullText = run("tshark -r '" + capture.string() + "'" + decodeAs + " -V 2>/dev/null");
    decoded.ran = !decoded.fullText.empty();

    // The MMS tree of a frame starts at a line "MMS" and runs to the blank
    // line that ends the frame.
    std::string* current = nullptr;
    for (const auto& line : lines(decoded.fullText)) {
        if (line == "MMS") {
            decoded.mms.emplace_back();
            current = &decoded.mms.back();
        } else if (line.empty()) {
            current = nullptr;
        } else if (current != nullptr) {
            *current += line + "\n";
        }
    }
    return decoded;
}

Decoded decodeSession(const std::vector<mmstest::Segment>& session, int serverPort,
                      const std::filesystem::path& dir) {
    std::filesystem::path capture = dir / "session.pcapng";
    if (!mmstest::writeCapture(session, kClientPort, serverPort, capture.string())) return {};
    return decodeCapture(capture, serverPort);
}

std::vector<std::string> problems(const Decoded& decoded) {
    std::vector<std::string> out;
    for (const auto& line : lines(decoded.fullText)) {
        if (line.find("Malformed") != std::string::npos || line.find("[Expert Info (Error") != std::string::npos ||
            line.find("[Expert Info (Warning") != std::string::npos) {
            out.push_back(line);
        }
    }
    return out;
}

}  // namespace filetest
