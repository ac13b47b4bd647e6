// libFuzzer target on the MMS services as the daemon serves them: the real
// model with every service installed (variables, data sets, reports,
// files), control handlers on the schedules' EnaReq/DsaReq and a file store
// in a temporary directory. The first octet picks where the input enters
// (tests/mms/FuzzConnection.h); the seeds are the client side of the
// reference captures.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "iec61850/iec61850_log.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/mms_services.h"
#include "model/StaticModel.h"
#include "tests/mms/FuzzConnection.h"

namespace {

IedServer theServer = nullptr;

ControlHandlerResult writeStVal(ControlAction, void* parameter, MmsValue* ctlVal, bool) {
    ModelNode* stVal = ModelNode_getChild(static_cast<ModelNode*>(parameter), "stVal");
    if (stVal != nullptr && MmsValue_getType(ctlVal) == MMS_BOOLEAN) {
        IedServer_updateBooleanAttributeValue(theServer, static_cast<DataAttribute*>(stVal), MmsValue_getBoolean(ctlVal));
    }
    return CONTROL_RESULT_OK;
}

// A file store with one file, below a directory of its own; the fuzzer may
// delete or rename in it, so it is made again before each input.
const std::filesystem::path& fileStore() {
    static const std::filesystem::path base = [] {
        // On a memory file system where there is one: the store is refilled for every input.
        const std::filesystem::path dir =
            std::filesystem::exists("/dev/shm") ? "/dev/shm" : std::filesystem::temp_directory_path();
        std::string pattern = (dir / "mms-services-fuzz.XXXXXX").string();
        return std::filesystem::path(::mkdtemp(pattern.data()));
    }();
    return base;
}

void refillFileStore() {
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(fileStore(), ec)) {
        if (entry.path().filename() != "anchor.txt") std::filesystem::remove_all(entry.path(), ec);
    }
    std::filesystem::path file = fileStore() / "anchor.txt";
    if (!std::filesystem::exists(file)) std::ofstream(file) << "anchor test file\n";
}

IedServer server() {
    if (theServer != nullptr) return theServer;
    Iec61850_setLogHandler([](int, const char*) {});
    theServer = IedServer_create(getStaticIedModel());
    IedModel* model = theServer->model;
    for (const char* cls : {"CLS1", "CLS2", "CLS3", "CLS4"}) {
        LogicalDevice* device = IedModel_getDeviceByInst(model, cls);
        for (ModelNode* ln = device ? device->firstChild : nullptr; ln != nullptr; ln = ln->sibling) {
            for (const char* name : {"EnaReq", "DsaReq"}) {
                auto* object = static_cast<DataObject*>(ModelNode_getChild(ln, name));
                if (object != nullptr) IedServer_setControlHandler(theServer, object, &writeStVal, object);
            }
        }
    }
    IedServer_setWriteAccessPolicy(theServer, IEC61850_FC_CF, ACCESS_POLICY_ALLOW);
    IedServer_setFilestoreBasepath(theServer, (fileStore().string() + "/").c_str());
    MmsVariableServices_install(theServer);
    MmsFileServices_install(theServer);
    return theServer;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    IedServer s = server();
    refillFileStore();
    fuzzsupport::feed(s, data[0] % 3, std::span<const uint8_t>(data + 1, size - 1));
    return 0;
}
