// The road lock: one take per thread and road. A second take on the same
// thread, or an inner function run without the road, stops a debug build
// with a message naming where the road was taken and where it was wanted.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "schedules/RoadLock.h"

namespace {

#ifndef NDEBUG
void innerFunction() { RoadLock::assertHeld(); }

void enterTwice() {
    RoadLock::Guard outer;
    RoadLock::Guard inner;
}

TEST(RoadLockDeathTest, MisuseStopsTheProcessNamingBothSites) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(enterTwice(),
                 "road lock: taken again at [^ ]*RoadLockTest.cpp:[0-9]+ .*enterTwice.*; "
                 "this thread took it at [^ ]*RoadLockTest.cpp:[0-9]+ .*enterTwice");
    EXPECT_DEATH(innerFunction(), "road lock: not held at [^ ]*RoadLockTest.cpp:[0-9]+ .*innerFunction");
}
#endif

TEST(RoadLock, OneThreadAtATimeAndFreeAgainAfterTheGuard) {
    std::atomic<bool> otherEntered{false};
    std::thread other;
    {
        RoadLock::Guard road;
        EXPECT_TRUE(RoadLock::heldByThisThread());
        RoadLock::assertHeld();
        other = std::thread([&] {
            RoadLock::Guard road;
            otherEntered = true;
        });
        // Still ours: the other thread waits for the guard above to go.
        EXPECT_FALSE(otherEntered);
    }
    other.join();
    EXPECT_TRUE(otherEntered);
#ifndef NDEBUG
    EXPECT_FALSE(RoadLock::heldByThisThread());
#endif
    RoadLock::Guard again;  // the same thread may take it once more after letting go
}

}  // namespace
