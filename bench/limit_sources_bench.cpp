// Figures of the two switched limit sources, through the core with the real
// schedule handling (private system bus) and the production interfaces:
//   1. source switch "eebus" -> "relais" -> "eebus": time per switch
//      (goal: the 1-s pause plus under 50 ms);
//   2. a limit change of the control box at the home-platform stand-in to
//      AnOut1 of CLS1 changed, with the production 10-s poll: median.
// The relay contacts come from the file-backed GPIO stand-in.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <thread>
#include <vector>

#include "bench/BenchStats.h"
#include "external/GpioLines.h"
#include "foundation/ModelLookup.h"
#include "foundation/Paths.h"
#include "server/IecServer.h"
#include "tests/nymea/StandIn.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using benchstats::median;
using benchstats::msSince;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

float anOut1(int cls) {
    DataAttribute* mxVal = findDataAttribute("CLS" + std::to_string(cls), "ActPow_GGIO001", "AnOut1", "mxVal");
    return IedServer_getFloatAttributeValue(iedServer, static_cast<DataAttribute*>(mxVal->firstChild));
}

}  // namespace

int main(int argc, char** argv) {
    const int limitSamples = argc > 1 ? std::atoi(argv[1]) : 5;
    const fs::path dir = fs::temp_directory_path() / ("limit-sources-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "gpio");
    fs::create_directories(dir / "etc/iec");
    for (int line = 12; line <= 15; ++line) std::ofstream(dir / "gpio" / std::to_string(line)) << (line == 12) << "\n";
    ::setenv(kGpioStandInEnv, (dir / "gpio").c_str(), 1);
    paths::setFsRootForTesting(dir.string());
    fs::current_path(dir / "run");
    testsupport::PrivateSystemBus bus;
    if (!bus.running()) {
        std::cerr << "no private system bus; bench skipped" << std::endl;
        return 0;
    }
    const int nymeaPort = testsupport::freeLoopbackPort();
    StandIn standIn(nymeaPort, {"--source", "eebus", "--controlbox", "limited"});
    if (!standIn.listening()) {
        std::cerr << "stand-in does not listen; bench skipped" << std::endl;
        return 0;
    }

    IecServer server;
    server.config.iec61850TcpPort = testsupport::freeLoopbackPort();
    server.config.nymeaTcpPort = nymeaPort;
    server.interfaceFactory = InterfaceFactory::production();
    std::cout.setstate(std::ios::failbit);  // the interfaces' console lines would drown the figures
    server.initIecServer();
    server.setPowerLimitSource("eebus");

    std::vector<double> switchMs;
    for (int i = 0; i < 6; ++i) {
        const auto start = Clock::now();
        server.setPowerLimitSource(i % 2 ? "eebus" : "relais");
        switchMs.push_back(msSince(start));
    }

    // Limit changes, each right after a poll at a random point of the 10-s interval.
    std::vector<double> changeMs;
    server.setPowerLimitSource("none");
    server.setPowerLimitSource("eebus");
    const auto settle = Clock::now() + std::chrono::seconds(15);
    while (anOut1(1) != 4200.0f && Clock::now() < settle) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    for (int i = 0; i < limitSamples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1700 * (i % 4)));
        const float want = 3000.0f + 100.0f * static_cast<float>(i);
        const auto start = Clock::now();
        standIn.command("state maxConsumptionPower " + std::to_string(static_cast<int>(want)));
        while (anOut1(1) != want && msSince(start) < 25000) std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (anOut1(1) == want) changeMs.push_back(msSince(start));
    }
    server.setPowerLimitSource("none");
    std::cout.clear();

    std::printf("Source switch through the core: median %.1f ms, max %.1f ms over %zu switches "
                "(goal: 1000 ms pause + < 50 ms)\n",
                median(switchMs), *std::max_element(switchMs.begin(), switchMs.end()), switchMs.size());
    std::printf("Control-box limit change to AnOut1 of CLS1: median %.0f ms over %zu changes (bounded by the 10-s poll)\n",
                median(changeMs), changeMs.size());
    fs::current_path(fs::temp_directory_path());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
