#pragma once
// The MMS services on the model's variables: GetNameList, variable access
// attributes, Read, Write (with direct control through "Oper"), named
// variable lists (the data sets), reports and journals.
//
// Every service call, the periodic tasks and the connection hooks run on the
// thread that processes incoming data. Control handlers are called from the
// periodic tasks, after the write answer of the operate went out, without the
// data-model lock.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_services.h"
#include "iec61850/services/model_index.h"
#include "iec61850/services/reports.h"
#include "iec61850/services/variable_reference.h"

namespace services {

// ServiceError classes and codes (ISO 9506-2) the services answer with.
enum ServiceErrorClass { ERROR_CLASS_DEFINITION = 2, ERROR_CLASS_RESOURCE = 3, ERROR_CLASS_ACCESS = 7 };
enum { DEFINITION_OBJECT_UNDEFINED = 1, RESOURCE_OTHER = 0, ACCESS_OBJECT_NON_EXISTENT = 2 };
// Confirmed-request reject code for undecodable service content.
constexpr int kRejectInvalidArgument = 4;

class VariableServices {
public:
    // sender queues an encoded report PDU for an association; clock gives the
    // time in ms since the epoch (the system clock when empty).
    VariableServices(IedServer server, ReportEngine::Sender sender, ReportEngine::Clock clock = {});
    VariableServices(const VariableServices&) = delete;
    VariableServices& operator=(const VariableServices&) = delete;

    MmsServiceResult getNameList(const MmsServiceContext& ctx, std::span<const uint8_t> content);
    MmsServiceResult getVariableAccessAttributes(const MmsServiceContext& ctx, std::span<const uint8_t> content);
    MmsServiceResult read(const MmsServiceContext& ctx, std::span<const uint8_t> content);
    MmsServiceResult write(const MmsServiceContext& ctx, std::span<const uint8_t> content);
    MmsServiceResult getNamedVariableListAttributes(const MmsServiceContext& ctx, std::span<const uint8_t> content);
    MmsServiceResult readJournal(const MmsServiceContext& ctx, std::span<const uint8_t> content);

    // Runs the control handlers of accepted operates, then sends due reports.
    void periodic();
    void connectionClosed(sMmsServerConnection* connection);

    ModelIndex& index() { return index_; }
    ReportEngine& reports() { return *reports_; }
    // Rebuilds the report engine after index parts were added by hand (tests).
    void reindex();
    // Called when a report was queued from another thread, so that the loop
    // processing incoming data wakes up and sends it.
    void setWakeUp(std::function<void()> wakeUp);
    // Where reports learn the PDU size of their association.
    void setPduSizeOf(ReportEngine::PduSizeOf pduSizeOf);

private:
    struct ObjectName {
        enum class Scope { Vmd, Domain, Association } scope = Scope::Vmd;
        std::string domain;
        std::string item;
    };
    struct PendingControl {
        ControlBinding binding;
        MmsValuePtr ctlVal;
        bool test = false;
    };

    static bool parseObjectName(const ber::Tlv& tlv, ObjectName& out);
    std::optional<VariableRef> resolve(const ObjectName& name) const;
    void writeRefType(ber::Writer& w, const VariableRef& ref);
    void writeRefValue(ber::Writer& w, const VariableRef& ref);
    void writeFcGroupType(ber::Writer& w, const LogicalNode* node, FunctionalConstraint fc);
    void writeFcGroupValue(ber::Writer& w, const LogicalNode* node, FunctionalConstraint fc);
    void writeLcbField(ber::Writer& w, const LcbInfo& lcb, int field);
    static void writeLcbFieldType(ber::Writer& w, int field);
    static void writeLcbType(ber::Writer& w);
    void writeLcbValue(ber::Writer& w, const LcbInfo& lcb);
    MmsDataAccessError writeVariable(sMmsServerConnection* connection, const ObjectName& name, const MmsValue* value);
    MmsDataAccessError operate(const VariableRef& ref, const MmsValue* value);
    const std::vector<std::string>& domainNames(const LogicalDevice* device);
    void makeReportEngine();

    IedServer server_;
    ModelIndex index_;
    ReportEngine::Sender sender_;
    ReportEngine::Clock clock_;
    std::function<void()> wakeUp_;
    ReportEngine::PduSizeOf pduSizeOf_;
    std::unique_ptr<ReportEngine> reports_;
    std::map<const LogicalDevice*, std::vector<std::string>> nameCache_;
    std::vector<PendingControl> pendingControls_;
};

// Installs the services on a server (the body of MmsVariableServices_install).
void installVariableServices(IedServer server);

}  // namespace services

// The server's service-module state (sIedServer::services).
class ServicesState {
public:
    ServicesState(IedServer server, services::ReportEngine::Sender sender) : variables(server, std::move(sender)) {}
    services::VariableServices variables;
};
