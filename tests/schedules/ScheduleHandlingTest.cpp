// Schedule handling on the real static model: hand-over of each schedule
// variant to the store, reset of consumed nodes, evaluation and publication.

#include <gtest/gtest.h>
#include <syslog.h>

#include <atomic>
#include <stdexcept>
#include <thread>

#include "schedules/RoadLock.h"
#include "tests/iec61850_core/FailingSync.h"
#include "tests/schedules/HandlingTestSupport.h"

using namespace scheduletest;

namespace {

using HandOver = HandlingTest;
using Evaluation = HandlingTest;

std::vector<int64_t> int64s(const rapidjson::Value& doc, const char* key) {
    std::vector<int64_t> out;
    if (const rapidjson::Value* a = schedulefile::getArray(doc, key)) {
        for (const auto& v : a->GetArray()) out.push_back(v.GetInt64());
    }
    return out;
}

std::vector<double> doubles(const rapidjson::Value& doc, const char* key) {
    std::vector<double> out;
    if (const rapidjson::Value* a = schedulefile::getArray(doc, key)) {
        for (const auto& v : a->GetArray()) out.push_back(v.GetDouble());
    }
    return out;
}

TEST_F(HandOver, ConstructionReadsVersionAndNames) {
    EXPECT_EQ(handling->getIcdVersion(), "1.2.0");
    EXPECT_EQ(handling->getAllSchedules(), kScheduleNames);
    for (int cls = 1; cls <= 4; ++cls) {
        EXPECT_EQ(handling->getActiveValue(cls), -1.0f);
        EXPECT_EQ(handling->getActiveMultiplier(cls), 0);
        EXPECT_EQ(handling->getActiveScheduleName(cls), "");
    }
    EXPECT_TRUE(handling->getClsWithActiveSchedule().empty());
    EXPECT_EQ(road()->getTotalDuration(), -1);
}

TEST_F(HandOver, EachScheduleVariantReachesTheStore) {
    // Calendar program: three entries, 16 start times, its calendar.
    writeSchedule(1, "EmpSPrg_FSCH020001", {1.5f, 2500.0f, -3.25f}, 900, {kNowSec + 3600, 0, kNowSec - 5}, true, 2);
    ScheduleNode prg = node(1, "EmpSPrg_FSCH020001");
    prg.setInt32(prg.sub("StrTm01", "setCal", "occType"), 2);
    prg.setInt32(prg.sub("StrTm01", "setCal", "month"), 7);
    road()->sendIECValuesToScheduleManager("EmpSPrg_FSCH020001", 1);
    auto doc = scheduleManager->readJSON(1, "EmpSPrg_FSCH020001");
    ASSERT_TRUE(doc.IsObject());
    EXPECT_EQ(doubles(doc, "ValASG"), (std::vector<double>{1.5, 2500.0, -3.25}));
    EXPECT_EQ(schedulefile::getInt(doc, "Multiplier"), 2);
    EXPECT_EQ(schedulefile::getInt(doc, "SchdPrio"), 20);
    EXPECT_EQ(schedulefile::getInt(doc, "SchdIntv"), 900);
    std::vector<int64_t> times(16, 0);
    times[0] = kNowSec + 3600;
    times[2] = kNowSec - 5;
    EXPECT_EQ(int64s(doc, "StrTm"), times);
    EXPECT_EQ(int64s(doc, "StrCal"), (std::vector<int64_t>{0, 2, 0, 0, 7, 0, 0, 0}));
    EXPECT_EQ(schedulefile::getBool(doc, "EnaReq"), true);
    EXPECT_EQ(schedulefile::getBool(doc, "DsaReq"), false);
    EXPECT_EQ(schedulefile::getInt64(doc, "LatestUpdate"), static_cast<int64_t>(kNowSec * 1000));

    // Single command: exactly one start time, its calendar as at start.
    writeSchedule(1, "EmpDCmd_FSCH050001", {7000.0f}, 0, {kNowSec}, true);
    road()->sendIECValuesToScheduleManager("EmpDCmd_FSCH050001", 1);
    doc = scheduleManager->readJSON(1, "EmpDCmd_FSCH050001");
    EXPECT_EQ(int64s(doc, "StrTm"), (std::vector<int64_t>{kNowSec}));
    EXPECT_EQ(int64s(doc, "StrCal"), (std::vector<int64_t>{0, 5, 0, 0, 0, 0, 0, 0}));

    // Trigger node: the trigger layout with its flags.
    road()->sendIECValuesToScheduleManager("SysSoft_FSCH110002", 2);
    doc = scheduleManager->readJSON(2, "SysSoft_FSCH110002");
    EXPECT_EQ(schedulefile::getBool(doc, "EvTrg"), true);
    EXPECT_EQ(schedulefile::getBool(doc, "currentTrg"), true);
    EXPECT_FALSE(schedulefile::has(doc, "StrTm"));
    EXPECT_EQ(schedulefile::getInt(doc, "SchdPrio"), 110);

    // Window command: no calendar on its start times; CLS1 says so.
    for (int cls : {1, 2}) {
        testing::internal::CaptureStdout();
        road()->sendIECValuesToScheduleManager("EmpWCmd_FSCH030001", cls);
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_EQ(out.find("DA for: EmpWCmd_FSCH030001 setCal not found") != std::string::npos, cls == 1) << cls;
        doc = scheduleManager->readJSON(cls, "EmpWCmd_FSCH030001");
        EXPECT_EQ(int64s(doc, "StrCal"), (std::vector<int64_t>{0, 5, 0, 0, 0, 0, 0, 0}));
        EXPECT_EQ(int64s(doc, "StrTm").size(), 16u);
    }

    // A node that is not a schedule hands nothing over.
    road()->sendIECValuesToScheduleManager("ActPow_GGIO001", 1);
    EXPECT_FALSE(storedExistsFor(1, "ActPow_GGIO001"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "handling: send IECValuesToScheduleManager DA for SchdPrio not found"));
}

TEST_F(HandOver, CountBeyondTheNodeIsRefusedAndTheOldScheduleStops) {
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030001");
    ASSERT_EQ(handling->getActiveScheduleName(1), "EmpWCmd_FSCH030001");

    // The node has one value object; a client writes NumEntr 5.
    ScheduleNode n = node(1, "EmpWCmd_FSCH030001");
    n.setInt32(n.attr("NumEntr", "setVal"), 5);
    syslog.clear();
    listener.clear();
    process(1, "EmpWCmd_FSCH030001");
    EXPECT_FALSE(storedExistsFor(1, "EmpWCmd_FSCH030001"));
    EXPECT_EQ(handling->getActiveScheduleName(1), kNoScheduleActive);
    EXPECT_EQ(anOut1(1), -1.0f);
    EXPECT_EQ(listener.calls(), std::vector<int>{1});
    bool refused = false;
    for (const auto& r : syslog.records()) refused |= r.priority == LOG_ERR && r.text.find("refused") != std::string::npos;
    EXPECT_TRUE(refused);
}

TEST_F(HandOver, DeleteResetsEveryStartTimeInModelAndStore) {
    for (const std::string ln : {"EmpWCmd_FSCH030001", "EmpSPrg_FSCH020001"}) {
        SCOPED_TRACE(ln);
        writeSchedule(1, ln, {4200.0f, 10.0f}, 600, {kNowSec - 10, kNowSec + 100, kNowSec + 200}, true);
        ScheduleNode n = node(1, ln);
        n.setInt32(n.attr("SchdSt", "stVal"), 4);
        n.setTimestamp(n.attr("SchdSt", "t"), kNowSec * 1000);
        if (n.attr("StrTm02", "setCal")) n.setInt32(n.sub("StrTm02", "setCal", "occType"), 2);
        road()->deleteScheduleData("CLS1", ln);

        EXPECT_EQ(n.int32(n.attr("NumEntr", "setVal")), 1);
        EXPECT_EQ(n.int32(n.attr("SchdIntv", "setVal")), 0);
        EXPECT_FALSE(n.boolean(n.attr("EnaReq", "stVal")));
        EXPECT_FALSE(n.boolean(n.attr("DsaReq", "stVal")));
        EXPECT_EQ(n.int32(n.attr("SchdSt", "stVal")), 0);
        EXPECT_EQ(n.timeMs(n.attr("SchdSt", "t")), 0u);
        EXPECT_EQ(n.real(n.sub("ValASG001", "setMag", "f")), 0.0f);
        EXPECT_EQ(n.real(n.sub("ValASG002", "setMag", "f")), 0.0f);
        for (int k = 1; k <= 16; ++k) {
            EXPECT_EQ(n.timeMs(n.attr(entryObjectName("StrTm", k, 2), "setTm")), 0u) << k;
        }
        if (n.attr("StrTm02", "setCal")) {
            EXPECT_EQ(n.integral(n.sub("StrTm02", "setCal", "occType")), 0);
        }

        auto doc = scheduleManager->readJSON(1, ln);
        EXPECT_EQ(int64s(doc, "StrTm"), std::vector<int64_t>(16, 0));
        EXPECT_EQ(doubles(doc, "ValASG"), std::vector<double>{0.0});
        EXPECT_EQ(schedulefile::getBool(doc, "EnaReq"), false);
        EXPECT_EQ(schedulefile::getInt(doc, "SchdIntv"), 0);
    }
    road()->deleteScheduleData("CLS9", "EmpWCmd_FSCH030001");  // refused, no throw
}

TEST_F(Evaluation, PublishesOncePerChange) {
    // Two entries of 600 s with different values.
    writeSchedule(1, "EmpSPrg_FSCH020002", {4200.0f, 3100.0f}, 600, {kNowSec - 10}, true, 3);
    process(1, "EmpSPrg_FSCH020002");
    EXPECT_EQ(listener.calls(), std::vector<int>{1});
    EXPECT_EQ(handling->getActiveScheduleName(1), "EmpSPrg_FSCH020002");
    EXPECT_EQ(handling->getActiveValue(1), 4200.0f);
    EXPECT_EQ(handling->getActiveMultiplier(1), 3);
    EXPECT_EQ(anOut1(1), 4200.0f);
    EXPECT_EQ(anOut1Multiplier(1), 3);
    ScheduleNode out = node(1, "ActPow_GGIO001");
    EXPECT_EQ(out.timeMs(out.attr("AnOut1", "t")), kNowSec * 1000);
    ScheduleNode ctl = node(1, "ActPow_FSCC001");
    EXPECT_STREQ(IedServer_getStringAttributeValue(server, ctl.attr("ActSchdRef", "stVal")), "@CLS1/EmpSPrg_FSCH020002");
    EXPECT_EQ(ctl.real(ctl.sub("ValMV", "mag", "f")), 4200.0f);
    ScheduleNode prg = node(1, "EmpSPrg_FSCH020002");
    EXPECT_EQ(prg.int32(prg.attr("SchdSt", "stVal")), 4);
    EXPECT_EQ(prg.int32(prg.attr("SchdEntr", "stVal")), 0);
    EXPECT_EQ(prg.timeMs(prg.attr("ActStrTm", "stVal")), (kNowSec - 10) * 1000);

    // Nothing changed: nobody is called.
    road()->updateSchedule(1);
    EXPECT_EQ(listener.calls().size(), 1u);

    // Next entry, same schedule.
    syslog.clear();
    clock->advanceMs(600 * 1000);
    road()->updateSchedule(1);
    EXPECT_EQ(listener.calls().size(), 2u);
    EXPECT_EQ(anOut1(1), 3100.0f);
    EXPECT_EQ(prg.int32(prg.attr("SchdEntr", "stVal")), 1);
    EXPECT_TRUE(syslog.contains(LOG_INFO, "handling: Schedule has changed in CLS1 from EmpSPrg_FSCH020002 to EmpSPrg_FSCH020002"));

    // Only the multiplier changes.
    ScheduleNode n = node(1, "EmpSPrg_FSCH020002");
    n.setInt32(n.sub("ValASG001", "units", "multiplier"), 0);
    process(1, "EmpSPrg_FSCH020002");
    EXPECT_EQ(listener.calls().size(), 3u);
    EXPECT_EQ(anOut1Multiplier(1), 0);
    // The multiplier published is the stored schedule's, not a later model value.
    n.setInt32(n.sub("ValASG001", "units", "multiplier"), 6);
    road()->updateSchedule(1);
    EXPECT_EQ(listener.calls().size(), 3u);
    EXPECT_EQ(handling->getActiveMultiplier(1), 0);

    // The slot ends: no schedule, -1 with the last multiplier.
    syslog.clear();
    clock->advanceMs(600 * 1000);
    road()->updateSchedule(1);
    EXPECT_EQ(listener.calls(), (std::vector<int>{1, 1, 1, 1}));
    EXPECT_EQ(handling->getActiveScheduleName(1), kNoScheduleActive);
    EXPECT_EQ(anOut1(1), -1.0f);
    EXPECT_EQ(anOut1Multiplier(1), 0);
    EXPECT_TRUE(syslog.contains(LOG_INFO, "handling: Schedule has changed in CLS1 from EmpSPrg_FSCH020002 to no_schedule_active"));
    road()->updateSchedule(1);
    EXPECT_EQ(listener.calls().size(), 4u);
    EXPECT_EQ(handling->getActiveValue(2), -1.0f);
}

TEST_F(Evaluation, HigherPriorityTakesOverAndHandsBack) {
    writeSchedule(1, "EmpSPrg_FSCH020001", {1000.0f}, 3600, {kNowSec - 10}, true);
    process(1, "EmpSPrg_FSCH020001");
    writeSchedule(1, "EmpDCmd_FSCH050001", {50.0f}, 0, {kNowSec}, true);
    process(1, "EmpDCmd_FSCH050001");
    EXPECT_EQ(handling->getActiveScheduleName(1), "EmpDCmd_FSCH050001");
    EXPECT_EQ(anOut1(1), 50.0f);
    writeSchedule(1, "EmpDCmd_FSCH050001", {50.0f}, 0, {kNowSec}, false);
    process(1, "EmpDCmd_FSCH050001");
    EXPECT_EQ(handling->getActiveScheduleName(1), "EmpSPrg_FSCH020001");
    EXPECT_EQ(anOut1(1), 1000.0f);
    EXPECT_EQ(listener.calls(), (std::vector<int>{1, 1, 1}));
}

TEST_F(Evaluation, ADisabledScheduleStopsReadingRunning) {
    auto state = [this](const char* ln) {
        ScheduleNode n = node(1, ln);
        return n.int32(n.attr("SchdSt", "stVal"));
    };
    const int untouched = state("EmpSPrg_FSCH020003");
    writeSchedule(1, "EmpSPrg_FSCH020001", {1000.0f}, 3600, {kNowSec - 10}, true);
    process(1, "EmpSPrg_FSCH020001");
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 3600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030001");
    ASSERT_EQ(state("EmpWCmd_FSCH030001"), kStateRunning);

    // DsaReq on the running schedule: its state is written like the others'.
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 3600, {kNowSec - 10}, false);
    process(1, "EmpWCmd_FSCH030001");
    EXPECT_EQ(handling->getActiveScheduleName(1), "EmpSPrg_FSCH020001");
    EXPECT_EQ(state("EmpWCmd_FSCH030001"), scheduleManager->checkStatusOfSchedule(1, "EmpWCmd_FSCH030001"));
    EXPECT_NE(state("EmpWCmd_FSCH030001"), kStateRunning);
    EXPECT_EQ(state("EmpSPrg_FSCH020001"), kStateRunning);

