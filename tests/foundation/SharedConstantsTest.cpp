#include <gtest/gtest.h>

#include <algorithm>

#include "foundation/SharedConstants.h"

namespace {

// A static object of another unit may read the constants during start-up.
const int kIndexAtStartup = clsNameToIndex.at("CLS3");

TEST(SharedConstants, Content) {
    EXPECT_EQ(kIndexAtStartup, 3);
    EXPECT_EQ(clsNameToIndex.size(), 4u);
    for (const char* name : {"cls1", "CLS5", "CLS 1", "", "CLS1 "}) EXPECT_EQ(clsNameToIndex.count(name), 0u) << name;
    EXPECT_EQ(nonScheduleLogicalNodes.size(), 12u);
    EXPECT_EQ(allowedSchedulePriorities.size(), 9u);
    for (int p : {40, 60, 100, 0}) {
        EXPECT_EQ(std::count(allowedSchedulePriorities.begin(), allowedSchedulePriorities.end(), p), 0) << p;
    }
    EXPECT_EQ(dbusNamePrefix, "de.tavelmarck.rurodi.");
}

}  // namespace
