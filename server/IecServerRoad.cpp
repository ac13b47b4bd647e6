// The processing road of IecServer: the control handler, the slot processing,
// the power-limit write entry points with their read-back companions, and the
// connection and file access handlers of the MMS server.
#include <syslog.h>

#include <filesystem>
#include <iostream>
#include <optional>

#include "schedules/RoadLock.h"
#include "foundation/Clock.h"
#include "server/IecServer.h"
#include "foundation/Logging.h"
#include "foundation/ModelLookup.h"
#include "schedules/ScheduleService.h"
#include "server/Serialization.h"
#include "server/ServerLog.h"
#include "server/SlotBook.h"

namespace {

constexpr const char* kDurationSchedule = "EmpWCmd_FSCH030001";
constexpr const char* kDirectSchedule = "EmpDCmd_FSCH050001";
constexpr const char* kProtectedFile = "IEDSERVER.BIN";

const char* boolText(bool value) { return value ? "true" : "false"; }

// The attribute writes of a one-entry schedule, in order; each names what a
// failed lookup reports.
enum class ScheduleField { NumEntr, SchdIntv, Value, Multiplier, StartTime };
using MissingFieldReport = void (*)(ScheduleField, const std::string& clsName, const std::string& node);

void reportMissingToSyslog(ScheduleField field, const std::string& clsName, const std::string& node) {
    const char* cls = clsName.c_str();
    const char* ln = node.c_str();
    switch (field) {
        case ScheduleField::NumEntr:
            logMessage(&serverLogLevel, LOG_ERR, "Data attribute '%s' not found for %s / %s", "NumEntr", cls, ln);
            break;
        case ScheduleField::SchdIntv:
            logMessage(&serverLogLevel, LOG_ERR, "Data attribute '%s' not found for %s / %s", "SchdIntv", cls, ln);
            break;
        case ScheduleField::Value:
            logMessage(&serverLogLevel, LOG_ERR, "Data attribute 'ValASG001.setMag' not found for %s / %s", cls, ln);
            break;
        case ScheduleField::Multiplier:
            logMessage(&serverLogLevel, LOG_ERR, "Data attribute 'ValASG001.units.multiplier' not found for %s / %s",
                       cls, ln);
            break;
        case ScheduleField::StartTime:
            logMessage(&serverLogLevel, LOG_ERR, "Data attribute 'StrTm01.setTm' not found for %s / %s", cls, ln);
            break;
    }
}

void reportMissingToStderr(ScheduleField field, const std::string&, const std::string&) {
    static constexpr const char* kTexts[] = {
        "IecServer - Data Attribute for NumEntr not found.", "IecServer - Data Attribute for Schedule Interval not found.",
        "IecServer - Data Attribute for Value Assignment not found.", "IecServer - Data Attribute for multiplier not found.",
        "IecServer - Data Attribute for Start Time not found."};
    std::cerr << kTexts[static_cast<int>(field)] << std::endl;
}

// Writes one entry (interval, value in W with multiplier 0, start time) and
// the control pair into a schedule node. startMs empty: now, read just before
// the start time is written. False at the first missing attribute.
bool writeOneEntrySchedule(const std::string& clsName, const std::string& node, int32_t durationSeconds, float limitW,
                           std::optional<uint64_t> startMs, bool active, MissingFieldReport report) {
    DataAttribute* numEntr = findDataAttribute(clsName, node, "NumEntr", "setVal");
    if (numEntr == nullptr) return report(ScheduleField::NumEntr, clsName, node), false;
    IedServer_updateInt32AttributeValue(iedServer, numEntr, 1);

    DataAttribute* interval = findDataAttribute(clsName, node, "SchdIntv", "setVal");
    if (interval == nullptr) return report(ScheduleField::SchdIntv, clsName, node), false;
    IedServer_updateInt32AttributeValue(iedServer, interval, durationSeconds);

    DataAttribute* magnitude = findDataAttribute(clsName, node, "ValASG001", "setMag");
    if (magnitude == nullptr) return report(ScheduleField::Value, clsName, node), false;
    MmsValuePtr value(MmsValue_createEmptyStructure(1));
    MmsValue_setElement(value.get(), 0, MmsValue_newFloat(limitW));
    IedServer_updateAttributeValue(iedServer, magnitude, value.get());

    DataAttribute* multiplier = findSubDataAttribute(clsName, node, "ValASG001", "units", "multiplier");
    if (multiplier == nullptr) return report(ScheduleField::Multiplier, clsName, node), false;
    IedServer_updateInt32AttributeValue(iedServer, multiplier, 0);

    DataAttribute* startTime = findDataAttribute(clsName, node, "StrTm01", "setTm");
    if (startTime == nullptr) return report(ScheduleField::StartTime, clsName, node), false;
    IedServer_updateUTCTimeAttributeValue(iedServer, startTime, startMs ? *startMs : Clock::get().wallMs());

    const char* on = active ? "EnaReq" : "DsaReq";
    const char* off = active ? "DsaReq" : "EnaReq";
    return IecServer::setDataObjectStVal(clsName, node, on, true) &&
           IecServer::setDataObjectStVal(clsName, node, off, false);
}

// Queues the slot and processes it (with whatever else is pending) at once.
// Inside the road. False when the schedule store did not take it: the limit
// is not applied. The road lock is held from the model writes on, so no other
// pass can have taken the slot meanwhile.
bool processWrittenSlot(const std::string& node, const std::string& clsName) {
    IecServer::slots().addPending({node, clsName});
    const SlotSet unstored = IecServer::processPendingSlots();
    if (unstored.count({node, clsName}) == 0) return true;
    logMessage(&serverLogLevel, LOG_NOTICE, "server: %s / %s was not taken by the schedule store; the limit is not applied", clsName.c_str(),
               node.c_str());
    return false;
}

bool isProtectedFile(const char* name) {
    if (name == nullptr) return false;
    const std::filesystem::path normal = std::filesystem::path(name).lexically_normal().relative_path();
    return normal == kProtectedFile;
}

}  // namespace

