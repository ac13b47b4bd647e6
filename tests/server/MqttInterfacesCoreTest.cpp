// The MQTT interfaces that the start-up does not create, on the real core:
// a measurement of the internal interface reaches the core's model, and a
// UMeadow limit runs down the core's write entry point into the model.
#include <syslog.h>

#include <thread>

#include "external/ExternalInterfaceUMeadow.h"
#include "internal/InternalInterfaceMQTT.h"
#include "tests/server/ServerFixture.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"

using namespace std::chrono_literals;
using testsupport::eventually;

namespace {

class MqttInterfacesOnTheCore : public servertest::ServerCoreTest {
protected:
    MqttInterfacesOnTheCore() : broker(workDir.path() / "broker") {}
    void SetUp() override { ASSERT_TRUE(broker.start()); }

    IecServer& server = servertest::startedServer();
    testsupport::MosquittoBroker broker;
};

TEST_F(MqttInterfacesOnTheCore, MeasurementReachesTheModel) {
    workDir.writeFile(kInternalMqttConfigPath,
                      R"({"mqttBroker":"127.0.0.1","mqttPort":)" + std::to_string(broker.port()) +
                          R"(,"enableTLS":false,"mqttUsernameGateway":"","mqttPasswordGateway":"",)"
                          R"("gateway_sub_topic":"rurodi/toStb/#","gateway_pub_topic":"rurodi/toEMS"})");
    InternalInterfaceMQTT iface(server);
    ASSERT_TRUE(iface.connected());

    testsupport::MqttTestClient peer("127.0.0.1", broker.port());
    ASSERT_TRUE(peer.connect());
    DataAttribute* mag = findSubDataAttribute("CLS3", "MMXU001", "TotW", "mag", "f");
    DataAttribute* time = findDataAttribute("CLS3", "MMXU001", "TotW", "t");
    ASSERT_TRUE(eventually([&] {
        peer.publish("rurodi/toStb/cls/send/mxu001/3",
                     R"({"totw":{"mag_f":-812.25,"t":1767225600000,"units_multiplier":0},)"
                     R"("hz":{"mag_f":50.01,"t":1767225600000,"units_multiplier":0}})",
                     1);
        // Read under the model lock the interface writes under.
        DataModelLock lock(iedServer);
        return IedServer_getFloatAttributeValue(iedServer, mag) == -812.25f &&
               IedServer_getUTCTimeAttributeValue(iedServer, time) == 1767225600000u;
    }));
}

TEST_F(MqttInterfacesOnTheCore, UMeadowLimitRunsDownTheWriteEntryPoint) {
    workDir.writeFile(kUMeadowConfigPath, R"({"mqttBroker":"127.0.0.1","mqttPort":)" + std::to_string(broker.port()) +
                                              R"(,"enableTLS":false,"dso":"d","gcp":"g","version":"0.4.0"})");
    ExternalInterfaceUMeadow gateway(server);
    ASSERT_EQ(gateway.startMqttLoop(), 0);

    testsupport::MqttTestClient peer("127.0.0.1", broker.port());
    ASSERT_TRUE(peer.connect());
    DataAttribute* value = findSubDataAttribute("CLS1", "EmpDCmd_FSCH050001", "ValASG001", "setMag", "f");
    DataAttribute* enabled = findDataAttribute("CLS1", "EmpDCmd_FSCH050001", "EnaReq", "stVal");
    // Logged once the write entry point has returned: only then are the
    // value and the control pair both in place.
    ASSERT_TRUE(eventually([&] {
        peer.publish("lpc/set/value", "2750.5", 1);
        return syslog.contains(LOG_NOTICE, "u-meadow:  Wrote P_Lim to server: 2750.500000W");
    }));
    EXPECT_EQ(IedServer_getFloatAttributeValue(iedServer, value), 2750.5f);
    EXPECT_TRUE(IedServer_getBooleanAttributeValue(iedServer, enabled));
}

}  // namespace
