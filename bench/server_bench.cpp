// Figures of the server core:
//   1. latency of one MMS float read through the daemon's main loop, against
//      the loop that sleeps a blind 100 ms per pass (goal: median < 1 ms);
//   2. operate of EnaReq/DsaReq to the last listener call, through the real
//      schedule handling (goal: median < 5 ms);
//   3. the time one MMS command holds the main thread: a new schedule value,
//      then the control handler for "EnaReq" from start to end (median, p99);
//      the count of commands is the first argument (default 200), so that
//      `strace -f -c` over runs with 0 and with N commands gives the system
//      calls per command;
//   4. resident memory of the daemon process after start-up (goal: < 16 MiB).
// Runs in a temporary directory with a private system bus and the
// home-platform stand-in; prints one line per figure.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchStats.h"
#include "foundation/ModelLookup.h"
#include "server/IecServer.h"
#include "server/SlotBook.h"
#include "foundation/Paths.h"
#include "tests/server/ChildProcess.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

using benchstats::median;
using benchstats::msSince;
using benchstats::percentile;

using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

constexpr const char* kAnOut1 = "ActPow_GGIO001$MX$AnOut1$mxVal$f";

// Median latency of `count` reads while `loop` drives the server on its own thread.
template <class Loop>
double readLatency(int port, int count, Loop loop) {
    std::atomic<bool> stop{false};
    std::thread driver([&] {
        while (!stop) loop();
    });
    std::vector<double> samples;
    mmstest::MmsTestClient client;
    if (client.associate(port)) {
        for (int i = 0; i < count; ++i) {
            // Requests arrive at random points of a pass, as they do from clients.
            std::this_thread::sleep_for(std::chrono::milliseconds(7 * (i % 5)));
            const auto start = Clock::now();
            if (mmsreq::readFloat(client, "CLS1", kAnOut1)) samples.push_back(msSince(start));
        }
        client.release();
    }
    stop = true;
    driver.join();
    return median(samples);
}

// Each command as the MMS server delivers it: the schedule value written,
// then "EnaReq" operated; the handler's body is what it does for a matched
// target (both states, the slot, the road) and is timed from start to end.
std::vector<double> handlerHeldMs(int commands) {
    const std::string cls = "CLS1";
    const std::string node = "EmpWCmd_FSCH030001";
    DataAttribute* value = findSubDataAttribute(cls, node, "ValASG001", "setMag", "f");
    std::vector<double> samples;
    if (value == nullptr) return samples;
    MmsValue* enable = MmsValue_newBoolean(true);
    for (int i = 0; i < commands; ++i) {
        IedServer_updateFloatAttributeValue(iedServer, value, 1000.0f + static_cast<float>(i));
        const auto start = Clock::now();
        IecServer::setDataObjectStVal(cls, node, "EnaReq", true);
        IecServer::setDataObjectStVal(cls, node, "DsaReq", false);
        IecServer::slots().recordControl({node, cls});
        IecServer::controlHandler(nullptr, nullptr, enable, false);
        samples.push_back(msSince(start));
    }
    MmsValue_delete(enable);
    return samples;
}

}  // namespace

