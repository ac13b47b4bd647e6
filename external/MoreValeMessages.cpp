#include "external/MoreValeMessages.h"

#include <syslog.h>

#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <ctime>
#include <iostream>

#include "external/ReplyTemplate.h"
#include "foundation/Clock.h"
#include "foundation/InboundPayload.h"
#include "foundation/Logging.h"

using json = nlohmann::json;

uint32_t moreValeLogLevel = [] {
    uint32_t level = 5;
    readLogLevel(&level);
    return level;
}();

namespace {

constexpr int64_t kNsPerSecond = 1000000000;
constexpr int64_t kNsPerMs = 1000000;
// parseDateTime covers 1970..2261, so two of its results never overflow a difference.
constexpr int kFirstYear = 1970;
constexpr int kLastYear = 2261;

const char* const kEnvelope[] = {"creationDateTime", "transactionId", "initialTransactionId", "gridConnectionPoint"};

bool present(const json& message, const char* key) {
    return message.is_object() && message.contains(key) && !message[key].is_null();
}

// The first key of the list that is missing or null, or null.
template <size_t N>
const char* firstMissing(const json& message, const char* const (&keys)[N]) {
    for (const char* key : keys) {
        if (!present(message, key)) return key;
    }
    return nullptr;
}

// A number, a boolean counting as 0 or 1; anything else is a type error.
double numberOf(const json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
    return value.get<double>();
}

// Reports the first key of the list that is missing or null; false then.
template <size_t N>
bool allPresent(const json& message, const char* const (&keys)[N]) {
    const char* missing = firstMissing(message, keys);
    if (missing == nullptr) return true;
    std::cerr << "mor-e-vale:  Missing or null field: " << missing << std::endl;
    logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Missing or null field: %s", missing);
    return false;
}

// The four members every message carries.
struct Envelope {
    std::string creationDateTime;
    std::string transactionId;
    std::string initialTransactionId;
    std::string gridConnectionPoint;

    explicit Envelope(const json& message)
        : creationDateTime(message["creationDateTime"].get<std::string>()),
          transactionId(message["transactionId"].get<std::string>()),
          initialTransactionId(message["initialTransactionId"].get<std::string>()),
          gridConnectionPoint(message["gridConnectionPoint"].get<std::string>()) {}

