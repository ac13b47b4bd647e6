#pragma once
// The message side of the internal MQTT interface, free of any client: its
// configuration file, the inbound topics, the measurement ("totw") messages,
// the scaling of the active limit and the power-limit message.

#include <cstdint>
#include <optional>
#include <string>

#include "internal/ValueReaders.h"
#include "server/IecCore.h"

// The log threshold of the internal MQTT interface (5, then "plim_log_level").
extern uint32_t internalMqttLogLevel;

inline constexpr const char* kInternalMqttConfigPath = "/etc/iec/config/MQTT_intern_gateway_config.json";
inline constexpr const char* kInternalMqttDebugConfigPath = "../../../../MQTT/MQTT_intern_gateway_config.json";

inline constexpr const char* kTopicAvailableRequest = "rurodi/toStb/get/Available";
inline constexpr const char* kTopicAvailableAnswer = "rurodi/toEMS/send/Available";
inline constexpr const char* kTopicPowerLimitPrefix = "rurodi/toEMS/cls/send/actpow_ggio001/";

struct InternalMqttConfig {
    std::string broker;
    // Used when the file gives no port of its own: the usual MQTT port.
    int port = 1883;
    bool enableTLS = false;
    std::string username;
    std::string password;
    std::string subTopic;
    std::string pubTopic;
};

// Reads the configuration file into config, member by member in the order of
// the file's table; the members read before a failure keep their new values.
// False on failure, with error holding the reason and parseError telling a
// file that is no JSON from one with a missing or wrong member.
bool readInternalMqttConfig(const std::string& path, InternalMqttConfig& config, std::string& error,
                            bool& parseError);

enum class InternalTopic { Available, Measurement, Acknowledgment, Other };

struct ClassifiedTopic {
    InternalTopic kind = InternalTopic::Other;
    std::string clsDigit;  // "1".."4" for Measurement and Acknowledgment
};

// The whole topic must match one of the inbound topics.
ClassifiedTopic classifyInternalTopic(const std::string& topic);

// One measurement message: total active power and frequency of a CLS.
struct TotwMeasurement {
    float totwMag = 0;
    uint64_t totwTime = 0;  // ms since the epoch
    int32_t totwMultiplier = 0;
    double hzMag = 0;
    uint64_t hzTime = 0;
    int32_t hzMultiplier = 0;
};

// nullopt with error set when the payload is no JSON or lies beyond the
// bounds of foundation/InboundPayload (parseError true for both), or a
// member is missing, of the wrong type or out of range.
std::optional<TotwMeasurement> parseTotwMessage(const std::string& payload, std::string& error, bool& parseError);

// The active value of a CLS scaled by its multiplier, as the internal
// interface publishes it: the value truncated to whole units, times 10^m in
// single precision. Throws std::invalid_argument ("Scale factor is out of
// expected range.") for a multiplier outside -24..24 and std::overflow_error
// ("Scaled power limit is out of float bounds.") for a value that is not a
// finite number of whole units or whose product is not a finite float; both
// are logged first.
float scaleInternalPowerLimit(float mxVal, int32_t multiplier);

// {"Available CLS":4}
std::string buildAvailablePayload();

// The power-limit message of a CLS (keys in ascending order).
std::string buildPowerLimitPayload(const ActiveLimit& reading, const PowerLimitScheduleMap& schedule,
                                   float powerLimit);
