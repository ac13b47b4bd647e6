// IecServer: configuration, start-up, interfaces, source switch, listener
// registry and the main loop.
#include "server/IecServer.h"

#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <thread>

#include "iec61850/iec61850_log.h"
#include "model/StaticModel.h"
#include "schedules/RoadLock.h"
#include "foundation/ConfigFile.h"
#include "foundation/Clock.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "schedules/ScheduleService.h"
#include "server/Serialization.h"
#include "server/ServerConfig.h"
#include "server/ServerLog.h"
#include "server/SlotBook.h"

IedServer iedServer = nullptr;
std::vector<std::string> allScheduleNames;
Serialization serialization(&iedServer);

namespace {

constexpr const char* kDebugConfigPath = "../etc/iec/config/IECServer.conf";
constexpr const char* kFilestoreBasepath = "./uploaded_files/";
// Uploads over MMS are configuration files of a few kilobytes; 4 MB and 2000
// files in all are ample for them. The schedule files, the value file and the
// logs live on the same file system and need well under 1 MB and a few
// hundred inodes: 8 MB and 1000 inodes stay free for them, so no client can
// fill the disk (or its inode table) the limits are written to.
constexpr FilestoreLimits kFilestoreLimits{4u * 1024u * 1024u, 8u * 1024u * 1024u, 2000, 1000};
constexpr std::chrono::milliseconds kSourceSwitchPause{1000};
constexpr size_t kHostNameBuffer = 1024;

std::shared_ptr<ScheduleService>& installedScheduleService() {
    static std::shared_ptr<ScheduleService> service;
    return service;
}

// Why the MMS port could not be opened, in words a person starting the daemon can act on.
std::string startFailureCause(int error, int port) {
    switch (error) {
        case EACCES:
            return "permission denied: a port below 1024 needs root (or CAP_NET_BIND_SERVICE)";
        case EADDRINUSE:
            return "address in use: another process listens on port " + std::to_string(port);
        case EINVAL:
            return "port " + std::to_string(port) + " is no TCP port (1..65535)";
        case 0:
            return "unknown";
        default:
            return std::strerror(error);
    }
}

std::string hostName() {
    char buffer[kHostNameBuffer] = {};
    gethostname(buffer, sizeof(buffer) - 1);
    return buffer;
}

// "server: <what><value>" at LOG_NOTICE.
void syslogNotice(const char* what, int value) {
    writeSyslog(LOG_NOTICE, (std::string("server: ") + what + std::to_string(value)).c_str());
}

// The IEC 61850 library's records, under the server core's threshold.
void libraryLog(int priority, const char* text) { logMessage(&serverLogLevel, priority, "%s", text); }

// A listener that throws must not stop the walk over the other listeners.
CallbackFunction guardedListener(const std::string& name, CallbackFunction listener) {
    return [name, listener = std::move(listener)](int cls) {
        try {
            listener(cls);
        } catch (const std::exception& e) {
            logMessage(&serverLogLevel, LOG_ERR, "server: listener %s failed for CLS%d: %s", name.c_str(), cls,
                       e.what());
        } catch (...) {
            logMessage(&serverLogLevel, LOG_ERR, "server: listener %s failed for CLS%d", name.c_str(), cls);
        }
    };
}

// Runs one task of the main loop; a failure is logged and the loop goes on.
template <class Task>
void runGuarded(const char* what, Task&& task) {
    try {
        task();
    } catch (const std::exception& e) {
        logMessage(&serverLogLevel, LOG_ERR, "server: %s failed: %s", what, e.what());
    } catch (...) {
        logMessage(&serverLogLevel, LOG_ERR, "server: %s failed", what);
    }
}

}  // namespace

IecServer::IecServer() {
    // No interface class is known here; the daemon's entry point installs the
    // production creators, tests their doubles.
    interfaceFactory.pause = [](std::chrono::milliseconds duration) { std::this_thread::sleep_for(duration); };
}

IecServer::~IecServer() {
    serviceInInterface.reset();
    clseediInterface.reset();
    dbusInterface.reset();
    jsonrpcInterface.reset();
    eebusInterface.reset();
    moreValeInterface.reset();
    nymeaInterface.reset();
}

SlotBook& IecServer::slots() {
    static SlotBook book;
    return book;
}

