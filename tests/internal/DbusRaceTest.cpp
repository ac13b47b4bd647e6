// The D-Bus listener called from two threads at once while a bus client
// reads properties: every CLS input log entry and every signal stays whole.
#include <regex>
#include <sstream>
#include <thread>

#include "tests/internal/DbusTestSupport.h"

namespace {

class DbusRaceTest : public bustest::DbusServiceTest {};

TEST_F(DbusRaceTest, ListenersOnTwoThreadsLeaveWholeEntriesAndSignals) {
    constexpr int kRounds = 50;
    setActPow(1, 1000.0f, 0, -10.0f, 10.0f);
    setActPow(2, 2000.0f, 0, -20.0f, 20.0f);
    std::atomic<bool> reading{true};
    std::thread reader([&] {
        bustest::BusClient own;
        while (reading) {
            own.property(bustest::actPowPath(1), bustest::kActPowInterface, "AnOut_mxVal_f");
            own.property(bustest::mmxuPath(2), bustest::kMmxuInterface, "totw");
        }
    });
    auto updates = [&](int cls) {
        for (int i = 0; i < kRounds; ++i) core.callListeners(cls);
    };
    std::thread first(updates, 1);
    std::thread second(updates, 2);
    first.join();
    second.join();
    ASSERT_TRUE(client->waitForCount(2 * 6 * kRounds, std::chrono::seconds(20))) << client->signals().size();
    reading = false;
    reader.join();

    for (int cls : {1, 2}) {
        SCOPED_TRACE(cls);
        const std::string limit = cls == 1 ? "1000" : "2000";
        const std::string bound = cls == 1 ? "10" : "20";
        size_t limits = 0;
        for (const std::string& signal : client->signalsOf(bustest::actPowPath(cls))) {
            if (signal.rfind("AnOut_mxVal_f ", 0) == 0) {
                EXPECT_EQ(signal, "AnOut_mxVal_f " + limit);
                ++limits;
            }
            if (signal.rfind("AnOut1_maxVal_f ", 0) == 0) {
                EXPECT_EQ(signal, "AnOut1_maxVal_f " + bound);
            }
        }
        EXPECT_EQ(limits, static_cast<size_t>(kRounds));
        EXPECT_EQ(client->signalsOf(bustest::mmxuPath(cls)).size(), static_cast<size_t>(kRounds));
    }

    std::istringstream log(workDir.readFile(InternalInterfaceDBUS::kClsInputLog));
    const std::regex entry(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d - \((LPC|LPP)\): Power Limit: (1000|2000) W)");
    std::string line;
    int lpc = 0;
    int lpp = 0;
    while (std::getline(log, line)) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(line, match, entry)) << line;
        EXPECT_EQ(match[1] == "LPC" ? "1000" : "2000", match[2].str());
        (match[1] == "LPC" ? lpc : lpp)++;
        ASSERT_TRUE(std::getline(log, line));
        ASSERT_EQ(line, std::string(24, '-'));
    }
    EXPECT_EQ(lpc, kRounds);
    EXPECT_EQ(lpp, kRounds);
}

// The getters read AnOut1 while a writer changes its value and multiplier
// as the road does: every read sees the model under its lock, and the limit
// read is always one of the written pairs.
TEST_F(DbusRaceTest, PropertyReadsMeetWritesOfTheLimitUnderTheModelLock) {
    constexpr int kReads = 200;
    DataAttribute* mxVal = findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "mxVal", "f");
    DataAttribute* multiplier = findSubDataAttribute("CLS1", "ActPow_GGIO001", "AnOut1", "units", "multiplier");
    ASSERT_NE(mxVal, nullptr);
    ASSERT_NE(multiplier, nullptr);
    setActPow(1, 4200.0f, 0);
    std::atomic<bool> writing{true};
    std::thread writer([&] {
        for (int i = 0; writing; ++i) {
            DataModelLock lock(model);
            IedServer_updateInt32AttributeValue(model, multiplier, i % 2);
            IedServer_updateFloatAttributeValue(model, mxVal, i % 2 ? 420.0f : 4200.0f);
        }
    });
    std::vector<int64_t> limits;
    for (int i = 0; i < kReads; ++i) {
        limits.push_back(
            client->property(bustest::actPowPath(1), bustest::kActPowInterface, "AnOut_mxVal_f").get<int64_t>());
        const int32_t m = client->property(bustest::actPowPath(1), bustest::kActPowInterface, "AnOut1_units_multiplier")
                              .get<int32_t>();
        EXPECT_TRUE(m == 0 || m == 1) << m;
    }
    writing = false;
    writer.join();
    for (int64_t limit : limits) EXPECT_EQ(limit, 4200);
}

}  // namespace
