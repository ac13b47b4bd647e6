#pragma once
// Independent decoding of recorded MMS sessions: a transcript becomes a
// capture file (text2pcap with dummy TCP/IP headers) that tshark decodes as
// ISO-on-TCP (-d tcp.port==PORT,tpkt).

#include <string>
#include <vector>

#include "MmsTestClient.h"

namespace mmstest {

// True when text2pcap and tshark can be run.
bool wiresharkToolsAvailable();

// Writes the session as a capture file; false when text2pcap fails.
bool writeCapture(const std::vector<Segment>& transcript, int clientPort, int serverPort, const std::string& pcapPath);

// One row per frame that matches displayFilter, one column per field
// (several values of one field are joined by ',').
using FieldRows = std::vector<std::vector<std::string>>;
FieldRows tsharkFields(const std::string& pcapPath, int serverPort, const std::string& displayFilter,
                       const std::vector<std::string>& fields);

// Frames with a malformed packet or an expert info of severity warning or error.
int tsharkProblemFrames(const std::string& pcapPath, int serverPort);

// TCP payloads sent to serverPort, in capture order.
std::vector<Bytes> clientPayloads(const std::string& pcapPath, int serverPort);

}  // namespace mmstest
