// Messages of the MoreVale gateway without a broker: LPC limits and their
// ACKs, MGCP requests, and the date-time texts, into a recording sink.

#include <syslog.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "external/MoreValeMessages.h"
#include "foundation/Clock.h"
#include "tests/morevale/RecordingSink.h"
#include "tests/support/BadPayloads.h"
#include "tests/support/TestSupport.h"

using json = nlohmann::json;

namespace {

constexpr uint64_t kNowMs = 1767225600000ULL;        // 2026-01-01T00:00:00Z
constexpr uint64_t kMarch1At10Ms = 1772359200000ULL;  // 2026-03-01T10:00:00Z
constexpr const char* kAckTopic = "dso/d/gcp/g/lpc/0.4.0/ack";
constexpr const char* kTemplate = R"({"type":"ack","data":{"errorNumber":7,"note":"kept"},"relation":""})";

// The envelope and an LPC of 4.2 kW from 2026-03-01T10:00:00Z for 1.5 s.
json lpc() {
    return {{"creationDateTime", "2025-12-31T23:00:00Z"},
            {"transactionId", "tx-\u00e4-1"},
            {"initialTransactionId", "itx-1"},
            {"gridConnectionPoint", "gcp7"},
            {"maximumPowerValue", 4.2},
            {"unit", "kW"},
            {"executionTimeFrom", "2026-03-01T10:00:00.000Z"},
            {"executionTimeUntil", "2026-03-01T10:00:01.500Z"}};
}

json mgcp() {
    return {{"creationDateTime", "2025-12-31T23:00:00Z"},
            {"transactionId", "mgcp-1"},
            {"initialTransactionId", "itx-9"},
            {"gridConnectionPoint", "gcp7"},
            {"requestMGCP", true},
            {"interval", 2},
            {"requestTimeFrom", "2026-01-01T00:00:00Z"},
            {"requestTimeTo", "2026-01-02T00:00:00Z"},
            {"requiredOBIS", {"1-0: 16.7.0.255"}},
            {"optionalOBIS", json::array()},
            {"clsAvailability", true}};
}

std::string ackText(int errorNumber, const std::string& relation) {
    return json{{"type", "ack"}, {"data", {{"errorNumber", errorNumber}, {"note", "kept"}}}, {"relation", relation}}
        .dump();
}

class MoreValeMessagesTest : public testsupport::IecTest {
protected:
    MoreValeMessagesTest() {
        moreValeLogLevel = LOG_DEBUG;
        clock = std::make_shared<FakeClock>(kNowMs);
        Clock::setForTesting(clock);
        workDir.writeFile("/etc/iec/MQTT_morevale/lpc_ack.json", kTemplate);
        handler = std::make_unique<MoreValeMessageHandler>(
            MoreValeMessageSettings{kAckTopic, workDir.path().string() + "/etc/iec/MQTT_morevale/lpc_ack.json"}, sink);
    }
    ~MoreValeMessagesTest() override { Clock::setForTesting(nullptr); }

    void send(const std::string& payload, const std::string& topic = "dso/d/gcp/g/lpc/0.4.0/set") {
        handler->onMessage(topic, payload.data(), payload.size());
    }