// --- Control road -----------------------------------------------------------------

ControlHandlerResult IecServer::controlHandler(ControlAction, void* parameter, MmsValue* ctlVal, bool) {
    try {
        if (ctlVal == nullptr || MmsValue_getType(ctlVal) != MMS_BOOLEAN) {
            std::cout << "received non-binary control command " << std::flush;
            return CONTROL_RESULT_FAILED;
        }
        std::cout << "received binary control command: ";
        const bool value = MmsValue_getBoolean(ctlVal);
        logMessage(&serverLogLevel, LOG_NOTICE, "-----");

        RoadLock::Guard road;
        // The parameter is the entry installControlHandlers made for the operated object.
        if (const auto* target = static_cast<const ControlTarget*>(parameter)) {
            std::cout << "### 1.0 controlHandler - parameter matches " << target->operated << " on CLS" << target->cls
                      << " schedule: " << target->node << std::endl;
            logMessage(&serverLogLevel, LOG_NOTICE, "### server: 1.0 controlHandler - LD: CLS%d, LN: %s, DO: %s, value: %s",
                       target->cls, target->node.c_str(), target->operated, boolText(value));
            setDataObjectStVal(target->clsName, target->node, target->operated, value);
            setDataObjectStVal(target->clsName, target->node, target->opposite, false);
            std::cout << "1.1 controlHandler - parameter matches EnaReq/DsaReq on " << target->clsName
                      << " schedule: " << target->node << std::endl;
            slots().recordControl({target->node, target->clsName});
        }
        processPendingSlots();
        return CONTROL_RESULT_OK;
    } catch (const std::exception& e) {
        logMessage(&serverLogLevel, LOG_ERR, "server: control handling failed: %s", e.what());
    } catch (...) {
        logMessage(&serverLogLevel, LOG_ERR, "server: control handling failed");
    }
    return CONTROL_RESULT_FAILED;
}

bool IecServer::setDataObjectStVal(const std::string& clsName, const std::string& node, const std::string& object,
                                   bool value) {
    DataAttribute* stVal = findDataAttribute(clsName, node, object, "stVal");
    if (stVal == nullptr) {
        logMessage(&serverLogLevel, LOG_ERR, "Data attribute '%s.stVal' not found for %s / %s", object.c_str(),
                   clsName.c_str(), node.c_str());
        return false;
    }
    IedServer_updateBooleanAttributeValue(iedServer, stVal, value);
    return true;
}

void IecServer::processIECValuesInSM() {
    RoadLock::Guard road;
    processPendingSlots();
}

SlotSet IecServer::processPendingSlots() {
    RoadLock::assertHeld();
    const SlotSet batch = slots().takePending();
    if (batch.empty()) return {};
    auto schedules = scheduleService();
    if (!schedules) {
        logMessage(&serverLogLevel, LOG_ERR, "server: no schedule handling; %zu written slots not processed",
                   batch.size());
        return batch;
    }
    SlotSet unstored;
    for (const auto& slot : batch) {
        const auto& [node, clsName] = slot;
        try {
            logMessage(&serverLogLevel, LOG_INFO, "server: 2.0 processIEC ValuesInSM - Logical Node Name: %s, CLS Name: %s",
                       node.c_str(), clsName.c_str());
            const int cls = logicalDeviceKindFromString(clsName);
            schedules->sendIECValuesToScheduleManager(node, cls);
            schedules->updateSchedule(cls);
            // The evaluation syncs what the hand-over wrote; either may fail.
            if (!schedules->isStored(cls, node)) unstored.insert(slot);
            persistedSlots = batch;
            serialization.save_all_IEC_values_to_XML();
        } catch (const std::exception& e) {
            logMessage(&serverLogLevel, LOG_ERR, "server: processing of %s / %s failed: %s", node.c_str(),
                       clsName.c_str(), e.what());
            unstored.insert(slot);
        } catch (...) {
            logMessage(&serverLogLevel, LOG_ERR, "server: processing of %s / %s failed", node.c_str(), clsName.c_str());
            unstored.insert(slot);
        }
    }
    return unstored;
}