int main(int argc, char** argv) {
    const int heldCommands = argc > 1 ? std::atoi(argv[1]) : 200;
    const fs::path dir = fs::temp_directory_path() / ("server-bench-" + std::to_string(getpid()));
    fs::create_directories(dir / "run");
    fs::create_directories(dir / "etc/iec/config");
    paths::setFsRootForTesting(dir.string());
    fs::current_path(dir / "run");
    testsupport::PrivateSystemBus bus;
    if (!bus.running()) {
        std::cerr << "no private system bus; bench skipped" << std::endl;
        return 0;
    }

    // --- 1 and 2: in this process, on the daemon's own loop code ----------------
    IecServer server;
    server.debugMode = true;
    server.config.iec61850TcpPort = testsupport::freeLoopbackPort();
    std::cout.setstate(std::ios::failbit);  // the road's console lines would drown the figures
    server.initIecServer();
    server.startMainLoop();

    const double loopMs = readLatency(server.config.iec61850TcpPort, 60, [&] { server.runMainLoopPass(100); });
    const double blindMs = readLatency(server.config.iec61850TcpPort, 20, [] {
        IedServer_processIncomingData(iedServer);
        IedServer_performPeriodicTasks(iedServer);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    });

    std::atomic<int64_t> lastListenerNs{0};
    server.registerCallback("bench", [&](int cls) {
        if (cls == 1) lastListenerNs = Clock::now().time_since_epoch().count();
    });
    std::vector<double> operateMs;
    {
        std::atomic<bool> stop{false};
        std::thread driver([&] {
            while (!stop) server.runMainLoopPass(100);
        });
        mmstest::MmsTestClient client;
        if (client.associate(server.config.iec61850TcpPort)) {
            const std::string sp = "EmpWCmd_FSCH030001$SP$";
            MmsValuePtr one(MmsValue_newIntegerFromInt32(1));
            MmsValuePtr interval(MmsValue_newIntegerFromInt32(3600));
            MmsValuePtr limit(MmsValue_newFloat(4200.0f));
            MmsValuePtr start(MmsValue_newUtcTimeByMsTime(Hal_getTimeInMs() - 1000));
            mmsreq::write(client, "CLS1", sp + "NumEntr$setVal", one.get());
            mmsreq::write(client, "CLS1", sp + "SchdIntv$setVal", interval.get());
            mmsreq::write(client, "CLS1", sp + "ValASG001$setMag$f", limit.get());
            mmsreq::write(client, "CLS1", sp + "StrTm01$setTm", start.get());
            for (int i = 0; i < 20; ++i) {
                const int64_t before = lastListenerNs;
                const auto t0 = Clock::now();
                mmsreq::operate(client, "CLS1", "EmpWCmd_FSCH030001", i % 2 ? "DsaReq" : "EnaReq", true);
                const auto deadline = t0 + std::chrono::seconds(2);
                while (lastListenerNs == before && Clock::now() < deadline) std::this_thread::yield();
                if (lastListenerNs != before) {
                    operateMs.push_back(
                        std::chrono::duration<double, std::milli>(
                            std::chrono::nanoseconds(lastListenerNs.load() - t0.time_since_epoch().count()))
                            .count());
                }
            }
            client.release();
        }
        stop = true;
        driver.join();
    }
    const std::vector<double> heldMs = handlerHeldMs(heldCommands);
    std::cout.clear();

    // --- 4: the daemon process ---------------------------------------------------
    const int mmsPort = testsupport::freeLoopbackPort();
    const int nymeaPort = testsupport::freeLoopbackPort();
    {
        std::ofstream conf(dir / "etc/iec/config/IECServer.conf");
        conf << "IEC61850_tcpPort=" << mmsPort << "\nnymea_tcpPort=" << nymeaPort << "\n";
    }
    testsupport::ChildProcess standIn({"/usr/bin/python3", NYMEA_STANDIN, "--port", std::to_string(nymeaPort)}, dir,
                                      {}, dir / "standin.log", true);
    standIn.waitForOutput("listening", std::chrono::seconds(10));
    fs::create_directories(dir / "daemon-run");
    testsupport::ChildProcess daemon({IEC_SERVER_BINARY, "--debug"}, dir / "daemon-run",
                                     {{"IEC_FS_ROOT", dir.string()}}, dir / "daemon.log");
    long rssKiB = -1;
    if (daemon.waitForOutput("Waiting for Clients...", std::chrono::seconds(30))) {
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        rssKiB = daemon.residentKiB();
    }

    std::printf("MMS read through the main loop: median %.3f ms (goal < 1 ms)\n", loopMs);
    std::printf("MMS read through a blind 100-ms sleep loop: median %.3f ms\n", blindMs);
    std::printf("Operate EnaReq/DsaReq to the last listener call: median %.3f ms over %zu operates (goal < 5 ms)\n",
                median(operateMs), operateMs.size());
    std::printf("Main thread held by one MMS command (value, then EnaReq): median %.3f ms, p99 %.3f ms over %zu "
                "commands\n",
                median(heldMs), percentile(heldMs, 0.99), heldMs.size());
    std::printf("Daemon resident memory after start-up: %.2f MiB (goal < 16 MiB)\n", rssKiB / 1024.0);
    fs::current_path(fs::temp_directory_path());
    std::error_code ignored;
    fs::remove_all(dir, ignored);
    return 0;
}