    // The last enabled one goes too: no schedule reads Running.
    writeSchedule(1, "EmpSPrg_FSCH020001", {1000.0f}, 3600, {kNowSec - 10}, false);
    process(1, "EmpSPrg_FSCH020001");
    EXPECT_EQ(handling->getActiveScheduleName(1), kNoScheduleActive);
    for (const auto& ln : kScheduleNames) EXPECT_NE(state(ln.c_str()), kStateRunning) << ln;
    EXPECT_EQ(state("EmpSPrg_FSCH020003"), untouched);  // never enabled: never written
}

// One command on the road syncs its schedule file and the directory once:
// the hand-over's write waits for the state write that follows, or, where
// the evaluation writes no state, for the sync at the end of the evaluation.
TEST_F(Evaluation, OneCommandSyncsItsScheduleFileOnce) {
    struct Command {
        const char* what;
        const char* ln;
        bool enable;
        int storedState;  // afterwards in the file
        uint64_t syncs;   // file and directory
    };
    const Command commands[] = {
        {"a new limit: hand-over, then the state Running", "EmpWCmd_FSCH030001", true, kStateRunning, 2},
        {"the same again: nothing written", "EmpWCmd_FSCH030001", true, kStateRunning, 0},
        {"a second limit beside the running one", "EmpWCmd_FSCH030002", true, kStateRunning, 2},
        {"DsaReq on a running one: hand-over, then its state", "EmpWCmd_FSCH030001", false, kStateNotReady, 2},
        {"a never enabled one: the hand-over alone", "EmpSPrg_FSCH020003", false, kStateNotEvaluated, 2},
    };
    for (const Command& c : commands) {
        writeSchedule(1, c.ln, {4200.0f}, 3600, {kNowSec - 10}, c.enable);
        const uint64_t before = iec61850::durableSyncCount();
        process(1, c.ln);
        EXPECT_EQ(iec61850::durableSyncCount() - before, c.syncs) << c.what;
        EXPECT_EQ(schedulefile::getInt(scheduleManager->readJSON(1, c.ln), "ScheduleStateKind"), c.storedState)
            << c.what;
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(workDir.path() / schedulefile::directory(1)),
                            std::filesystem::directory_iterator()),
              3)
        << "three schedule files and no temporary one";
}

