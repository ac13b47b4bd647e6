#pragma once
// The central object of the daemon: configuration, the MMS server start-up,
// the interface objects it owns, the listener registry, the power-limit
// source and the main loop. The power-limit write entry points and the slot
// processing are class-level operations usable from any thread.
//
// Locking: everything that walks the processing road runs under the
// process-wide, non-recursive road lock (schedules/RoadLock.h). Each entry
// takes it once: the control handler, processIECValuesInSM, the write entry
// points, resendLpc, getScheduleData and getTotalDuration, each task of the
// main loop, listener (un)registration. The functions they call assume it is
// held and never take it again. The lock is never held while an interface
// object is created or destroyed.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "iec61850/iec61850_server.h"
#include "foundation/Callbacks.h"
#include "server/IecCore.h"
#include "server/InterfaceOwner.h"
#include "server/ServerConfig.h"
#include "server/SlotBook.h"

class ScheduleService;
class Serialization;
class SlotBook;

// The IEC 61850 server of the process (null until initIecServer creates it).
extern IedServer iedServer;
// The schedule logical-node names of a CLS device, in model order.
extern std::vector<std::string> allScheduleNames;
// The one XML writer of IEC values.
extern Serialization serialization;

class IecServer final : public IecCore {
public:
    IecServer();
    ~IecServer() override;
    IecServer(const IecServer&) = delete;
    IecServer& operator=(const IecServer&) = delete;

    // The "--debug" flag of the command line.
    bool debugMode = false;
    // Configuration ("IECServer.conf"), filled by loadConfig.
    ServerConfig config;

    std::string icdVersion;

    // Interface objects, created and owned here.
    InterfaceOwner<ExternalInterfaceServiceIn> serviceInInterface;
    InterfaceOwner<ExternalInterfaceCLSEEDI> clseediInterface;
    InterfaceOwner<ExternalInterfaceMoreVale> moreValeInterface;
    InterfaceOwner<InternalInterfaceDBUS> dbusInterface;
    InterfaceOwner<InternalInterfaceJSONRPC> jsonrpcInterface;
    InterfaceOwner<InternalInterfaceNymea> nymeaInterface;
    InterfaceOwner<InternalInterfaceNymeaEEBUS> eebusInterface;

    // How the interfaces above are made (tests replace it before use).
    InterfaceFactory interfaceFactory;

    std::array<bool, 5> futureScheduleFlag{};

    // Listener registry, called with the CLS number after each change of a
    // CLS's active value. Changed only under the road lock (registerCallback,
    // unregisterCallback); walked inside the road, on the thread that runs it,
    // one listener after the other. A listener returns promptly: it never
    // waits on the network or on another road, never calls a write entry
    // point or resendLpc, never (un)registers a listener; slow work goes to a
    // thread of its own. A listener that throws is logged and the walk goes on.
    CallbackMap callbacks;

    // Start-up and main loop. loadConfig and initIecServer throw StartupError
    // (server/ServerConfig.h) when the start-up cannot go on.
    void loadConfig();
    void initIecServer();
    void initInterfaces();
    [[noreturn]] void run();
    // The steps of run(): what precedes the loop, and one pass of it, which
    // waits at most maxWaitMs for MMS traffic at its end.
    void startMainLoop();
    void runMainLoopPass(unsigned maxWaitMs = 100);

    // Listener registry and power-limit source.
    void registerCallback(const std::string& name, CallbackFunction listener) override;
    void unregisterCallback(const std::string& name) override;
    void setPowerLimitSource(const std::string& source) override;
    std::string getPowerLimitSource() const override;
    void activateEEBUSInterface();
    void deactivateEEBUSInterface();
    void activateServiceInInterface();
    void deactivateServiceInInterface();

    // Power-limit write entry points (any thread; return after the slot was processed).
    bool writePowerLimitToIec61850(const std::string& clsDevice, int durationSeconds, bool active,
                                   float limitW) override;
    bool writeLpcToIec61850(int durationSeconds, bool active, float limitW) override;
    bool writeLppToIec61850(int durationSeconds, bool active, float limitW) override;
    bool writeLpcWithStartTimeToIec61850(uint64_t startTimeMs, int durationSeconds, const std::string& clsDevice,
                                         bool active, float limitW) override;
    float getActiveValue(int cls) override;
    ActiveLimit readActiveLimit(int cls) const override;
    int32_t getActiveMultiplier(int cls) override;
    std::string getActiveScheduleName(int cls) override;
    bool checkIfLPCisAlreadyDeactivated() override;
    bool checkIfLPPisAlreadyDeactivated() override;
    int64_t getTotalDuration() override;
    PowerLimitScheduleMap getScheduleData(int cls) override;
    void resendLpc() override;

    // The rest of the seam of the interfaces.
    bool isDebugMode() const override { return debugMode; }
    int getNymeaTcpPort() const override { return config.nymeaTcpPort; }
    IedServer getIedServer() const override { return iedServer; }
    HomeBalance homeBalance() const override;

    // Control road and slot processing.
    static ControlHandlerResult controlHandler(ControlAction action, void* parameter, MmsValue* ctlVal, bool test);
    static bool setDataObjectStVal(const std::string& clsName, const std::string& node, const std::string& object,
                                   bool value);
    // Entry of the road: takes the road lock and processes the pending slots.
    static void processIECValuesInSM();
    // Inside the road (the caller holds the road lock): hands every pending
    // slot to schedule management and saves the XML file after each. The
    // result holds the slots the schedule store did not take.
    static SlotSet processPendingSlots();

    // MMS handlers.
    static void connectionIndicationHandler(IedServer server, ClientConnection connection, bool connected,
                                            void* parameter);
    static MmsError fileAccessHandler(void* parameter, MmsServerConnection connection, MmsFileServiceType service,
                                      const char* localFilename, const char* otherFilename);

    // Periodic tasks of the main loop.
    static bool checkIfTheSlotIsInPast(const std::string& node, const std::string& clsName);
    static bool checkIfTheSlotIsJustWritten(const std::string& node, const std::string& clsName);
    static void deleteExpiredFilledSlots();
    static void updateStatesOfActiveSchedules();
    void activateFutureSchedules();

    // Parts of initIecServer.
    void installControlHandlers(int cls);
    void setSTBData();
    void setInitPlim();

    // Process-wide state of the server core.
    static SlotBook& slots();
    // The schedule handling the road runs through (null before initIecServer).
    static std::shared_ptr<ScheduleService> scheduleService();
    static void setScheduleServiceForTesting(std::shared_ptr<ScheduleService> service);

private:
    template <class T, class... Args>
    void createInterface(InterfaceOwner<T>& owner, const char* className,
                         const std::function<InterfaceOwner<T>(IecServer&, Args...)>& creator, Args... args);
    void pauseBetweenSources();

    // What an MMS control operates. installControlHandlers makes one entry
    // per controllable object and hands its address to the library as the
    // handler's parameter, so the handler finds its target without a search.
    struct ControlTarget {
        int cls;
        std::string clsName;
        std::string node;
        const char* operated;
        const char* opposite;
    };
    std::map<const DataObject*, ControlTarget> controlTargets_;

    mutable std::mutex powerLimitSourceMutex_;
    std::string powerLimitSource_;
    std::mutex sourceSwitchMutex_;

    std::chrono::steady_clock::time_point processingTimer_{};
    std::chrono::steady_clock::time_point cleanupTimer_{};
    std::chrono::milliseconds processingPeriod_{5000};
    std::chrono::milliseconds cleanupPeriod_{10000};
};