    std::shared_ptr<FakeClock> clock;
    RecordingSink sink;
    std::unique_ptr<MoreValeMessageHandler> handler;
};

// --- LPC messages --------------------------------------------------------------

struct LpcCase {
    const char* name;
    json message;          // null: the payload text below; else the ACK's relation is its "transactionId"
    std::string payload;   // sent when message is null or the payload is not empty
    std::optional<RecordingSink::Write> written;
    int ack;               // -1: no ACK
    std::string logged;    // a line the message produces ("" for none)
};

void PrintTo(const LpcCase& c, std::ostream* os) { *os << c.name; }

// base with one member set (a discarded value removes it).
json with(json m, const std::string& key, const json& value) {
    if (value.is_discarded()) {
        m.erase(key);
    } else {
        m[key] = value;
    }
    return m;
}

json lpcWith(const std::string& key, const json& value) { return with(lpc(), key, value); }

json without(const std::string& key) { return lpcWith(key, json::value_t::discarded); }

json window(const std::string& from, const std::string& until) {
    json m = lpc();
    m["executionTimeFrom"] = from;
    m["executionTimeUntil"] = until;
    return m;
}

class MoreValeLpcTest : public MoreValeMessagesTest, public ::testing::WithParamInterface<LpcCase> {};

TEST_P(MoreValeLpcTest, LimitIsWrittenAndAcknowledged) {
    const LpcCase& c = GetParam();
    send(c.message.is_null() || !c.payload.empty() ? c.payload : c.message.dump());

    if (c.written) {
        ASSERT_EQ(sink.writes.size(), 1u);
        EXPECT_EQ(sink.writes[0], *c.written);
    } else {
        EXPECT_TRUE(sink.writes.empty());
    }
    if (c.ack < 0) {
        EXPECT_TRUE(sink.publications.empty());
    } else {
        const std::string relation = c.message.is_null() ? "" : c.message["transactionId"].get<std::string>();
        EXPECT_EQ(sink.publications, (std::vector<RecordingSink::Publication>{{kAckTopic, ackText(c.ack, relation)}}));
    }
    EXPECT_TRUE(sink.mgcpRequests.empty());
    if (!c.logged.empty()) {
        EXPECT_TRUE(syslog.contains(c.logged)) << c.logged;
    }
}

const RecordingSink::Write k4200{kMarch1At10Ms, 1, 4200.0f};

// The LPC text with a NUL byte inserted before its "unit" member, and the
// line the JSON text cut short there is refused with.
std::string nulInsideLpc() {
    std::string text = lpc().dump();
    text.insert(text.find("\"unit\""), 1, '\0');
    return text;
}

std::string refusalOfNulInsideLpc() {
    const std::string text = nulInsideLpc();
    try {
        const json parsed = json::parse(text.substr(0, text.find('\0')));
        return "the cut text parsed: " + parsed.dump();
    } catch (const json::parse_error& e) {
        return std::string("mor-e-vale: Error parsing JSON: ") + e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(
    Messages, MoreValeLpcTest,
    ::testing::Values(
        LpcCase{"kW", lpc(), "", k4200, 0, "mor-e-vale: LPC: MaximumPowerValue: 4.200000"},
        LpcCase{"W", lpcWith("unit", "W"), "", RecordingSink::Write{kMarch1At10Ms, 1, 4.2f}, 0, ""},
        LpcCase{"booleanValue", lpcWith("maximumPowerValue", true), "", RecordingSink::Write{kMarch1At10Ms, 1, 1000.0f},
                0, ""},
        LpcCase{"lowerCaseKw", lpcWith("unit", "kw"), "", std::nullopt, 1,
                "mor-e-vale: LPC tx-\u00e4-1 refused: Unit not supported"},
        LpcCase{"megawatt", lpcWith("unit", "MW"), "", std::nullopt, 1, ""},
        LpcCase{"window1500ms", lpc(), "", k4200, 0, "mor-e-vale: Duration: 1 seconds"},
        LpcCase{"window900ms", window("2026-03-01T10:00:00.000Z", "2026-03-01T10:00:00.900Z"), "", std::nullopt, 1,
                "mor-e-vale: LPC tx-\u00e4-1 refused: Duration is 0"},
        LpcCase{"endBeforeStart", window("2026-03-01T10:00:05Z", "2026-03-01T10:00:00Z"), "", std::nullopt, 1,
                "mor-e-vale: LPC tx-\u00e4-1 refused: End before start"},
        LpcCase{"wholeWindowPast", window("2025-12-31T23:00:00Z", "2025-12-31T23:59:00Z"), "", std::nullopt, 1,
                "mor-e-vale: Start Time + Duration is in the past"},
        LpcCase{"startPastEndFuture", window("2025-12-31T23:59:00Z", "2026-01-01T00:01:00Z"), "",
                RecordingSink::Write{1767225540000ULL, 120, 4200.0f}, 0, ""},
        LpcCase{"negative", lpcWith("maximumPowerValue", -5), "", std::nullopt, 1,
                "mor-e-vale: LPC tx-\u00e4-1 refused: Value out of range"},
        LpcCase{"hugeW", lpcWith("unit", "W").patch(json::parse(R"([{"op":"replace","path":"/maximumPowerValue","value":1e39}])")), "", std::nullopt, 1,
                "mor-e-vale: LPC tx-\u00e4-1 refused: Value out of range"},
        LpcCase{"hugeAfterKw", lpcWith("maximumPowerValue", 1e36), "", std::nullopt, 1, ""},
        LpcCase{"badTime", lpcWith("executionTimeFrom", "2026-03-01 10:00:00"), "", std::nullopt, 1,
                "mor-e-vale: LPC tx-\u00e4-1 refused: Failed to parse datetime: 2026-03-01 10:00:00"},
        LpcCase{"noDate", lpcWith("executionTimeUntil", ""), "", std::nullopt, 1, ""},
        LpcCase{"valueText", lpcWith("maximumPowerValue", "12"), "", std::nullopt, -1,
                "mor-e-vale: General error: [json.exception.type_error.302] type must be number, but is string"},
        LpcCase{"noUnit", without("unit"), "", std::nullopt, -1, "mor-e-vale: Missing or null field: unit"},
        LpcCase{"nullUntil", lpcWith("executionTimeUntil", nullptr), "", std::nullopt, -1,
                "mor-e-vale: Missing or null field: executionTimeUntil"},
        LpcCase{"noTransactionId", without("transactionId"), "", std::nullopt, -1,
                "mor-e-vale: Missing or null field: transactionId"},
        LpcCase{"noCreation", without("creationDateTime"), "", std::nullopt, -1,
                "mor-e-vale: Missing or null field: creationDateTime"},
        LpcCase{"noInitialTransactionId", without("initialTransactionId"), "", std::nullopt, -1,
                "mor-e-vale: Missing or null field: initialTransactionId"},
        LpcCase{"noGridConnectionPoint", without("gridConnectionPoint"), "", std::nullopt, -1,
                "mor-e-vale: Missing or null field: gridConnectionPoint"},
        LpcCase{"transactionIdNumber", lpcWith("transactionId", 5), "", std::nullopt, -1,
                "mor-e-vale: General error: [json.exception.type_error.302] type must be string, but is number"},
        LpcCase{"alsoMgcp", lpcWith("requestMGCP", true), "", k4200, 0, ""},
        LpcCase{"neither", without("maximumPowerValue"), "", std::nullopt, -1,
                "mor-e-vale: General error: Neither maximumPowerValue nor requestMGCP is present in the payload."},
        LpcCase{"notJson", nullptr, "{\"transactionId\":", std::nullopt, -1, ""},
        LpcCase{"array", nullptr, "[1,2,3]", std::nullopt, -1, "mor-e-vale: Missing or null field: creationDateTime"},
        LpcCase{"empty", nullptr, "", std::nullopt, -1, "mor-e-vale: Received empty message on topic: dso/d/gcp/g/lpc/0.4.0/set"},
        // The payload is read up to its first NUL byte (a C string's end).
        LpcCase{"nulAtEnd", lpc(), lpc().dump() + std::string(1, '\0'), k4200, 0, ""},
        LpcCase{"nulThenJunk", lpc(), lpc().dump() + std::string("\0{junk", 6), k4200, 0, ""},
        LpcCase{"nulThenDeep", lpc(), lpc().dump() + std::string(1, '\0') + std::string(100, '['), k4200, 0, ""},
        LpcCase{"nulInsideText", nullptr, nulInsideLpc(), std::nullopt, -1, refusalOfNulInsideLpc()},
        LpcCase{"nulFirst", nullptr, std::string(1, '\0') + lpc().dump(), std::nullopt, -1, ""}),
    [](const ::testing::TestParamInfo<LpcCase>& info) { return std::string(info.param.name); });

// A payload beyond the bounds is refused like text that is no JSON (no
// write, no ACK); the good message after it is handled as ever. The size
// bound applies to the payload as received, NUL byte and all after it
// included; a NUL byte itself is no refusal here (the NUL rows of the LPC
// table: the text ends there).
TEST_F(MoreValeMessagesTest, PayloadsBeyondTheBoundsAreRefusedAndTheNextIsHandled) {
    auto rows = testsupport::badPayloadsFor(lpc());
    rows.erase(std::remove_if(rows.begin(), rows.end(),
                              [](const auto& row) { return std::string(row.name).rfind("nul", 0) == 0; }),
               rows.end());
    const std::string text = lpc().dump();
    const size_t bytes = inbound::kMaxMessageBytes;
    rows.push_back({"nulThenTooBig", text + std::string(1, '\0') + std::string(bytes - text.size(), 'x'),
                    "payload of " + std::to_string(bytes + 1) + " bytes exceeds the bound of " +
                        std::to_string(bytes) + " bytes"});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        sink.writes.clear();
        sink.publications.clear();
        send(row.payload);
        EXPECT_TRUE(sink.writes.empty());
        EXPECT_TRUE(sink.publications.empty());
        EXPECT_TRUE(syslog.contains(LOG_ERR, "mor-e-vale: Error parsing JSON: " + row.reason)) << row.reason;
        send(lpc().dump());
        EXPECT_EQ(sink.writes, std::vector<RecordingSink::Write>{k4200});
    }
    sink.writes.clear();
    send(testsupport::atTheBounds(lpc()));
    EXPECT_EQ(sink.writes, std::vector<RecordingSink::Write>{k4200});
}

TEST_F(MoreValeMessagesTest, FailedWriteIsAcknowledgedWithOne) {
    sink.writeResult = false;
    send(lpc().dump());
    EXPECT_EQ(sink.writes.size(), 1u);
    EXPECT_EQ(sink.publications,
              (std::vector<RecordingSink::Publication>{{kAckTopic, ackText(1, lpc()["transactionId"])}}));
}

TEST_F(MoreValeMessagesTest, MissingTemplateStillWritesButSendsNoAck) {
    std::filesystem::remove(workDir.path() / "etc/iec/MQTT_morevale/lpc_ack.json");
    send(lpc().dump());
    EXPECT_EQ(sink.writes, std::vector<RecordingSink::Write>{k4200});
    EXPECT_TRUE(sink.publications.empty());

    workDir.writeFile("/etc/iec/MQTT_morevale/lpc_ack.json", "[\"no object\"]");
    send(lpc().dump());
    EXPECT_TRUE(sink.publications.empty());
    EXPECT_EQ(syslog.count("mor-e-vale: No ACK sent: template " + workDir.path().string() +
                           "/etc/iec/MQTT_morevale/lpc_ack.json is missing or no JSON object"),
              2u);

    // A template without "data" gets one.
    workDir.writeFile("/etc/iec/MQTT_morevale/lpc_ack.json", "{}");
    send(lpc().dump());
    ASSERT_EQ(sink.publications.size(), 1u);
    EXPECT_EQ(sink.publications[0].payload, R"({"data":{"errorNumber":0},"relation":"tx-ä-1"})");
}

// --- MGCP requests ---------------------------------------------------------------

struct MgcpCase {
    const char* name;
    json message;
    std::vector<RecordingSink::MgcpRequest> requested;
    const char* logged;
};

void PrintTo(const MgcpCase& c, std::ostream* os) { *os << c.name; }

json mgcpWith(const std::string& key, const json& value) { return with(mgcp(), key, value); }

class MoreValeMgcpRequestTest : public MoreValeMessagesTest, public ::testing::WithParamInterface<MgcpCase> {};

TEST_P(MoreValeMgcpRequestTest, RequestReachesTheSenderOrIsRefused) {
    const MgcpCase& c = GetParam();
    send(c.message.dump(), "dso/d/gcp/g/lpc/0.4.0/req");
    EXPECT_EQ(sink.mgcpRequests, c.requested);
    EXPECT_TRUE(sink.writes.empty());
    EXPECT_TRUE(sink.publications.empty());  // MGCP requests get no ACK
    if (*c.logged) {
        EXPECT_TRUE(syslog.contains(c.logged)) << c.logged;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Requests, MoreValeMgcpRequestTest,
    ::testing::Values(
        MgcpCase{"interval2", mgcp(), {{2, "mgcp-1"}}, "mor-e-vale: MGCP: Required OBIS: 1-0: 16.7.0.255"},
        MgcpCase{"requestFalse", mgcpWith("requestMGCP", false), {{2, "mgcp-1"}}, "mor-e-vale: MGCP: RequestMGCP: 0"},
        MgcpCase{"fraction", mgcpWith("interval", 1.9), {{1, "mgcp-1"}}, "mor-e-vale: MGCP: Interval: 1"},
        MgcpCase{"booleanInterval", mgcpWith("interval", true), {{1, "mgcp-1"}}, ""},
        MgcpCase{"zero", mgcpWith("interval", 0), {},
                 "mor-e-vale: MGCP: Interval 0 refused: it must lie in 1..86400 s"},
        MgcpCase{"negative", mgcpWith("interval", -3), {},
                 "mor-e-vale: MGCP: Interval -3 refused: it must lie in 1..86400 s"},
        MgcpCase{"belowOne", mgcpWith("interval", 0.5), {}, ""},
        MgcpCase{"huge", mgcpWith("interval", 1e12), {}, ""},
        MgcpCase{"oneDay", mgcpWith("interval", 86400), {{86400, "mgcp-1"}}, ""},
        MgcpCase{"intMax", mgcpWith("interval", 2147483647), {},
                 "mor-e-vale: MGCP: Interval 2147483647 refused: it must lie in 1..86400 s"},
        MgcpCase{"noInterval", mgcpWith("interval", json::value_t::discarded), {},
                 "mor-e-vale: Missing or null field: interval"},
        MgcpCase{"nullOptional", mgcpWith("optionalOBIS", nullptr), {}, "mor-e-vale: Missing or null field: optionalOBIS"},
        MgcpCase{"obisNumbers", mgcpWith("requiredOBIS", {1, 2}), {},
                 "mor-e-vale: General error: [json.exception.type_error.302] type must be string, but is number"},
        MgcpCase{"requestText", mgcpWith("requestMGCP", "yes"), {},
                 "mor-e-vale: General error: [json.exception.type_error.302] type must be boolean, but is string"}),
    [](const ::testing::TestParamInfo<MgcpCase>& info) { return std::string(info.param.name); });

// --- Date-time texts ----------------------------------------------------------------

class ZoneGuard {
public:
    explicit ZoneGuard(const char* zone) {
        const char* old = std::getenv("TZ");
        if (old != nullptr) previous_ = old;
        ::setenv("TZ", zone, 1);
        ::tzset();
    }
    ~ZoneGuard() {
        if (previous_) {
            ::setenv("TZ", previous_->c_str(), 1);
        } else {
            ::unsetenv("TZ");
        }
        ::tzset();
    }

private:
    std::optional<std::string> previous_;
};

struct TimeCase {
    const char* zone;  // POSIX TZ string
    const char* text;
    std::optional<int64_t> ms;  // milliseconds since the epoch, nothing when refused
};

void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.zone << " " << c.text; }

class DateTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(DateTimeTest, TextGivesTheInstant) {
    const TimeCase& c = GetParam();
    ZoneGuard zone(c.zone);
    const std::optional<int64_t> ns = parseDateTime(c.text);
    ASSERT_EQ(ns.has_value(), c.ms.has_value());
    if (ns) {
        EXPECT_EQ(*ns % 1000000, 0);
        EXPECT_EQ(*ns / 1000000, *c.ms);
    }
}

constexpr const char* kUtc = "UTC0";
constexpr const char* kBerlin = "CET-1CEST,M3.5.0,M10.5.0/3";
constexpr int64_t kJan15 = 1768471200000LL;  // 2026-01-15T10:00:00Z
constexpr int64_t kJul1 = 1782900000000LL;   // 2026-07-01T10:00:00Z

INSTANTIATE_TEST_SUITE_P(
    Texts, DateTimeTest,
    ::testing::Values(
        TimeCase{kUtc, "2026-01-15T10:00:00", kJan15}, TimeCase{kUtc, "2026-01-15T10:00:00Z", kJan15},
        TimeCase{kBerlin, "2026-01-15T10:00:00Z", kJan15},
        TimeCase{kBerlin, "2026-01-15T11:00:00", kJan15},       // local winter time, UTC+1
        TimeCase{kBerlin, "2026-07-01T12:00:00", kJul1},        // local summer time, UTC+2
        TimeCase{kBerlin, "2026-07-01T12:00:00+02:00", kJul1}, TimeCase{kUtc, "2026-07-01T05:30:00-0430", kJul1},
        TimeCase{kUtc, "2026-07-01T12:00:00+02", kJul1},
        TimeCase{kUtc, "2026-01-15T10:00:00.5Z", kJan15 + 500}, TimeCase{kUtc, "2026-01-15T10:00:00.05Z", kJan15 + 50},
        TimeCase{kUtc, "2026-01-15T10:00:00.123456Z", kJan15 + 123},
        TimeCase{kBerlin, "2026-01-15T11:00:00.250", kJan15 + 250},
        TimeCase{kUtc, "2026-01-15T10:00:00.Z", std::nullopt}, TimeCase{kUtc, "2026-01-15 10:00:00", std::nullopt},
        TimeCase{kUtc, "2026-01-15T10:00", std::nullopt}, TimeCase{kUtc, "2026-02-30T10:00:00Z", std::nullopt},
        TimeCase{kUtc, "2026-13-01T10:00:00Z", std::nullopt}, TimeCase{kUtc, "2026-01-15T24:00:00Z", std::nullopt},
        TimeCase{kUtc, "2026-01-15T10:00:00ZZ", std::nullopt}, TimeCase{kUtc, "2026-01-15T10:00:00+2", std::nullopt},
        TimeCase{kUtc, "2026-01-15T10:00:00+02:60", std::nullopt}, TimeCase{kUtc, "1969-12-31T23:59:59Z", std::nullopt},
        TimeCase{kUtc, "9999-01-01T00:00:00Z", std::nullopt}, TimeCase{kUtc, "", std::nullopt},
        TimeCase{kUtc, "+026-01-15T10:00:00Z", std::nullopt}));

TEST(UtcTimeStamp, MillisecondsAlwaysHaveThreeDigits) {
    EXPECT_EQ(formatUtcIso(1767268800045ULL), "2026-01-01T12:00:00.045Z");
    EXPECT_EQ(formatUtcIso(1767268800000ULL), "2026-01-01T12:00:00.000Z");
    EXPECT_EQ(formatUtcIso(1767268799999ULL), "2026-01-01T11:59:59.999Z");
}

}  // namespace