// A command whose schedule file cannot be written (its sync or its
// directory's fails, through the durable writer's test seam) leaves in force
// what was: AnOut1, the states, and the nodes in the model as the store
// holds them; the disk working again brings nothing refused into force (the
// periodic evaluation and a resend of every node run first); the next
// command applies.
TEST_F(Evaluation, ACommandWhoseFileCannotBeSyncedLeavesWhatWasInForce) {
    const std::string inForce = "EmpWCmd_FSCH030001";
    const std::string fresh = "EmpWCmd_FSCH030002";  // holds nothing in the store
    auto state = [this](const std::string& ln) {
        ScheduleNode n = node(1, ln);
        return n.int32(n.attr("SchdSt", "stVal"));
    };
    auto value = [this](const std::string& ln) {
        ScheduleNode n = node(1, ln);
        return n.real(n.sub("ValASG001", "setMag", "f"));
    };
    auto enabled = [this](const std::string& ln) {
        ScheduleNode n = node(1, ln);
        return n.boolean(n.attr("EnaReq", "stVal"));
    };
    for (const testsync::SyncFailure& c : testsync::kSyncFailures) {
        SCOPED_TRACE(c.what);
        writeSchedule(1, inForce, {4200.0f}, 3600, {kNowSec - 10}, true);
        process(1, inForce);
        ASSERT_EQ(anOut1(1), 4200.0f);
        ASSERT_EQ(state(inForce), kStateRunning);
        {
            testsync::FailingSync failing(c.failing, c.error);
            listener.clear();
            syslog.clear();
            // A new limit on the node in force, and one on a node without a schedule.
            writeSchedule(1, inForce, {3000.0f}, 3600, {kNowSec - 5}, true);
            writeSchedule(1, fresh, {2500.0f}, 3600, {kNowSec - 5}, true);
            for (const std::string& ln : {inForce, fresh}) {
                RoadLock::Guard road;
                processInRoad(1, ln);
                EXPECT_FALSE(handling->isStored(1, ln)) << ln;
            }
            EXPECT_EQ(anOut1(1), 4200.0f);
            EXPECT_EQ(handling->getActiveScheduleName(1), inForce);
            EXPECT_TRUE(listener.calls().empty());
            EXPECT_EQ(state(inForce), kStateRunning);
            EXPECT_EQ(value(inForce), 4200.0f) << "the node shows the stored schedule again";
            ScheduleNode n = node(1, inForce);
            EXPECT_EQ(n.timeMs(n.attr("StrTm01", "setTm")), (kNowSec - 10) * 1000);
            EXPECT_FALSE(enabled(fresh)) << "a node with nothing in force is not left enabled";
            size_t errors = 0;
            for (const auto& r : syslog.records()) errors += r.priority == LOG_ERR;
            EXPECT_EQ(errors, 2u) << "one line per command";
            failing.heal();
        }
        // What runs without a command once the disk works again.
        clock->advanceMs(5000);
        road()->updateSchedule(1);
        road()->updateStatesOfAllCls();
        EXPECT_EQ(anOut1(1), 4200.0f);
        EXPECT_EQ(handling->getActiveScheduleName(1), inForce);
        EXPECT_EQ(state(inForce), kStateRunning);
        EXPECT_EQ(schedulefile::getArray(scheduleManager->readJSON(1, inForce), "ValASG")->GetArray()[0].GetDouble(),
                  4200.0);

        writeSchedule(1, inForce, {2500.0f}, 3600, {kNowSec - 5}, true);
        process(1, inForce);
        EXPECT_TRUE(handling->isStored(1, inForce));
        EXPECT_EQ(anOut1(1), 2500.0f);
    }
}

