#pragma once
// The D-Bus service of the active-power limits on the system bus: one
// connection under "de.tavelmarck.rurodi.iec61850", a root object and three
// objects per CLS (CLS, MMXU001, ActPow_GGIO001) with read-only properties,
// signals and the method "setTotw". The listener "callback1" emits the
// ActPow signals and "totw" of a CLS and appends LPC/LPP to the CLS input
// log "/data/cls-logs/cls-input.log".
//
// Threads: the event-loop thread of this object runs the property getters and
// "setTotw"; the listener runs on whichever thread changed a limit and emits
// through the same connection (the binding serialises the two). The getters
// never wait for the core: they read the model through the shared readers,
// which hold the data-model lock for the reading only (never while anything
// goes out on the bus), and the schedule map that the last update of that
// CLS fetched. No property emits PropertiesChanged, and each says so in its
// introspection. The schedule
// maps and the log file are guarded by their own mutexes.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal/ValueReaders.h"
#include "server/IecCore.h"

namespace sdbus {
class IConnection;
class IObject;
}  // namespace sdbus

class InternalInterfaceDBUS {
public:
    // Connects, registers everything, registers "callback1" and starts the
    // event loop. A failure is printed ("Error during InternalInterfaceDBUS
    // initialization: ...") and leaves the object in the state reached.
    explicit InternalInterfaceDBUS(IecCore& server);
    ~InternalInterfaceDBUS();
    InternalInterfaceDBUS(const InternalInterfaceDBUS&) = delete;
    InternalInterfaceDBUS& operator=(const InternalInterfaceDBUS&) = delete;

    void createDBusObjects();
    void registerDBusInterfaces();

    // Body of the method "setTotw" of the MMXU001 object of clsNumber.
    void setTotw(int64_t value, uint64_t time, int32_t multiplier, int clsNumber);

    // The listener "callback1"; never throws.
    void updateDBusForCls(int cls);
    void emitTotwSignal(int cls);
    void writeClsInputLog(unsigned cls);

    // The limit of CLS n in whole watts (-1: none). Throws std::invalid_argument
    // ("Scale factor is out of expected range."), std::overflow_error ("Scaled
    // power limit is out of int64_t bounds.") or std::domain_error (not a number).
    int64_t getScaledPowerLimit(int n);

    // True once "callback1" is registered and the event loop runs.
    bool isServing() const { return serving; }

    static std::string getMMXU001ObjectPath(int n);
    static std::string getActPowGGIO001ObjectPath(int n);
    static std::vector<std::string> getClsDevicePaths();

    static constexpr const char* serviceName = "de.tavelmarck.rurodi.iec61850";
    static constexpr const char* rootInterfaceName = "de.tavelmarck.rurodi.iec61850";
    static constexpr const char* rootObjectPath = "/de/tavelmarck/rurodi/iec61850";
    static constexpr const char* clsInterfaceName = "de.tavelmarck.rurodi.iec61850.cls";
    static constexpr const char* clsObjectPathPrefix = "/de/tavelmarck/rurodi/iec61850/cls/";
    static constexpr const char* mmxu001InterfaceName = "de.tavelmarck.rurodi.iec61850.cls.mmxu001";
    static constexpr const char* mmxu001ObjectPathPrefix = "/de/tavelmarck/rurodi/iec61850/cls/mmxu001/";
    static constexpr const char* actPowInterfaceName = "de.tavelmarck.rurodi.iec61850.cls.actpow_ggio001";
    static constexpr const char* actPowObjectPathPrefix = "/de/tavelmarck/rurodi/iec61850/cls/actpow_ggio001/";
    static constexpr const char* kListenerName = "callback1";
    static constexpr const char* kClsInputLog = "/data/cls-logs/cls-input.log";
    static constexpr const char* kClsInputLogDir = "/data/cls-logs";

private:
    // Appends one entry with an already computed limit.
    void appendClsInputLog(unsigned cls, int64_t powerLimit);
    PowerLimitScheduleMap cachedSchedule(int cls) const;
    void emitActPowSignals(int cls);
    template <class... Args>
    void emit(sdbus::IObject& object, const std::string& interfaceName, const std::string& signal,
              const Args&... args);
    IedServer model() const { return iecServer.getIedServer(); }

    IecCore& iecServer;
    uint32_t logLevel = 5;
    std::unique_ptr<sdbus::IConnection> connection;
    mutable std::mutex scheduleMutex;
    std::array<PowerLimitScheduleMap, 4> scheduleCache;  // per CLS, what the last update fetched
    std::mutex logFileMutex;
    bool serving = false;
    std::thread eventLoop;  // runs the connection's event loop while serving
    bool listenerRegistered = false;

    std::shared_ptr<sdbus::IObject> rootObject;
    std::vector<std::unique_ptr<sdbus::IObject>> clsObjects;
    std::vector<std::unique_ptr<sdbus::IObject>> mmxu001Objects;
    std::vector<std::unique_ptr<sdbus::IObject>> actPowObjects;
};
