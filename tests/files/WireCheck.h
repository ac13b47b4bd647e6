#pragma once
// Hands a recorded MMS session to tshark: the TCP payloads become a capture
// (mmstest::writeCapture), tshark decodes it once with the port taken as
// TPKT, and the MMS tree of each frame comes back as text, ready to be
// compared with a reference capture.

#include <filesystem>
#include <string>
#include <vector>

#include "tests/mms/MmsTestClient.h"

namespace filetest {

struct Decoded {
    bool ran = false;              // text2pcap and tshark ran
    std::string fullText;          // tshark -V of every frame
    std::vector<std::string> mms;  // the MMS subtree of each MMS frame, in order
};

// Decodes a capture file (pcap or pcapng) with tcp.port==port as TPKT.
Decoded decodeCapture(const std::filesystem::path& capture, int port);

// Writes the session as a capture into dir and decodes it.
Decoded decodeSession(const std::vector<mmstest::Segment>& session, int serverPort,
                      const std::filesystem::path& dir);

// Lines that tell of a decoding problem (malformed packets, expert errors
// and warnings).
std::vector<std::string> problems(const Decoded& decoded);

}  // namespace filetest