TEST_F(Evaluation, StoredStateOutsideItsSlotPublishesZero) {
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 60, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030001");
    clock->advanceMs(120 * 1000);
    road()->updateActiveSchedule(1);  // without refreshing the states first
    EXPECT_EQ(handling->getActiveValue(1), 0.0f);
    EXPECT_EQ(anOut1(1), 0.0f);
}

TEST_F(Evaluation, UnreadableValuePublishesNothing) {
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030001");
    listener.clear();
    // A direct command whose stored value is no number.
    workDir.writeFile(schedulefile::path(1, "EmpDCmd_FSCH050001"),
                      FileBuilder::normal("EmpDCmd_FSCH050001").set("SchdPrio", "50").set("ValASG", "[\"x\"]").json());
    syslog.clear();
    road()->updateSchedule(1);
    EXPECT_TRUE(listener.calls().empty());
    EXPECT_EQ(handling->getActiveScheduleName(1), "EmpWCmd_FSCH030001");
    EXPECT_EQ(handling->getActiveValue(1), 4200.0f);
    EXPECT_EQ(anOut1(1), 4200.0f);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "handling: Error: valMag not found"));
}

TEST_F(Evaluation, ThrowingListenerIsLoggedAndTheNextOneRuns) {
    RecordingListener second;
    callbacks["a-throws"] = [](int) { throw std::runtime_error("peer gone"); };
    callbacks["b-records"] = second.function();
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030001");
    EXPECT_EQ(listener.calls(), std::vector<int>{1});
    EXPECT_EQ(second.calls(), std::vector<int>{1});
    EXPECT_TRUE(syslog.contains(LOG_ERR, "handling: listener a-throws failed for CLS1: peer gone"));
}

