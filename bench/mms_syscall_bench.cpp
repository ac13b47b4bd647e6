// System calls the MMS server makes per read request, and sequential reads
// per second. The server runs in a child process with the daemon's loop
// (processIncomingData, performPeriodicTasks, waitReady of at most 100 ms);
// the parent reads one float attribute over loopback, first untraced for
// the rate, then with `strace -c -f` attached to the child for the count.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "iec61850/iec61850_server.h"
#include "model/StaticModel.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/TestSupport.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kRateReads = 20000;
constexpr int kTracedReads = 5000;
constexpr const char* kItem = "ActPow_GGIO001$MX$AnOut1$mxVal$f";

[[noreturn]] void serve(int port) {
    IedServer server = IedServer_create(getStaticIedModel());
    IedServer_startThreadless(server, port);
    if (!IedServer_isRunning(server)) _exit(1);
    for (;;) {
        IedServer_processIncomingData(server);
        IedServer_performPeriodicTasks(server);
        IedServer_waitReady(server, 100);
    }
}

bool traced(pid_t pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("TracerPid:", 0) == 0) return std::stoi(line.substr(10)) != 0;
    }
    return false;
}

// The calls column of strace's "total" line.
long totalCalls(const std::string& summary) {
    std::istringstream in(summary);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w;
        std::vector<std::string> all;
        while (words >> w) all.push_back(w);
        if (all.size() >= 5 && all.back() == "total") return std::stol(all[3]);
    }
    return -1;
}

bool readMany(mmstest::MmsTestClient& client, int count) {
    for (int i = 0; i < count; ++i) {
        if (!mmsreq::readFloat(client, "CLS1", kItem)) {
            std::printf("read %d failed\n", i);
            return false;
        }
    }
    return true;
}

}  // namespace

int main() {
    testsupport::TempWorkDir dir;
    const int port = testsupport::freeLoopbackPort();
    const pid_t server = ::fork();
    if (server == 0) serve(port);

    mmstest::MmsTestClient client;
    bool associated = false;
    for (int i = 0; i < 100 && !associated; ++i) {
        associated = client.associate(port);
        if (!associated) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    int status = 1;
    if (associated && readMany(client, 500)) {
        const auto begin = Clock::now();
        if (readMany(client, kRateReads)) {
            const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            std::printf("sequential reads: %.0f per second (%d reads of CLS1 %s)\n", kRateReads / seconds, kRateReads,
                        kItem);
        }
        const std::string out = dir.path() / "strace.txt";
        const pid_t tracer = ::fork();
        if (tracer == 0) {
            const std::string target = std::to_string(server);
            ::execlp("strace", "strace", "-c", "-f", "-o", out.c_str(), "-p", target.c_str(), nullptr);
            _exit(127);
        }
        for (int i = 0; i < 500 && !traced(server); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!traced(server)) {
            std::printf("strace did not attach (is it installed?)\n");
        } else {
            const auto begin = Clock::now();
            const bool ok = readMany(client, kTracedReads);
            const double seconds = std::chrono::duration<double>(Clock::now() - begin).count();
            ::kill(tracer, SIGINT);
            ::waitpid(tracer, nullptr, 0);
            std::ifstream in(out);
            std::stringstream summary;
            summary << in.rdbuf();
            const long calls = totalCalls(summary.str());
            if (ok && calls > 0) {
                std::printf("system calls of the server: %ld for %d reads in %.2f s = %.3f per read\n"
                            "(includes the loop's idle wake-ups, at most 10 per second)\n%s\n",
                            calls, kTracedReads, seconds, static_cast<double>(calls) / kTracedReads,
                            summary.str().c_str());
                status = 0;
            }
        }
    }
    client.close();
    ::kill(server, SIGKILL);
    ::waitpid(server, nullptr, 0);
    return status;
}