std::shared_ptr<ScheduleService> IecServer::scheduleService() { return std::atomic_load(&installedScheduleService()); }

void IecServer::setScheduleServiceForTesting(std::shared_ptr<ScheduleService> service) {
    std::atomic_store(&installedScheduleService(), std::move(service));
}

// --- Configuration ----------------------------------------------------------

void IecServer::loadConfig() {
    const std::string path = debugMode ? kDebugConfigPath : paths::resolve(paths::kIecServerConf);
    std::string refusal;
    const auto entries = config::readFile(path, &refusal);
    if (!entries && refusal.empty()) {
        writeSyslog(LOG_WARNING, "server: Configuration file not found, using defaults.");
        return;
    }
    if (!entries) {
        writeSyslog(LOG_WARNING, ("server: Configuration file " + path + " " + refusal + ", using defaults.").c_str());
        return;
    }
    applyServerConfig(config, *entries, std::cout);
    std::cout << "Configuration loaded" << std::endl << std::endl;

    writeSyslog(LOG_NOTICE, "server: Server configuration loaded:");
    syslogNotice("IEC61850 Server port: ", config.iec61850TcpPort);
    syslogNotice("Nymea Server port: ", config.nymeaTcpPort);
    syslogNotice("activate_extern_MQTT_CLSEEDI: ", config.activateExternMqttClseedi ? 1 : 0);
    syslogNotice("activate_extern_MQTT_MoreVale: ", config.activateExternMqttMoreVale ? 1 : 0);
    syslogNotice("activate_intern_DBUS: ", config.activateInternDbus ? 1 : 0);
    syslogNotice("activate_intern_JSONRPC: ", config.activateInternJsonrpc ? 1 : 0);
    writeSyslog(LOG_NOTICE, "server: ---");
}

// --- Server initiation ------------------------------------------------------

void IecServer::initIecServer() {
    // In debug mode the value file lies in the working directory from the first save on.
    serialization.debug = debugMode;

    std::cout << "## IecServer initiation" << std::endl;
    logMessage(&serverLogLevel, LOG_NOTICE, "server: ## IecServer initiation");

    Iec61850_setLogHandler(&libraryLog);
    iedServer = IedServer_create(getStaticIedModel());
    if (iedServer == nullptr) {
        std::cout << "Failed to create IED server" << std::endl;
        logMessage(&serverLogLevel, LOG_ERR, "server: Failed to create IED server");
        throw StartupError("The IEC 61850 server could not be created.");
    }

    DataAttribute* configRev = findDataAttribute("STB", "LLN0", "NamPlt", "configRev");
    if (configRev == nullptr) {
        std::cout << std::endl << " **** Version: " << "not found" << std::endl << std::endl;
        logMessage(&serverLogLevel, LOG_WARNING, "server: Version: not found");
        throw StartupError("The model has no STB/LLN0.NamPlt.configRev; the server cannot start.");
    }
    const char* version = IedServer_getStringAttributeValue(iedServer, configRev);
    icdVersion = version ? version : "";
    std::cout << std::endl << " **** Version: " << icdVersion << std::endl << std::endl;
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Version: %s", icdVersion.c_str());

    allScheduleNames = getAllScheduleNames();
    std::cout << "All Schedules in the datamodel: " << std::endl;
    for (const auto& name : allScheduleNames) std::cout << name << std::endl;

    IedServer_setServerIdentity(iedServer, "Tavelmarck", "generic libIEC", "1.5");
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Create Control Handler");
    for (int cls = 1; cls <= 4; ++cls) installControlHandlers(cls);

    IedServer_setConnectionIndicationHandler(iedServer, &IecServer::connectionIndicationHandler, nullptr);
    MmsServer mmsServer = IedServer_getMmsServer(iedServer);
    IedServer_setFilestoreBasepath(iedServer, kFilestoreBasepath);
    IedServer_setFilestoreLimits(iedServer, kFilestoreLimits);
    std::cout << "Filestore base path: " << kFilestoreBasepath << std::endl;
    MmsServer_installFileAccessHandler(mmsServer, &IecServer::fileAccessHandler, nullptr);

    logMessage(&serverLogLevel, LOG_NOTICE, "server: Starting server on Port: %d", config.iec61850TcpPort);
    IedServer_startThreadless(iedServer, config.iec61850TcpPort);
    if (!IedServer_isRunning(iedServer)) {
        const std::string cause = startFailureCause(IedServer_getStartError(iedServer), config.iec61850TcpPort);
        std::cout << "Starting server failed on Port: " << config.iec61850TcpPort << "! Exit." << std::endl;
        std::cout << "Cause: " << cause << std::endl;
        logMessage(&serverLogLevel, LOG_ERR, "server: Starting server failed on Port: %d", config.iec61850TcpPort);
        logMessage(&serverLogLevel, LOG_ERR, "server: Cause: %s", cause.c_str());
        IedServer_destroy(iedServer);
        iedServer = nullptr;
        throw StartupError("", 255);
    }
    std::cout << "Server is running on Port: " << config.iec61850TcpPort << std::endl;
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Server started successfully on Port: %d", config.iec61850TcpPort);
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Server started at: %s", localTimeText().c_str());
    const std::string host = hostName();
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Server started on Host: %s", host.c_str());
    std::cout << "Server started on Host: " << host << std::endl;

    IedServer_setWriteAccessPolicy(iedServer, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);

    if (!scheduleService()) {
        try {
            setScheduleServiceForTesting(createScheduleHandling(&iedServer, &callbacks));
        } catch (const std::exception& e) {
            throw StartupError(std::string("The schedule handling could not start (system D-Bus): ") + e.what());
        }
    }
    setSTBData();
    setInitPlim();
    logMessage(&serverLogLevel, LOG_NOTICE, "server: ---");
}

