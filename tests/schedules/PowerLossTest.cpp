// A schedule file survives its writer being killed at any moment: a child
// process runs the writes of a road on one schedule in a loop (the hand-over
// with its state, written at the end of the road, then a state change of the
// stored file) and is killed with SIGKILL
// at a random moment, many times. Each time the file parses and holds one of
// the schedules written, and the first write of the next start leaves no
// temporary file behind.

#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "tests/schedules/ScheduleTestSupport.h"

using namespace scheduletest;
namespace fs = std::filesystem;

namespace {

using PowerLoss = StoreTest;

const std::string kName = "EmpWCmd_FSCH030001";
constexpr int kKills = 40;

// The hand-over of a schedule with the one value (staged until the store's
// syncHandedOverFiles writes it).
bool handOver(ScheduleManager& sm, int value) {
    return sm.addScheduleJSON(1, kName, true, false, 30, 1, 60, {static_cast<double>(value)}, 0,
                              {static_cast<int64_t>(kNowSec) - 10, 0}, {0, 5, 0, 0, 0, 0, 0, 0}, false, value);
}
// The same, written.
bool write(ScheduleManager& sm, int value) { return handOver(sm, value) && sm.syncHandedOverFiles(1); }

// The one value of the stored schedule; -1 when the file does not parse as one.
int storedValue(const fs::path& file) {
    const rapidjson::Document doc = schedulefile::read(file.string());
    const rapidjson::Value* values = schedulefile::getArray(doc, "ValASG");
    if (values == nullptr || values->Size() != 1 || !(*values)[0].IsNumber()) return -1;
    return static_cast<int>((*values)[0].GetDouble());
}

size_t entriesIn(const fs::path& dir) { return std::distance(fs::directory_iterator(dir), fs::directory_iterator()); }

TEST_F(PowerLoss, AKilledWriterLeavesTheOldOrTheNewSchedule) {
    const fs::path file = workDir.path() / schedulefile::path(1, kName);
    std::mt19937 random(20260101);
    std::uniform_int_distribution<int> delayUs(200, 4000);
    int killedMidWrite = 0;
    for (int i = 0; i < kKills; ++i) {
        const int before = 100 + i;
        ScheduleManager nextStart("Test");  // finds what the killed writer left
        nextStart.setAllScheduleNames(kScheduleNames);
        ASSERT_TRUE(write(nextStart, before));
        ASSERT_EQ(entriesIn(file.parent_path()), 1u) << "a temporary file survived the write " << i;

        int started[2];
        ASSERT_EQ(::pipe(started), 0);
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            ::close(started[0]);
            for (int n = 0;; ++n) {  // until killed
                if (n == 1) (void)!::write(started[1], "w", 1);
                handOver(store, n % 2 + 1);
                store.changeStateKindInJSON(1, kName, n % 3 ? kStateRunning : kStateReady);
                store.syncHandedOverFiles(1);
                store.changeStateKindInJSON(1, kName, n % 3 ? kStateReady : kStateRunning);
            }
        }
        // The delay counts from the child's first road: its start-up can take longer.
        ::close(started[1]);
        pollfd ready{started[0], POLLIN, 0};
        EXPECT_EQ(::poll(&ready, 1, 10000), 1) << "the writer did not start";
        ::close(started[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ASSERT_EQ(::kill(child, SIGKILL), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);

        const int value = storedValue(file);
        EXPECT_TRUE(value == before || value == 1 || value == 2) << "kill " << i << " left value " << value;
        killedMidWrite += entriesIn(file.parent_path()) > 1;
    }
    ScheduleManager nextStart("Test");
    nextStart.setAllScheduleNames(kScheduleNames);
    ASSERT_TRUE(write(nextStart, 7));
    EXPECT_EQ(storedValue(file), 7);
    EXPECT_EQ(entriesIn(file.parent_path()), 1u);
    // The kills did hit writes in progress (their temporary files were there).
    EXPECT_GT(killedMidWrite, 0);
}

}  // namespace
