#include "tests/system/Observers.h"

#include <cmath>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "tests/internal/BusClient.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/MqttTestClient.h"

namespace systest {

using json = nlohmann::json;
using namespace std::chrono_literals;

int64_t wallSeconds() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

uint64_t wallMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

namespace {

// What each observer shows for a limit.
int64_t busForm(const Limit& limit) {
    if (limit.value < 0) return -1;
    return std::llround(static_cast<double>(limit.value) * std::pow(10.0, limit.multiplier));
}

int64_t emsForm(const Limit& limit) { return static_cast<int64_t>(std::trunc(limit.value)); }

std::pair<int64_t, bool> gatewayForm(const Limit& limit) {
    const float watts = std::pow(10.0f, static_cast<float>(limit.multiplier)) * limit.value;
    const auto w = static_cast<int64_t>(watts);
    return w > 0 ? std::make_pair(w, true) : std::make_pair(int64_t{0}, false);
}

std::optional<int64_t> lastSignal(const std::vector<std::string>& signals, const std::string& name) {
    for (auto it = signals.rbegin(); it != signals.rend(); ++it) {
        if (it->rfind(name + " ", 0) == 0) return std::stoll(it->substr(name.size() + 1));
    }
    return std::nullopt;
}

}  // namespace

Observers::Observers(SystemUnderTest& system) : system_(system) {}

Observers::~Observers() = default;

bool Observers::watchBus() {
    try {
        bus_ = std::make_unique<bustest::BusClient>();
    } catch (const std::exception&) {
        bus_.reset();
    }
    return bus_ != nullptr;
}

void Observers::dropBus() { bus_.reset(); }

bool Observers::watchGateway() {
    gateway_ = std::make_unique<testsupport::MqttTestClient>("127.0.0.1", system_.broker().port());
    if (gateway_->connect() && gateway_->subscribe(system_.clseediOutTopic(), 1)) return true;
    gateway_.reset();
    return false;
}

bool Observers::connectMms() {
    mms_ = std::make_unique<mmstest::MmsTestClient>();
    if (mms_->associate(system_.mmsPort())) return true;
    mms_.reset();
    return false;
}

std::optional<std::pair<int64_t, bool>> Observers::readGatewayLimit() {
    if (!gateway_) return std::nullopt;
    const std::string id = "checker-read-" + std::to_string(++readCount_);
    const json read = {{"type", "de.ostrel-linkage.clseedi.read"},
                       {"source", "checker"},
                       {"id", id},
                       {"specversion", "1.0"},
                       {"data", {{"protocol", "0.4.0"}, {"parameters", json::array({"limits"})}}}};
    if (!gateway_->publish(system_.clseediInTopic(), read.dump(), 1)) return std::nullopt;
    const auto deadline = std::chrono::steady_clock::now() + 3s;
    while (std::chrono::steady_clock::now() < deadline) {
        auto message = gateway_->waitForMessage(system_.clseediOutTopic(), 500ms);
        if (!message) continue;
        const json reply = json::parse(message->payload, nullptr, false);
        if (!reply.is_object() || reply.value("relation", "") != id) continue;
        const json consumption = reply["data"]["limits"]["power"]["active"]["consumption"];
        if (!consumption["value"].is_number_integer() || !consumption["active"].is_boolean()) return std::nullopt;
        return std::make_pair(consumption["value"].get<int64_t>(), consumption["active"].get<bool>());
    }
    return std::nullopt;
}

// Nothing when every observer of cls shows one limit the model allows; else what they show.
std::optional<std::string> Observers::disagreement(const LimitModel& model, int cls) {
    const std::string device = "CLS" + std::to_string(cls);
    std::optional<float> mmsValue;
    std::optional<int32_t> mmsMultiplier;
    std::string mmsRef = "(none)";
    if (mms_) {
        mmsValue = mmsreq::readFloat(*mms_, device, "ActPow_GGIO001$MX$AnOut1$mxVal$f");
        if (auto m = mmsreq::read(*mms_, device, "ActPow_GGIO001$CF$AnOut1$units$multiplier")) {
            mmsMultiplier = MmsValue_toInt32(m.get());
        }
        if (auto ref = mmsreq::read(*mms_, device, "ActPow_FSCC001$ST$ActSchdRef$stVal")) {
            const char* text = MmsValue_toString(ref.get());
            mmsRef = text != nullptr ? text : "(no text)";
        }
    }
    std::optional<int64_t> busValue;
    std::optional<int64_t> busMultiplier;
    if (bus_) {
        const auto signals = bus_->signalsOf(bustest::actPowPath(cls));
        busValue = lastSignal(signals, "AnOut_mxVal_f");
        busMultiplier = lastSignal(signals, "AnOut1_units_multiplier");
    }
    const std::optional<int64_t> emsValue = system_.ems().lastLimit(cls);
    std::optional<std::pair<int64_t, bool>> gatewayValue;
    if (cls == 1 && gateway_) gatewayValue = readGatewayLimit();

    const int64_t now = wallSeconds();
    const std::vector<Limit> allowed = model.expected(cls, now);
    for (const Limit& limit : allowed) {
        const std::string ref = "@" + device + "/" + limit.schedule;
        const bool mmsOk = mms_ && mmsValue == limit.value &&
                           (limit.value == -1 || mmsMultiplier == limit.multiplier) && mmsRef == ref;
        const bool busOk = !bus_ || (busValue == busForm(limit) &&
                                     (limit.value == -1 || busMultiplier == int64_t{limit.multiplier}));
        const bool emsOk = emsValue == emsForm(limit);
        const bool gatewayOk = cls != 1 || !gateway_ || gatewayValue == gatewayForm(limit);
        if (mmsOk && busOk && emsOk && gatewayOk) return std::nullopt;
    }
    std::ostringstream report;
    report << device << " at " << now << ": allowed";
    for (const Limit& limit : allowed) report << " [" << limit.text() << "]";
    report << "; MMS AnOut1 " << (mmsValue ? std::to_string(*mmsValue) : "none") << " x10^"
           << (mmsMultiplier ? std::to_string(*mmsMultiplier) : "?") << " " << mmsRef;
    if (bus_) {
        report << "; bus " << (busValue ? std::to_string(*busValue) : "none") << " x10^"
               << (busMultiplier ? std::to_string(*busMultiplier) : "?");
    }
    report << "; energy server " << (emsValue ? std::to_string(*emsValue) : "none");
    if (cls == 1 && gateway_) {
        report << "; CLSEEDI "
               << (gatewayValue ? std::to_string(gatewayValue->first) + (gatewayValue->second ? " active" : " inactive")
                                : "no answer");
    }
    return report.str();
}

bool Observers::awaitAgreement(const LimitModel& model, std::chrono::milliseconds timeout, std::string& report) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        std::optional<std::string> first = disagreement(model, 1);
        std::optional<std::string> second = disagreement(model, 2);
        if (!first && !second) return true;
        report = first.value_or("") + (first && second ? "\n" : "") + second.value_or("");
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(200ms);
    }
}

}  // namespace systest
