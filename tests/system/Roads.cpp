#include "tests/system/Roads.h"

#include <cstdio>

#include <nlohmann/json.hpp>

#include "external/MoreValeMessages.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/MqttTestClient.h"
#include "tests/system/Observers.h"

namespace systest {

using json = nlohmann::json;
using namespace std::chrono_literals;

namespace {

std::string numbered(const char* prefix, int width, size_t n) {
    char buffer[32];
    std::snprintf(buffer, sizeof(buffer), "%s%0*zu", prefix, width, n);
    return buffer;
}

}  // namespace

MmsRoad::MmsRoad(std::string name, int port) : name_(std::move(name)) { connected_ = client_.associate(port); }

bool MmsRoad::send(int cls, const std::string& node, const ScheduleContent& content, SharedModel& model) {
    const std::string device = "CLS" + std::to_string(cls);
    const std::string sp = node + "$SP$";
    auto writeInt = [&](const std::string& item, int32_t v) {
        MmsValuePtr value(MmsValue_newIntegerFromInt32(v));
        if (mmsreq::write(client_, device, item, value.get())) return true;
        failure_ = "write " + device + "/" + item;
        return false;
    };
    bool ok = writeInt(sp + "SchdPrio$setVal", content.priority) &&
              writeInt(sp + "NumEntr$setVal", static_cast<int32_t>(content.values.size())) &&
              writeInt(sp + "SchdIntv$setVal", content.intervalSeconds) &&
              writeInt(node + "$CF$ValASG001$units$multiplier", content.multiplier);
    for (size_t i = 0; ok && i < content.values.size(); ++i) {
        MmsValuePtr value(MmsValue_newFloat(content.values[i]));
        ok = mmsreq::write(client_, device, sp + numbered("ValASG", 3, i + 1) + "$setMag$f", value.get());
        if (!ok) failure_ = "write " + device + "/" + node + " value " + std::to_string(i + 1);
    }
    for (size_t i = 0; ok && i < content.startSeconds.size(); ++i) {
        MmsValuePtr start(MmsValue_newUtcTimeByMsTime(static_cast<uint64_t>(content.startSeconds[i]) * 1000));
        ok = mmsreq::write(client_, device, sp + numbered("StrTm", 2, i + 1) + "$setTm", start.get());
        if (!ok) failure_ = "write " + device + "/" + node + " start " + std::to_string(i + 1);
    }
    if (!ok) return false;
    // The road runs after the operate's answer, in the order the operates arrive.
    if (!mmsreq::operate(client_, device, node, content.enabled ? "EnaReq" : "DsaReq", true)) {
        failure_ = "operate " + device + "/" + node;
        return false;
    }
    model.record(name_, cls, node, content);
    return true;
}

ClseediRoad::ClseediRoad(std::string name, SystemUnderTest& system)
    : name_(std::move(name)),
      system_(system),
      client_(std::make_unique<testsupport::MqttTestClient>("127.0.0.1", system.broker().port())) {
    if (!client_->connect() || !client_->subscribe(system_.clseediOutTopic(), 1)) client_.reset();
}

ClseediRoad::~ClseediRoad() = default;

bool ClseediRoad::connected() const { return client_ != nullptr; }

bool ClseediRoad::send(int cls, int64_t watts, bool active, int durationSeconds, SharedModel& model) {
    failure_ = "no connection";
    if (!client_) return false;
    const std::string id = name_ + "-" + std::to_string(++sent_);
    const char* kind = cls == 1 ? "consumption" : "production";
    const json control = {
        {"type", "de.ostrel-linkage.clseedi.control"},
        {"source", name_},
        {"id", id},
        {"specversion", "1.0"},
        {"data",
         {{"protocol", "0.4.0"},
          {"limits",
           {{"power",
             {{"active", {{kind, {{"value", watts}, {"active", active}, {"duration", durationSeconds}}}}}}}}}}}};
    const int64_t sentAt = wallSeconds();
    failure_ = "publish " + id;
    if (!client_->publish(system_.clseediInTopic(), control.dump(), 1)) return false;
    failure_ = "no ACK for " + id;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto message = client_->waitForMessage(system_.clseediOutTopic(), 500ms);
        if (!message) continue;
        const json ack = json::parse(message->payload, nullptr, false);
        if (!ack.is_object() || ack.value("relation", "") != id) continue;
        ++acks_;
        // A consumption limit without duration is refused; everything else reaches the core.
        const bool refused = cls == 1 && durationSeconds == 0;
        if (ack["data"]["errorNumber"] != (refused ? 1 : 0)) {
            failure_ = "ACK " + message->payload;
            return false;
        }
        if (refused) return true;
        ScheduleContent content;
        content.enabled = active;
        content.values = {static_cast<float>(watts)};
        content.intervalSeconds = durationSeconds;
        content.startSeconds = {sentAt};
        const std::string node = durationSeconds > 0 ? "EmpWCmd_FSCH030001" : "EmpDCmd_FSCH050001";
        content.priority = LimitModel::defaultPriority(node);
        model.record(name_, cls, node, content);
        return true;
    }
    return false;
}

