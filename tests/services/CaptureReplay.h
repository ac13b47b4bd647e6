#pragma once
// Reads the MMS PDUs of a recorded association out of a pcapng capture of
// loopback Ethernet frames, reassembling TPKT/COTP and stripping the session
// and presentation layers, and pairs confirmed requests with their answers.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace servicetest {

struct MmsPdu {
    bool fromClient = false;
    std::vector<uint8_t> bytes;  // the whole MMS PDU
};

struct ConfirmedExchange {
    uint32_t invokeId = 0;
    unsigned service = 0;                 // request's service choice
    std::vector<uint8_t> requestContent;  // content of the service element
    uint32_t answerPdu = 0;               // 1 response, 2 error, 4 reject
    std::vector<uint8_t> answerContent;   // response: content of its service element
};

// Every MMS PDU of the file in order (nullopt when tshark fails). serverPort
// tells the direction of each TCP payload.
std::optional<std::vector<MmsPdu>> readCapture(const std::string& path, int serverPort);
// Confirmed requests of the client with their answers, in request order.
std::vector<ConfirmedExchange> confirmedExchanges(const std::vector<MmsPdu>& pdus);
// Unconfirmed PDUs of the server (reports), in order.
std::vector<std::vector<uint8_t>> unconfirmedPdus(const std::vector<MmsPdu>& pdus);

// The TCP payloads the client sent to serverPort, in capture order.
std::vector<std::vector<uint8_t>> clientPayloads(const std::string& path, int serverPort);

bool tsharkAvailable();

}  // namespace servicetest
