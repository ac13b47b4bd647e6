// Figures of the home-side outputs, on the daemon process with the D-Bus
// service and the JSON-RPC listener on:
//   1. operate of EnaReq/DsaReq over MMS to the "AnOut_mxVal_f" signal seen
//      by a bus client, median and p99 (goal: median < 5 ms);
//   2. the same with the energy-management server blackholed (goal: the
//      median grows by less than 1 ms);
//   3. resident memory of the daemon (goal: < 16 MiB).
// Runs in a temporary directory with a private system bus, the home-platform
// stand-in and an in-process HTTP server; prints one line per figure.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchStats.h"
#include "tests/internal/BusClient.h"
#include "tests/internal/EmsServer.h"
#include "tests/server/ChildProcess.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using benchstats::percentile;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSchedule = "EmpWCmd_FSCH030001";

struct Figures {
    double median = -1;
    double p99 = -1;
    size_t samples = 0;
    long rssKiB = -1;
};

// One daemon run: operates alternating EnaReq (4200 W) and DsaReq (-1).
Figures run(const fs::path& dir, int jsonrpcPort, int operates) {
    Figures figures;
    const int mmsPort = testsupport::freeLoopbackPort();
    const int nymeaPort = testsupport::freeLoopbackPort();
    {
        std::ofstream conf(dir / "etc/iec/config/IECServer.conf");
        conf << "IEC61850_tcpPort=" << mmsPort << "\nnymea_tcpPort=" << nymeaPort
             << "\nactivate_intern_DBUS=true\nactivate_intern_JSONRPC=true\n";
        std::ofstream jsonrpc(dir / "etc/iec/config/JSONRPC.conf");
        jsonrpc << "jsonrpcHost=127.0.0.1\njsonrpcPort=" << jsonrpcPort << "\n";
    }
    testsupport::ChildProcess standIn({"/usr/bin/python3", NYMEA_STANDIN, "--port", std::to_string(nymeaPort)}, dir,
                                      {}, dir / "standin.log", true);
    standIn.waitForOutput("listening", 10s);
    bustest::BusClient watcher;
    testsupport::ChildProcess daemon({IEC_SERVER_BINARY, "--debug"}, dir / "run", {{"IEC_FS_ROOT", dir.string()}},
                                     dir / "daemon.log");
    if (!daemon.waitForOutput("Waiting for Clients...", 30s)) return figures;
    mmstest::MmsTestClient client;
    if (!client.associate(mmsPort)) return figures;
    const std::string sp = std::string(kSchedule) + "$SP$";
    MmsValuePtr one(MmsValue_newIntegerFromInt32(1));
    MmsValuePtr interval(MmsValue_newIntegerFromInt32(3600));
    MmsValuePtr limit(MmsValue_newFloat(4200.0f));
    MmsValuePtr zero(MmsValue_newIntegerFromInt32(0));
    MmsValuePtr start(MmsValue_newUtcTimeByMsTime(Hal_getTimeInMs() - 1000));
    mmsreq::write(client, "CLS1", sp + "NumEntr$setVal", one.get());
    mmsreq::write(client, "CLS1", sp + "SchdIntv$setVal", interval.get());
    mmsreq::write(client, "CLS1", sp + "ValASG001$setMag$f", limit.get());
    mmsreq::write(client, "CLS1", std::string(kSchedule) + "$CF$ValASG001$units$multiplier", zero.get());
    mmsreq::write(client, "CLS1", sp + "StrTm01$setTm", start.get());

    std::vector<double> samples;
    for (int i = 0; i < operates; ++i) {
        const bool enable = i % 2 == 0;
        const std::string want = enable ? "4200" : "-1";
        const size_t seen = watcher.signals().size();
        const auto t0 = Clock::now();
        mmsreq::operate(client, "CLS1", kSchedule, enable ? "EnaReq" : "DsaReq", true);
        const bool arrived = watcher.waitFor(
            [&](const std::vector<bustest::Signal>& all) {
                for (size_t k = seen; k < all.size(); ++k) {
                    if (all[k].path == bustest::actPowPath(1) && all[k].name == "AnOut_mxVal_f" && all[k].value == want)
                        return true;
                }
                return false;
            },
            2s);
        if (!arrived) continue;
        for (const auto& signal : watcher.signals()) {
            if (signal.at >= t0 && signal.path == bustest::actPowPath(1) && signal.name == "AnOut_mxVal_f") {
                samples.push_back(std::chrono::duration<double, std::milli>(signal.at - t0).count());
                break;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    client.release();
    figures.median = percentile(samples, 0.5);
    figures.p99 = percentile(samples, 0.99);
    figures.samples = samples.size();
    figures.rssKiB = daemon.residentKiB();
    return figures;
}

}  // namespace

int main() {
    const fs::path dir = fs::temp_directory_path() / ("home-outputs-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "etc/iec/config");
    testsupport::PrivateSystemBus bus;
    if (!bus.running()) {
        std::cerr << "no private system bus; bench skipped" << std::endl;
        return 0;
    }
    std::cout.setstate(std::ios::failbit);
    constexpr int kOperates = 200;
    bustest::EmsServer ems;
    const Figures answered = run(dir, ems.port(), kOperates);
    bustest::Blackhole blackhole;
    const Figures blackholed = run(dir, blackhole.port(), kOperates);
    std::cout.clear();

    std::printf("Operate to ActPow signal, server answering: median %.3f ms, p99 %.3f ms over %zu operates "
                "(goal: median < 5 ms)\n",
                answered.median, answered.p99, answered.samples);
    std::printf("Operate to ActPow signal, server blackholed: median %.3f ms, p99 %.3f ms over %zu operates "
                "(goal: median grows < 1 ms; grew %.3f ms)\n",
                blackholed.median, blackholed.p99, blackholed.samples, blackholed.median - answered.median);
    std::printf("Daemon resident memory with D-Bus and JSON-RPC active: %.2f MiB (goal < 16 MiB)\n",
                answered.rssKiB / 1024.0);
    fs::current_path(fs::temp_directory_path());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
