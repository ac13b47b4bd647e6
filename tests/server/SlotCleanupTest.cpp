// The slot bookkeeping and the cleanup of control-written slots, with a fake clock.
#include <chrono>

#include "foundation/Clock.h"
#include "server/SlotBook.h"
#include "tests/server/RecordingSchedules.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;

const Slot kLpcWindow{"EmpWCmd_FSCH030001", "CLS1"};
const Slot kLppDirect{"EmpDCmd_FSCH050001", "CLS2"};

class SlotCleanupTest : public testsupport::IecTest {
protected:
    SlotCleanupTest() { Clock::setForTesting(clock); }
    ~SlotCleanupTest() override { Clock::setForTesting(nullptr); }

    std::shared_ptr<FakeClock> clock = std::make_shared<FakeClock>();
    RecordingSchedules schedules;
    SlotBook book;
};

TEST_F(SlotCleanupTest, PendingSlotsComeOutInSlotOrderOnce) {
    book.addPending(kLpcWindow);
    book.addPending(kLppDirect);
    book.addPending(kLpcWindow);
    const SlotSet batch = book.takePending();
    ASSERT_EQ(batch.size(), 2u);
    EXPECT_EQ(*batch.begin(), kLppDirect);  // "EmpD" orders before "EmpW"
    EXPECT_TRUE(book.takePending().empty());
    // A written (not operated) slot is never filled.
    EXPECT_TRUE(book.filled().empty());
    EXPECT_FALSE(book.isJustWrittenEntry(kLpcWindow));
}

TEST_F(SlotCleanupTest, APastSlotIsResetOnlyOnceItsControlIsThirtySecondsOld) {
    book.recordControl(kLpcWindow);
    struct Step {
        std::chrono::milliseconds advance;
        bool kept;
    };
    const Step steps[] = {{29s, true}, {999ms, true}, {1ms, false}};
    for (const auto& step : steps) {
        clock->advanceMs(static_cast<uint64_t>(step.advance.count()));
        book.deleteExpiredFilledSlots(schedules);
        EXPECT_EQ(book.filled().count(kLpcWindow), step.kept ? 1u : 0u) << step.advance.count();
    }
    EXPECT_EQ(schedules.summary(), std::vector<std::string>{"delete EmpWCmd_FSCH030001 1"});
    EXPECT_FALSE(book.isJustWrittenEntry(kLpcWindow));
    EXPECT_TRUE(syslog.contains("server: 2.1 Filled Slot: Logical Node Name: EmpWCmd_FSCH030001, CLS Name: CLS1 - is deleted"));
}

TEST_F(SlotCleanupTest, ASecondControlRenewsTheTime) {
    book.recordControl(kLpcWindow);
    clock->advanceMs(20000);
    book.recordControl(kLpcWindow);
    EXPECT_EQ(book.filled().size(), 1u);
    EXPECT_EQ(book.takePending().size(), 1u);
    clock->advanceMs(20000);
    book.deleteExpiredFilledSlots(schedules);
    EXPECT_EQ(book.filled().size(), 1u);
    clock->advanceMs(10000);
    book.deleteExpiredFilledSlots(schedules);
    EXPECT_TRUE(book.filled().empty());
}

TEST_F(SlotCleanupTest, TheWalkStopsAtTheFirstKeptSlot) {
    // kLppDirect orders first; it starts later, so kLpcWindow waits behind it.
    book.recordControl(kLppDirect);
    book.recordControl(kLpcWindow);
    schedules.startsLater.insert({2, "EmpDCmd_FSCH050001"});
    clock->advanceMs(60000);
    book.deleteExpiredFilledSlots(schedules);
    EXPECT_EQ(book.filled().size(), 2u);
    EXPECT_TRUE(schedules.calls.empty());

    schedules.startsLater.clear();
    book.deleteExpiredFilledSlots(schedules);
    EXPECT_TRUE(book.filled().empty());
    EXPECT_EQ(schedules.summary(),
              (std::vector<std::string>{"delete EmpDCmd_FSCH050001 2", "delete EmpWCmd_FSCH030001 1"}));
}

TEST_F(SlotCleanupTest, ARunningSlotReevaluatesItsClsAndStays) {
    book.recordControl(kLpcWindow);
    schedules.runningNow.insert({1, "EmpWCmd_FSCH030001"});
    for (int pass = 0; pass < 2; ++pass) {
        clock->advanceMs(40000);
        book.deleteExpiredFilledSlots(schedules);
    }
    EXPECT_EQ(book.filled().size(), 1u);
    EXPECT_EQ(schedules.summary(), (std::vector<std::string>{"update 1", "update 1"}));
}

TEST_F(SlotCleanupTest, AnUnknownClsNameCountsAsPast) {
    EXPECT_TRUE(SlotBook::checkIfTheSlotIsInPast(schedules, {"EmpWCmd_FSCH030001", "CLS9"}));
    EXPECT_FALSE(SlotBook::checkIfTheSlotIsInPast(schedules, {"EmpWCmd_FSCH030001", "CLS1"}) &&
                 !schedules.runningNow.empty());
}

}  // namespace
