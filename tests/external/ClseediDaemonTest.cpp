// The CLSEEDI gateway inside the daemon process: a control message through
// a real broker runs the core's whole road (entry point, schedule file,
// evaluation, "ActPow_GGIO001.AnOut1" of CLS1 over MMS) before its ACK, and
// a killed daemon leaves its will "offline" on the status topic.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>

#include "tests/external/ClseediFixture.h"
#include "tests/server/ChildProcess.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/PrivateBus.h"

namespace clseeditest {
namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

class ClseediDaemonTest : public ClseediTest {
protected:
    testsupport::PrivateSystemBus bus;
    const int mmsPort = testsupport::freeLoopbackPort();
    const int nymeaPort = testsupport::freeLoopbackPort();
    const fs::path runDir = workDir.path() / "run";
};

TEST_F(ClseediDaemonTest, ControlMessageRunsTheWholeRoadBeforeItsAckAndAKilledDaemonGoesOffline) {
    ASSERT_TRUE(bus.running());
    ASSERT_TRUE(startBroker());
    fs::create_directories(runDir);
    workDir.writeFile("/etc/iec/config/IECServer.conf",
                      "IEC61850_tcpPort=" + std::to_string(mmsPort) + "\nnymea_tcpPort=" + std::to_string(nymeaPort) +
                          "\nplim_log_level=info\nactivate_extern_MQTT_CLSEEDI=true\n");
    // Debug mode: the configuration below ../tools/MQTT_configs/, the templates below ../etc/iec/MQTT_JSON/.
    workDir.writeFile("tools/MQTT_configs/MQTT_gateway_config_localhost.json", configFor().dump());
    testsupport::ChildProcess standIn({"/usr/bin/python3", NYMEA_STANDIN, "--port", std::to_string(nymeaPort)},
                                      workDir.path(), {}, workDir.path() / "standin.log", true);
    ASSERT_TRUE(standIn.waitForOutput("listening", 10s)) << standIn.output();

    testsupport::MqttTestClient observer("127.0.0.1", broker->port(),
                                         testsupport::MqttTestClientOptions::withCredentials("observer", "watch"));
    ASSERT_TRUE(observer.connect());
    ASSERT_TRUE(observer.subscribe(statusTopic(), 1));
    ASSERT_TRUE(observer.subscribe(outTopic(), 1));

    testsupport::ChildProcess daemon({IEC_SERVER_BINARY, "--debug"}, runDir, {{"IEC_FS_ROOT", workDir.path().string()}},
                                     workDir.path() / "daemon.log");
    auto online = observer.waitForMessage(statusTopic(), 30s);
    ASSERT_TRUE(online.has_value()) << daemon.output();
    EXPECT_EQ(online->payload, "online");

    const json control = {{"type", "de.ostrel-linkage.clseedi.control"},
                          {"source", "platform"},
                          {"id", "lpc-4200"},
                          {"specversion", "1.0"},
                          {"data",
                           {{"protocol", "0.4.0"},
                            {"limits",
                             {{"power", {{"active", {{"consumption", {{"value", 4200}, {"active", true}, {"duration", 3600}}}}}}}}}}}};
    ASSERT_TRUE(observer.publish(inTopic(), control.dump(), 1));
    auto ack = observer.waitForMessage(outTopic(), 10s);
    ASSERT_TRUE(ack.has_value()) << daemon.output();
    EXPECT_EQ(maskedId(ack->payload), expectedAck(0, "lpc-4200", host));

    // The road ran before the ACK: schedule file and published value are there.
    const std::string scheduleFile = "run/schedules/CLS1/EmpWCmd_FSCH030001.json";
    ASSERT_TRUE(fs::exists(workDir.path() / scheduleFile));
    const json stored = json::parse(workDir.readFile(scheduleFile), nullptr, false);
    EXPECT_EQ(stored.value("SchdIntv", 0), 3600) << stored.dump();
    EXPECT_NE(stored.dump().find("4200"), std::string::npos) << stored.dump();
    mmstest::MmsTestClient mms;
    ASSERT_TRUE(mms.associate(mmsPort));
    EXPECT_EQ(mmsreq::readFloat(mms, "CLS1", "ActPow_GGIO001$MX$AnOut1$mxVal$f"), 4200.0f);
    EXPECT_TRUE(mms.release());

    // The full state reads the limit back from the model.
    const json read = {{"type", "de.ostrel-linkage.clseedi.read"},
                       {"source", "platform"},
                       {"id", "state-1"},
                       {"specversion", "1.0"},
                       {"data", {{"protocol", "0.4.0"}}}};
    ASSERT_TRUE(observer.publish(inTopic(), read.dump(), 1));
    auto state = observer.waitForMessage(outTopic(), 10s);
    ASSERT_TRUE(state.has_value());
    const json parsed = json::parse(state->payload);
    EXPECT_EQ(parsed["relation"], "state-1");
    EXPECT_EQ(parsed["data"]["limits"]["power"]["active"]["consumption"],
              json({{"value", 4200}, {"active", true}, {"duration", -1}}));

    // No clean disconnect: the broker publishes the will.
    ASSERT_EQ(::kill(daemon.pid(), SIGKILL), 0);
    auto offline = observer.waitForMessage(statusTopic(), 10s);
    ASSERT_TRUE(offline.has_value());
    EXPECT_EQ(offline->payload, "offline");
}

}  // namespace
}  // namespace clseeditest
