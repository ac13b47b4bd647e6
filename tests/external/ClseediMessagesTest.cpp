// The CLSEEDI gateway's message handling through a real broker: control
// messages into a recording core, read requests against the model, and
// day-ahead prices to the system bus and the price file.
#include <gtest/gtest.h>
#include <syslog.h>
#include <sdbus-c++/sdbus-c++.h>

#include <condition_variable>
#include <filesystem>
#include <mutex>

#include "tests/external/ClseediFixture.h"
#include "tests/support/BadFiles.h"
#include "tests/support/BadPayloads.h"
#include "tests/support/PrivateBus.h"

namespace clseeditest {
namespace {

using namespace std::chrono_literals;
using Kind = RecordedWrite::Kind;
using testsupport::BadFile;

json envelope(const std::string& type, json id, json data) {
    return {{"type", type}, {"source", "platform"}, {"id", std::move(id)}, {"specversion", "1.0"}, {"data", std::move(data)}};
}

json control(const char* path, json fields, const std::string& protocol = "0.4.0", json id = "c-1") {
    json data = {{"protocol", protocol}};
    if (std::string(path) == "failsafes") {
        data["failsafes"]["power"]["active"] = std::move(fields);
    } else {
        data["limits"]["power"]["active"][path] = std::move(fields);
    }
    return envelope("de.ostrel-linkage.clseedi.control", std::move(id), std::move(data));
}

struct Written {
    Kind kind;
    int duration;
    bool active;
    float limit;
};

class ClseediControlTest : public ClseediMessageTest {};

TEST_F(ClseediControlTest, ControlMessagesTable) {
    const std::string ack = expectedAck(0, "c-1", host);
    const std::string nack = expectedAck(1, "c-1", host);
    json deep = json::array();
    std::string nested(200, '[');
    nested += std::string(200, ']');
    struct Case {
        const char* name;
        std::string payload;
        std::vector<std::string> replies;
        std::vector<Written> writes;
    };
    const Case cases[] = {
        {"consumption without duration", control("consumption", {{"value", 4200}, {"active", true}}).dump(), {ack},
         {{Kind::Lpc, 999999, true, 4200.0f}}},
        {"consumption with null duration", control("consumption", {{"value", 4200}, {"active", true}, {"duration", nullptr}}).dump(),
         {ack}, {{Kind::Lpc, 999999, true, 4200.0f}}},
        {"consumption off", control("consumption", {{"value", 0}, {"active", false}, {"duration", 3600}}).dump(), {ack},
         {{Kind::Lpc, 3600, false, 0.0f}}},
        {"consumption fraction cut", control("consumption", {{"value", 4200.9}, {"active", true}, {"duration", 60.7}}).dump(),
         {ack}, {{Kind::Lpc, 60, true, 4200.0f}}},
        {"consumption duration 0", control("consumption", {{"value", 4200}, {"active", true}, {"duration", 0}}).dump(), {nack}, {}},
        {"consumption value above int64", control("consumption", {{"value", 1e30}, {"active", true}}).dump(), {nack}, {}},
        {"consumption value 2^63", control("consumption", {{"value", 9223372036854775808ULL}, {"active", true}}).dump(), {nack}, {}},
        {"consumption negative value", control("consumption", {{"value", -5}, {"active", true}}).dump(), {nack}, {}},
        {"consumption duration above int", control("consumption", {{"value", 1}, {"active", true}, {"duration", 3000000000LL}}).dump(),
         {nack}, {}},
        {"consumption value as text", control("consumption", {{"value", "4200"}, {"active", true}}).dump(), {}, {}},
        {"consumption active as number", control("consumption", {{"value", 4200}, {"active", 1}}).dump(), {}, {}},
        {"consumption without active", control("consumption", {{"value", 4200}}).dump(), {nack}, {}},
        {"consumption other protocol", control("consumption", {{"value", 4200}, {"active", true}}, "0.3.0").dump(), {nack}, {}},
        {"consumption field missing, empty id", control("consumption", {{"active", true}}, "0.4.0", "").dump(), {}, {}},
        {"production duration 0", control("production", {{"value", 5000}, {"active", true}, {"duration", 0}}).dump(), {ack},
         {{Kind::Lpp, 0, true, 5000.0f}}},
        {"production without duration", control("production", {{"value", 5000}, {"active", true}}).dump(), {nack}, {}},
        {"production other protocol", control("production", {{"value", 5000}, {"active", true}, {"duration", 5}}, "1").dump(),
         {nack}, {}},
        {"production value above int", control("production", {{"value", 3000000000LL}, {"active", true}, {"duration", 5}}).dump(),
         {nack}, {}},
        {"failsafes", control("failsafes", {{"production", 1000}, {"consumption", 2000}}).dump(), {ack}, {}},
        {"failsafes other protocol", control("failsafes", {{"production", 1000}, {"consumption", 2000}}, "0.5").dump(), {nack}, {}},
        {"failsafes only production", control("failsafes", {{"production", 1000}}).dump(), {}, {}},
        {"failsafes only consumption", control("failsafes", {{"consumption", 2000}}).dump(), {nack}, {}},
        {"no control path", envelope("de.ostrel-linkage.clseedi.control", "c-1", {{"protocol", "0.4.0"}}).dump(), {}, {}},
        {"active not an object",
         envelope("de.ostrel-linkage.clseedi.control", "c-1", {{"limits", {{"power", {{"active", "x"}}}}}}).dump(), {}, {}},
        {"unknown type", envelope("de.other", "c-1", json::object()).dump(), {nack}, {}},
        {"no specversion", [] { json m = control("consumption", {{"value", 1}, {"active", true}}); m.erase("specversion"); return m.dump(); }(),
         {}, {}},
        {"null id", control("consumption", {{"value", 1}, {"active", true}}, "0.4.0", nullptr).dump(), {}, {}},
        {"id not text", control("consumption", {{"value", 1}, {"active", true}}, "0.4.0", 7).dump(), {}, {}},
        {"not an object", "[1, 2]", {}, {}},
        {"not JSON", "{\"type\": ", {}, {}},
        {"comment", "{/* x */}", {}, {}},
        {"empty payload", "", {}, {}},
        {"deep nesting", nested, {}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        core.clear();
        std::vector<std::string> replies;
        for (const auto& reply : exchange(c.payload)) replies.push_back(maskedId(reply));
        EXPECT_EQ(replies, c.replies);
        const auto writes = core.writes();
        ASSERT_EQ(writes.size(), c.writes.size());
        for (size_t i = 0; i < writes.size(); ++i) {
            EXPECT_EQ(writes[i].kind, c.writes[i].kind);
            EXPECT_EQ(writes[i].durationSeconds, c.writes[i].duration);
            EXPECT_EQ(writes[i].active, c.writes[i].active);
            EXPECT_EQ(writes[i].limitW, c.writes[i].limit);
        }
    }
}

// Payloads beyond the bounds are refused before parsing, like text that is
// no JSON (no reply, no write); the good message after each is applied. The
// payload is the library's whole payload: a NUL byte does not end it.
TEST_F(ClseediControlTest, PayloadsBeyondTheBoundsAreRefusedAndTheNextIsApplied) {
    const json good = control("consumption", {{"value", 4200}, {"active", true}, {"duration", 60}});
    const std::vector<std::string> ack = {expectedAck(0, "c-1", host)};
    auto applied = [&](const std::string& payload) {
        core.clear();
        std::vector<std::string> replies;
        for (const auto& reply : exchange(payload)) replies.push_back(maskedId(reply));
        return replies == ack && core.writes().size() == 1;
    };
    for (const auto& row : testsupport::badPayloadsFor(good)) {
        SCOPED_TRACE(row.name);
        syslog.clear();
        core.clear();
        EXPECT_TRUE(exchange(row.payload).empty());
        EXPECT_TRUE(core.writes().empty());
        EXPECT_TRUE(syslog.contains(LOG_ERR, "CLSEEDI: Error parsing JSON payload: " + row.reason)) << row.reason;
        EXPECT_TRUE(applied(good.dump()));
    }
    EXPECT_TRUE(applied(testsupport::atTheBounds(good)));
}

TEST_F(ClseediControlTest, RefusedWriteIsNackedAndLogsTellWhy) {
    core.writeResult = false;
    auto replies = exchange(control("consumption", {{"value", 10}, {"active", true}, {"duration", -5}}).dump());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(maskedId(replies[0]), expectedAck(1, "c-1", host));
    EXPECT_TRUE(syslog.contains("CLSEEDI: writeLimitsToIec61850 FAILED for consumption (value=10, duration=-5)"));

    syslog.clear();
    exchange(control("production", {{"value", 5}, {"active", true}}).dump());
    const auto records = syslog.records();
    std::vector<std::string> errors;
    for (const auto& r : records) {
        if (r.priority == 3) errors.push_back(r.text);
    }
    ASSERT_GE(errors.size(), 3u);
    // The consumption test comes first, then the production path's own lines.
    EXPECT_EQ(errors[0], "CLSEEDI: Missing JSON field 'data.limits.power.active.consumption' (field does not exist)");
    EXPECT_EQ(errors[1], "CLSEEDI: Missing JSON field 'data.limits.power.active.production.duration' (field does not exist)");
    EXPECT_EQ(errors[2], "CLSEEDI: Dropping production control message due to missing/invalid fields");

    syslog.clear();
    exchange("");
    bool parseLine = false;
    for (const auto& r : syslog.records()) parseLine = parseLine || r.text.rfind("CLSEEDI: Error parsing JSON payload: ", 0) == 0;
    EXPECT_TRUE(parseLine);

    syslog.clear();
    const std::string big = control("consumption", {{"value", 1}, {"active", true}, {"pad", std::string(3000, 'x')}}).dump();
    // Handled whole; the log shows its start (a log line holds at most 1023 characters).
    replies = exchange(big);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(maskedId(replies[0]), expectedAck(1, "c-1", host));  // the core still refuses
    bool shown = false;
    for (const auto& r : syslog.records()) {
        shown = shown || (r.priority == 7 && r.text.size() == 1023 &&
                          r.text == ("CLSEEDI: Incoming payload: " + big).substr(0, 1023));
    }
    EXPECT_TRUE(shown);
}

// --- Read requests -------------------------------------------------------------

std::string stateText(const std::string& type, const std::string& relation, int value, bool active, int64_t duration) {
    return "{\"data\":{\"limits\":{\"power\":{\"active\":{\"consumption\":{\"active\":" + std::string(active ? "true" : "false") +
           ",\"duration\":" + std::to_string(duration) + ",\"value\":" + std::to_string(value) +
           "}}}},\"protocol\":\"0.4.0\"},\"datacontenttype\":\"application/json\",\"id\":\"<uuid>\",\"relation\":\"" +
           relation + "\",\"source\":\"iec-server\",\"specversion\":\"1.0\",\"type\":\"" + type + "\"}";
}

json readRequest(json data) { return envelope("de.ostrel-linkage.clseedi.read", "r-1", std::move(data)); }

class ClseediReadTest : public ClseediMessageTest {};

TEST_F(ClseediReadTest, ReadRequestsTable) {
    const std::string fullOff = stateText("de.ostrel-linkage.clseedi.state", "r-1", 0, false, 0);
    const std::string limitsOn = stateText("de.ostrel-linkage.clseedi.state.limits", "r-1", 4250, true, -1);
    const std::string measurements =
        "{\"data\":{\"measurements\":[{\"power\":{\"total\":{\"unit\":\"W\",\"value\":{\"number\":1234.5,\"scale\":0}}}}],"
        "\"protocol\":\"0.4.0\"},\"datacontenttype\":\"application/json\",\"id\":\"<uuid>\",\"relation\":\"r-1\","
        "\"source\":\"iec-server\",\"specversion\":\"1.0\",\"type\":\"de.ostrel-linkage.clseedi.state.measurements\"}";
    const std::string useCases =
        "{\"data\":{\"protocol\":\"0.4.0\",\"supportedEebusUseCases\":[\"newUseCase1\",\"newUseCase2\"]},"
        "\"datacontenttype\":\"application/json\",\"id\":\"<uuid>\",\"relation\":\"r-1\",\"source\":\"iec-server\","
        "\"specversion\":\"1.0\",\"type\":\"de.ostrel-linkage.clseedi.state.supportedEebusUseCases\"}";
    const std::string nack = expectedAck(1, "r-1", host);
    setTotW(1234.5f);
    struct Case {
        const char* name;
        bool limitActive;  // AnOut1 4.25 with multiplier 3, else -1 with multiplier 0
        json data;
        std::vector<std::string> replies;
    };
    const Case cases[] = {
        {"full state, no limit, any protocol", false, {{"protocol", "9.9"}}, {fullOff}},
        {"full state with limit", true, {{"protocol", "0.4.0"}, {"parameters", nullptr}},
         {stateText("de.ostrel-linkage.clseedi.state", "r-1", 4250, true, -1)}},
        {"limits then measurements", true, {{"protocol", "0.4.0"}, {"parameters", {"limits", "measurements"}}},
         {limitsOn, measurements}},
        {"single string", true, {{"protocol", "0.4.0"}, {"parameters", "limits"}}, {limitsOn}},
        {"repeat", true, {{"protocol", "0.4.0"}, {"parameters", {"limits", "limits"}}}, {limitsOn, limitsOn}},
        {"unknown item skipped", true, {{"protocol", "0.4.0"}, {"parameters", {"bogus", "supportedEebusUseCases"}}},
         {useCases}},
        {"empty list", true, {{"protocol", "0.4.0"}, {"parameters", json::array()}}, {}},
        {"failsafes", true, {{"protocol", "0.4.0"}, {"parameters", {"failsafes"}}}, {nack}},
        {"protocol mismatch", true, {{"protocol", "0.3.0"}, {"parameters", {"limits"}}}, {nack}},
        {"no protocol", true, {{"parameters", {"limits"}}}, {}},
        {"item not text", true, {{"protocol", "0.4.0"}, {"parameters", {1}}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.limitActive) {
            setAnOut1(4.25f, 3);
        } else {
            setAnOut1(-1.0f, 0);
        }
        std::vector<std::string> replies;
        for (const auto& reply : exchange(readRequest(c.data).dump())) replies.push_back(maskedId(reply));
        EXPECT_EQ(replies, c.replies);
    }
}

TEST_F(ClseediReadTest, PowerLimitFromTheModel) {
    struct Case {
        float value;
        int32_t multiplier;
        int watts;
    };
    const Case cases[] = {{-1.0f, 0, -1}, {-1.0f, 3, -1000}, {0.0f, 3, 0}, {4.25f, 3, 4250}, {7.9f, 0, 7},
                          {0.7f, 1, 7}, {3e9f, 0, INT_MAX}, {-3e9f, 0, INT_MIN}};
    for (const auto& c : cases) {
        setAnOut1(c.value, c.multiplier);
        EXPECT_EQ(gateway->getPowerLimitFromIEC(), c.watts) << c.value << "e" << c.multiplier;
    }
    EXPECT_TRUE(syslog.contains("CLSEEDI: mxVal is 0"));
}

TEST_F(ClseediReadTest, BrokenTemplatesGiveNoReplyAndTheNextMessageIsHandled) {
    const auto templates = workDir.path() / "etc/iec/MQTT_JSON";
    std::filesystem::rename(templates / "clseedi.state.json", templates / "state.away");
    EXPECT_TRUE(exchange(readRequest({{"protocol", "0.4.0"}}).dump()).empty());
    EXPECT_TRUE(syslog.contains("CLSEEDI: Unable to open JSONfile."));
    workDir.writeFile("/etc/iec/MQTT_JSON/clseedi.state.measurements.json", "{\"data\":{\"measurements\":5}}");
    EXPECT_TRUE(exchange(readRequest({{"protocol", "0.4.0"}, {"parameters", {"measurements"}}}).dump()).empty());
    workDir.writeFile("/etc/iec/MQTT_JSON/clseedi.state.limits.json", "{\"data\":");
    EXPECT_TRUE(exchange(readRequest({{"protocol", "0.4.0"}, {"parameters", {"limits"}}}).dump()).empty());
    // An empty measurements array gets one element.
    workDir.writeFile("/etc/iec/MQTT_JSON/clseedi.state.measurements.json", "{\"data\":{\"measurements\":[]}}");
    setTotW(2.5f);
    auto replies = exchange(readRequest({{"protocol", "0.4.0"}, {"parameters", {"measurements"}}}).dump());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(maskedId(replies[0]),
              "{\"data\":{\"measurements\":[{\"power\":{\"total\":{\"value\":{\"number\":2.5}}}}]},\"id\":\"<uuid>\","
              "\"relation\":\"r-1\"}");
}

// A template that is no file to read (a FIFO would have stopped the network
// thread in its open for good) or nests too deeply gives no reply, one log
// line naming it, and the gateway handles the next message.
TEST_F(ClseediReadTest, TemplatesThatAreNoFilesGiveNoReplyWithoutStoppingTheGateway) {
    const auto state = workDir.path() / "etc/iec/MQTT_JSON/clseedi.state.json";
    const std::string good = workDir.readFile("/etc/iec/MQTT_JSON/clseedi.state.json");
    for (const auto& c : testsupport::badFileCases()) {
        SCOPED_TRACE(c.name);
        testsupport::makeBadFile(c.kind, state, "{}");
        syslog.clear();
        EXPECT_TRUE(exchange(readRequest({{"protocol", "0.4.0"}}).dump()).empty());
        EXPECT_TRUE(syslog.contains(LOG_ERR, "CLSEEDI: Unable to open JSONfile.: " + state.string() + " " + c.reason));
    }
    std::filesystem::remove_all(state);
    workDir.writeFile("/etc/iec/MQTT_JSON/clseedi.state.json",
                      "{\"data\":" + std::string(100000, '[') + std::string(100000, ']') + "}");
    EXPECT_TRUE(exchange(readRequest({{"protocol", "0.4.0"}}).dump()).empty());
    workDir.writeFile("/etc/iec/MQTT_JSON/clseedi.state.json", good);
    EXPECT_EQ(exchange(readRequest({{"protocol", "0.4.0"}}).dump()).size(), 1u);

    // The ACK template as a FIFO: the control message goes unanswered, the next one is answered.
    const auto ack = workDir.path() / "etc/iec/MQTT_JSON/clseedi.ack.json";
    const std::string ackText = workDir.readFile("/etc/iec/MQTT_JSON/clseedi.ack.json");
    testsupport::makeBadFile(BadFile::kFifo, ack);
    ASSERT_TRUE(client->publish(inTopic(), envelope("probe", "unanswered", json::object()).dump(), 1));
    EXPECT_TRUE(testsupport::eventually([&] {
        return syslog.contains(LOG_ERR, "CLSEEDI: Unable to open ACK template file: " + ack.string() +
                                            " is not a regular file");
    }));
    std::filesystem::remove(ack);
    workDir.writeFile("/etc/iec/MQTT_JSON/clseedi.ack.json", ackText);
    EXPECT_EQ(exchange(readRequest({{"protocol", "0.4.0"}}).dump()).size(), 1u);
}

// --- Day-ahead prices ------------------------------------------------------------

// Collects the "PriceUpdated" signals on the (private) system bus.
class PriceSignals {
public:
    PriceSignals() {
        connection_ = sdbus::createSystemBusConnection();
        slot_ = connection_->addMatch(
            "type='signal',interface='de.gridSupport.dynPrice',member='PriceUpdated',path='/de/gridSupport/dynPrice'",
            [this](sdbus::Message& message) {
                std::string text;
                message >> text;
                std::lock_guard<std::mutex> lock(mutex_);
                texts_.push_back(text);
                changed_.notify_all();
            });
        connection_->enterEventLoopAsync();
    }
    ~PriceSignals() { connection_->leaveEventLoop(); }

    std::optional<std::string> next(std::chrono::milliseconds bound = 5s) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, bound, [this] { return taken_ < texts_.size(); })) return std::nullopt;
        return texts_[taken_++];
    }
    size_t count() {
        std::lock_guard<std::mutex> lock(mutex_);
        return texts_.size();
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    sdbus::Slot slot_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> texts_;
    size_t taken_ = 0;
};

json priceMessage(json daPrices, json errorNumber = 0, const std::string& id = "p-1") {
    return envelope("de.dynamicprice", id, {{"protocol", "2.0"}, {"errorNumber", std::move(errorNumber)}, {"daPrices", std::move(daPrices)}});
}

class ClseediPriceTest : public ClseediMessageTest {
protected:
    testsupport::PrivateSystemBus bus;
    std::string priceFile() const { return workDir.readFile(ExternalInterfaceCLSEEDI::kPriceFile); }
};

TEST_F(ClseediPriceTest, PriceMessagesTable) {
    ASSERT_TRUE(bus.running());
    PriceSignals signals;
    const std::string ack = expectedAck(0, "p-1", host);
    const json first = json::array({{{"time", 1700000000}, {"value", 0.25}, {"Zone", "A"}, {"currency", "EUR"}},
                                    {{"value", -0.01}, {"time", "2024-01-01T01:00Z"}}});
    const std::string firstDoc =
        "{\"error\":null,\"response\":{\"daPrices\":[{\"Zone\":\"A\",\"currency\":\"EUR\",\"time\":1700000000,"
        "\"value\":0.25},{\"time\":\"2024-01-01T01:00Z\",\"value\":-0.01}],\"header\":{\"version\":\"1.4.2\"}}}";
    const std::string emptyDoc = "{\"error\":null,\"response\":{\"daPrices\":[],\"header\":{\"version\":\"1.4.2\"}}}";
    struct Case {
        const char* name;
        std::string payload;
        std::optional<std::string> document;  // what the signal and the file carry; nullopt: rejected, no reply
    };
    const Case cases[] = {
        {"extra keys kept and sorted", priceMessage(first).dump(), firstDoc},
        {"empty list", priceMessage(json::array()).dump(), emptyDoc},
        {"errorNumber 0.0", priceMessage(json::array(), 0.0).dump(), emptyDoc},
        {"errorNumber as text", priceMessage(json::array(), "0").dump(), std::nullopt},
        {"errorNumber 1", priceMessage(json::array(), 1).dump(), std::nullopt},
        {"errorNumber false", priceMessage(json::array(), false).dump(), std::nullopt},
        {"no protocol", envelope("de.dynamicprice", "p-1", {{"errorNumber", 0}, {"daPrices", json::array()}}).dump(), std::nullopt},
        {"daPrices not an array", priceMessage(json::object()).dump(), std::nullopt},
        {"element without value", priceMessage(json::array({{{"time", 1}, {"value", 1}}, {{"time", 2}}})).dump(), std::nullopt},
        {"element not an object", priceMessage(json::array({5})).dump(), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::filesystem::remove(workDir.path() / "etc/iec/priceData.json");
        const size_t signalsBefore = signals.count();
        std::vector<std::string> replies;
        for (const auto& reply : exchange(c.payload)) replies.push_back(maskedId(reply));
        if (c.document) {
            EXPECT_EQ(replies, std::vector<std::string>{ack});
            EXPECT_EQ(signals.next(), *c.document);
            EXPECT_EQ(priceFile(), *c.document);
        } else {
            EXPECT_TRUE(replies.empty());
            EXPECT_EQ(signals.count(), signalsBefore);
            EXPECT_FALSE(std::filesystem::exists(workDir.path() / "etc/iec/priceData.json"));
        }
    }
    EXPECT_TRUE(syslog.contains("CLSEEDI: Missing JSON field 'data.daPrices[1].value' (field does not exist)"));
    // A rejected message keeps the list accepted before.
    EXPECT_EQ(gateway->getDaPricesJson(), "[]");
}

TEST_F(ClseediPriceTest, LongThenShortListLeavesExactlyTheShortDocument) {
    json longList = json::array();
    for (int i = 0; i < 96; ++i) longList.push_back({{"time", 1700000000 + i * 900}, {"value", 0.1 * i}});
    exchange(priceMessage(longList).dump());
    EXPECT_GT(priceFile().size(), 2000u);
    exchange(priceMessage(json::array({{{"time", 1}, {"value", 2}}})).dump());
    EXPECT_EQ(priceFile(), "{\"error\":null,\"response\":{\"daPrices\":[{\"time\":1,\"value\":2}],\"header\":{\"version\":\"1.4.2\"}}}");
    EXPECT_FALSE(std::filesystem::exists(workDir.path() / "etc/iec/priceData.json.tmp"));
}

TEST_F(ClseediPriceTest, AckIsANackOnlyWhenNeitherSignalNorFileCarriedThePrices) {
    // No bus: the file alone is enough.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", ("unix:path=" + (workDir.path() / "nobus").string()).c_str(), 1);
    auto replies = exchange(priceMessage(json::array()).dump());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(maskedId(replies[0]), expectedAck(0, "p-1", host));
    bool busLine = false;
    for (const auto& r : syslog.records()) {
        busLine = busLine || r.text.rfind("CLSEEDI: Failed to send JSON string via D-Bus: ", 0) == 0;
    }
    EXPECT_TRUE(busLine);
    EXPECT_FALSE(priceFile().empty());

    // Neither bus nor file (its folder is gone).
    std::filesystem::remove_all(workDir.path() / "etc/iec/priceData.json");
    std::filesystem::rename(workDir.path() / "etc/iec", workDir.path() / "etc/iec-away");
    std::filesystem::create_directories(workDir.path() / "etc/iec");
    std::filesystem::rename(workDir.path() / "etc/iec-away/MQTT_JSON", workDir.path() / "etc/iec/MQTT_JSON");
    std::filesystem::permissions(workDir.path() / "etc/iec", std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
    const bool writable = ::access((workDir.path() / "etc/iec").c_str(), W_OK) == 0;  // root ignores modes
    if (writable) std::filesystem::create_directory(workDir.path() / "etc/iec/priceData.json");  // a folder is no file
    replies = exchange(priceMessage(json::array()).dump());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(maskedId(replies[0]), expectedAck(1, "p-1", host));
    std::filesystem::permissions(workDir.path() / "etc/iec", std::filesystem::perms::owner_all);

    // The bus back, the file still failing: an ACK.
    setenv("DBUS_SYSTEM_BUS_ADDRESS", bus.address().c_str(), 1);
    replies = exchange(priceMessage(json::array()).dump());
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_EQ(maskedId(replies[0]), expectedAck(0, "p-1", host));
}

}  // namespace
}  // namespace clseeditest
