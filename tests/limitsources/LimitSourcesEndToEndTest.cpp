// Both switched sources through the real core: the home-platform interface
// names the source, the EEBUS and relay interfaces write their limits, the
// real schedule handling evaluates them and an MMS client reads AnOut1.
// Once in this process (short waits), once as the whole daemon (its own
// waits, the file-backed GPIO stand-in chosen by the environment).
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "external/ExternalInterfaceServiceIn.h"
#include "foundation/Paths.h"
#include "internal/InternalInterfaceNymeaEEBUS.h"
#include "server/IecServer.h"
#include "tests/limitsources/DeviceSettings.h"
#include "tests/nymea/StandIn.h"
#include "tests/server/ChildProcess.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kAnOut1 = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kSettings = limitsourcetest::kDeviceSettings;

void writeText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

void setLines(const fs::path& dir, int l12, int l13, int l14, int l15) {
    const int values[] = {l12, l13, l14, l15};
    for (int i = 0; i < 4; ++i) writeText(dir / std::to_string(12 + i), std::to_string(values[i]) + "\n");
}

// Reads AnOut1 of both limit devices until they show the wanted values.
bool awaitLimits(mmstest::MmsTestClient& client, float lpc, float lpp, std::chrono::seconds timeout,
                 std::string& seen) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        const auto a = mmsreq::readFloat(client, "CLS1", kAnOut1);
        const auto b = mmsreq::readFloat(client, "CLS2", kAnOut1);
        seen = (a ? std::to_string(*a) : "none") + " / " + (b ? std::to_string(*b) : "none");
        if (a && b && *a == lpc && *b == lpp) return true;
        std::this_thread::sleep_for(20ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

TEST(LimitSourcesEndToEnd, TheSourceSwitchesThroughTheCoreAndMmsSeesTheLimits) {
    const fs::path dir = fs::temp_directory_path() / ("limit-sources-e2e-" + std::to_string(getpid()));
    fs::create_directories(dir / "run");
    paths::setFsRootForTesting(dir.string());
    const fs::path previous = fs::current_path();
    fs::current_path(dir / "run");
    testsupport::PrivateSystemBus bus;
    ASSERT_TRUE(bus.running());
    writeText(dir / "etc/nymea/tavelmarck.conf", kSettings);
    const fs::path gpioDir = dir / "gpio";
    setLines(gpioDir, 1, 0, 1, 0);  // dimmed, 30 %

    const int nymeaPort = testsupport::freeLoopbackPort();
    StandIn standIn(nymeaPort, {"--source", "eebus", "--controlbox", "limited"});
    ASSERT_TRUE(standIn.listening());
    ASSERT_TRUE(standIn.command("state maxProductionPower 3000"));

    static IecServer* server = new IecServer;  // like the daemon's, it outlives the test
    server->debugMode = true;
    server->config.iec61850TcpPort = testsupport::freeLoopbackPort();
    server->config.nymeaTcpPort = nymeaPort;
    server->interfaceFactory = InterfaceFactory::production();
    server->interfaceFactory.eebus = [](IecServer& s, int port) {
        EebusTimings timings;
        timings.pollInterval = 100ms;
        timings.searchInterval = 100ms;
        return InterfaceOwner<InternalInterfaceNymeaEEBUS>::adopt(
            std::make_unique<InternalInterfaceNymeaEEBUS>(s, port, timings));
    };
    server->interfaceFactory.serviceIn = [gpioDir](IecServer& s) {
        ServiceInOptions options;
        options.gpio = makeFileGpioBackend(gpioDir.string());
        options.cycle = 100ms;
        return InterfaceOwner<ExternalInterfaceServiceIn>::adopt(
            std::make_unique<ExternalInterfaceServiceIn>(s, std::move(options)));
    };
    server->initIecServer();
    server->initInterfaces();
    server->startMainLoop();
    std::atomic<bool> stop{false};
    std::thread mainLoop([&] {
        while (!stop) server->runMainLoopPass(20);
    });

    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(server->config.iec61850TcpPort));
    std::string seen;
    // "eebus", the box limits consumption to its 4200 W and production to 3000 W.
    EXPECT_TRUE(awaitLimits(client, 4200, 3000, 10s, seen)) << seen;
    // The box lifts both limits.
    ASSERT_TRUE(standIn.command("state consumptionLimitationState unlimited"));
    ASSERT_TRUE(standIn.command("state productionLimitationState unlimited"));
    EXPECT_TRUE(awaitLimits(client, -1, -1, 10s, seen)) << seen;
    // "relais" with line 12 set: P_min of the devices; lines 13..15 at 30 % of 8 kWp.
    ASSERT_TRUE(standIn.command("event relais"));
    EXPECT_TRUE(awaitLimits(client, 10500, 2400, 10s, seen)) << seen;
    EXPECT_EQ(server->getPowerLimitSource(), "relais");
    // The first cycle may have written before the switch cleared both
    // limits: the same source once more returns only when that switch is
    // done, and the cycle after the clear writes the limits again.
    server->setPowerLimitSource("relais");
    EXPECT_TRUE(awaitLimits(client, 10500, 2400, 10s, seen)) << seen;
    // A PV sum no active limit can be made of (30 % of 3e38 kW is no finite
    // number of W: refused, 2400 W stays), then every line released:
    // "unrestricted" lifts both limits all the same. The settings are
    // replaced at once, before the lines, so no cycle sees the new lines
    // with the old settings. Then back to the settings and lines above.
    const auto replaceSettings = [&](const std::string& text) {
        writeText(dir / "tavelmarck.conf.new", text);
        fs::rename(dir / "tavelmarck.conf.new", dir / "etc/nymea/tavelmarck.conf");
    };
    std::string huge = kSettings;
    const std::string peak = "%7Bpv%7D\\kwPeak=";
    huge.replace(huge.find(peak) + peak.size(), std::string::npos, "3e38\n");
    replaceSettings(huge);
    std::this_thread::sleep_for(300ms);  // three cycles of 100 ms with the new settings
    EXPECT_TRUE(awaitLimits(client, 10500, 2400, 1s, seen)) << seen;
    setLines(gpioDir, 0, 0, 0, 0);
    EXPECT_TRUE(awaitLimits(client, -1, -1, 10s, seen)) << seen;
    replaceSettings(kSettings);
    setLines(gpioDir, 1, 0, 1, 0);
    EXPECT_TRUE(awaitLimits(client, 10500, 2400, 10s, seen)) << seen;
    // "none": both cleared.
    ASSERT_TRUE(standIn.command("event none"));
    EXPECT_TRUE(awaitLimits(client, -1, -1, 10s, seen)) << seen;
    EXPECT_FALSE(server->eebusInterface || server->serviceInInterface);
    client.release();

    stop = true;
    mainLoop.join();
    server->nymeaInterface.reset();
    fs::current_path(previous);
    std::error_code ignored;
    fs::remove_all(dir, ignored);
}

