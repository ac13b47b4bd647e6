// Prints how long the schedule handling takes on the real static model with
// every schedule of every CLS enabled and stored: one updateSchedule of a CLS
// (goal < 5 ms) and one updateStatesOfAllCls (goal < 100 ms).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <iostream>
#include <sstream>
#include <vector>

#include "model/StaticModel.h"
#include "schedules/IecScheduleHandling.h"
#include "schedules/RoadLock.h"
#include "schedules/ScheduleNode.h"
#include "foundation/Clock.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kEvaluations = 200;
constexpr int kFullPushes = 20;

struct Figures {
    double meanMs;
    double maxMs;
};

// Times work() rounds times; prepare() runs before each round, untimed.
template <typename Prepare, typename Work>
Figures measure(int rounds, Prepare&& prepare, Work&& work) {
    std::vector<double> ms;
    for (int i = 0; i < rounds; ++i) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        work();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    double sum = 0;
    for (double v : ms) sum += v;
    return {sum / rounds, *std::max_element(ms.begin(), ms.end())};
}

// Gives the first value of every schedule node of every CLS a new value.
void changeEverySchedule(IedServer server, const std::vector<std::string>& names, float value) {
    for (int cls = 1; cls <= 4; ++cls) {
        for (const auto& name : names) {
            ScheduleNode n(server, "CLS" + std::to_string(cls), name);
            n.setReal(n.sub("ValASG001", "setMag", "f"), value);
        }
    }
}

// Every schedule node enabled, all its value objects in use, its first start
// time shortly before now.
void enableEverySchedule(IedServer server, const std::vector<std::string>& names) {
    const uint64_t nowMs = Clock::get().wallMs();
    for (int cls = 1; cls <= 4; ++cls) {
        for (const auto& name : names) {
            ScheduleNode n(server, "CLS" + std::to_string(cls), name);
            int entries = 0;
            while (DataAttribute* f = n.sub(entryObjectName("ValASG", entries + 1, 3), "setMag", "f")) {
                n.setReal(f, 1000.0f + static_cast<float>(entries));
                ++entries;
            }
            n.setInt32(n.attr("NumEntr", "setVal"), entries);
            n.setInt32(n.attr("SchdIntv", "setVal"), 60);
            n.setTimestamp(n.attr("StrTm01", "setTm"), nowMs - 10000);
            n.setBoolean(n.attr("EnaReq", "stVal"), true);
            n.setBoolean(n.attr("DsaReq", "stVal"), false);
        }
    }
}

}  // namespace

int main() {
    testsupport::TempWorkDir dir;
    testsupport::PrivateSystemBus bus;
    if (!bus.running()) {
        std::fprintf(stderr, "schedules_bench: no dbus-daemon for the system bus\n");
        return 1;
    }
    IedServer server = IedServer_create(getStaticIedModel());
    CallbackMap callbacks{{"bench", [](int) {}}};

    // The handling talks a lot on standard output; keep it out of the figures.
    std::ostringstream sink;
    std::streambuf* console = std::cout.rdbuf(sink.rdbuf());
    Figures evaluation{}, fullPush{}, changedPush{};
    {
        IecScheduleHandling handling(&server, &callbacks);
        enableEverySchedule(server, handling.getAllSchedules());
        {
            RoadLock::Guard road;
            handling.updateStatesOfAllCls();  // every file exists from here on
        }
        auto quiet = [&] { sink.str(""); };
        evaluation = measure(kEvaluations, quiet, [&] {
            RoadLock::Guard road;
            handling.updateSchedule(1);
        });
        fullPush = measure(kFullPushes, quiet, [&] {
            RoadLock::Guard road;
            handling.updateStatesOfAllCls();
        });
        float value = 0.0f;
        changedPush = measure(
            kFullPushes,
            [&] {
                quiet();
                changeEverySchedule(server, handling.getAllSchedules(), value += 1.0f);
            },
            [&] {
                RoadLock::Guard road;
                handling.updateStatesOfAllCls();
            });
    }
    std::cout.rdbuf(console);
    IedServer_destroy(server);

    std::printf("schedules: updateSchedule(CLS1), 26 schedule files: mean %.3f ms, max %.3f ms (goal < 5 ms)\n",
                evaluation.meanMs, evaluation.maxMs);
    std::printf("schedules: updateStatesOfAllCls, 104 schedules:     mean %.3f ms, max %.3f ms (goal < 100 ms)\n",
                fullPush.meanMs, fullPush.maxMs);
    std::printf("schedules: updateStatesOfAllCls, all 104 changed:   mean %.3f ms, max %.3f ms\n", changedPush.meanMs,
                changedPush.maxMs);
    return 0;
}