void IecServer::installControlHandlers(int cls) {
    const std::string device = "CLS" + std::to_string(cls);
    for (const auto& node : allScheduleNames) {
        for (const auto& [object, opposite] : {std::pair{"EnaReq", "DsaReq"}, std::pair{"DsaReq", "EnaReq"}}) {
            DataObject* control = findDataObject(device, node, object);
            if (control == nullptr) return;
            ControlTarget& target = controlTargets_[control];
            target = ControlTarget{cls, device, node, object, opposite};
            IedServer_setControlHandler(iedServer, control, &IecServer::controlHandler, &target);
        }
    }
}

void IecServer::setSTBData() {
    std::cout << "set STB data" << std::endl;
    if (DataAttribute* configRev = findDataAttribute("STB", "LLN0", "NamPlt", "configRev")) {
        IedServer_updateVisibleStringAttributeValue(iedServer, configRev, "1.2.0");
    } else {
        std::cout << "DA not found" << std::endl;
    }
    const std::string host = hostName();
    std::cout << "hostnameStr: " << host << std::endl;
    if (DataAttribute* serNum = findDataAttribute("STB", "LPHD", "PhyNam", "serNum")) {
        IedServer_updateVisibleStringAttributeValue(iedServer, serNum, host.c_str());
    } else {
        std::cout << "DA not found" << std::endl;
    }
}

void IecServer::setInitPlim() {
    std::cout << "set setInitPlim" << std::endl;
    for (const char* device : {"CLS1", "CLS2", "CLS3", "CLS4"}) {
        DataAttribute* mxVal = findDataAttribute(device, "ActPow_GGIO001", "AnOut1", "mxVal");
        DataAttribute* f = mxVal ? static_cast<DataAttribute*>(mxVal->firstChild) : nullptr;
        if (f == nullptr) {
            std::cout << "DA not found" << std::endl;
            continue;
        }
        std::cout << "DA found" << std::endl;
        IedServer_updateFloatAttributeValue(iedServer, f, -1.0f);
    }
}

// --- Interfaces ---------------------------------------------------------------

template <class T, class... Args>
void IecServer::createInterface(InterfaceOwner<T>& owner, const char* className,
                                const std::function<InterfaceOwner<T>(IecServer&, Args...)>& creator, Args... args) {
    if (!creator) {
        logMessage(&serverLogLevel, LOG_WARNING, "server: %s is not available in this build", className);
        return;
    }
    try {
        owner = creator(*this, args...);
    } catch (const std::exception& e) {
        logMessage(&serverLogLevel, LOG_ERR, "server: creating %s failed: %s", className, e.what());
    } catch (...) {
        logMessage(&serverLogLevel, LOG_ERR, "server: creating %s failed", className);
    }
}

