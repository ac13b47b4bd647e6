// States of stored schedules: the integrity checks by schedule kind and the
// state number each file ends up with.

#include <gtest/gtest.h>
#include <syslog.h>

#include "tests/schedules/ScheduleTestSupport.h"

using namespace scheduletest;

namespace {

using ScheduleStates = StoreTest;

const std::string kBase = "EmpSPrg_FSCH020001";
const std::string kDirect = "EmpDCmd_FSCH050001";
const std::string kTrigger = "SysSoft_FSCH110001";
const std::string kReserve = "SysRes_FSCH010001";

std::string secs(int64_t offset) { return std::to_string(static_cast<int64_t>(kNowSec) + offset); }

TEST_F(ScheduleStates, StateTable) {
    struct Case {
        const char* what;
        std::string name;
        FileBuilder file;
        int state;       // answered by checkStatusOfSchedule
        int storedState; // "ScheduleStateKind" afterwards
    };
    const auto base = FileBuilder::normal(kBase);
    const auto direct = FileBuilder::normal(kDirect).set("StrTm", "[0]");
    const Case cases[] = {
        {"base inside its slot", kBase, base, 4, 4},
        {"base before its slot", kBase, FileBuilder(base).set("StrTm", "[0," + secs(100) + "]"), 3, 3},
        {"base after its slot", kBase, FileBuilder(base).set("StrTm", '[' + secs(-60) + "]"), 3, 3},
        {"slot of the second start time", kBase,
         FileBuilder(base).set("StrTm", '[' + secs(-600) + "," + secs(-1) + "]"), 4, 4},
        {"priority 40", kBase, FileBuilder(base).set("SchdPrio", "40"), 1, 1},
        {"priority 250", kBase, FileBuilder(base).set("SchdPrio", "250"), 4, 4},
        {"priority missing", kBase, FileBuilder(base).drop("SchdPrio"), 1, 1},
        {"priority as text", kBase, FileBuilder(base).set("SchdPrio", "\"30\""), 1, 1},
        {"interval 0", kBase, FileBuilder(base).set("SchdIntv", "0"), 1, 1},
        {"interval as float", kBase, FileBuilder(base).set("SchdIntv", "60.0"), 1, 1},
        {"no entries", kBase, FileBuilder(base).set("NumEntr", "0"), 1, 1},
        {"entries as text", kBase, FileBuilder(base).set("NumEntr", "\"1\""), 1, 1},
        {"values empty", kBase, FileBuilder(base).set("ValASG", "[]"), 1, 1},
        {"values no array", kBase, FileBuilder(base).set("ValASG", "4200"), 1, 1},
        {"empty name", kBase, FileBuilder(base).set("SchdName", "\"\""), 1, 1},
        {"latest update 0", kBase, FileBuilder(base).set("LatestUpdate", "0"), 1, 1},
        {"latest update as float", kBase, FileBuilder(base).set("LatestUpdate", "1.5"), 1, 1},
        {"reuse missing", kBase, FileBuilder(base).drop("SchdReuse"), 1, 1},
        {"start times no array", kBase, FileBuilder(base).set("StrTm", secs(-10)).drop("StrCal"), 1, 1},
        {"start times empty", kBase, FileBuilder(base).set("StrTm", "[]"), 1, 1},
        {"start times as text", kBase, FileBuilder(base).set("StrTm", "[\"x\"]"), 1, 1},
        {"disabled", kBase, FileBuilder(base).set("EnaReq", "false"), 1, 1},
        {"enable as text", kBase, FileBuilder(base).set("EnaReq", "\"true\""), 1, 1},
        {"disable request set", kBase, FileBuilder(base).set("DsaReq", "true"), 1, 1},
        {"disable request missing", kBase, FileBuilder(base).drop("DsaReq"), 1, 1},
        {"reserve runs while disabled", kReserve, FileBuilder::normal(kReserve).set("EnaReq", "false"), 4, 4},
        {"direct runs without start time", kDirect, direct, 4, 4},
        {"direct with disable request", kDirect, FileBuilder(direct).set("DsaReq", "true"), 1, 1},
        {"direct disabled", kDirect, FileBuilder(direct).set("EnaReq", "false"), 1, 1},
        {"direct priority 0", kDirect, FileBuilder(direct).set("SchdPrio", "0"), 1, 1},
        {"trigger is never ready", kTrigger, FileBuilder::trigger(kTrigger), 1, 1},
        {"trigger without currentTrg", kTrigger, FileBuilder::trigger(kTrigger).drop("currentTrg"), 1, 1},
        {"unlisted name is not ready and keeps its file", "Foo_FSCH990001", FileBuilder::normal("Foo_FSCH990001"), 1,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        writeStored(1, c.name, c.file.json());
        EXPECT_EQ(store.checkStatusOfSchedule(1, c.name), c.state);
        EXPECT_EQ(storedState(1, c.name), c.storedState);
    }
}

TEST_F(ScheduleStates, MissingOrBrokenFileIsNotReady) {
    EXPECT_EQ(store.checkStatusOfSchedule(1, kBase), 1);
    EXPECT_FALSE(storedExists(1, kBase));
    writeStored(1, kBase, "{\"SchdName\":");
    EXPECT_EQ(store.checkStatusOfSchedule(1, kBase), 1);
    EXPECT_EQ(readStored(1, kBase), "{\"SchdName\":");
}

TEST_F(ScheduleStates, PeriodicCalendarGivesAStartTime) {
    const auto file = FileBuilder::normal(kBase).set("StrTm", "[0,0]").set("StrCal", "[0,0,0,0,0,0,0,0]");
    writeStored(1, kBase, file.json());
    EXPECT_EQ(store.checkStatusOfSchedule(1, kBase), 4);
    const auto times = schedulefile::startTimes(store.readJSON(1, kBase));
    ASSERT_TRUE(times);
    EXPECT_EQ(*times, (std::vector<uint64_t>{kNowSec - 1, 0}));

    // occType 5 is no period: the schedule stays not ready, its times untouched.
    const auto single = FileBuilder(file).set("StrCal", "[0,5,0,0,0,0,0,0]");
    writeStored(1, kBase, single.json());
    EXPECT_EQ(store.checkStatusOfSchedule(1, kBase), 1);
    EXPECT_EQ(schedulefile::startTimes(store.readJSON(1, kBase)), (std::vector<uint64_t>{0, 0}));

    for (const char* cal : {"[]", "[0]", "7", "[0,\"x\"]"}) {
        writeStored(1, kBase, FileBuilder(file).set("StrCal", cal).json());
        EXPECT_EQ(store.checkStatusOfSchedule(1, kBase), 1) << cal;
    }
}

TEST_F(ScheduleStates, WithoutNamesNothingIsTouched) {
    ScheduleManager empty("Empty");
    const std::string content = FileBuilder::normal(kBase).json();
    writeStored(1, kBase, content);
    EXPECT_EQ(empty.checkStatusOfSchedule(1, kBase), 5);
    EXPECT_EQ(readStored(1, kBase), content);
}

TEST_F(ScheduleStates, RejectionsAreLoggedWithTheirReason) {
    struct Case {
        FileBuilder file;
        std::string log;
    } cases[] = {
        {FileBuilder::normal(kBase).set("SchdPrio", "40"), "SM: 1.2 ERROR! -> EmpSPrg_FSCH020001 -> priority is not valid"},
        {FileBuilder::normal(kBase).set("SchdIntv", "0"), "SM: 1.2 ERROR! -> EmpSPrg_FSCH020001 -> SchdIntv is at 0"},
        {FileBuilder::normal(kBase).drop("StrTm"),
         "SM: 1.2 ERROR on CLS1! -> Missing member in normal schedule: StrTm"},
        {FileBuilder::trigger(kTrigger).set("EvTrg", "false"), "SM: 1.2 ERROR! -> SysSoft_FSCH110001 -> EvTrg is not true"},
        {FileBuilder::trigger(kTrigger).drop("EvTrg"), "SM: 1.2 ERROR! -> Missing member in Trigger schedule: EvTrg"},
    };
    for (const auto& c : cases) {
        const std::string name = c.log.find("SysSoft") != std::string::npos || c.log.find("Trigger") != std::string::npos
                                     ? kTrigger
                                     : kBase;
        writeStored(1, name, c.file.json());
        syslog.clear();
        EXPECT_EQ(store.checkStatusOfSchedule(1, name), 1);
        EXPECT_TRUE(syslog.contains(LOG_DEBUG, c.log)) << c.log;
    }
}

}  // namespace