TEST_F(Evaluation, TimeStampsAfterAResetAreRealTime) {
    writeSchedule(1, "EmpWCmd_FSCH030002", {10.0f}, 600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030002");
    road()->deleteScheduleData("CLS1", "EmpWCmd_FSCH030001");
    clock->advanceMs(5000);
    writeSchedule(1, "EmpWCmd_FSCH030002", {20.0f}, 600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030002");
    ScheduleNode n = node(1, "EmpWCmd_FSCH030002");
    EXPECT_GE(n.timeMs(n.attr("SchdEntr", "t")), kNowSec * 1000);
    EXPECT_GE(n.timeMs(n.attr("ValMV", "t")), kNowSec * 1000);
    const MmsValue* t = IedServer_getAttributeValue(server, n.attr("ValMV", "t"));
    EXPECT_EQ(MmsValue_getUtcTimeQuality(t), kTimeQualityLeapSecondsKnown);
}

TEST_F(Evaluation, FullPushCallsForClsOneAndTwoAndKeepsTheOrder) {
    // The later hand-over of two equal priorities wins ...
    writeSchedule(1, "EmpWCmd_FSCH030001", {100.0f}, 3600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030001");
    clock->advanceMs(1000);
    writeSchedule(1, "EmpWCmd_FSCH030002", {200.0f}, 3600, {kNowSec - 10}, true);
    process(1, "EmpWCmd_FSCH030002");
    ASSERT_EQ(handling->getActiveScheduleName(1), "EmpWCmd_FSCH030002");
    listener.clear();

    // ... and stays the winner through resends of the unchanged schedules.
    for (int resend = 0; resend < 2; ++resend) {
        clock->advanceMs(1000);
        road()->updateStatesOfAllCls();
        EXPECT_EQ(handling->getActiveScheduleName(1), "EmpWCmd_FSCH030002");
    }
    EXPECT_EQ(listener.calls(), (std::vector<int>{1, 2, 1, 2}));

    callbacks.clear();
    testing::internal::CaptureStdout();
    road()->updateStatesOfAllCls();
    const std::string out = testing::internal::GetCapturedStdout();
    size_t count = 0;
    for (size_t pos = out.find("Error: No callbacks registered."); pos != std::string::npos;
         pos = out.find("Error: No callbacks registered.", pos + 1)) {
        ++count;
    }
    EXPECT_EQ(count, 2u);
}

TEST_F(Evaluation, FutureStartTimesAndWindowQuestions) {
    writeSchedule(3, "EmpWCmd_FSCH030001", {100.0f}, 60, {kNowSec + 3600}, true);
    road()->sendIECValuesToScheduleManager("EmpWCmd_FSCH030001", 3);
    EXPECT_EQ(handling->getClsWithFutureTimestamp(), std::vector<int>{3});
    EXPECT_TRUE(road()->checkIfSlotIsInFuture(3, "EmpWCmd_FSCH030001"));
    EXPECT_FALSE(road()->checkIfActualTimeInScheduleInterval(3, "EmpWCmd_FSCH030001"));
    clock->advanceMs(3601 * 1000);
    EXPECT_TRUE(handling->getClsWithFutureTimestamp().empty());
    EXPECT_FALSE(road()->checkIfSlotIsInFuture(3, "EmpWCmd_FSCH030001"));
    EXPECT_TRUE(road()->checkIfActualTimeInScheduleInterval(3, "EmpWCmd_FSCH030001"));
    road()->updateSchedule(3);
    EXPECT_EQ(handling->getClsWithActiveSchedule(), std::vector<int>{3});
    EXPECT_FALSE(road()->checkScheduleState("NoSuchNode", 3));
}

TEST_F(Evaluation, PublishedStateIsReadableWhileAListenerBlocks) {
    std::mutex gate;
    std::unique_lock<std::mutex> hold(gate);
    std::atomic<bool> inListener{false};
    std::atomic<bool> roadHeldInListener{false};
    callbacks["slow"] = [&](int) {
        roadHeldInListener = RoadLock::heldByThisThread();
        inListener = true;
        std::lock_guard<std::mutex> wait(gate);
    };
    writeSchedule(1, "EmpWCmd_FSCH030001", {4200.0f}, 600, {kNowSec - 10}, true);
    std::thread road([&] { process(1, "EmpWCmd_FSCH030001"); });
    while (!inListener) std::this_thread::yield();
    EXPECT_EQ(handling->getActiveValue(1), 4200.0f);
    EXPECT_EQ(handling->getActiveScheduleName(1), "EmpWCmd_FSCH030001");
    EXPECT_TRUE(roadHeldInListener);  // the listener runs inside the road
    hold.unlock();
    road.join();
}

}  // namespace
