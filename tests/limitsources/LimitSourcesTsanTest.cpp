// Relay writes, EEBUS writes and MMS operates at once through the core.
// Built with ThreadSanitizer by tools/extra-builds/tsan.sh; the schedule
// double is unguarded on purpose, so a write road that is not serialised
// shows up as a race.
#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "external/ExternalInterfaceServiceIn.h"
#include "internal/InternalInterfaceNymeaEEBUS.h"
#include "schedules/RoadLock.h"
#include "tests/nymea/StandIn.h"
#include "tests/server/MmsRequests.h"
#include "tests/server/ServerFixture.h"

namespace {

using namespace std::chrono_literals;
using servertest::ServerCoreTest;

size_t sends(const RecordingSchedules& schedules, int cls) {
    RoadLock::Guard road;
    size_t n = 0;
    for (const auto& c : schedules.calls) n += c.what == "send" && c.cls == cls;
    return n;
}

TEST_F(ServerCoreTest, RelayEebusAndMmsWritesShareTheRoad) {
    IecServer core;
    core.debugMode = true;
    core.startMainLoop();
    std::atomic<bool> stop{false};
    std::thread mainLoop([&] {
        while (!stop) core.runMainLoopPass(5);
    });

    // The box limits both; the schedule double always reports no active limit,
    // so every poll writes again.
    workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=warning\n");
    const int port = testsupport::freeLoopbackPort();
    StandIn standIn(port, {"--controlbox", "limited"});
    ASSERT_TRUE(standIn.listening());
    EebusTimings timings;
    timings.pollInterval = 5ms;
    timings.searchInterval = 5ms;
    testing::internal::CaptureStdout();
    auto eebus = std::make_unique<InternalInterfaceNymeaEEBUS>(core, port, timings);

    // The relays flip between dimmed and unrestricted while the cycles run.
    const std::filesystem::path gpio = workDir.path() / "gpio";
    std::filesystem::create_directories(gpio);
    for (int line = 12; line <= 15; ++line) std::ofstream(gpio / std::to_string(line)) << "0\n";
    ServiceInOptions options;
    options.gpio = makeFileGpioBackend(gpio.string());
    options.cycle = 5ms;
    auto relay = std::make_unique<ExternalInterfaceServiceIn>(core, std::move(options));

    std::atomic<int> answered{0};
    std::thread operator_([&] {
        mmstest::MmsTestClient client;
        if (!client.associate(servertest::startedServer().config.iec61850TcpPort)) return;
        for (int i = 0; i < 10; ++i) {
            answered += mmsreq::operate(client, "CLS3", "EmpWCmd_FSCH030002", i % 2 ? "DsaReq" : "EnaReq", true);
            std::ofstream(gpio / "12") << (i % 2) << "\n";
            relay->resetCachedValues();
        }
        client.release();
    });
    operator_.join();
    for (auto end = std::chrono::steady_clock::now() + 10s;
         (sends(*schedules, 1) < 20 || sends(*schedules, 2) < 10) && std::chrono::steady_clock::now() < end;) {
        std::this_thread::sleep_for(10ms);
    }
    relay.reset();
    eebus.reset();
    testing::internal::GetCapturedStdout();
    stop = true;
    mainLoop.join();

    EXPECT_EQ(answered, 10);
    EXPECT_GE(sends(*schedules, 1), 20u);
    EXPECT_GE(sends(*schedules, 2), 10u);
    EXPECT_GE(sends(*schedules, 3), 1u);
}

}  // namespace
