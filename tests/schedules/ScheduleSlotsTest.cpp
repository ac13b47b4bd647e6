// Slot arithmetic of stored schedules (entries, windows, start times) and the
// choice of the active schedule.

#include <gtest/gtest.h>
#include <syslog.h>

#include "tests/schedules/ScheduleTestSupport.h"

using namespace scheduletest;

namespace {

using ScheduleSlots = StoreTest;
using ActiveChoice = StoreTest;

const std::string kBase = "EmpSPrg_FSCH020001";

// [100, 280): three entries of 60 s.
std::string threeEntries() {
    return FileBuilder::normal(kBase).set("StrTm", "[100,0]").set("NumEntr", "3").set("ValASG", "[1.5,2,3.5]").json();
}

TEST_F(ScheduleSlots, EntryIndexAndWindowAtTheBoundaries) {
    writeStored(1, kBase, threeEntries());
    struct Case {
        uint64_t t;
        int index;
        bool inWindow;
    } cases[] = {
        {99, -1, false}, {100, 0, true}, {159, 0, true}, {160, 1, true},
        {219, 1, true},  {279, 2, true}, {280, -1, false}, {100000, -1, false},
    };
    for (const auto& c : cases) {
        setNow(c.t);
        EXPECT_EQ(store.getValIndex(1, kBase, c.t), c.index) << c.t;
        EXPECT_EQ(store.checkInSMIfActualTimeInScheduleInterval(1, kBase, false), c.inWindow) << c.t;
    }
    EXPECT_EQ(store.getVal(1, kBase, 1), std::make_pair(true, 2.0));
    EXPECT_EQ(store.getVal(1, kBase, 2), std::make_pair(true, 3.5));
    EXPECT_EQ(store.getVal(1, kBase, -1), std::make_pair(false, 0.0));
    EXPECT_EQ(store.getVal(1, kBase, 3), std::make_pair(false, 0.0));
}

TEST_F(ScheduleSlots, EntryIndexStaysExactFarIntoALongSchedule) {
    // 2^25 + 1 s after the start: a single-precision difference would round
    // to the entry before.
    const uint64_t start = kNowSec;
    writeStored(1, kBase,
                FileBuilder::normal(kBase)
                    .set("StrTm", '[' + std::to_string(start) + "]")
                    .set("SchdIntv", "1")
                    .set("NumEntr", "40000000")
                    .json());
    EXPECT_EQ(store.getValIndex(1, kBase, start + 33554433), 33554433);
    EXPECT_EQ(store.getValIndex(1, kBase, start + 39999999), 39999999);
}

TEST_F(ScheduleSlots, DirectCommandHasEntryZeroAtAnyTime) {
    writeStored(1, "EmpDCmd_FSCH050001", FileBuilder::normal("EmpDCmd_FSCH050001").set("StrTm", "[0]").json());
    EXPECT_EQ(store.getValIndex(1, "EmpDCmd_FSCH050001", 5), 0);
    EXPECT_EQ(store.getValIndex(1, "EmpDCmd_FSCH050001", kNowSec), 0);
}

TEST_F(ScheduleSlots, WrappingSlotEndIsNoWindow) {
    for (const auto& [strTm, intv] : {std::pair<std::string, std::string>{"[18446744073709551000]", "1000"},
                                      {"[100]", "-1"}}) {
        writeStored(1, kBase, FileBuilder::normal(kBase).set("StrTm", strTm).set("SchdIntv", intv).json());
        syslog.clear();
        setNow(150);
        EXPECT_FALSE(store.checkInSMIfActualTimeInScheduleInterval(1, kBase, true)) << strTm;
        bool overflowLogged = false;
        for (const auto& r : syslog.records()) {
            overflowLogged |= r.text.starts_with("SM: Time overflow detected for startingTimeSec: ");
        }
        EXPECT_TRUE(overflowLogged) << strTm;
        EXPECT_EQ(store.getValIndex(1, kBase, 150), -1);
    }
}

TEST_F(ScheduleSlots, CurrentAndNextStartTimes) {
    struct Case {
        const char* strTm;
        uint64_t now;
        uint64_t act;
        uint64_t nxt;
        bool future;
    } cases[] = {
        {"[100,200,300]", 200, 100, 300, true}, {"[300,100,200]", 250, 200, 300, true},
        {"[100,200,300]", 301, 300, 0, false},   {"[100,200,300]", 50, 0, 100, true},
        {"[0,0]", 150, 0, 0, false},             {"[]", 150, 0, 0, false},
        {"[-5,\"x\",150]", 150, 0, 0, false},
    };
    for (const auto& c : cases) {
        writeStored(1, kBase, FileBuilder::normal(kBase).set("StrTm", c.strTm).json());
        setNow(c.now);
        EXPECT_EQ(store.getActStrTm(1, kBase), c.act) << c.strTm << " @" << c.now;
        EXPECT_EQ(store.getNxtStrTm(1, kBase), c.nxt) << c.strTm << " @" << c.now;
        EXPECT_EQ(store.checkInSMIfSlotIsInFuture(1, kBase, false), c.future) << c.strTm << " @" << c.now;
    }
}

TEST_F(ScheduleSlots, QueriesOnBrokenFilesAnswerNeutrally) {
    for (const std::string& content : {std::string(""), FileBuilder::normal(kBase).drop("SchdIntv").json(),
                                      FileBuilder::normal(kBase).set("NumEntr", "true").json()}) {
        writeStored(1, kBase, content);
        EXPECT_EQ(store.getValIndex(1, kBase, kNowSec), -1) << content;
        EXPECT_FALSE(store.checkInSMIfActualTimeInScheduleInterval(1, kBase, false)) << content;
        EXPECT_FALSE(store.checkInSMIfSlotIsInFuture(1, kBase, false)) << content;
    }
    writeStored(1, kBase, FileBuilder::normal(kBase).set("ValASG", "[\"x\"]").json());
    EXPECT_EQ(store.getVal(1, kBase, 0), std::make_pair(false, 0.0));
    EXPECT_TRUE(store.getPowerLimitSchedule(1).empty());
}

TEST_F(ActiveChoice, PriorityThenLatestUpdateThenListOrder) {
    struct Stored {
        std::string name;
        int state;
        int prio;
        int64_t latest;
    };
    struct Case {
        const char* what;
        std::vector<Stored> files;
        std::string active;
    } cases[] = {
        {"nothing runs", {{"EmpWCmd_FSCH030001", 3, 30, 10}, {"EmpDCmd_FSCH050001", 1, 50, 10}}, kNoScheduleActive},
        {"higher priority wins", {{"EmpWCmd_FSCH030001", 4, 30, 20}, {"EmpDCmd_FSCH050001", 4, 50, 10}},
         "EmpDCmd_FSCH050001"},
        {"ready never active", {{"EmpWCmd_FSCH030001", 4, 30, 20}, {"DsoECmd_FSCH250001", 3, 250, 30}},
         "EmpWCmd_FSCH030001"},
        {"later update wins on equal priority",
         {{"EmpWCmd_FSCH030001", 4, 30, 20}, {"EmpWCmd_FSCH030002", 4, 30, 21}}, "EmpWCmd_FSCH030002"},
        {"full tie: base before direct", {{"EmpDCmd_FSCH050001", 4, 30, 20}, {"EmpWCmd_FSCH030002", 4, 30, 20}},
         "EmpWCmd_FSCH030002"},
        {"full tie: first base in list order", {{"EmpWCmd_FSCH030002", 4, 30, 20}, {"EmpSPrg_FSCH020001", 4, 30, 20}},
         "EmpSPrg_FSCH020001"},
        {"trigger file in state 4 takes part", {{"SysSoft_FSCH110001", 4, 110, 1}, {"EmpDCmd_FSCH050001", 4, 50, 9}},
         "SysSoft_FSCH110001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::filesystem::remove_all(workDir.path() / "schedules");
        for (const auto& f : c.files) {
            writeStored(1, f.name,
                        FileBuilder::normal(f.name)
                            .set("ScheduleStateKind", std::to_string(f.state))
                            .set("SchdPrio", std::to_string(f.prio))
                            .set("LatestUpdate", std::to_string(f.latest))
                            .json());
        }
        EXPECT_EQ(store.getActivateSchedule(1), c.active);
        EXPECT_EQ(store.getActivateSchedule(2), kNoScheduleActive);
    }
}

TEST_F(ActiveChoice, FilesLackingAKeyOrTypeAreSkipped) {
    writeStored(1, "EmpWCmd_FSCH030001", FileBuilder::normal("EmpWCmd_FSCH030001").set("ScheduleStateKind", "4").json());
    for (const auto& broken :
         {FileBuilder::normal("EmpDCmd_FSCH050001").drop("ScheduleStateKind"),
          FileBuilder::normal("EmpDCmd_FSCH050001").set("ScheduleStateKind", "4").set("SchdPrio", "\"50\""),
          FileBuilder::normal("EmpDCmd_FSCH050001").set("ScheduleStateKind", "4").set("SchdPrio", "50").drop(
              "LatestUpdate"),
          FileBuilder::normal("EmpDCmd_FSCH050001").set("ScheduleStateKind", "4.0").set("SchdPrio", "50")}) {
        writeStored(1, "EmpDCmd_FSCH050001", broken.json());
        EXPECT_EQ(store.getActivateSchedule(1), "EmpWCmd_FSCH030001") << broken.json();
    }
}

TEST_F(ActiveChoice, EnabledSchedulesInGivenOrder) {
    writeStored(1, "EmpWCmd_FSCH030002", FileBuilder::normal("EmpWCmd_FSCH030002").json());
    writeStored(1, "EmpWCmd_FSCH030001", FileBuilder::normal("EmpWCmd_FSCH030001").json());
    writeStored(1, "EmpDCmd_FSCH050001", FileBuilder::normal("EmpDCmd_FSCH050001").set("DsaReq", "true").json());
    writeStored(1, "SysRes_FSCH010001", FileBuilder::normal("SysRes_FSCH010001").set("EnaReq", "false").json());
    writeStored(1, "EmpSPrg_FSCH020001", "{");
    EXPECT_EQ(store.getSchedulesWithEnaReq(kScheduleNames, 1),
              (std::vector<std::string>{"EmpWCmd_FSCH030001", "EmpWCmd_FSCH030002"}));
}

}  // namespace