// --- Write entry points --------------------------------------------------------

bool IecServer::writePowerLimitToIec61850(const std::string& clsDevice, int durationSeconds, bool active,
                                          float limitW) {
    try {
        const char* format = nullptr;
        if (clsDevice == "CLS1") {
            format = "server: new LPC! - duration: %d, plim: %.2f, clsDevice: %s, active: %s";
        } else if (clsDevice == "CLS2") {
            format = "server: new LPP written! - duration: %d, plim: %.2f, clsDevice: %s, active: %s";
        } else {
            logMessage(&serverLogLevel, LOG_ERR, "Invalid clsDevice: %s", clsDevice.c_str());
            return false;
        }
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        logMessage(&serverLogLevel, LOG_NOTICE, format, durationSeconds, static_cast<double>(limitW),
                   clsDevice.c_str(), boolText(active));
#pragma GCC diagnostic pop
        if (durationSeconds < 0) {
            logMessage(&serverLogLevel, LOG_ERR, "Invalid duration: %d", durationSeconds);
            return false;
        }
        const std::string node = durationSeconds > 0 ? kDurationSchedule : kDirectSchedule;
        RoadLock::Guard road;
        if (!writeOneEntrySchedule(clsDevice, node, durationSeconds, limitW, std::nullopt, active,
                                   &reportMissingToSyslog)) {
            return false;
        }
        return processWrittenSlot(node, clsDevice);
    } catch (const std::exception& e) {
        logMessage(&serverLogLevel, LOG_ERR, "server: power-limit write for %s failed: %s", clsDevice.c_str(), e.what());
    }
    return false;
}

bool IecServer::writeLpcToIec61850(int durationSeconds, bool active, float limitW) {
    return writePowerLimitToIec61850("CLS1", durationSeconds, active, limitW);
}

bool IecServer::writeLppToIec61850(int durationSeconds, bool active, float limitW) {
    return writePowerLimitToIec61850("CLS2", durationSeconds, active, limitW);
}

bool IecServer::writeLpcWithStartTimeToIec61850(uint64_t startTimeMs, int durationSeconds,
                                                const std::string& clsDevice, bool active, float limitW) {
    try {
        std::cout << std::endl
                  << "IecServer writeLpcWithStartTimeToIec61850" << std::endl
                  << "duration: " << durationSeconds << std::endl
                  << "plim in Watt: " << limitW << std::endl
                  << "clsDevice: " << clsDevice << std::endl
                  << "active: " << (active ? 1 : 0) << std::endl;
        logMessage(&serverLogLevel, LOG_NOTICE,
                   "server: IecServer writeLpcWithStartTimeToIec61850 - duration: %d, plim: %f, clsDevice: %s, active: %s",
                   durationSeconds, static_cast<double>(limitW), clsDevice.c_str(), boolText(active));
        if (durationSeconds < 0) {
            logMessage(&serverLogLevel, LOG_ERR, "Invalid duration: %d", durationSeconds);
            return false;
        }
        RoadLock::Guard road;
        if (!writeOneEntrySchedule(clsDevice, kDurationSchedule, durationSeconds, limitW, startTimeMs, active,
                                   &reportMissingToStderr)) {
            return false;
        }
        if (!processWrittenSlot(kDurationSchedule, clsDevice)) return false;
        std::cout << "IecServer writeLpcWithStartTimeToIec61850 done" << std::endl << std::endl;
        return true;
    } catch (const std::exception& e) {
        logMessage(&serverLogLevel, LOG_ERR, "server: power-limit write for %s failed: %s", clsDevice.c_str(), e.what());
    }
    return false;
}

// --- Read-back companions --------------------------------------------------------

namespace {

// The published per-CLS results carry a lock of their own in schedule
// management, so the read-backs need not wait for a road (and its listeners).
bool isDeactivated(int cls, const char* format) {
    auto schedules = IecServer::scheduleService();
    if (!schedules) return true;
    const std::string name = schedules->getActiveScheduleName(cls);
    const float value = schedules->getActiveValue(cls);
    const int32_t multiplier = schedules->getActiveMultiplier(cls);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    logMessage(&serverLogLevel, LOG_INFO, format, cls, name.c_str(), static_cast<double>(value), multiplier);
#pragma GCC diagnostic pop
    return value == -1.0f;
}

}  // namespace

