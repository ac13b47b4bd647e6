#pragma once
// A small MMS client for tests, over real loopback TCP: associate, send
// confirmed requests (service tag + encoded content), receive answers,
// conclude and release. Every TCP payload in both directions is recorded so
// a test can hand the session to an independent decoder (tshark).
//
// Also holds ServerLoop, which runs a server's threadless loop on a thread of
// its own for the duration of a test.

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "iec61850/iec61850_server.h"

namespace mmstest {

using Bytes = std::vector<uint8_t>;

Bytes fromHex(const std::string& hex);
std::string toHex(std::span<const uint8_t> bytes);

// One TCP payload of a session, in order.
struct Segment {
    bool fromClient;
    Bytes bytes;
};

// The answer to a confirmed request, split into its parts.
struct Answer {
    uint32_t pduTag = 0xFFFFFFFF;  // MMSpdu choice (1 response, 2 error, 4 reject ...)
    uint32_t invokeId = 0;
    unsigned serviceTag = 0;       // response: the service choice
    Bytes content;                 // response: its content; error: the ServiceError content
    int errorClass = -1;           // error: errorClass choice and code
    int errorCode = -1;
    int rejectType = -1;           // reject: reason choice and code
    int rejectCode = -1;
    Bytes pdu;                     // the whole MMS PDU
};

class MmsTestClient {
public:
    MmsTestClient() = default;
    ~MmsTestClient();
    MmsTestClient(const MmsTestClient&) = delete;
    MmsTestClient& operator=(const MmsTestClient&) = delete;

    // TCP connect to 127.0.0.1:port.
    bool connect(int port);
    // TCP connect + COTP CR/CC + session/presentation/ACSE/MMS initiate.
    // localDetail is the proposed MMS PDU size.
    // tpduSizeCode is the proposed COTP TPDU size (7: 128 ... 13: 8192 octets).
    bool associate(int port, int32_t localDetail = 65000, uint8_t tpduSizeCode = 13);
    // The same on a connection made by connect().
    bool initiate(int32_t localDetail = 65000, uint8_t tpduSizeCode = 13);
    // Largest DT TPDU (header included) received so far.
    size_t largestTpdu() const { return largestTpdu_; }
    // The MMS initiate response PDU of the last association.
    const Bytes& initiateResponse() const { return initiateResponse_; }
    // Whether the last association's Initiate answer names the service as supported.
    bool supportsService(unsigned serviceTag) const;

    // Sends a confirmed request and waits for the answer with its invoke id.
    std::optional<Answer> request(unsigned serviceTag, std::span<const uint8_t> content, bool constructed,
                                  int timeoutMs = 3000);
    // A confirmed-RequestPDU with the invoke id around the service element.
    static Bytes confirmedRequest(uint32_t invokeId, unsigned serviceTag, std::span<const uint8_t> content,
                                  bool constructed);
    // A confirmed-ResponsePDU, the client's answer to a request of the server
    // (the server's own FileOpen, FileRead and FileClose of an ObtainFile).
    static Bytes confirmedResponse(uint32_t invokeId, unsigned serviceTag, std::span<const uint8_t> content,
                                   bool constructed);
    // A confirmed request of the server: its invoke id, service and content.
    struct Request {
        uint32_t invokeId = 0;
        unsigned service = 0;
        Bytes content;
    };
    static std::optional<Request> splitRequest(const Bytes& pdu);
    // Sends any MMS PDU on the MMS presentation context.
    bool sendMmsPdu(std::span<const uint8_t> pdu);
    // Next MMS PDU from the server (session DT with presentation data).
    std::optional<Bytes> receiveMmsPdu(int timeoutMs = 3000);
    static std::optional<Answer> splitAnswer(const Bytes& pdu);

    // Conclude + release; true when both were answered positively.
    bool release(int timeoutMs = 3000);

    // Raw access for malformed input.
    bool sendRaw(std::span<const uint8_t> bytes);
    bool sendTsdu(std::span<const uint8_t> tsdu);  // one COTP DT with EOT
    // Next TPKT payload (the TPDU); nullopt on timeout or end of connection.
    std::optional<Bytes> receiveTpdu(int timeoutMs = 3000);
    // Next whole TSDU (DT TPDUs reassembled); nullopt otherwise.
    std::optional<Bytes> receiveTsdu(int timeoutMs = 3000);
    // True when the server closes the connection within the time.
    bool waitClosed(int timeoutMs = 3000);
    void close();
    // Closes with a TCP reset (linger 0) instead of a FIN.
    void reset();

    bool connected() const { return fd_ >= 0; }
    int localPort() const;
    uint32_t nextInvokeId() const { return invokeId_; }
    const std::vector<Segment>& transcript() const { return transcript_; }

private:
    bool readSome(int timeoutMs);

    int fd_ = -1;
    Bytes in_;
    Bytes initiateResponse_;
    uint32_t invokeId_ = 1;
    size_t largestTpdu_ = 0;
    std::vector<Segment> transcript_;
};

// Runs waitReady / processIncomingData / performPeriodicTasks of a server on
// its own thread until destroyed.
class ServerLoop {
public:
    explicit ServerLoop(IedServer server);
    ~ServerLoop();
    ServerLoop(const ServerLoop&) = delete;
    ServerLoop& operator=(const ServerLoop&) = delete;

private:
    IedServer server_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace mmstest
