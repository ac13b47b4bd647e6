#include "RealModelServer.h"

#include "ServiceTestModel.h"
#include "iec61850/ied_server_internal.h"
#include "model/StaticModel.h"

namespace servicetest {

namespace {

IedServer theServer = nullptr;

ControlHandlerResult writeStVal(ControlAction, void* parameter, MmsValue* ctlVal, bool) {
    ModelNode* stVal = ModelNode_getChild(static_cast<ModelNode*>(parameter), "stVal");
    if (stVal != nullptr)
        IedServer_updateBooleanAttributeValue(theServer, static_cast<DataAttribute*>(stVal), MmsValue_getBoolean(ctlVal));
    return CONTROL_RESULT_OK;
}

}  // namespace

DataAttribute* findAttribute(IedModel* model, const char* ld, std::initializer_list<const char*> path) {
    ModelNode* node = IedModel_getDeviceByInst(model, ld);
    for (const char* name : path) node = node ? ModelNode_getChild(node, name) : nullptr;
    return node && node->modelType == DataAttributeModelType ? static_cast<DataAttribute*>(node) : nullptr;
}

IedServer realModelServer() {
    if (theServer != nullptr) return theServer;
    theServer = IedServer_create(getStaticIedModel());
    IedModel* model = theServer->model;
    IedServer_updateVisibleStringAttributeValue(theServer, findAttribute(model, "STB", {"LPHD", "PhyNam", "serNum"}),
                                                "vm");
    for (const char* cls : {"CLS1", "CLS2", "CLS3", "CLS4"}) {
        IedServer_updateFloatAttributeValue(theServer,
                                            findAttribute(model, cls, {"ActPow_GGIO001", "AnOut1", "mxVal", "f"}), -1.0F);
        LogicalDevice* device = IedModel_getDeviceByInst(model, cls);
        for (ModelNode* ln = device->firstChild; ln != nullptr; ln = ln->sibling) {
            for (const char* name : {"EnaReq", "DsaReq"}) {
                auto* object = static_cast<DataObject*>(ModelNode_getChild(ln, name));
                if (object != nullptr) IedServer_setControlHandler(theServer, object, &writeStVal, object);
            }
        }
    }
    IedServer_setWriteAccessPolicy(theServer, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    return theServer;
}

RealModelTest::RealModelTest() : server(realModelServer()) {
    services = std::make_unique<services::VariableServices>(server, [this](sMmsServerConnection* c, std::vector<uint8_t> pdu) {
        sent.emplace_back(c, std::move(pdu));
        return true;
    });
    server->updateListener = [this](DataAttribute* attr, uint8_t reason) {
        services->reports().onAttributeUpdate(attr, reason);
    };
}

RealModelTest::~RealModelTest() {
    server->updateListener = nullptr;
    services.reset();
}

MmsServiceResult RealModelTest::call(Method method, const std::vector<uint8_t>& content, sMmsServerConnection* conn) {
    MmsServiceContext ctx{server, conn != nullptr ? conn : connA, 1, 65000};
    return (services.get()->*method)(ctx, content);
}

int RealModelTest::write(const std::string& domain, const std::string& item, const MmsValue* value,
                         sMmsServerConnection* conn) {
    MmsServiceResult r = call(&services::VariableServices::write, writeRequest(domain, item, value), conn);
    std::vector<int> results = decodeWriteResults(r.content);
    return results.size() == 1 ? results[0] : -100;
}

int RealModelTest::writeBool(const std::string& domain, const std::string& item, bool value,
                             sMmsServerConnection* conn) {
    MmsValuePtr v(MmsValue_newBoolean(value));
    return write(domain, item, v.get(), conn);
}

}  // namespace servicetest