    // "mor-e-vale: <kind>: CreationDateTime: ..." and the other three.
    void log(int priority, const char* kind) const {
        logMessage(&moreValeLogLevel, priority, "mor-e-vale: %s: CreationDateTime: %s", kind, creationDateTime.c_str());
        logMessage(&moreValeLogLevel, priority, "mor-e-vale: %s: TransactionId: %s", kind, transactionId.c_str());
        logMessage(&moreValeLogLevel, priority, "mor-e-vale: %s: InitialTransactionId: %s", kind,
                   initialTransactionId.c_str());
        logMessage(&moreValeLogLevel, priority, "mor-e-vale: %s: GridConnectionPoint: %s", kind,
                   gridConnectionPoint.c_str());
    }
};

bool digitsAt(std::string_view text, size_t pos, size_t count, int& out) {
    if (pos + count > text.size()) return false;
    int value = 0;
    for (size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    out = value;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Date-time texts

std::optional<int64_t> parseDateTime(std::string_view text) {
    int year, month, day, hour, minute, second;
    if (!digitsAt(text, 0, 4, year) || text.size() < 19 || text[4] != '-' || !digitsAt(text, 5, 2, month) ||
        text[7] != '-' || !digitsAt(text, 8, 2, day) || text[10] != 'T' || !digitsAt(text, 11, 2, hour) ||
        text[13] != ':' || !digitsAt(text, 14, 2, minute) || text[16] != ':' || !digitsAt(text, 17, 2, second)) {
        return std::nullopt;
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{static_cast<unsigned>(month)},
                              std::chrono::day{static_cast<unsigned>(day)}};
    if (!date.ok() || year < kFirstYear || year > kLastYear || hour > 23 || minute > 59 || second > 59) {
        return std::nullopt;
    }
    size_t pos = 19;
    int64_t milliseconds = 0;
    if (pos < text.size() && text[pos] == '.') {
        size_t digits = 0;
        int64_t scale = 100;
        for (++pos; pos < text.size() && text[pos] >= '0' && text[pos] <= '9'; ++pos, ++digits) {
            milliseconds += (text[pos] - '0') * scale;
            scale /= 10;
        }
        if (digits == 0) return std::nullopt;
    }
    const int64_t wallSeconds = sys_days{date}.time_since_epoch().count() * 86400 + hour * 3600 + minute * 60 + second;
    int64_t seconds = 0;
    if (pos == text.size()) {
        // No zone: local time of the machine, daylight saving as it applies then.
        std::tm local{};
        local.tm_year = year - 1900;
        local.tm_mon = month - 1;
        local.tm_mday = day;
        local.tm_hour = hour;
        local.tm_min = minute;
        local.tm_sec = second;
        local.tm_isdst = -1;
        const time_t t = std::mktime(&local);
        if (t == static_cast<time_t>(-1)) return std::nullopt;
        seconds = static_cast<int64_t>(t);
    } else if (text[pos] == 'Z' && pos + 1 == text.size()) {
        seconds = wallSeconds;
    } else if (text[pos] == '+' || text[pos] == '-') {
        const int sign = text[pos] == '+' ? 1 : -1;
        int offsetHours = 0;
        int offsetMinutes = 0;
        if (!digitsAt(text, pos + 1, 2, offsetHours)) return std::nullopt;
        pos += 3;
        if (pos < text.size() && text[pos] == ':') ++pos;
        if (pos < text.size() && (!digitsAt(text, pos, 2, offsetMinutes) || (pos += 2) != text.size())) {
            return std::nullopt;
        }
        if (offsetHours > 23 || offsetMinutes > 59) return std::nullopt;
        seconds = wallSeconds - sign * (offsetHours * 3600 + offsetMinutes * 60);
    } else {
        return std::nullopt;
    }
    if (seconds < 0 || seconds > INT64_MAX / kNsPerSecond - 1) return std::nullopt;
    return seconds * kNsPerSecond + milliseconds * kNsPerMs;
}

std::string formatUtcIso(uint64_t msSinceEpoch) {
    const time_t seconds = static_cast<time_t>(msSinceEpoch / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    const size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + length, sizeof(text) - length, ".%03uZ", static_cast<unsigned>(msSinceEpoch % 1000));
    return text;
}

std::string utcNowIso() { return formatUtcIso(Clock::get().wallMs()); }

// ---------------------------------------------------------------------------
// Messages

MoreValeMessageHandler::MoreValeMessageHandler(MoreValeMessageSettings settings, MoreValeSink& sink)
    : settings_(std::move(settings)), sink_(sink) {}

void MoreValeMessageHandler::onMessage(const std::string& topic, const char* payload, size_t length) {
    if (payload == nullptr || length == 0) {
        std::cerr << "mor-e-vale:  Received empty message on topic: " << topic << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Received empty message on topic: %s", topic.c_str());
        return;
    }
    try {
        handleMessage(topic, std::string_view(payload, length));
    } catch (const std::exception& e) {
        std::cerr << "mor-e-vale:  General error: " << e.what() << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: General error: %s", e.what());
    }
}

void MoreValeMessageHandler::handleMessage(const std::string& topic, std::string_view payload) {
    std::cout << "\nmor-e-vale:  Received message on topic: " << topic << std::endl;
    json message;
    // The payload is read up to its first NUL byte (a C string's end); its
    // size is bounded as received, the nesting of the text before the NUL.
    std::string_view text;
    if (const auto refused = inbound::refusalUpToNul(payload, text)) {
        std::cerr << "mor-e-vale:  Error parsing JSON: " << *refused << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Error parsing JSON: %s", refused->c_str());
        return;
    }
    try {
        message = json::parse(text);
    } catch (const json::parse_error& e) {
        std::cerr << "mor-e-vale:  Error parsing JSON: " << e.what() << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Error parsing JSON: %s", e.what());
        return;
    }
    bool complete = true;
    for (const char* key : kEnvelope) {
        if (!present(message, key)) {
            std::cerr << "mor-e-vale:  Missing or null field: " << key << std::endl;
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Missing or null field: %s", key);
            complete = false;
        }
    }
    if (!complete) {
        std::cerr << "mor-e-vale:  The received msg was not in the correct format!" << std::endl;
        return;
    }
    if (message.contains("maximumPowerValue")) {
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Received message with maximumPowerValue");
        handleLpc(message);
    } else if (message.contains("requestMGCP")) {
        logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Received message with requestMGCP");
        handleMgcp(message, topic);
    } else {
        throw std::invalid_argument("Neither maximumPowerValue nor requestMGCP is present in the payload.");
    }
}

void MoreValeMessageHandler::handleLpc(const json& message) {
    std::cout << "mor-e-vale: LPC received!" << std::endl;
    static const char* const kKeys[] = {"creationDateTime",    "transactionId",     "initialTransactionId",
                                        "gridConnectionPoint", "maximumPowerValue", "unit",
                                        "executionTimeFrom",   "executionTimeUntil"};
    if (!allPresent(message, kKeys)) return;
    const Envelope envelope(message);
    const std::string& transactionId = envelope.transactionId;
    double value = numberOf(message["maximumPowerValue"]);
    const auto unit = message["unit"].get<std::string>();
    const auto from = message["executionTimeFrom"].get<std::string>();
    const auto until = message["executionTimeUntil"].get<std::string>();

    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: LPC received!");
    envelope.log(LOG_NOTICE, "LPC");
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: LPC: MaximumPowerValue: %f", value);
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: LPC: Unit: %s", unit.c_str());
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: LPC: ExecutionTimeFrom: %s", from.c_str());
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: LPC: ExecutionTimeUntil: %s", until.c_str());

    auto refuse = [&](const char* why) {
        std::cerr << "mor-e-vale:  - " << why << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: LPC %s refused: %s", transactionId.c_str(), why);
        sendAck(1, transactionId);
    };

    if (unit == "kW") {
        value *= 1000.0;
        std::cout << "mor-e-vale:  - Converted to W: " << value << std::endl;
    } else if (unit != "W") {
        refuse("Unit not supported");
        return;
    }
    // The write entry point takes a float of W: a limit is finite and not negative.
    if (!std::isfinite(value) || value < 0.0 || value > FLT_MAX) {
        refuse("Value out of range");
        return;
    }
    const std::optional<int64_t> fromNs = parseDateTime(from);
    const std::optional<int64_t> untilNs = parseDateTime(until);
    if (!fromNs || !untilNs) {
        refuse(("Failed to parse datetime: " + (fromNs ? until : from)).c_str());
        return;
    }
    const int64_t durationSeconds = (*untilNs - *fromNs) / kNsPerSecond;
    std::cout << "mor-e-vale:  Duration: " << durationSeconds << " seconds" << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: Duration: %lld seconds",
               static_cast<long long>(durationSeconds));
    if (*untilNs < *fromNs) {
        refuse("End before start");
        return;
    }
    if (durationSeconds == 0) {
        refuse("Duration is 0");
        return;
    }
    if (durationSeconds > INT_MAX) {
        refuse("Duration too long");
        return;
    }
    const uint64_t startMs = static_cast<uint64_t>(*fromNs / kNsPerMs);
    const uint64_t now = Clock::get().wallMs();
    if (startMs < now && startMs + static_cast<uint64_t>(durationSeconds) * 1000 < now) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: Start Time + Duration is in the past");
        refuse("Start Time + Duration is in the past");
        return;
    }
    const bool written = sink_.writeLpc(startMs, static_cast<int>(durationSeconds), static_cast<float>(value));
    std::cout << (written ? "mor-e-vale:  - write LimitsToIec61850 successful"
                          : "mor-e-vale:  - write LimitsToIec61850 failed")
              << std::endl;
    sendAck(written ? 0 : 1, transactionId);
}

void MoreValeMessageHandler::sendAck(int errorNumber, const std::string& relation) {
    std::optional<json> ack;
    std::string refusal;
    try {
        ack = replytemplate::load(settings_.ackTemplatePath, &refusal);
        if (ack) {
            replytemplate::setMember(*ack, {"data", "errorNumber"}, errorNumber);
            replytemplate::setMember(*ack, {"relation"}, relation);
        }
    } catch (const json::exception& e) {
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: ACK template %s unusable: %s",
                   settings_.ackTemplatePath.c_str(), e.what());
        ack.reset();
    }
    if (!ack) {
        std::cerr << "mor-e-vale:  Unable to open file." << std::endl;
        if (refusal.empty()) {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: No ACK sent: template %s is missing or no JSON object",
                       settings_.ackTemplatePath.c_str());
        } else {
            logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: No ACK sent: template %s %s",
                       settings_.ackTemplatePath.c_str(), refusal.c_str());
        }
        return;
    }
    sink_.publish(settings_.ackTopic, replytemplate::dump(*ack));
    std::cout << "mor-e-vale:  Send ACK on topic: " << settings_.ackTopic << " with relation: " << relation
              << std::endl;
    logMessage(&moreValeLogLevel, LOG_NOTICE, "mor-e-vale: ACK %d sent with relation: %s", errorNumber,
               relation.c_str());
}

