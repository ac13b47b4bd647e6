#pragma once
// The inbound side of the MoreVale gateway: the message callback's work for
// one received message (envelope check, LPC limits with their ACK, MGCP
// requests), the date-time texts of LPC messages and the UTC time stamps of
// MGCP messages. It acts only through a sink, so it runs without a broker.
//
// Threads: one message at a time (the client library's network thread).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

// The gateway's log threshold: 5, then "plim_log_level" (static initialisation).
extern uint32_t moreValeLogLevel;

// The longest MGCP interval a request may set: one day. A measurement report
// rarer than daily tells the grid operator nothing, and a longer pause only
// parks the sender.
inline constexpr int kMaxMgcpIntervalSeconds = 86400;

// What a handled message may do.
class MoreValeSink {
public:
    virtual ~MoreValeSink() = default;
    // Writes the consumption limit of CLS1 (start, duration, W); true when written.
    virtual bool writeLpc(uint64_t startTimeMs, int durationSeconds, float limitW) = 0;
    virtual void publish(const std::string& topic, const std::string& payload) = 0;
    // An MGCP request (interval already checked to lie in 1..kMaxMgcpIntervalSeconds).
    virtual void requestMgcp(int intervalSeconds, const std::string& transactionId) = 0;
};

struct MoreValeMessageSettings {
    std::string ackTopic;
    std::string ackTemplatePath;  // "lpc_ack.json"
};

class MoreValeMessageHandler {
public:
    MoreValeMessageHandler(MoreValeMessageSettings settings, MoreValeSink& sink);

    // One received message, the payload of length bytes read up to its first
    // NUL byte (inbound::refusalUpToNul): a payload beyond the
    // size bound, or a text before the NUL beyond the nesting bound, is
    // refused like text that is no JSON, and so is a JSON text that a NUL
    // cuts short. Never throws: every failure ends in a log line (and an
    // ACK 1 where the message was an LPC that could be read).
    void onMessage(const std::string& topic, const char* payload, size_t length);

private:
    void handleMessage(const std::string& topic, std::string_view payload);
    void handleLpc(const nlohmann::json& message);
    void handleMgcp(const nlohmann::json& message, const std::string& topic);
    void sendAck(int errorNumber, const std::string& relation);

    MoreValeMessageSettings settings_;
    MoreValeSink& sink_;
};

// "YYYY-MM-DDTHH:MM:SS" with an optional fraction (".5" is 500 ms; digits
// beyond the milliseconds are cut) and an optional zone: "Z" or an offset
// "+HH:MM", "+HHMM", "+HH" (or "-"), read as UTC plus that offset; a text
// without a zone is local time of the machine. Nanoseconds since the epoch;
// nothing when the text is malformed or outside 1970..2261.
std::optional<int64_t> parseDateTime(std::string_view text);

// Milliseconds since the epoch as "YYYY-MM-DDTHH:MM:SS.mmmZ" (UTC).
std::string formatUtcIso(uint64_t msSinceEpoch);
// The current time (the process clock) in that form.
std::string utcNowIso();
