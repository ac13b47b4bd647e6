#include "internal/InternalInterfaceDBUS.h"

#include <syslog.h>

#include <cinttypes>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <stdexcept>

#include <sdbus-c++/sdbus-c++.h>

#include "foundation/Clock.h"
#include "foundation/Logging.h"
#include "foundation/ThreadName.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"

namespace fs = std::filesystem;
using TotwStruct = sdbus::Struct<int64_t, uint64_t, int32_t>;

namespace {

constexpr const char* kIndexOutOfRange = "Index out of range for emitting totw signal";
constexpr const char* kFailedError = "org.freedesktop.DBus.Error.Failed";
// No property sends PropertiesChanged (the values change in the model, and
// the home side hears of a new limit through the signals); the introspection
// says so, so that no client caches a value that goes stale.
constexpr auto kNoChangeSignal = sdbus::Flags::EMITS_NO_SIGNAL;

bool isCls(int cls) { return cls >= 1 && cls <= 4; }

// CLS1 (LPC) and CLS2 (LPP) have entries in the CLS input log.
bool isLoggedCls(unsigned cls) {
    if (cls == 1 || cls == 2) return true;
    std::cerr << "Invalid CLSindex: " << cls << std::endl;
    return false;
}

// Runs a getter or method body for the binding: a failure reaches the caller
// as a D-Bus error with its text, never as another exception type.
template <class Body>
auto forBus(Body&& body) -> decltype(body()) {
    try {
        return body();
    } catch (const sdbus::Error&) {
        throw;
    } catch (const std::exception& e) {
        throw sdbus::Error(kFailedError, e.what());
    }
}

// The rounded min/max value for the bus; throws when it has no int64 value.
int64_t roundedForBus(float value, const char* what) {
    const std::optional<int64_t> rounded = roundToInt64(value);
    if (!rounded) throw std::domain_error(std::string(what) + " has no int64 value");
    return *rounded;
}

}  // namespace

InternalInterfaceDBUS::InternalInterfaceDBUS(IecCore& server) : iecServer(server) {
    readLogLevel(&logLevel);
    try {
        std::cout << std::endl << "# InternalInterfaceDBUS initiation" << std::endl;
        logMessage(&logLevel, LOG_INFO, "DBUS: InternalInterfaceDBUS initiation");
        createDBusObjects();
        registerDBusInterfaces();
        std::cout << "# InternalInterfaceDBUS initiation done" << std::endl << std::endl;
        logMessage(&logLevel, LOG_INFO, "DBUS: InternalInterfaceDBUS initiation done");
        logMessage(&logLevel, LOG_INFO, "DBUS: ---");
    } catch (const std::exception& e) {
        std::cerr << "Error during InternalInterfaceDBUS initialization: " << e.what() << std::endl;
        logMessage(&logLevel, LOG_ERR, "DBUS: Error during InternalInterfaceDBUS initialization: %s", e.what());
    }
}

InternalInterfaceDBUS::~InternalInterfaceDBUS() {
    // No listener call may reach this object once it starts going away.
    if (listenerRegistered) iecServer.unregisterCallback(kListenerName);
    if (serving) {
        try {
            connection->leaveEventLoop();
        } catch (const std::exception& e) {
            logMessage(&logLevel, LOG_ERR, "DBUS: leaving the event loop failed: %s", e.what());
        }
    }
    if (eventLoop.joinable()) eventLoop.join();
    actPowObjects.clear();
    mmxu001Objects.clear();
    clsObjects.clear();
    rootObject.reset();
    connection.reset();
}

std::string InternalInterfaceDBUS::getMMXU001ObjectPath(int n) { return mmxu001ObjectPathPrefix + std::to_string(n); }

std::string InternalInterfaceDBUS::getActPowGGIO001ObjectPath(int n) {
    return actPowObjectPathPrefix + std::to_string(n);
}