MoreValeRoad::MoreValeRoad(std::string name, SystemUnderTest& system) : name_(std::move(name)) {
    const auto certificate = system.moreValePlatformCertificate(name_);
    client_ = std::make_unique<testsupport::MqttTestClient>(
        "127.0.0.1", system.moreValeBroker().tlsPort(),
        testsupport::MqttTestClientOptions::withTls(system.moreValeCaFile(), certificate.certFile,
                                                    certificate.keyFile));
    if (!client_->connect() || !client_->subscribe(SystemUnderTest::moreValeTopicPrefix() + "ack", 1)) client_.reset();
}

MoreValeRoad::~MoreValeRoad() = default;

bool MoreValeRoad::send(double kW, uint64_t startMs, int durationSeconds, SharedModel& model) {
    failure_ = "no connection";
    if (!client_) return false;
    const std::string id = name_ + "-" + std::to_string(++sent_);
    const json lpc = {{"creationDateTime", formatUtcIso(wallMs())},
                      {"transactionId", id},
                      {"initialTransactionId", name_},
                      {"gridConnectionPoint", "gcp7"},
                      {"maximumPowerValue", kW},
                      {"unit", "kW"},
                      {"executionTimeFrom", formatUtcIso(startMs)},
                      {"executionTimeUntil", formatUtcIso(startMs + static_cast<uint64_t>(durationSeconds) * 1000)}};
    const std::string ackTopic = SystemUnderTest::moreValeTopicPrefix() + "ack";
    failure_ = "publish " + id;
    if (!client_->publish(SystemUnderTest::moreValeTopicPrefix() + "set", lpc.dump(), 1)) return false;
    failure_ = "no ACK for " + id;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto message = client_->waitForMessage(ackTopic, 500ms);
        if (!message) continue;
        const json ack = json::parse(message->payload, nullptr, false);
        if (!ack.is_object() || ack.value("relation", "") != id) continue;
        if (ack["data"]["errorNumber"] != 0) {
            failure_ = "ACK " + message->payload;
            return false;
        }
        ScheduleContent content;
        content.enabled = true;
        content.priority = LimitModel::defaultPriority("EmpWCmd_FSCH030001");
        content.values = {static_cast<float>(kW * 1000.0)};
        content.intervalSeconds = durationSeconds;
        content.startSeconds = {static_cast<int64_t>(startMs / 1000)};
        model.record(name_, 1, "EmpWCmd_FSCH030001", content);
        return true;
    }
    return false;
}

void recordSource(const SourceState& state, bool switched, SharedModel& model) {
    const int64_t now = wallSeconds();
    auto direct = [&](bool enabled, float value) {
        ScheduleContent content;
        content.enabled = enabled;
        content.priority = 50;
        content.values = {value};
        content.startSeconds = {now};
        return content;
    };
    const char* node = "EmpDCmd_FSCH050001";
    if (switched) {
        model.record("source", 1, node, direct(false, 0));
        model.record("source", 2, node, direct(false, 0));
    }
    if (state.source == "eebus") {
        auto limit = [&](const std::string& limitation, int max) {
            if (limitation == "limited") return direct(true, static_cast<float>(max));
            if (limitation == "failsafe") return direct(true, 4200);
            return direct(false, 0);
        };
        model.record("source", 1, node, limit(state.consumption, state.maxConsumption));
        model.record("source", 2, node, limit(state.production, state.maxProduction));
    } else if (state.source == "relais") {
        model.record("source", 1, node, direct(state.relayLpc, 10500));
        model.record("source", 2, node, direct(state.relayLpp30, 2400));
    }
}

ScheduleContent randomSchedule(std::mt19937& random, const std::string& node, int64_t nowSeconds) {
    auto pick = [&](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    ScheduleContent content;
    content.enabled = pick(0, 4) != 0;
    content.priority = LimitModel::defaultPriority(node);
    const bool kilo = pick(0, 5) == 0;
    content.multiplier = kilo ? 3 : 0;
    if (LimitModel::isDirect(node)) {
        content.values = {static_cast<float>(kilo ? pick(1, 20) : pick(1, 200) * 100)};
        content.startSeconds = {nowSeconds};
        return content;
    }
    // Only the EmpSPrg nodes hold more than one value.
    const int entries = node.rfind("EmpSPrg", 0) == 0 ? pick(1, 3) : 1;
    for (int i = 0; i < entries; ++i) content.values.push_back(static_cast<float>(kilo ? pick(1, 20) : pick(1, 200) * 100));
    content.intervalSeconds = pick(60, 600);
    // Running for a while yet, or starting within a few seconds.
    content.startSeconds = {pick(0, 3) == 0 ? nowSeconds + pick(2, 5) : nowSeconds - pick(1, 50)};
    return content;
}

}  // namespace systest
