// Figures of the whole box: the daemon binary with every interface of the
// build switched on, against its real peers (mosquitto, a private system bus,
// the home-platform stand-in, an energy-management server, GPIO files).
//   1. idle: resident memory (goal < 16 MiB), threads, CPU over 60 s with no
//      traffic (goal < 1 % of a core);
//   2. scenario 1 at 200 commands/s for 30 s (or the rate and seconds given),
//      CLSEEDI control messages and MMS operates alternating, each a new
//      limit of CLS1: commands applied
//      per second, p50/p99 from the command to AnOut1 over MMS showing it,
//      and commands lost (not acknowledged, or the last value not shown);
//      per input path, when its last answer came and p50/p99 from the
//      command to its answer (the CLSEEDI ack, the MMS operate response).
// Run from a Release build:
//   build/bench/bench/system_bench [idle-seconds [commands-per-second [seconds]]].
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <thread>

#include <nlohmann/json.hpp>

#include "bench/BenchStats.h"
#include "tests/server/MmsRequests.h"
#include "tests/support/MqttTestClient.h"
#include "tests/support/TestSupport.h"
#include "tests/system/Observers.h"
#include "tests/system/SystemUnderTest.h"

namespace {

using benchstats::percentile;

using Clock = std::chrono::steady_clock;
using json = nlohmann::json;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr const char* kAnOut1 = "ActPow_GGIO001$MX$AnOut1$mxVal$f";
constexpr const char* kMmsNode = "EmpWCmd_FSCH030002";

long statusField(pid_t pid, const std::string& field) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    }
    return -1;
}

// utime + stime of the process in clock ticks.
long cpuTicks(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string value;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> value; ++i) {
        if (i == 14) utime = std::stol(value);
        if (i == 15) {
            stime = std::stol(value);
            break;
        }
    }
    return utime + stime;
}

}  // namespace