std::vector<std::string> InternalInterfaceDBUS::getClsDevicePaths() {
    std::vector<std::string> paths;
    for (char digit = '1'; digit <= '4'; ++digit) paths.push_back(clsObjectPathPrefix + std::string(1, digit));
    return paths;
}

void InternalInterfaceDBUS::createDBusObjects() {
    connection = sdbus::createSystemBusConnection(serviceName);
    rootObject = sdbus::createObject(*connection, rootObjectPath);
    for (char digit = '1'; digit <= '4'; ++digit) {
        clsObjects.push_back(sdbus::createObject(*connection, clsObjectPathPrefix + std::string(1, digit)));
    }
    for (char digit = '1'; digit <= '4'; ++digit) {
        mmxu001Objects.push_back(sdbus::createObject(*connection, mmxu001ObjectPathPrefix + std::string(1, digit)));
    }
    for (char digit = '1'; digit <= '4'; ++digit) {
        const std::string path = actPowObjectPathPrefix + std::string(1, digit);
        std::cout << "path: " << path << std::endl;
        actPowObjects.push_back(sdbus::createObject(*connection, path));
    }
}

void InternalInterfaceDBUS::registerDBusInterfaces() {
    std::cout << "register DBusInterfaces" << std::endl;

    rootObject->registerProperty("cls_devices")
        .onInterface(rootInterfaceName)
        .withUpdateBehavior(kNoChangeSignal)
        .withGetter([] {
            std::vector<sdbus::ObjectPath> paths;
            for (const std::string& path : getClsDevicePaths()) paths.emplace_back(path);
            return paths;
        });
    rootObject->finishRegistration();

    for (size_t k = 0; k < clsObjects.size(); ++k) {
        const int cls = static_cast<int>(k) + 1;
        clsObjects[k]
            ->registerProperty("mmxu001")
            .onInterface(clsInterfaceName)
            .withUpdateBehavior(kNoChangeSignal)
            .withGetter([cls] { return sdbus::ObjectPath(getMMXU001ObjectPath(cls)); });
        clsObjects[k]
            ->registerProperty("actpow_ggioO001")
            .onInterface(clsInterfaceName)
            .withUpdateBehavior(kNoChangeSignal)
            .withGetter([cls] { return sdbus::ObjectPath(getActPowGGIO001ObjectPath(cls)); });
        clsObjects[k]->finishRegistration();
    }
    std::cout << "register DBusInterfaces o_dbusObjectCLS" << std::endl;

    for (size_t k = 0; k < mmxu001Objects.size(); ++k) {
        const int cls = static_cast<int>(k) + 1;
        sdbus::IObject& object = *mmxu001Objects[k];
        object.registerProperty("totw")
            .onInterface(mmxu001InterfaceName)
            .withUpdateBehavior(kNoChangeSignal)
            .withGetter([this, cls] {
                return forBus([&] {
                    const std::optional<TotwValue> totw =
                        valuereaders::totwValue(model(), cls, Clock::get().wallSeconds());
                    if (!totw) throw std::domain_error("TotW of CLS" + std::to_string(cls) + " has no int64 value");
                    return TotwStruct(totw->value, totw->time, totw->multiplier);
                });
            });
        object.registerMethod("setTotw")
            .onInterface(mmxu001InterfaceName)
            .implementedAs([this, cls](int64_t value, uint64_t time, int32_t multiplier) {
                forBus([&] { setTotw(value, time, multiplier, cls); });
            });
        object.registerSignal("totw").onInterface(mmxu001InterfaceName).withParameters<TotwStruct>();
        object.finishRegistration();
    }
    std::cout << "register DBusInterfaces o_dbusObjectMMXU001CLS" << std::endl;

    for (size_t k = 0; k < actPowObjects.size(); ++k) {
        const int cls = static_cast<int>(k) + 1;
        sdbus::IObject& object = *actPowObjects[k];
        object.registerSignal("AnOut_mxVal_f").onInterface(actPowInterfaceName).withParameters<int64_t>();
        object.registerSignal("AnOut1_units_multiplier").onInterface(actPowInterfaceName).withParameters<int32_t>();
        object.registerSignal("AnOut1_minVal_f").onInterface(actPowInterfaceName).withParameters<int64_t>();
        object.registerSignal("AnOut1_maxVal_f").onInterface(actPowInterfaceName).withParameters<int64_t>();
        object.registerSignal("AnOut_mxVal_Schedule")
            .onInterface(actPowInterfaceName)
            .withParameters<std::map<uint64_t, int64_t>>();
        object.registerProperty("AnOut_mxVal_f")
            .onInterface(actPowInterfaceName)
            .withUpdateBehavior(kNoChangeSignal)
            .withGetter([this, cls] { return forBus([&] { return getScaledPowerLimit(cls); }); });
        object.registerProperty("AnOut1_units_multiplier")
            .onInterface(actPowInterfaceName)
            .withUpdateBehavior(kNoChangeSignal)
            .withGetter([this, cls] { return valuereaders::getActPowGGIO001An1(iecServer, cls).multiplier; });
        struct Bound {
            const char* property;
            float ActiveLimit::*field;
            const char* what;
        };
        for (const Bound& bound : {Bound{"AnOut1_minVal_f", &ActiveLimit::minVal, "AnOut1.minVal"},
                                   Bound{"AnOut1_maxVal_f", &ActiveLimit::maxVal, "AnOut1.maxVal"}}) {
            object.registerProperty(bound.property)
                .onInterface(actPowInterfaceName)
                .withUpdateBehavior(kNoChangeSignal)
                .withGetter([this, cls, bound] {
                    return forBus([&] {
                        return roundedForBus(valuereaders::getActPowGGIO001An1(iecServer, cls).*bound.field, bound.what);
                    });
                });
        }
        object.registerProperty("AnOut_mxVal_Schedule")
            .onInterface(actPowInterfaceName)
            .withUpdateBehavior(kNoChangeSignal)
            .withGetter([this, cls] {
                const PowerLimitScheduleMap schedule = cachedSchedule(cls);
                return std::map<uint64_t, int64_t>(schedule.begin(), schedule.end());
            });
        object.finishRegistration();
    }
    std::cout << "register DBusInterfaces o_dbusObjectActPowGGIO001CLSList" << std::endl;

    iecServer.registerCallback(kListenerName, [this](int cls) { updateDBusForCls(cls); });
    listenerRegistered = true;
    // The loop runs on a thread of this object: a lost bus ends the loop with
    // an exception, which is logged here instead of ending the process. The
    // limits go on being enforced; emits fail and are logged.
    eventLoop = namedThread("dbus-loop", [this] {
        try {
            connection->enterEventLoop();
        } catch (const std::exception& e) {
            std::cerr << "DBUS: the system bus connection is lost; the D-Bus service stops: " << e.what() << std::endl;
            logMessage(&logLevel, LOG_ERR, "DBUS: the system bus connection is lost; the D-Bus service stops: %s",
                       e.what());
        }
    });
    serving = true;
}