bool IecServer::checkIfLPCisAlreadyDeactivated() {
    return isDeactivated(1, "Server: check IfLPCisAlreadyDeactivated Active Schedule of CLS%i is: ----- %s ----- with value: %f and multiplier: %i");
}

bool IecServer::checkIfLPPisAlreadyDeactivated() {
    return isDeactivated(2, "Server: check IfLPPisAlreadyDeactivated Active Schedule of CLS%i is: ----- %s ----- with value: %f and multiplier: %i");
}

ActiveLimit IecServer::readActiveLimit(int cls) const { return readActiveLimitFromModel(iedServer, cls); }

float IecServer::getActiveValue(int cls) {
    auto schedules = scheduleService();
    return schedules ? schedules->getActiveValue(cls) : -1.0f;
}

int32_t IecServer::getActiveMultiplier(int cls) {
    auto schedules = scheduleService();
    return schedules ? schedules->getActiveMultiplier(cls) : 0;
}

std::string IecServer::getActiveScheduleName(int cls) {
    auto schedules = scheduleService();
    return schedules ? schedules->getActiveScheduleName(cls) : std::string("no_schedule_active");
}

// The limit schedule the store hands on touches no schedule file and no
// evaluation state, so these two are read-backs like the active value: they
// never wait for a running road, and a listener may call them.
PowerLimitScheduleMap IecServer::getScheduleData(int cls) {
    auto schedules = scheduleService();
    return schedules ? schedules->getScheduleData(cls) : PowerLimitScheduleMap{};
}

int64_t IecServer::getTotalDuration() {
    auto schedules = scheduleService();
    return schedules ? schedules->getTotalDuration() : -1;
}

void IecServer::resendLpc() {
    try {
        RoadLock::Guard road;
        logMessage(&serverLogLevel, LOG_NOTICE, "server: Lets send LPC again");
        if (auto schedules = scheduleService()) schedules->updateStatesOfAllCls();
    } catch (const std::exception& e) {
        logMessage(&serverLogLevel, LOG_ERR, "server: resending the limits failed: %s", e.what());
    }
}

// --- MMS handlers ------------------------------------------------------------------

void IecServer::connectionIndicationHandler(IedServer, ClientConnection connection, bool connected, void*) {
    const char* address = ClientConnection_getPeerAddress(connection);
    const std::string peer = address ? address : "";
    if (connected) {
        std::cout << "Connection opened: " << peer << std::endl;
        logMessage(&serverLogLevel, LOG_NOTICE, "server: Connection opened: %s", peer.c_str());
        return;
    }
    std::cout << "Connection closed: " << peer << std::endl;
    logMessage(&serverLogLevel, LOG_WARNING, "server: Connection closed at: %s", localTimeText().c_str());
    logMessage(&serverLogLevel, LOG_WARNING, "server: Connection closed: %s", peer.c_str());
}

MmsError IecServer::fileAccessHandler(void*, MmsServerConnection, MmsFileServiceType service,
                                      const char* localFilename, const char* otherFilename) {
    std::cout << "1 ########## file AccessHandler ##########" << std::endl;
    std::cout << "file AccessHandler: service = " << static_cast<int>(service)
              << ", local-file: " << (localFilename ? localFilename : "")
              << ", other-file: " << (otherFilename ? otherFilename : "") << std::endl;
    switch (service) {
        case MMS_FILE_ACCESS_TYPE_READ_DIRECTORY:
            std::cout << "file AccessHandler: service = MMS_FILE_ACCESS_TYPE_READ_DIRECTORY" << std::endl;
            return MMS_ERROR_NONE;
        case MMS_FILE_ACCESS_TYPE_OPEN:
            std::cout << "file AccessHandler: service = MMS_FILE_ACCESS_TYPE_OPEN" << std::endl;
            return MMS_ERROR_NONE;
        case MMS_FILE_ACCESS_TYPE_OBTAIN:
            // The local name of an obtain is the file the server would write.
            std::cout << "file AccessHandler: service = MMS_FILE_ACCESS_TYPE_OBTAIN" << std::endl;
            return isProtectedFile(localFilename) ? MMS_ERROR_FILE_FILE_ACCESS_DENIED : MMS_ERROR_NONE;
        case MMS_FILE_ACCESS_TYPE_DELETE:
            std::cout << "file AccessHandler: service = MMS_FILE_ACCESS_TYPE_DELETE" << std::endl;
            return isProtectedFile(localFilename) ? MMS_ERROR_FILE_FILE_ACCESS_DENIED : MMS_ERROR_NONE;
        case MMS_FILE_ACCESS_TYPE_RENAME:
            std::cout << "file AccessHandler: service = MMS_FILE_ACCESS_TYPE_RENAME" << std::endl;
            return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    }
    return MMS_ERROR_NONE;
}
