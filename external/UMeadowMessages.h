#pragma once
// The message side of the UMeadow demonstration gateway, free of any client:
// its configuration (the MoreVale gateway's file) and the two plain-text
// limit messages.

#include <cstddef>
#include <cstdint>
#include <string>

#include "foundation/InboundPayload.h"

// The log threshold of the UMeadow gateway (5, then "plim_log_level").
extern uint32_t uMeadowLogLevel;

inline constexpr const char* kUMeadowConfigPath = "/etc/iec/config/MQTT_morevale_config.json";
inline constexpr const char* kUMeadowDebugConfigPath = "../etc/iec/config/MQTT_morevale_config.json";
inline constexpr const char* kUMeadowSubTopic = "lpc/set/#";
inline constexpr const char* kUMeadowAckTopic = "lpc/ack";
inline constexpr const char* kUMeadowValueTopic = "lpc/set/value";
inline constexpr const char* kUMeadowOnTopic = "lpc/set/on";
// A limit or state is one number, but the leading number of a longer text
// counts: the size bound of every road's messages.
inline constexpr size_t kUMeadowMaxPayloadBytes = inbound::kMaxMessageBytes;

struct UMeadowConfig {
    std::string broker;
    // Used when the file names no port: the usual MQTT port.
    int port = 1883;
    bool enableTLS = false;
    std::string dso;
    std::string gcp;
    std::string version;
};

// Reads the keys when the top level holds both "mqttBroker" and "mqttPort";
// otherwise config stays as it is and the result is true. False when the
// file cannot be read, is no JSON (parseError) or a key is missing or of the
// wrong type ("mqttPort" as moreValePortFromJson reads it: a number, a
// boolean as 0 or 1, a fraction truncated, then 1..65535); the keys read
// before it keep their new values.
bool readUMeadowConfig(const std::string& path, UMeadowConfig& config, std::string& error, bool& parseError);

struct UMeadowCommand {
    enum class Kind { Limit, Unsupported, InvalidArgument, GeneralError, Refused };
    Kind kind = Kind::Unsupported;
    bool active = false;
    float watts = 0;
    std::string detail;  // what was wrong, for the log line
};

// One received message: "lpc/set/value" takes a finite, non-negative number
// of W (its leading part, as strtof reads it) as an active limit;
// "lpc/set/on" takes an integer of int range (its leading part, base 10):
// 0 switches the limit off, any other value on with 0 W. The payload is read
// as text up to its first NUL byte (inbound::refusalUpToNul); one longer
// than kUMeadowMaxPayloadBytes as received is an invalid argument, with the
// refusal as detail.
UMeadowCommand parseUMeadowMessage(const std::string& topic, const void* payload, int payloadLength);
