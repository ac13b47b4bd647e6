#include "tests/internal/BusClient.h"

#include <regex>
#include <sstream>

namespace bustest {

namespace {

std::string totwText(const sdbus::Struct<int64_t, uint64_t, int32_t>& totw) {
    std::ostringstream out;
    out << "(" << std::get<0>(totw) << "," << std::get<1>(totw) << "," << std::get<2>(totw) << ")";
    return out.str();
}

std::string scheduleText(const std::map<uint64_t, int64_t>& schedule) {
    std::ostringstream out;
    out << "{";
    bool first = true;
    for (const auto& [start, limit] : schedule) {
        out << (first ? "" : ",") << start << ":" << limit;
        first = false;
    }
    out << "}";
    return out.str();
}

}  // namespace

std::string clsPath(int cls) { return std::string(kRootPath) + "/cls/" + std::to_string(cls); }
std::string mmxuPath(int cls) { return std::string(kRootPath) + "/cls/mmxu001/" + std::to_string(cls); }
std::string actPowPath(int cls) { return std::string(kRootPath) + "/cls/actpow_ggio001/" + std::to_string(cls); }

BusClient::BusClient()
    : signalConnection_(sdbus::createSystemBusConnection()), callConnection_(sdbus::createSystemBusConnection()) {
    for (int cls = 1; cls <= 4; ++cls) {
        const std::string mmxu = mmxuPath(cls);
        auto totw = sdbus::createProxy(*signalConnection_, kService, mmxu);
        totw->uponSignal("totw").onInterface(kMmxuInterface).call(
            [this, mmxu](const sdbus::Struct<int64_t, uint64_t, int32_t>& value) {
                record(mmxu, "totw", totwText(value));
            });
        totw->finishRegistration();
        signalProxies_.push_back(std::move(totw));

        const std::string actPow = actPowPath(cls);
        auto proxy = sdbus::createProxy(*signalConnection_, kService, actPow);
        for (const char* name : {"AnOut_mxVal_f", "AnOut1_minVal_f", "AnOut1_maxVal_f"}) {
            proxy->uponSignal(name).onInterface(kActPowInterface).call(
                [this, actPow, n = std::string(name)](int64_t value) { record(actPow, n, std::to_string(value)); });
        }
        proxy->uponSignal("AnOut1_units_multiplier").onInterface(kActPowInterface).call([this, actPow](int32_t value) {
            record(actPow, "AnOut1_units_multiplier", std::to_string(value));
        });
        proxy->uponSignal("AnOut_mxVal_Schedule")
            .onInterface(kActPowInterface)
            .call([this, actPow](const std::map<uint64_t, int64_t>& value) {
                record(actPow, "AnOut_mxVal_Schedule", scheduleText(value));
            });
        proxy->finishRegistration();
        signalProxies_.push_back(std::move(proxy));
    }
    signalConnection_->enterEventLoopAsync();
}

BusClient::~BusClient() {
    signalConnection_->leaveEventLoop();
    signalProxies_.clear();
    callProxies_.clear();
}

void BusClient::record(const std::string& path, const std::string& name, std::string value) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        signals_.push_back({path, name, std::move(value), std::chrono::steady_clock::now()});
    }
    changed_.notify_all();
}

std::vector<Signal> BusClient::signals() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return signals_;
}

std::vector<std::string> BusClient::signalsOf(const std::string& path) const {
    std::vector<std::string> out;
    for (const Signal& signal : signals()) {
        if (signal.path == path) out.push_back(signal.name + " " + signal.value);
    }
    return out;
}

bool BusClient::waitFor(const std::function<bool(const std::vector<Signal>&)>& pred,
                        std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return pred(signals_); });
}

bool BusClient::waitForCount(size_t count, std::chrono::milliseconds timeout) const {
    return waitFor([count](const std::vector<Signal>& all) { return all.size() >= count; }, timeout);
}

void BusClient::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    signals_.clear();
}

sdbus::IProxy& BusClient::callProxy(const std::string& path) {
    for (auto& proxy : callProxies_) {
        if (proxy->getObjectPath() == path) return *proxy;
    }
    callProxies_.push_back(sdbus::createProxy(*callConnection_, kService, path));
    return *callProxies_.back();
}

sdbus::Variant BusClient::property(const std::string& path, const std::string& interfaceName,
                                   const std::string& name) {
    return callProxy(path).getProperty(name).onInterface(interfaceName);
}

std::string BusClient::introspect(const std::string& path) {
    std::string xml;
    callProxy(path).callMethod("Introspect").onInterface("org.freedesktop.DBus.Introspectable").storeResultsTo(xml);
    return xml;
}

void BusClient::setTotw(int cls, int64_t value, uint64_t time, int32_t multiplier) {
    callProxy(mmxuPath(cls)).callMethod("setTotw").onInterface(kMmxuInterface).withArguments(value, time, multiplier);
}

std::string memberXml(const std::string& xml, const std::string& kind, const std::string& name) {
    const std::string open = "<" + kind + " name=\"" + name + "\"";
    const size_t start = xml.find(open);
    if (start == std::string::npos) return "";
    const size_t selfClose = xml.find("/>", start);
    const size_t tagEnd = xml.find('>', start);
    if (selfClose != std::string::npos && selfClose + 1 == tagEnd) return xml.substr(start, tagEnd + 1 - start);
    const std::string close = "</" + kind + ">";
    const size_t end = xml.find(close, start);
    return end == std::string::npos ? xml.substr(start) : xml.substr(start, end + close.size() - start);
}

std::vector<std::string> argTypes(const std::string& member) {
    std::vector<std::string> types;
    static const std::regex arg(R"re(<arg[^>]*type="([^"]+)")re");
    for (auto it = std::sregex_iterator(member.begin(), member.end(), arg); it != std::sregex_iterator(); ++it) {
        types.push_back((*it)[1]);
    }
    return types;
}

}  // namespace bustest