void IecServer::initInterfaces() {
    createInterface(nymeaInterface, "InternalInterfaceNymea", interfaceFactory.nymea, config.nymeaTcpPort);
    std::cout << "The powerLimitSource is: " << getPowerLimitSource() << std::endl;
    if (config.activateExternMqttClseedi) {
        createInterface(clseediInterface, "ExternalInterfaceCLSEEDI", interfaceFactory.clseedi);
    }
    if (config.activateInternDbus) {
        createInterface(dbusInterface, "InternalInterfaceDBUS", interfaceFactory.dbus);
    }
    if (config.activateInternJsonrpc) {
        createInterface(jsonrpcInterface, "InternalInterfaceJSONRPC", interfaceFactory.jsonrpc);
    }
    if (config.activateExternMqttMoreVale) {
        createInterface(moreValeInterface, "ExternalInterfaceMoreVale", interfaceFactory.moreVale);
    }
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Interfaces initialized");
}

HomeBalance IecServer::homeBalance() const {
    // The home platform interface is made first and destroyed last, so it
    // outlives every interface that asks.
    if (!nymeaInterface || !interfaceFactory.homeBalance) return {};
    return interfaceFactory.homeBalance(nymeaInterface);
}

// --- Power-limit source and listeners ------------------------------------------

std::string IecServer::getPowerLimitSource() const {
    std::lock_guard<std::mutex> lock(powerLimitSourceMutex_);
    return powerLimitSource_;
}

void IecServer::pauseBetweenSources() {
    if (interfaceFactory.pause) {
        interfaceFactory.pause(kSourceSwitchPause);
    } else {
        std::this_thread::sleep_for(kSourceSwitchPause);
    }
}

void IecServer::setPowerLimitSource(const std::string& source) {
    // One switch at a time; the road lock is not held here, since the
    // destructors below join threads that may be waiting for it.
    std::lock_guard<std::mutex> switchLock(sourceSwitchMutex_);
    {
        std::lock_guard<std::mutex> lock(powerLimitSourceMutex_);
        if (source == powerLimitSource_) return;
        powerLimitSource_ = source;
    }
    if (source == "eebus") {
        deactivateServiceInInterface();
        pauseBetweenSources();
        activateEEBUSInterface();
    } else if (source == "relais") {
        deactivateEEBUSInterface();
        pauseBetweenSources();
        activateServiceInInterface();
    } else {
        deactivateEEBUSInterface();
        deactivateServiceInInterface();
        pauseBetweenSources();
    }
    writeLpcToIec61850(0, false, 0);
    writeLppToIec61850(0, false, 0);
    if (serviceInInterface && interfaceFactory.resetServiceInCache) {
        interfaceFactory.resetServiceInCache(serviceInInterface);
    }
}

void IecServer::activateEEBUSInterface() {
    if (eebusInterface) return;
    createInterface(eebusInterface, "InternalInterfaceNymeaEEBUS", interfaceFactory.eebus, config.nymeaTcpPort);
    if (eebusInterface) std::cout << "✅ EEBUS interface activated." << std::endl;
}

void IecServer::deactivateEEBUSInterface() {
    if (!eebusInterface) return;
    eebusInterface.reset();
    std::cout << "🛑 EEBUS interface deactivated." << std::endl;
}

void IecServer::activateServiceInInterface() {
    if (serviceInInterface) return;
    createInterface(serviceInInterface, "ExternalInterfaceServiceIn", interfaceFactory.serviceIn);
    if (serviceInInterface) std::cout << "✅ ServiceIN interface activated." << std::endl;
}

void IecServer::deactivateServiceInInterface() {
    if (!serviceInInterface) return;
    serviceInInterface.reset();
    std::cout << "🛑 ServiceIN interface deactivated." << std::endl;
}

void IecServer::registerCallback(const std::string& name, CallbackFunction listener) {
    RoadLock::Guard road;
    callbacks.insert_or_assign(name, guardedListener(name, std::move(listener)));
}

void IecServer::unregisterCallback(const std::string& name) {
    RoadLock::Guard road;
    callbacks.erase(name);
}

// --- Main loop ------------------------------------------------------------------

bool IecServer::checkIfTheSlotIsInPast(const std::string& node, const std::string& clsName) {
    RoadLock::Guard road;  // may re-evaluate the CLS
    auto schedules = scheduleService();
    return !schedules || SlotBook::checkIfTheSlotIsInPast(*schedules, {node, clsName});
}

