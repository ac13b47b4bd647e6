// Prints how long one three-day look-ahead of a CLS takes with all 26 of its
// schedules stored, every entry list full and the start times spread over
// the window. It runs on demand only; no goal is set.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "schedules/ScheduleManager.h"
#include "foundation/Clock.h"
#include "foundation/ModelLookup.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kCalls = 50;
constexpr int64_t kNowSec = 1767225600;

// Entries and start times of a schedule node of the static model.
struct Shape {
    int entries;
    int startTimes;
};

Shape shapeOf(const std::string& name) {
    const bool hundred = name.starts_with("SysRes") || name.starts_with("EmpSPrg_FSCH0200") ||
                         name.starts_with("SysComEr");
    const int entries = name.starts_with("EmpSPrg_FSCH0201") ? 300 : hundred ? 100 : 1;
    const bool sixteen = name.starts_with("SysRes") || name.starts_with("EmpSPrg") || name.starts_with("EmpWCmd") ||
                         name.starts_with("DsoWCmd");
    return {entries, sixteen ? 16 : 1};
}

const int kPriorities[] = {10, 20, 30, 50, 110, 130, 150, 220, 250};

int priorityOf(const std::string& name) {
    const size_t at = name.find("FSCH");
    const int kind = std::stoi(name.substr(at + 4, 2));
    for (int p : kPriorities) {
        if (p / 10 == kind) return p;
    }
    return 10;
}

}  // namespace

int main() {
    testsupport::TempWorkDir dir;
    Clock::setForTesting(std::make_shared<FakeClock>(kNowSec * 1000));
    // The 26 schedule nodes of a CLS device, from the static model.
    const std::vector<std::string> kNames = getAllScheduleNames();
    ScheduleManager store("Bench");
    store.setAllScheduleNames(kNames);

    for (size_t i = 0; i < kNames.size(); ++i) {
        const std::string& name = kNames[i];
        const Shape shape = shapeOf(name);
        std::vector<double> values;
        for (int e = 0; e < shape.entries; ++e) values.push_back(1000.0 + e + 0.5);
        // Ten-minute steps; each schedule starts at its own offset and again every 4.5 h.
        std::vector<int64_t> starts;
        for (int k = 0; k < shape.startTimes; ++k) starts.push_back(kNowSec - 600 + 900 * int64_t(i) + 16200 * k);
        const bool ok = name.starts_with("SysSoft") || name.starts_with("SysComEr")
                            ? store.addScheduleJSONTrg(1, name, priorityOf(name), shape.entries, 60, values, 0,
                                                       false, true, 1000 + int64_t(i), false)
                            : store.addScheduleJSON(1, name, true, false, priorityOf(name), shape.entries, 60, values,
                                                    0, starts, {0, 5, 0, 0, 0, 0, 0, 0}, false, 1000 + int64_t(i));
        if (!ok) {
            std::fprintf(stderr, "could not store %s\n", name.c_str());
            return 1;
        }
    }

    // The store's console lines go to standard output; only the figures matter.
    std::FILE* quiet = std::freopen("/dev/null", "w", stdout);
    (void)quiet;
    std::vector<double> ms;
    size_t entries = 0;
    for (int i = 0; i < kCalls; ++i) {
        const auto start = std::chrono::steady_clock::now();
        entries = store.getPowerLimitSchedule3Days(1).size();
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    }
    double sum = 0;
    for (double v : ms) sum += v;
    std::sort(ms.begin(), ms.end());
    std::fprintf(stderr,
                 "look-ahead over 26 stored schedules of CLS1 (full entry lists): %zu map entries; "
                 "mean %.2f ms, median %.2f ms, max %.2f ms per call (%d calls)\n",
                 entries, sum / kCalls, ms[ms.size() / 2], ms.back(), kCalls);
    Clock::setForTesting(nullptr);
    return 0;
}
