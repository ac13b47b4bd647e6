// One road at a time: a writer enables and disables a schedule while another
// thread re-evaluates the CLS and a reader parses the stored file. Built a
// second time with ThreadSanitizer (tools/extra-builds/tsan.sh).

#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <thread>

#include "schedules/RoadLock.h"
#include "tests/schedules/HandlingTestSupport.h"

using namespace scheduletest;

namespace {

using ScheduleRoad = HandlingTest;

constexpr int kHandOvers = 61;  // odd: the last one disables
const std::string kNode = "EmpWCmd_FSCH030001";

TEST_F(ScheduleRoad, EnableDisableAgainstReevaluation) {
    static_assert(kHandOvers % 2 == 1, "the last hand-over disables");
    writeSchedule(1, kNode, {4200.0f}, 3600, {kNowSec - 10}, true);
    process(1, kNode);
    ASSERT_EQ(handling->getActiveScheduleName(1), kNode);

    std::atomic<bool> done{false};
    std::atomic<int> unparsable{0};
    // What the writer handed over, counted and recorded inside its road.
    int handedOver = 0;
    std::optional<bool> lastHandedOver;

    // The writer holds the road around its model writes and the hand-over,
    // as the server core's write entry points do.
    std::thread writer([&] {
        for (int i = 0; i < kHandOvers; ++i) {
            const bool enable = i % 2 == 1;
            RoadLock::Guard road;
            ScheduleNode n = node(1, kNode);
            n.setBoolean(n.attr("EnaReq", "stVal"), enable);
            n.setBoolean(n.attr("DsaReq", "stVal"), !enable);
            processInRoad(1, kNode);
            ++handedOver;
            lastHandedOver = n.boolean(n.attr("EnaReq", "stVal"));
        }
        done = true;
    });
    std::thread evaluator([&] {
        while (!done) {
            road()->updateSchedule(1);
            (void)handling->getActiveValue(1);
            (void)handling->getClsWithActiveSchedule();
        }
    });
    std::thread reader([&] {
        const std::string file = (workDir.path() / schedulefile::path(1, kNode)).string();
        while (!done) {
            if (!schedulefile::read(file).IsObject()) ++unparsable;
        }
    });
    writer.join();
    evaluator.join();
    reader.join();

    EXPECT_EQ(unparsable.load(), 0);
    road()->updateSchedule(1);
    EXPECT_EQ(handedOver, kHandOvers);
    ASSERT_TRUE(lastHandedOver.has_value());
    // The store and the published state follow the last hand-over.
    auto doc = scheduleManager->readJSON(1, kNode);
    EXPECT_EQ(schedulefile::getBool(doc, "EnaReq"), *lastHandedOver);
    EXPECT_EQ(schedulefile::getBool(doc, "DsaReq"), !*lastHandedOver);
    EXPECT_EQ(handling->getActiveScheduleName(1), *lastHandedOver ? kNode : std::string(kNoScheduleActive));
    EXPECT_EQ(handling->getActiveValue(1), *lastHandedOver ? 4200.0f : -1.0f);
    EXPECT_EQ(anOut1(1), *lastHandedOver ? 4200.0f : -1.0f);
    // The first publication, then one per hand-over: each flips the active value.
    EXPECT_EQ(listener.calls().size(), 1u + kHandOvers);
}

}  // namespace
