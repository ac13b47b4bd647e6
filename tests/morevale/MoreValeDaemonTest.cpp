// The LPC road through the whole daemon: an LPC message on the MoreVale
// gateway's broker (mutual TLS) is written into the core, stored as a
// schedule file with its start time, shows in AnOut1 of CLS1 over MMS once
// the start time is reached, and is acknowledged with 0.

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "external/MoreValeMessages.h"
#include "tests/morevale/MoreValeTestSupport.h"
#include "tests/server/ChildProcess.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/MosquittoBroker.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kAnOut1 = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kPrefix = "dso/dso1/gcp/gcp7/lpc/0.4.0/";

uint64_t nowMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
            .count());
}

class MoreValeDaemonTest : public testsupport::IecTest {
protected:
    testsupport::PrivateSystemBus bus;
    const int mmsPort = testsupport::freeLoopbackPort();
    const int nymeaPort = testsupport::freeLoopbackPort();
    const fs::path runDir = workDir.path() / "run";
};

TEST_F(MoreValeDaemonTest, LpcMessageRunsTheRoadAndIsAcknowledged) {
    ASSERT_TRUE(bus.running());
    // Certificates: the broker's and the gateway's from one CA, where the daemon looks for them.
    testsupport::TestCertificateAuthority ca(workDir.path() / "ca");
    ASSERT_TRUE(ca.ok());
    testsupport::BrokerOptions options;
    options.plainListener = false;
    options.tls = testsupport::BrokerTlsListener{ca.caFile(), ca.issueServer("broker", {"localhost"}, {"127.0.0.1"}),
                                                 true};
    testsupport::MosquittoBroker broker(workDir.path() / "broker", options);
    ASSERT_TRUE(broker.start()) << broker.log();
    moreValeTest::installGatewayCertificates(workDir.path(), ca.caFile(), ca, "gcp7");

    // Debug mode reads "../etc/..." from run/, which is the file-system root's etc.
    fs::create_directories(runDir);
    workDir.writeFile("/etc/iec/config/IECServer.conf",
                      "IEC61850_tcpPort=" + std::to_string(mmsPort) + "\nnymea_tcpPort=" + std::to_string(nymeaPort) +
                          "\nplim_log_level=info\nactivate_extern_MQTT_MoreVale=true\n");
    // TLS is off in the file: debug mode turns it on.
    moreValeTest::writeConfig(workDir, broker.tlsPort(), false);
    workDir.writeFile("/etc/iec/MQTT_morevale/lpc_ack.json", R"({"data":{"errorNumber":0},"relation":""})");

    testsupport::ChildProcess standIn({"/usr/bin/python3", NYMEA_STANDIN, "--port", std::to_string(nymeaPort),
                                       "--source", "relais"},
                                      workDir.path(), {}, workDir.path() / "standin.log", true);
    ASSERT_TRUE(standIn.waitForOutput("listening", 10s)) << standIn.output();
    testsupport::ChildProcess daemon({IEC_SERVER_BINARY, "--debug"}, runDir,
                                     {{"IEC_FS_ROOT", workDir.path().string()}}, workDir.path() / "daemon.log");
    ASSERT_TRUE(daemon.waitForOutput("Waiting for Clients...", 30s)) << daemon.output();

    auto platformCert = ca.issueClient("platform", "platform");
    testsupport::MqttTestClient platform(
        "127.0.0.1", broker.tlsPort(),
        testsupport::MqttTestClientOptions::withTls(ca.caFile(), platformCert.certFile, platformCert.keyFile));
    ASSERT_TRUE(platform.connect());
    ASSERT_TRUE(platform.subscribe(std::string(kPrefix) + "ack"));
    // The gateway's subscription of its set topic reached the broker.
    ASSERT_TRUE(broker.waitForLog(std::string(kPrefix) + "set", 20s)) << daemon.output() << broker.log();

    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(mmsPort));
    EXPECT_EQ(mmsreq::readFloat(client, "CLS1", kAnOut1), -1.0f);

    // A limit of 4.2 kW for an hour, starting 3 s from now (whole seconds).
    const uint64_t startMs = (nowMs() / 1000 + 3) * 1000;
    const json lpc = {{"creationDateTime", formatUtcIso(nowMs())},
                      {"transactionId", "road-1"},
                      {"initialTransactionId", "road"},
                      {"gridConnectionPoint", "gcp7"},
                      {"maximumPowerValue", 4.2},
                      {"unit", "kW"},
                      {"executionTimeFrom", formatUtcIso(startMs)},
                      {"executionTimeUntil", formatUtcIso(startMs + 3600 * 1000)}};
    ASSERT_TRUE(platform.publish(std::string(kPrefix) + "set", lpc.dump()));

    auto ack = platform.waitForMessage(std::string(kPrefix) + "ack", 10s);
    ASSERT_TRUE(ack) << daemon.output();
    EXPECT_EQ(ack->payload, R"({"data":{"errorNumber":0},"relation":"road-1"})");
    ASSERT_LT(nowMs(), startMs) << "the road took too long to see the value before its start";
    EXPECT_EQ(mmsreq::readFloat(client, "CLS1", kAnOut1), -1.0f);

    const std::string scheduleFile = "run/schedules/CLS1/EmpWCmd_FSCH030001.json";
    ASSERT_TRUE(fs::exists(workDir.path() / scheduleFile));
    const json stored = json::parse(workDir.readFile(scheduleFile), nullptr, false);
    EXPECT_EQ(stored.value("SchdIntv", 0), 3600) << stored.dump();
    EXPECT_NE(stored.dump().find(std::to_string(startMs / 1000)), std::string::npos) << stored.dump();
    EXPECT_NE(stored.dump().find("4200"), std::string::npos) << stored.dump();

    std::optional<float> value;
    for (auto end = std::chrono::steady_clock::now() + 15s; std::chrono::steady_clock::now() < end;) {
        value = mmsreq::readFloat(client, "CLS1", kAnOut1);
        if (value == 4200.0f) break;
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(value, 4200.0f) << daemon.output();
    EXPECT_GE(nowMs(), startMs);
    EXPECT_TRUE(client.release());
    EXPECT_FALSE(daemon.waitExit(0ms).has_value()) << daemon.output();
}

}  // namespace
