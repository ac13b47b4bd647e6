#pragma once
// The central object of the daemon: configuration, the MMS server start-up,
// the interface objects it owns, the listener registry, the power-limit
// source and the main loop. The power-limit write entry points and the slot
// processing are class-level operations usable from any thread.

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "server/Callbacks.h"

class ExternalInterfaceServiceIn;
class ExternalInterfaceCLSEEDI;
class ExternalInterfaceMoreVale;
class InternalInterfaceDBUS;
class InternalInterfaceJSONRPC;
class InternalInterfaceNymea;
class InternalInterfaceNymeaEEBUS;

class IecServer {
public:
    IecServer();
    ~IecServer();
    IecServer(const IecServer&) = delete;
    IecServer& operator=(const IecServer&) = delete;

    // Configuration ("IECServer.conf").
    bool debugMode = false;
    int iec61850TcpPort = 0;
    int nymeaTcpPort = 0;
    bool activateExternMqttClseedi = false;
    bool activateExternMqttMoreVale = false;
    bool activateInternDbus = false;
    bool activateInternJsonrpc = false;

    std::string icdVersion;

    // Interface objects, created and owned here.
    std::unique_ptr<ExternalInterfaceServiceIn> serviceInInterface;
    std::unique_ptr<ExternalInterfaceCLSEEDI> clseediInterface;
    std::unique_ptr<ExternalInterfaceMoreVale> moreValeInterface;
    std::unique_ptr<InternalInterfaceDBUS> dbusInterface;
    std::unique_ptr<InternalInterfaceJSONRPC> jsonrpcInterface;
    std::unique_ptr<InternalInterfaceNymea> nymeaInterface;
    std::unique_ptr<InternalInterfaceNymeaEEBUS> eebusInterface;

    std::array<bool, 5> futureScheduleFlag{};

    // Listener registry, called with the CLS number after each change of a CLS's active value.
    CallbackMap callbacks;

    // Start-up and main loop.
    void loadConfig();
    void initIecServer();
    void initInterfaces();
    [[noreturn]] void run();

    // Listener registry and power-limit source.
    void registerCallback(const std::string& name, CallbackFunction listener);
    void setPowerLimitSource(const std::string& source);
    std::string getPowerLimitSource() const;

    // Power-limit write entry points (any thread; return after the slot was processed).
    static bool writePowerLimitToIec61850(const std::string& clsDevice, int durationSeconds, bool active,
                                          float limitW);
    static bool writeLpcToIec61850(int durationSeconds, bool active, float limitW);
    static bool writeLppToIec61850(int durationSeconds, bool active, float limitW);
    static bool writeLpcWithStartTimeToIec61850(uint64_t startTimeMs, int durationSeconds,
                                                const std::string& clsDevice, bool active, float limitW);
    static float getActiveValue(int cls);
    static bool checkIfLPCisAlreadyDeactivated();
    static bool checkIfLPPisAlreadyDeactivated();
    static int64_t getTotalDuration();
    static void resendLpc();

    static void processIECValuesInSM();

private:
    mutable std::mutex powerLimitSourceMutex_;
    std::string powerLimitSource_;
};