TEST(LimitSourcesEndToEnd, TheDaemonFollowsTheBoxAndTheRelaysWithTheGpioStandIn) {
    testsupport::TempWorkDir work;
    testsupport::PrivateSystemBus bus;
    ASSERT_TRUE(bus.running());
    const int mmsPort = testsupport::freeLoopbackPort();
    const int nymeaPort = testsupport::freeLoopbackPort();
    work.writeFile("/etc/iec/config/IECServer.conf", "IEC61850_tcpPort=" + std::to_string(mmsPort) +
                                                         "\nnymea_tcpPort=" + std::to_string(nymeaPort) +
                                                         "\nplim_log_level=info\n");
    work.writeFile("/etc/nymea/tavelmarck.conf", kSettings);
    const fs::path gpioDir = work.path() / "gpio";
    setLines(gpioDir, 1, 0, 0, 0);
    fs::create_directories(work.path() / "run");

    StandIn standIn(nymeaPort, {"--source", "eebus", "--controlbox", "limited"});
    ASSERT_TRUE(standIn.listening());
    testsupport::ChildProcess daemon({IEC_SERVER_BINARY, "--debug"}, work.path() / "run",
                                     {{"IEC_FS_ROOT", work.path().string()}, {kGpioStandInEnv, gpioDir.string()}},
                                     work.path() / "daemon.log");
    ASSERT_TRUE(daemon.waitForOutput("Waiting for Clients...", 30s)) << daemon.output();
    mmstest::MmsTestClient client;
    ASSERT_TRUE(client.associate(mmsPort));
    std::string seen;
    // The first step may run before the switch clears the limits: then the next poll, 10 s on, writes again.
    EXPECT_TRUE(awaitLimits(client, 4200, 0, 25s, seen)) << seen << daemon.output();
    ASSERT_TRUE(standIn.command("state consumptionLimitationState unlimited"));
    ASSERT_TRUE(standIn.command("state productionLimitationState unlimited"));
    EXPECT_TRUE(awaitLimits(client, -1, -1, 15s, seen)) << seen;
    ASSERT_TRUE(standIn.command("event relais"));
    // Unrestricted production with PV configured: nothing to limit, only P_min.
    EXPECT_TRUE(awaitLimits(client, 10500, -1, 25s, seen)) << seen << daemon.output();
    ASSERT_TRUE(standIn.command("event none"));
    EXPECT_TRUE(awaitLimits(client, -1, -1, 15s, seen)) << seen;
    client.release();
    EXPECT_FALSE(daemon.waitExit(0ms).has_value()) << daemon.output();
}

}  // namespace