bool IecServer::checkIfTheSlotIsJustWritten(const std::string& node, const std::string& clsName) {
    return slots().checkIfTheSlotIsJustWritten({node, clsName});
}

void IecServer::deleteExpiredFilledSlots() {
    RoadLock::Guard road;
    if (auto schedules = scheduleService()) slots().deleteExpiredFilledSlots(*schedules);
}

void IecServer::updateStatesOfActiveSchedules() {
    RoadLock::Guard road;
    auto schedules = scheduleService();
    if (!schedules) return;
    for (int cls : schedules->getClsWithActiveSchedule()) {
        schedules->updateSchedule(cls);
        std::cout << "-- States of CLS " << cls << " are updated" << std::endl << std::endl;
        logMessage(&serverLogLevel, LOG_INFO, "server: States of CLS %d are updated", cls);
    }
    constexpr const char* kLpcSchedule = "EmpWCmd_FSCH030001";
    if (schedules->checkIfSlotIsInFuture(1, kLpcSchedule) ||
        schedules->checkIfActualTimeInScheduleInterval(1, kLpcSchedule)) {
        std::cout << "Schedules are active in the future" << std::endl;
        logMessage(&serverLogLevel, LOG_INFO, "server: Schedules are active in the future");
        schedules->updateSchedule(1);
    }
}

void IecServer::activateFutureSchedules() {
    RoadLock::Guard road;
    auto schedules = scheduleService();
    if (!schedules) return;
    const std::vector<int> future = schedules->getClsWithFutureTimestamp();
    for (int cls = 1; cls <= 4; ++cls) {
        if (!futureScheduleFlag[cls]) continue;
        std::cout << "############# Future Schedule found, try to activate" << std::endl;
        logMessage(&serverLogLevel, LOG_INFO, "server: ############# Future Schedule found, try to activate");
        schedules->updateSchedule(cls);
    }
    if (future.empty()) {
        futureScheduleFlag.fill(false);
        return;
    }
    std::cout << "############# Future schedules to update" << std::endl;
    for (int cls : future) {
        if (cls >= 1 && cls <= 4) futureScheduleFlag[cls] = true;
    }
}

void IecServer::startMainLoop() {
    serialization.debug = debugMode;
    runGuarded("the start-up evaluation", [] {
        RoadLock::Guard road;
        if (auto schedules = scheduleService()) schedules->updateStatesOfAllCls();
    });
    logMessage(&serverLogLevel, LOG_NOTICE, "server: ######################################################");
    std::cout << std::endl << "Waiting for Clients..." << std::endl;
    logMessage(&serverLogLevel, LOG_NOTICE, "server: Waiting for Clients...");
    processingTimer_ = cleanupTimer_ = Clock::get().steadyNow();
    logMessage(&serverLogLevel, LOG_INFO, debugMode ? "server: Running in DEBUG mode" : "server: Running in NORMAL mode");
    processingPeriod_ = std::chrono::milliseconds(debugMode ? 1000 : 5000);
    cleanupPeriod_ = std::chrono::milliseconds(debugMode ? 5000 : 10000);
}

void IecServer::runMainLoopPass(unsigned maxWaitMs) {
    IedServer_processIncomingData(iedServer);
    IedServer_performPeriodicTasks(iedServer);
    const auto now = Clock::get().steadyNow();
    if (now - processingTimer_ >= processingPeriod_) {
        runGuarded("the slot processing", [] { processIECValuesInSM(); });
        processingTimer_ = now;
        runGuarded("the update of active schedules", [] { updateStatesOfActiveSchedules(); });
        runGuarded("the activation of future schedules", [this] { activateFutureSchedules(); });
    }
    if (now - cleanupTimer_ >= cleanupPeriod_) {
        runGuarded("the slot cleanup", [] { deleteExpiredFilledSlots(); });
        cleanupTimer_ = now;
    }
    // Returns as soon as a client request arrives; at most maxWaitMs.
    if (IedServer_waitReady(iedServer, maxWaitMs) < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(maxWaitMs));
    }
}

void IecServer::run() {
    startMainLoop();
    for (;;) runMainLoopPass();
}
