// The three-day look-ahead of the power limits of a CLS, on schedule files
// written by the store, with the clock fixed.

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/schedules/ScheduleTestSupport.h"

using namespace scheduletest;
namespace fs = std::filesystem;

namespace {

// The clock stands half a second past kNowSec: emitted entries must still
// start on their own boundaries.
constexpr uint64_t kNowMs = kNowSec * 1000 + 500;
constexpr uint64_t kWindowEnd = kNowMs + 259200000;
constexpr uint64_t kHour = 3600;

// A schedule as the store takes it; start times are seconds relative to kNowSec.
struct Stored {
    std::string name;
    int prio;
    int intv;
    std::vector<double> values;
    int multiplier;
    std::vector<int64_t> starts;
    int64_t latestUpdate = 1000;
};

uint64_t at(int64_t relativeSec) { return (kNowSec + relativeSec) * 1000; }

class LookAhead : public StoreTest {
protected:
    LookAhead() { clock->setWallMs(kNowMs); }

    void put(int cls, const Stored& s) {
        std::vector<int64_t> starts;
        for (int64_t rel : s.starts) starts.push_back(rel == 0 ? 0 : static_cast<int64_t>(kNowSec) + rel);
        ASSERT_TRUE(store.addScheduleJSON(cls, s.name, true, false, s.prio, static_cast<int>(s.values.size()),
                                                s.intv, s.values, s.multiplier, starts, {0, 5, 0, 0, 0, 0, 0, 0},
                                                false, s.latestUpdate));
        ASSERT_TRUE(store.syncHandedOverFiles(cls));  // written, as at the end of a road
    }
};

TEST_F(LookAhead, Table) {
    const std::string base = "EmpSPrg_FSCH020001";
    const std::string base2 = "EmpSPrg_FSCH020002";
    const std::string command = "EmpWCmd_FSCH030001";
    const std::string direct = "EmpDCmd_FSCH050001";
    struct Case {
        const char* what;
        std::vector<Stored> schedules;
        PowerLimitSchedule expected;
    } cases[] = {
        {"no schedule at all", {}, {{0, -1}, {kWindowEnd, -1}}},
        {"one running base schedule, entries on their boundaries, multiplier 3",
         {{base, 20, 60, {1.5, 2, 4.2}, 3, {-30, 0}}},
         {{kNowMs, 1500}, {at(30), 2000}, {at(90), 4200}, {at(150), -1}, {kWindowEnd, -1}}},
        {"a direct command over a base schedule",
         {{base, 20, 3600, {10}, 3, {-60}}, {direct, 50, 300, {2000}, 0, {600}}},
         {{kNowMs, 10000}, {at(600), 2000}, {at(900), 10000}, {at(3540), -1}, {kWindowEnd, -1}}},
        {"equal priorities: the later hand-over wins, then the earlier one resumes",
         {{base, 20, 3600, {1000}, 0, {-60}, 2000}, {base2, 20, 600, {700}, 0, {-60}, 3000}},
         {{kNowMs, 700}, {at(540), 1000}, {at(3540), -1}, {kWindowEnd, -1}}},
        {"a lower priority does not interrupt",
         {{command, 30, 3600, {900}, 0, {-60}}, {base, 20, 7200, {100}, 0, {600}}},
         {{kNowMs, 900}, {at(3540), 100}, {at(7800), -1}, {kWindowEnd, -1}}},
        {"starting and ending inside the window: first entry one minute after its start",
         {{base, 20, 1800, {4, 5}, 3, {2 * kHour}}},
         {{at(2 * kHour + 60), 4000}, {at(2 * kHour + 1800), 5000}, {at(3 * kHour), -1}, {kWindowEnd, -1}}},
        {"running past the end of the window",
         {{base, 20, 3 * kHour, {6}, 3, {71 * kHour}}},
         {{at(71 * kHour + 60), 6000}, {kWindowEnd, -1}}},
        {"beyond three days", {{base, 20, 600, {6}, 3, {73 * kHour}}}, {{0, -1}, {kWindowEnd, -1}}},
        {"gaps: no limit between the slots, each next slot one minute after its start",
         {{command, 30, 600, {3}, 3, {-10, kHour, 5 * kHour}}},
         {{kNowMs, 3000},
          {at(590), -1},
          {at(kHour + 60), 3000},
          {at(kHour + 600), -1},
          {at(5 * kHour + 60), 3000},
          {at(5 * kHour + 600), -1},
          {kWindowEnd, -1}}},
        {"an entry whose limit cannot be a whole number of watts ends the walk; ten passes",
         {{base, 20, 600, {1e30}, 10, {-10}}},
         {{at(590), -1}, {kWindowEnd, -1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(workDir.path() / "schedules");
        for (const auto& s : c.schedules) put(1, s);
        EXPECT_EQ(store.getPowerLimitSchedule3Days(1), c.expected);
    }
}

TEST_F(LookAhead, TenPassesAtMost) {
    // Twelve ten-minute slots two hours apart: each is one pass.
    std::vector<int64_t> starts;
    for (int i = 0; i < 12; ++i) starts.push_back(kHour + 2 * kHour * i);
    put(1, {"EmpWCmd_FSCH030001", 30, 600, {2}, 3, starts});
    const PowerLimitSchedule limits = store.getPowerLimitSchedule3Days(1);
    PowerLimitSchedule expected{{kWindowEnd, -1}};
    for (int i = 0; i < 10; ++i) {
        expected[at(starts[i] + 60)] = 2000;
        expected[at(starts[i] + 600)] = -1;
    }
    EXPECT_EQ(limits, expected);
}

TEST_F(LookAhead, TriggerAndStartlessSchedulesTakeNoPartAndNoFileIsWritten) {
    put(1, {"EmpSPrg_FSCH020001", 20, 600, {5}, 3, {-10}});
    // A trigger schedule of higher priority, and a base schedule without a
    // start time whose calendar is periodic (the state check would give it one).
    ASSERT_TRUE(store.addScheduleJSONTrg(1, "SysSoft_FSCH110001", 110, 1, 60, {9000}, 0, false, true, 5000, true));
    ASSERT_TRUE(store.addScheduleJSON(1, "EmpSPrg_FSCH020002", true, false, 20, 1, 600, {7}, 3, {0, 0},
                                      {0, 0, 0, 0, 0, 0, 0, 0}, false, 5000));
    std::map<std::string, std::string> before;
    for (const auto& entry : fs::directory_iterator(workDir.path() / "schedules/CLS1")) {
        before[entry.path().filename()] = workDir.readFile(entry.path());
    }

    EXPECT_EQ(store.getPowerLimitSchedule3Days(1),
              (PowerLimitSchedule{{kNowMs, 5000}, {at(590), -1}, {kWindowEnd, -1}}));

    std::map<std::string, std::string> after;
    for (const auto& entry : fs::directory_iterator(workDir.path() / "schedules/CLS1")) {
        after[entry.path().filename()] = workDir.readFile(entry.path());
    }
    EXPECT_EQ(after, before);
}

TEST_F(LookAhead, EachCallStandsAlone) {
    put(1, {"EmpWCmd_FSCH030001", 30, 600, {1}, 3, {-10}});
    put(1, {"EmpSPrg_FSCH020001", 20, 600, {5}, 3, {2 * kHour}});
    const PowerLimitSchedule first = store.getPowerLimitSchedule3Days(1);
    EXPECT_EQ(store.getPowerLimitSchedule3Days(1), first);

    // Moved to later: nothing of the earlier start time is left in the answer.
    put(1, {"EmpSPrg_FSCH020001", 20, 600, {5}, 3, {4 * kHour}, 2000});
    EXPECT_EQ(store.getPowerLimitSchedule3Days(1), (PowerLimitSchedule{{kNowMs, 1000},
                                                                       {at(590), -1},
                                                                       {at(4 * kHour + 60), 5000},
                                                                       {at(4 * kHour + 600), -1},
                                                                       {kWindowEnd, -1}}));
    // Other CLS and the schedule handling's map are untouched by all this.
    EXPECT_EQ(store.getPowerLimitSchedule3Days(2), (PowerLimitSchedule{{0, -1}, {kWindowEnd, -1}}));
    EXPECT_TRUE(store.getPowerLimitSchedule(1).empty());
}

TEST(HoursFromNow, TwoDecimalsBothWays) {
    Clock::setForTesting(std::make_shared<FakeClock>(kNowMs));
    EXPECT_FLOAT_EQ(hoursFromNow(kNowMs + 5400000), 1.5f);
    EXPECT_FLOAT_EQ(hoursFromNow(kNowMs + 3600000 / 3), 0.33f);
    EXPECT_FLOAT_EQ(hoursFromNow(kNowMs - 7200000), -2.0f);
    Clock::setForTesting(nullptr);
}

}  // namespace