int main(int argc, char** argv) {
    const int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 60;
    const int rate = argc > 2 ? std::max(2, std::atoi(argv[2])) : 200;
    const int seconds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 30;
    testsupport::TempWorkDir work;
    systest::SystemOptions options;
    options.source = "eebus";
    systest::SystemUnderTest system(work.path(), options);
    std::string why;
    if (!system.peersUp(why) || !system.startDaemon()) {
        std::printf("system did not come up: %s\n%s\n", why.c_str(), system.daemonLog().c_str());
        return 1;
    }
    const pid_t pid = system.daemonPid();

    // 1. Idle.
    std::this_thread::sleep_for(5s);
    const long ticksPerSecond = sysconf(_SC_CLK_TCK);
    const long before = cpuTicks(pid);
    const auto idleStart = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(idleSeconds));
    const double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
    const double cpuPercent =
        100.0 * static_cast<double>(cpuTicks(pid) - before) / static_cast<double>(ticksPerSecond) / idleWall;
    std::printf("idle: resident memory %ld KiB (goal < 16384), threads %ld, CPU %.2f %% of a core over %.0f s "
                "(goal < 1 %%)\n",
                statusField(pid, "VmRSS"), statusField(pid, "Threads"), cpuPercent, idleWall);

    // 2. rate commands/s for seconds, each a new limit of CLS1, CLSEEDI and MMS alternating.
    constexpr int kMmsClients = 16;
    std::mutex mutex;
    std::map<int, Clock::time_point> sentAt;  // value -> when its command went out
    std::map<int, Clock::time_point> seenAt;  // value -> when MMS first showed it
    std::atomic<int> applied{0};
    std::atomic<int> refused{0};
    // Per input path: command sent to its answer (CLSEEDI ack, MMS operate answer).
    std::vector<double> clseediAnswerMs, mmsAnswerMs;
    Clock::time_point lastClseediAnswer{}, lastMmsAnswer{};
    std::atomic<bool> polling{true};

    testsupport::MqttTestClient platform("127.0.0.1", system.broker().port());
    if (!platform.connect() || !platform.subscribe(system.clseediOutTopic(), 1)) {
        std::printf("no MQTT client\n");
        return 1;
    }
    std::thread acks([&] {
        while (polling || applied + refused < rate * seconds / 2) {
            auto message = platform.waitForMessage(system.clseediOutTopic(), 500ms);
            if (!message) {
                if (!polling) break;
                continue;
            }
            const json ack = json::parse(message->payload, nullptr, false);
            const std::string relation = ack.is_object() ? ack.value("relation", "") : "";
            if (relation.rfind("bench-", 0) != 0) continue;
            (ack["data"]["errorNumber"] == 0 ? applied : refused)++;
            const int n = std::atoi(relation.c_str() + std::char_traits<char>::length("bench-"));
            std::lock_guard<std::mutex> lock(mutex);
            lastClseediAnswer = Clock::now();
            if (auto it = sentAt.find(10000 + n); it != sentAt.end())
                clseediAnswerMs.push_back(std::chrono::duration<double, std::milli>(lastClseediAnswer - it->second).count());
        }
    });
    std::thread poller([&] {
        mmstest::MmsTestClient reader;
        if (!reader.associate(system.mmsPort())) return;
        while (polling) {
            const auto value = mmsreq::readFloat(reader, "CLS1", kAnOut1);
            const auto now = Clock::now();
            if (value) {
                std::lock_guard<std::mutex> lock(mutex);
                seenAt.emplace(static_cast<int>(*value), now);
            }
        }
    });
    // MMS commands: a pool of associations, each writing the value and operating.
    std::vector<std::unique_ptr<mmstest::MmsTestClient>> mmsClients;
    for (int i = 0; i < kMmsClients; ++i) {
        auto client = std::make_unique<mmstest::MmsTestClient>();
        if (!client->associate(system.mmsPort())) {
            std::printf("no MMS association\n");
            return 1;
        }
        mmsClients.push_back(std::move(client));
    }
    {
        const std::string sp = std::string(kMmsNode) + "$SP$";
        MmsValuePtr one(MmsValue_newIntegerFromInt32(1));
        MmsValuePtr hour(MmsValue_newIntegerFromInt32(3600));
        MmsValuePtr zero(MmsValue_newIntegerFromInt32(0));
        MmsValuePtr start(MmsValue_newUtcTimeByMsTime(systest::wallMs() - 2000));
        auto& c = *mmsClients.front();
        mmsreq::write(c, "CLS1", sp + "NumEntr$setVal", one.get());
        mmsreq::write(c, "CLS1", sp + "SchdIntv$setVal", hour.get());
        mmsreq::write(c, "CLS1", std::string(kMmsNode) + "$CF$ValASG001$units$multiplier", zero.get());
        mmsreq::write(c, "CLS1", sp + "StrTm01$setTm", start.get());
    }
    std::mutex mmsQueueMutex;
    std::condition_variable mmsQueueChanged;
    std::deque<int> mmsQueue;  // oldest first, as the commands were sent
    bool mmsDone = false;
    std::vector<std::thread> mmsWorkers;
    for (int i = 0; i < kMmsClients; ++i) {
        mmsWorkers.emplace_back([&, i] {
            auto& client = *mmsClients[static_cast<size_t>(i)];
            while (true) {
                int value;
                {
                    std::unique_lock<std::mutex> lock(mmsQueueMutex);
                    mmsQueueChanged.wait(lock, [&] { return mmsDone || !mmsQueue.empty(); });
                    if (mmsQueue.empty()) return;
                    value = mmsQueue.front();
                    mmsQueue.pop_front();
                }
                MmsValuePtr f(MmsValue_newFloat(static_cast<float>(value)));
                const bool ok = mmsreq::write(client, "CLS1", std::string(kMmsNode) + "$SP$ValASG001$setMag$f", f.get()) &&
                                mmsreq::operate(client, "CLS1", kMmsNode, "EnaReq", true);
                (ok ? applied : refused)++;
                std::lock_guard<std::mutex> lock(mutex);
                lastMmsAnswer = Clock::now();
                mmsAnswerMs.push_back(
                    std::chrono::duration<double, std::milli>(lastMmsAnswer - sentAt[value]).count());
            }
        });
    }

    const auto loadStart = Clock::now();
    int lastClseedi = 0;  // the newest command of each path: the two paths
    int lastMms = 0;      // have no order between them, so either may end last
    for (int n = 0; n < rate * seconds; ++n) {
        std::this_thread::sleep_until(loadStart + std::chrono::microseconds(1000000LL * n / rate));
        const int value = 10000 + n;
        {
            std::lock_guard<std::mutex> lock(mutex);
            sentAt[value] = Clock::now();
        }
        (n % 2 == 0 ? lastClseedi : lastMms) = value;
        if (n % 2 == 0) {
            const json control = {{"type", "de.ostrel-linkage.clseedi.control"},
                                  {"source", "bench"},
                                  {"id", "bench-" + std::to_string(n)},
                                  {"specversion", "1.0"},
                                  {"data",
                                   {{"protocol", "0.4.0"},
                                    {"limits",
                                     {{"power",
                                       {{"active",
                                         {{"consumption", {{"value", value}, {"active", true}, {"duration", 3600}}}}}}}}}}}};
            platform.publish(system.clseediInTopic(), control.dump(), 1);
        } else {
            std::lock_guard<std::mutex> lock(mmsQueueMutex);
            mmsQueue.push_back(value);
            mmsQueueChanged.notify_one();
        }
    }
    {
        std::lock_guard<std::mutex> lock(mmsQueueMutex);
        mmsDone = true;
    }
    mmsQueueChanged.notify_all();
    for (auto& worker : mmsWorkers) worker.join();
    // Every command answered, or 30 s more.
    const auto drainEnd = Clock::now() + 30s;
    while (applied + refused < rate * seconds && Clock::now() < drainEnd) std::this_thread::sleep_for(50ms);
    const double loadWall = std::chrono::duration<double>(Clock::now() - loadStart).count();
    std::this_thread::sleep_for(1s);
    polling = false;
    poller.join();
    acks.join();

    std::vector<double> latencies;
    {
        std::lock_guard<std::mutex> lock(mutex);
        for (const auto& [value, seen] : seenAt) {
            auto it = sentAt.find(value);
            if (it != sentAt.end() && seen >= it->second) {
                latencies.push_back(std::chrono::duration<double, std::milli>(seen - it->second).count());
            }
        }
    }
    const auto finalValue = [&]() -> std::optional<float> {
        mmstest::MmsTestClient reader;
        if (!reader.associate(system.mmsPort())) return std::nullopt;
        return mmsreq::readFloat(reader, "CLS1", kAnOut1);
    }();
    const int total = rate * seconds;
    std::printf("load: %d commands sent at %d/s; %d applied in %.1f s (%.1f commands/s), %d refused, %d unanswered\n",
                total, rate, applied.load(), loadWall, applied.load() / loadWall, refused.load(),
                total - applied.load() - refused.load());
    const auto since = [&](Clock::time_point t) { return std::chrono::duration<double>(t - loadStart).count(); };
    std::printf("load: CLSEEDI %zu answered, the last at %.1f s, command to ack p50 %.1f ms, p99 %.1f ms\n",
                clseediAnswerMs.size(), since(lastClseediAnswer), percentile(clseediAnswerMs, 0.5),
                percentile(clseediAnswerMs, 0.99));
    std::printf("load: MMS %zu answered, the last at %.1f s, command to operate answer p50 %.1f ms, p99 %.1f ms\n",
                mmsAnswerMs.size(), since(lastMmsAnswer), percentile(mmsAnswerMs, 0.5), percentile(mmsAnswerMs, 0.99));
    std::printf("load: command to MMS-visible AnOut1 of CLS1: p50 %.1f ms, p99 %.1f ms (%zu values seen; the rest "
                "were replaced before a read)\n",
                percentile(latencies, 0.5), percentile(latencies, 0.99), latencies.size());
    const bool lastShown =
        finalValue && (static_cast<int>(*finalValue) == lastClseedi || static_cast<int>(*finalValue) == lastMms);
    std::printf("load: AnOut1 of CLS1 at the end %s; the newest command of CLSEEDI was %d, of MMS %d: %s\n",
                finalValue ? std::to_string(*finalValue).c_str() : "unread", lastClseedi, lastMms,
                lastShown ? "the last value shown" : "LOST: neither is shown");
    std::printf("load: resident memory %ld KiB, threads %ld\n", statusField(pid, "VmRSS"), statusField(pid, "Threads"));
    return 0;
}
