#pragma once
// The D-Bus service on a private system bus, over a model server and a
// recording double of the core, with a second bus client watching it.

#include <gtest/gtest.h>
#include <syslog.h>

#include <memory>
#include <string>

#include "foundation/ModelLookup.h"
#include "internal/InternalInterfaceDBUS.h"
#include "model/StaticModel.h"
#include "tests/internal/BusClient.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/TestSupport.h"

namespace bustest {

class DbusServiceTest : public testsupport::IecTest {
protected:
    DbusServiceTest() : model(IedServer_create(getStaticIedModel())) {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n");
        core.iedServer = model;
    }
    ~DbusServiceTest() override {
        client.reset();
        service.reset();
        IedServer_destroy(model);
    }
    void SetUp() override {
        ASSERT_TRUE(bus.running());
        service = std::make_unique<InternalInterfaceDBUS>(core);
        ASSERT_TRUE(service->isServing());
        client = std::make_unique<BusClient>();
    }

    void setFloat(int cls, const char* ln, const char* dobj, const char* da, float value) {
        DataAttribute* attr = findSubDataAttribute("CLS" + std::to_string(cls), ln, dobj, da, "f");
        ASSERT_NE(attr, nullptr);
        IedServer_updateFloatAttributeValue(model, attr, value);
    }
    void setActPow(int cls, float mxVal, int32_t multiplier, float minVal = 0, float maxVal = 0) {
        setFloat(cls, "ActPow_GGIO001", "AnOut1", "mxVal", mxVal);
        setFloat(cls, "ActPow_GGIO001", "AnOut1", "minVal", minVal);
        setFloat(cls, "ActPow_GGIO001", "AnOut1", "maxVal", maxVal);
        IedServer_updateInt32AttributeValue(
            model, findSubDataAttribute("CLS" + std::to_string(cls), "ActPow_GGIO001", "AnOut1", "units", "multiplier"),
            multiplier);
    }
    float totW(int cls) const {
        return IedServer_getFloatAttributeValue(
            model, findSubDataAttribute("CLS" + std::to_string(cls), "MMXU001", "TotW", "mag", "f"));
    }

    testsupport::PrivateSystemBus bus;
    IedServer model;
    RecordingCore core;
    std::unique_ptr<InternalInterfaceDBUS> service;
    std::unique_ptr<BusClient> client;
};

}  // namespace bustest