void MoreValeMessageHandler::handleMgcp(const json& message, const std::string& topic) {
    std::cout << "mor-e-vale:  Received mgcp request on topic: " << topic << std::endl;
    static const char* const kKeys[] = {"requestMGCP",  "interval",     "requestTimeFrom", "requestTimeTo",
                                        "requiredOBIS", "optionalOBIS", "clsAvailability"};
    if (!allPresent(message, kKeys)) return;
    const Envelope envelope(message);
    const bool requestMgcp = message["requestMGCP"].get<bool>();
    const double interval = std::trunc(numberOf(message["interval"]));
    const auto timeFrom = message["requestTimeFrom"].get<std::string>();
    const auto timeTo = message["requestTimeTo"].get<std::string>();
    const auto required = message["requiredOBIS"].get<std::vector<std::string>>();
    const auto optional = message["optionalOBIS"].get<std::vector<std::string>>();
    const bool clsAvailability = message["clsAvailability"].get<bool>();

    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP activation received!");
    envelope.log(LOG_INFO, "MGCP");
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: RequestMGCP: %d", requestMgcp ? 1 : 0);
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: Interval: %.0f", interval);
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: RequestTimeFrom: %s", timeFrom.c_str());
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: RequestTimeTo: %s", timeTo.c_str());
    for (const auto& code : required) {
        logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: Required OBIS: %s", code.c_str());
    }
    for (const auto& code : optional) {
        logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: Optional OBIS: %s", code.c_str());
    }
    logMessage(&moreValeLogLevel, LOG_INFO, "mor-e-vale: MGCP: CLS Availability: %d", clsAvailability ? 1 : 0);

    // Below 1 s the sender would flood the broker; above a day it would sit
    // silent through whole days of the box's operation.
    if (!(interval >= 1.0 && interval <= kMaxMgcpIntervalSeconds)) {
        std::cerr << "mor-e-vale:  MGCP interval refused: " << replytemplate::dump(message["interval"]) << std::endl;
        logMessage(&moreValeLogLevel, LOG_ERR, "mor-e-vale: MGCP: Interval %s refused: it must lie in 1..%d s",
                   replytemplate::dump(message["interval"]).c_str(), kMaxMgcpIntervalSeconds);
        return;
    }
    sink_.requestMgcp(static_cast<int>(interval), envelope.transactionId);
}