void InternalInterfaceDBUS::setTotw(int64_t value, uint64_t time, int32_t multiplier, int clsNumber) {
    if (!isCls(clsNumber)) {
        std::cerr << kIndexOutOfRange << std::endl;
    } else {
        emit(*mmxu001Objects[static_cast<size_t>(clsNumber - 1)], mmxu001InterfaceName, "totw",
             TotwStruct(value, time, multiplier));
    }
    DataAttribute* mag = findSubDataAttribute("CLS" + std::to_string(clsNumber), "MMXU001", "TotW", "mag", "f");
    if (mag == nullptr || model() == nullptr) {
        std::cout << "DataAttribute not found" << std::endl;
        return;
    }
    IedServer_updateFloatAttributeValue(model(), mag, static_cast<float>(value));
}

int64_t InternalInterfaceDBUS::getScaledPowerLimit(int n) {
    const ActiveLimit record = valuereaders::getActPowGGIO001An1(iecServer, n);
    const ScaledLimit limit = record.scaledWatts();
    switch (limit.error) {
        case ScaleError::None: return limit.value;
        case ScaleError::MultiplierOutOfRange:
            logMessage(&logLevel, LOG_ERR, "DBUS: Scale factor %d is out of expected range.", record.multiplier);
            throw std::invalid_argument(kScaleOutOfRange);
        case ScaleError::OutOfBounds:
            logMessage(&logLevel, LOG_ERR, "DBUS: Scaled power limit %f is out of int64_t bounds.", limit.scaled);
            throw std::overflow_error(kScaledOutOfBounds);
        case ScaleError::NotANumber:
            logMessage(&logLevel, LOG_ERR, "DBUS: Scaled power limit of CLS%d is not a number.", n);
            throw std::domain_error(kScaledNotANumber);
    }
    throw std::logic_error("unknown scaling result");
}

