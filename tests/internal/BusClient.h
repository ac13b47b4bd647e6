#pragma once
// A second client of the (private) system bus for the D-Bus service tests:
// it records every signal of the CLS objects with its arrival time, reads
// properties, introspects objects and calls "setTotw".

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <sdbus-c++/sdbus-c++.h>

namespace bustest {

inline constexpr const char* kService = "de.tavelmarck.rurodi.iec61850";
inline constexpr const char* kRootPath = "/de/tavelmarck/rurodi/iec61850";
inline constexpr const char* kRootInterface = "de.tavelmarck.rurodi.iec61850";
inline constexpr const char* kClsInterface = "de.tavelmarck.rurodi.iec61850.cls";
inline constexpr const char* kMmxuInterface = "de.tavelmarck.rurodi.iec61850.cls.mmxu001";
inline constexpr const char* kActPowInterface = "de.tavelmarck.rurodi.iec61850.cls.actpow_ggio001";

std::string clsPath(int cls);
std::string mmxuPath(int cls);
std::string actPowPath(int cls);

struct Signal {
    std::string path;
    std::string name;
    std::string value;  // decimal; "(v,t,m)" for totw; "{k:v,...}" for the schedule
    std::chrono::steady_clock::time_point at;
};

class BusClient {
public:
    BusClient();
    ~BusClient();
    BusClient(const BusClient&) = delete;
    BusClient& operator=(const BusClient&) = delete;

    std::vector<Signal> signals() const;
    // Signals of one object, in arrival order, as "name value".
    std::vector<std::string> signalsOf(const std::string& path) const;
    bool waitFor(const std::function<bool(const std::vector<Signal>&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    bool waitForCount(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(5)) const;
    void clear();

    // Throws sdbus::Error when the read fails.
    sdbus::Variant property(const std::string& path, const std::string& interfaceName, const std::string& name);
    std::string introspect(const std::string& path);
    void setTotw(int cls, int64_t value, uint64_t time, int32_t multiplier);

private:
    void record(const std::string& path, const std::string& name, std::string value);
    sdbus::IProxy& callProxy(const std::string& path);

    std::unique_ptr<sdbus::IConnection> signalConnection_;
    std::unique_ptr<sdbus::IConnection> callConnection_;
    std::vector<std::unique_ptr<sdbus::IProxy>> signalProxies_;
    std::vector<std::unique_ptr<sdbus::IProxy>> callProxies_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Signal> signals_;
};

// The text of one member element of an introspection (from "<kind name=..." up
// to its end) and the arg types in it, in order.
std::string memberXml(const std::string& xml, const std::string& kind, const std::string& name);
std::vector<std::string> argTypes(const std::string& memberXml);

}  // namespace bustest