PowerLimitScheduleMap InternalInterfaceDBUS::cachedSchedule(int cls) const {
    if (!isCls(cls)) return {};
    std::lock_guard<std::mutex> lock(scheduleMutex);
    return scheduleCache[static_cast<size_t>(cls - 1)];
}

template <class... Args>
void InternalInterfaceDBUS::emit(sdbus::IObject& object, const std::string& interfaceName, const std::string& signal,
                                 const Args&... args) {
    try {
        object.emitSignal(signal).onInterface(interfaceName).withArguments(args...);
    } catch (const std::exception& e) {
        logMessage(&logLevel, LOG_ERR, "DBUS: emitting %s failed: %s", signal.c_str(), e.what());
    }
}

void InternalInterfaceDBUS::updateDBusForCls(int cls) {
    try {
        const PowerLimitScheduleMap schedule = iecServer.getScheduleData(cls);
        if (isCls(cls)) {
            std::lock_guard<std::mutex> lock(scheduleMutex);
            scheduleCache[static_cast<size_t>(cls - 1)] = schedule;
        }
        if (isCls(cls)) {
            emitActPowSignals(cls);
        } else {
            std::cerr << kIndexOutOfRange << std::endl;
        }
    } catch (const std::exception& e) {
        logMessage(&logLevel, LOG_ERR, "DBUS: update of CLS%d failed: %s", cls, e.what());
    }
    emitTotwSignal(cls);
}

void InternalInterfaceDBUS::emitActPowSignals(int cls) {
    sdbus::IObject& object = *actPowObjects[static_cast<size_t>(cls - 1)];
    // One reading serves the whole update, so its signals agree with each other.
    const ActiveLimit record = valuereaders::getActPowGGIO001An1(iecServer, cls);
    const std::optional<int64_t> maxVal = roundToInt64(record.maxVal);
    const std::optional<int64_t> minVal = roundToInt64(record.minVal);
    if (maxVal) {
        emit(object, actPowInterfaceName, "AnOut1_maxVal_f", *maxVal);
    } else {
        logMessage(&logLevel, LOG_ERR, "DBUS: AnOut1.maxVal of CLS%d has no int64 value; not emitted", cls);
    }
    if (minVal) {
        emit(object, actPowInterfaceName, "AnOut1_minVal_f", *minVal);
    } else {
        logMessage(&logLevel, LOG_ERR, "DBUS: AnOut1.minVal of CLS%d has no int64 value; not emitted", cls);
    }
    emit(object, actPowInterfaceName, "AnOut1_units_multiplier", record.multiplier);
    const PowerLimitScheduleMap schedule = cachedSchedule(cls);
    emit(object, actPowInterfaceName, "AnOut_mxVal_Schedule", std::map<uint64_t, int64_t>(schedule.begin(), schedule.end()));

    int64_t powerLimit = 0;
    try {
        powerLimit = getScaledPowerLimit(cls);
    } catch (const std::exception&) {
        return;  // logged by getScaledPowerLimit; nothing below has a value to show
    }
    emit(object, actPowInterfaceName, "AnOut_mxVal_f", powerLimit);
    const int64_t maxShown = maxVal.value_or(0);
    const int64_t minShown = minVal.value_or(0);
    logMessage(&logLevel, LOG_NOTICE,
               "##### DBUS: 4.0 DBUS for CLS%d -- AnOut1_maxVal_f (Max Consumption Power) %" PRId64
               " -- AnOut1_minVal_f (MaxProductionPower): %" PRId64
               " -- Units Multiplier: %d -- Schedule Size: %zu -- AnOut_mxVal_f (Power Limit): %" PRId64,
               cls, maxShown, minShown, record.multiplier, schedule.size(), powerLimit);
    std::cout << "4.0 DBUS for CLS" << cls << " -- AnOut1_maxVal_f (Max Consumption Power) " << maxShown
              << " -- AnOut1_minVal_f (MaxProductionPower): " << minShown
              << " -- Units Multiplier: " << record.multiplier << " -- Schedule Size: " << schedule.size()
              << " -- AnOut_mxVal_f (Power Limit): " << powerLimit << std::endl;
    appendClsInputLog(static_cast<unsigned>(cls), powerLimit);
}

void InternalInterfaceDBUS::emitTotwSignal(int cls) {
    if (!isCls(cls)) {
        std::cerr << kIndexOutOfRange << std::endl;
        return;
    }
    const std::optional<TotwValue> totw = valuereaders::totwValue(model(), cls, Clock::get().wallSeconds());
    if (!totw) {
        logMessage(&logLevel, LOG_ERR, "DBUS: TotW of CLS%d has no int64 value; totw not emitted", cls);
        return;
    }
    emit(*mmxu001Objects[static_cast<size_t>(cls - 1)], mmxu001InterfaceName, "totw",
         TotwStruct(totw->value, totw->time, totw->multiplier));
}

void InternalInterfaceDBUS::writeClsInputLog(unsigned cls) {
    if (!isLoggedCls(cls)) return;
    int64_t powerLimit = 0;
    try {
        powerLimit = getScaledPowerLimit(static_cast<int>(cls));
    } catch (const std::exception&) {
        return;  // logged by getScaledPowerLimit
    }
    appendClsInputLog(cls, powerLimit);
}

void InternalInterfaceDBUS::appendClsInputLog(unsigned cls, int64_t powerLimit) {
    if (!isLoggedCls(cls)) return;
    const std::string directory = paths::resolve(kClsInputLogDir);
    const std::string file = paths::resolve(kClsInputLog);
    std::lock_guard<std::mutex> lock(logFileMutex);
    std::error_code error;
    fs::create_directories(directory, error);
    if (error) {
        std::cerr << "Failed to create directory: " << directory << " (" << error.message() << ")" << std::endl;
        logMessage(&logLevel, LOG_ERR, "DBUS: Failed to create directory: %s (%s)", directory.c_str(),
                   error.message().c_str());
        return;
    }
    std::ofstream log(file, std::ios::app);
    if (!log) {
        std::cerr << "Failed to open log file: " << file << std::endl;
        logMessage(&logLevel, LOG_ERR, "DBUS: Failed to open log file: %s", file.c_str());
        return;
    }
    const time_t now = static_cast<time_t>(Clock::get().wallSeconds());
    std::tm local{};
    localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);
    const std::string limitText = powerLimit < 0 ? "Unlimited (-1)" : std::to_string(powerLimit) + " W";
    log << stamp << " - (" << (cls == 1 ? "LPC" : "LPP") << "): Power Limit: " << limitText << "\n"
        << "------------------------\n";
    log.flush();
    if (!log) logMessage(&logLevel, LOG_ERR, "DBUS: Failed to write log file: %s", file.c_str());
}
