// The schedule store: name lists, file layouts byte for byte, refused
// hand-overs, atomic rewrites and the readers of stored files.

#include <fcntl.h>
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <limits>

#include "tests/iec61850_core/FailingSync.h"
#include "tests/schedules/ScheduleTestSupport.h"

using namespace scheduletest;
namespace fs = std::filesystem;

namespace {

using StoreFiles = StoreTest;

const std::array<int, 8> kNoCalendar = {0, 5, 0, 0, 0, 0, 0, 0};

// A hand-over as the road makes it: staged, then written by the store's
// syncHandedOverFiles; false when either refused it.
bool handOverNormal(ScheduleManager& sm, int cls, const std::string& name, const std::vector<double>& values,
                    int64_t latest, bool enaReq = true, int numEntr = -1) {
    return sm.addScheduleJSON(cls, name, enaReq, !enaReq, 30, numEntr < 0 ? static_cast<int>(values.size()) : numEntr,
                              60, values, 0, {static_cast<int64_t>(kNowSec) - 10, 0}, kNoCalendar, false, latest);
}
bool addNormal(ScheduleManager& sm, int cls, const std::string& name, const std::vector<double>& values,
               int64_t latest, bool enaReq = true, int numEntr = -1) {
    return handOverNormal(sm, cls, name, values, latest, enaReq, numEntr) && sm.syncHandedOverFiles(cls);
}

// The first value of what the store reads for the schedule; -1 for none.
double firstValue(const ScheduleManager& sm, int cls, const std::string& name) {
    const rapidjson::Document doc = sm.readJSON(cls, name);
    const rapidjson::Value* values = schedulefile::getArray(doc, "ValASG");
    return values && !values->Empty() && (*values)[0].IsNumber() ? (*values)[0].GetDouble() : -1;
}

size_t errorLines(const testsupport::SyslogCapture& syslog) {
    size_t n = 0;
    for (const auto& r : syslog.records()) n += r.priority == LOG_ERR;
    return n;
}

TEST(ScheduleNames, SortedIntoKindListsAndAppended) {
    testsupport::TempWorkDir dir;
    ScheduleManager sm("Names");
    sm.setAllScheduleNames(kScheduleNames);
    EXPECT_EQ(sm.schedulesNames12_Direct_all,
              (std::vector<std::string>{"EmpDCmd_FSCH050001", "EmpDCmd_FSCH050002", "DsoDCmd_FSCH150001",
                                        "DsoDCmd_FSCH150002"}));
    EXPECT_EQ(sm.schedulesNames12_Trigger_all,
              (std::vector<std::string>{"SysSoft_FSCH110001", "SysSoft_FSCH110002", "SysSoft_FSCH110003",
                                        "SysSoft_FSCH110004", "SysComEr_FSCH220001"}));
    EXPECT_EQ(sm.schedulesNames12_Base_all.size(), 17u);
    EXPECT_EQ(sm.schedulesNames12_Base_all.front(), "SysRes_FSCH010001");
    EXPECT_TRUE(sm.schedulesNames13_Base_Lo.empty());
    EXPECT_TRUE(sm.schedulesNames13_Base_Gn.empty());

    sm.setAllScheduleNames(kScheduleNames);
    EXPECT_EQ(sm.schedulesNames12_Base_all.size(), 34u);

    // "Lo" wins over "Gn"; such names never enter the 12-series lists.
    ScheduleManager other("Other");
    other.setAllScheduleNames({"WLoGn_Dc1", "WLo_So1", "WLo_X", "WGn_Dc2", "WGn_Ce", "WGn_DC_X"});
    EXPECT_EQ(other.schedulesNames13_Direct_Lo, std::vector<std::string>{"WLoGn_Dc1"});
    EXPECT_EQ(other.schedulesNames13_Trigger_Lo, std::vector<std::string>{"WLo_So1"});
    EXPECT_EQ(other.schedulesNames13_Base_Lo, std::vector<std::string>{"WLo_X"});
    EXPECT_EQ(other.schedulesNames13_Direct_Gn, std::vector<std::string>{"WGn_Dc2"});
    EXPECT_EQ(other.schedulesNames13_Trigger_Gn, std::vector<std::string>{"WGn_Ce"});
    EXPECT_EQ(other.schedulesNames13_Base_Gn, std::vector<std::string>{"WGn_DC_X"});
    EXPECT_TRUE(other.schedulesNames12_Base_all.empty());
    EXPECT_TRUE(other.schedulesNames12_Direct_all.empty());
}

TEST_F(StoreFiles, BothLayoutsByteForByte) {
    const mode_t previous = ::umask(0);
    ASSERT_TRUE(store.addScheduleJSON(1, "EmpWCmd_FSCH030001", true, false, 30, 2, 900, {4200.0, 1500.5}, 0,
                                      {1767225600, 0, -1}, {1, 2, 3, 4, 5, 6, 7, 8}, false, 1767225600123));
    ASSERT_TRUE(store.addScheduleJSONTrg(2, "SysSoft_FSCH110002", 110, 3, 60, {1500.9, -0.5, -7.9}, 3, true, true,
                                         1767225600123, true));
    EXPECT_FALSE(storedExists(1, "EmpWCmd_FSCH030001")) << "a hand-over waits for the end of its road";
    ASSERT_TRUE(store.syncHandedOverFiles(1));
    ASSERT_TRUE(store.syncHandedOverFiles(2));
    ::umask(previous);

    EXPECT_EQ(readStored(1, "EmpWCmd_FSCH030001"),
              R"({"SchdName":"EmpWCmd_FSCH030001","ScheduleStateKind":0,"EnaReq":true,"DsaReq":false,)"
              R"("SchdPrio":30,"NumEntr":2,"SchdIntv":900,"ValASG":[4200.0,1500.5],"Multiplier":0,)"
              R"("StrTm":[1767225600,0,-1],"StrCal":[1,2,3,4,5,6,7,8],"SchdReuse":false,)"
              R"("LatestUpdate":1767225600123})");
    EXPECT_EQ(readStored(2, "SysSoft_FSCH110002"),
              R"({"SchdName":"SysSoft_FSCH110002","ScheduleStateKind":0,"SchdPrio":110,"NumEntr":3,)"
              R"("SchdIntv":60,"ValASG":[1500,0,-7],"Multiplier":3,"SchdReuse":true,"EvTrg":true,)"
              R"("LatestUpdate":1767225600123,"currentTrg":true})");

    const auto dirMode = fs::status(workDir.path() / "schedules" / "CLS1").permissions();
    EXPECT_EQ(dirMode, fs::perms(0755));
    EXPECT_EQ(fs::status(workDir.path() / "schedules").permissions(), fs::perms(0755));
    EXPECT_EQ(fs::status(workDir.path() / schedulefile::path(1, "EmpWCmd_FSCH030001")).permissions(),
              fs::perms(0644));
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(workDir.path() / "schedules" / "CLS1"), fs::directory_iterator()),
              1);
}

TEST_F(StoreFiles, RefusedHandOverSetsTheStoredScheduleAside) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        const char* what;
        std::function<bool(ScheduleManager&)> handOver;
        const char* name;
    } cases[] = {
        {"count mismatch", [](ScheduleManager& sm) { return addNormal(sm, 1, "EmpWCmd_FSCH030001", {1, 2}, 5, true, 3); },
         "EmpWCmd_FSCH030001"},
        {"NaN", [&](ScheduleManager& sm) { return addNormal(sm, 1, "EmpWCmd_FSCH030001", {nan}, 5); },
         "EmpWCmd_FSCH030001"},
        {"infinity", [&](ScheduleManager& sm) { return addNormal(sm, 1, "EmpWCmd_FSCH030001", {-inf}, 5); },
         "EmpWCmd_FSCH030001"},
        {"trigger count", [](ScheduleManager& sm) {
             return sm.addScheduleJSONTrg(1, "SysSoft_FSCH110001", 110, 2, 60, {1}, 0, false, true, 5, true);
         }, "SysSoft_FSCH110001"},
        {"trigger beyond int", [](ScheduleManager& sm) {
             return sm.addScheduleJSONTrg(1, "SysSoft_FSCH110001", 110, 1, 60, {3e9}, 0, false, true, 5, true);
         }, "SysSoft_FSCH110001"},
        {"trigger NaN", [&](ScheduleManager& sm) {
             return sm.addScheduleJSONTrg(1, "SysSoft_FSCH110001", 110, 1, 60, {nan}, 0, false, true, 5, true);
         }, "SysSoft_FSCH110001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string earlier = FileBuilder::normal(c.name).set("ScheduleStateKind", "4").json();
        writeStored(1, c.name, earlier);
        syslog.clear();
        EXPECT_FALSE(c.handOver(store));
        EXPECT_FALSE(storedExists(1, c.name));
        EXPECT_EQ(workDir.readFile(schedulefile::path(1, c.name) + ".rejected"), earlier);
        EXPECT_EQ(store.getActivateSchedule(1), kNoScheduleActive);
        bool loggedAtErr = false;
        for (const auto& r : syslog.records()) loggedAtErr |= r.priority == LOG_ERR;
        EXPECT_TRUE(loggedAtErr);
        if (std::string(c.what) == "count mismatch") {
            EXPECT_TRUE(syslog.contains(LOG_DEBUG,
                                        "SM: 1.2 ERROR! -> EmpWCmd_FSCH030001 -> Mismatch in expected number of "
                                        "entries (3) and provided values/times (2)."));
        }
    }
}

TEST_F(StoreFiles, UnchangedHandOverKeepsLatestUpdate) {
    ASSERT_TRUE(addNormal(store, 1, "EmpWCmd_FSCH030001", {4200}, 1000));
    ASSERT_TRUE(store.changeStateKindInJSON(1, "EmpWCmd_FSCH030001", 4));
    const std::string evaluated = readStored(1, "EmpWCmd_FSCH030001");
    ASSERT_TRUE(addNormal(store, 1, "EmpWCmd_FSCH030001", {4200}, 2000));
    EXPECT_EQ(readStored(1, "EmpWCmd_FSCH030001"), evaluated);

    // A changed value is a new schedule: new time, state not yet evaluated.
    ASSERT_TRUE(addNormal(store, 1, "EmpWCmd_FSCH030001", {4300}, 3000));
    auto doc = store.readJSON(1, "EmpWCmd_FSCH030001");
    EXPECT_EQ(schedulefile::getInt64(doc, "LatestUpdate"), 3000);
    EXPECT_EQ(schedulefile::getInt(doc, "ScheduleStateKind"), 0);
    ASSERT_TRUE(addNormal(store, 1, "EmpWCmd_FSCH030001", {4300}, 4000, false));
    EXPECT_EQ(schedulefile::getInt64(store.readJSON(1, "EmpWCmd_FSCH030001"), "LatestUpdate"), 4000);
}

TEST_F(StoreFiles, FailedWriteKeepsTheOldFile) {
    ASSERT_TRUE(addNormal(store, 1, "EmpSPrg_FSCH020001", {1}, 1000));
    const std::string before = readStored(1, "EmpSPrg_FSCH020001");

    // A file-size limit makes every longer write fail part-way.
    struct rlimit old {};
    ::getrlimit(RLIMIT_FSIZE, &old);
    auto previousHandler = ::signal(SIGXFSZ, SIG_IGN);
    struct rlimit tiny = {16, old.rlim_max};
    ::setrlimit(RLIMIT_FSIZE, &tiny);
    const bool written = addNormal(store, 1, "EmpSPrg_FSCH020001", std::vector<double>(50, 1.5), 2000);
    const bool stateChanged = store.changeStateKindInJSON(1, "EmpSPrg_FSCH020001", 3);
    ::setrlimit(RLIMIT_FSIZE, &old);
    ::signal(SIGXFSZ, previousHandler);

    EXPECT_FALSE(written);
    EXPECT_FALSE(stateChanged);
    EXPECT_EQ(readStored(1, "EmpSPrg_FSCH020001"), before);
    // The line names the failed step and the system's reason.
    bool logged = false;
    for (const auto& r : syslog.records()) {
        logged |= r.priority == LOG_ERR &&
                  r.text.starts_with("Error: unable to save file ./schedules/CLS1/EmpSPrg_FSCH020001.json: write ") &&
                  r.text.ends_with(std::strerror(EFBIG));
    }
    EXPECT_TRUE(logged);
    EXPECT_EQ(std::distance(fs::directory_iterator(workDir.path() / "schedules" / "CLS1"), fs::directory_iterator()),
              1);
}

// A hand-over whose write fails at a sync (through the durable writer's test
// seam) is dropped at the end of its road: the file and every query keep
// what is in force, one LOG_ERR line says so, the disk working again brings
// nothing refused into force, and the next hand-over is written.
TEST_F(StoreFiles, AHandOverWhoseSyncFailsLeavesWhatIsInForce) {
    const std::string name = "EmpWCmd_FSCH030001";
    for (const testsync::SyncFailure& c : testsync::kSyncFailures) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(addNormal(store, 1, name, {4200}, 1000));
        ASSERT_EQ(store.checkStatusOfSchedule(1, name), kStateRunning);
        const std::string inForce = readStored(1, name);
        {
            testsync::FailingSync failing(c.failing, c.error);
            syslog.clear();
            ASSERT_TRUE(handOverNormal(store, 1, name, {3000}, 2000));
            EXPECT_EQ(firstValue(store, 1, name), 3000) << "the road reads its hand-over";
            EXPECT_EQ(readStored(1, name), inForce) << "the file waits for the end of the road";
            std::vector<std::string> refused;
            EXPECT_FALSE(store.syncHandedOverFiles(1, &refused));
            EXPECT_EQ(refused, std::vector<std::string>{name});
            EXPECT_EQ(readStored(1, name), inForce);
            EXPECT_EQ(firstValue(store, 1, name), 4200);
            EXPECT_EQ(store.getActivateSchedule(1), name);
            EXPECT_EQ(errorLines(syslog), 1u);
            EXPECT_TRUE(syslog.records().front().text.starts_with("Error: unable to save file ./schedules/CLS1/" +
                                                                   name + ".json: sync"))
                << syslog.records().front().text;
            // A road while the disk still refuses: nothing to write, the
            // retry of the put-back fails with one warning at most.
            EXPECT_TRUE(store.syncHandedOverFiles(1));
            EXPECT_EQ(errorLines(syslog), 1u);
            failing.heal();
        }
        EXPECT_TRUE(store.syncHandedOverFiles(1));  // the first road after the disk works again
        EXPECT_EQ(readStored(1, name), inForce);
        EXPECT_EQ(store.checkStatusOfSchedule(1, name), kStateRunning);
        EXPECT_EQ(firstValue(store, 1, name), 4200);

        ASSERT_TRUE(addNormal(store, 1, name, {2500}, 3000));
        EXPECT_EQ(firstValue(store, 1, name), 2500);
        EXPECT_NE(readStored(1, name), inForce);
    }
    EXPECT_EQ(std::distance(fs::directory_iterator(workDir.path() / "schedules" / "CLS1"), fs::directory_iterator()),
              1)
        << "no temporary file stays";
}

// A second fault: the directory sync fails and the old file cannot be put
// back. The refused text stays on disk for the moment, the store reads the
// text in force from memory, and a road after the disk works again writes
// it back.
TEST_F(StoreFiles, AnOldFileThatCannotBePutBackIsReadFromMemoryUntilItIsWrittenBack) {
    const std::string name = "EmpWCmd_FSCH030001";
    ASSERT_TRUE(addNormal(store, 1, name, {4200}, 1000));
    ASSERT_EQ(store.checkStatusOfSchedule(1, name), kStateRunning);
    const std::string inForce = readStored(1, name);
    const fs::path dir = workDir.path() / schedulefile::directory(1);
    testsync::FailingSync failing(iec61850::SyncTarget::kDirectory, EIO, [&] {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().starts_with("." + name)) fs::rename(entry.path(), workDir.path() / "gone");
        }
    });
    ASSERT_TRUE(handOverNormal(store, 1, name, {3000}, 2000));
    EXPECT_FALSE(store.syncHandedOverFiles(1));
    EXPECT_NE(readStored(1, name), inForce) << "the refused text is in place";
    EXPECT_EQ(firstValue(store, 1, name), 4200);
    EXPECT_EQ(store.getActivateSchedule(1), name);
    EXPECT_EQ(store.checkStatusOfSchedule(1, name), kStateRunning);
    failing.heal();
    EXPECT_TRUE(store.syncHandedOverFiles(1));
    EXPECT_EQ(schedulefile::getArray(schedulefile::read((dir / (name + ".json")).string()), "ValASG")->GetArray()[0].GetDouble(),
              4200);
    EXPECT_EQ(firstValue(store, 1, name), 4200);
}

TEST_F(StoreFiles, DirectoryThatCannotBeMadeWritesNothing) {
    workDir.writeFile("schedules/CLS3", "not a directory");
    EXPECT_FALSE(addNormal(store, 3, "EmpSPrg_FSCH020001", {1}, 1000));
    bool logged = false;
    for (const auto& r : syslog.records()) logged |= r.text.starts_with("Failed to create directory ./schedules/CLS3: ");
    EXPECT_TRUE(logged);
}

TEST_F(StoreFiles, OnlyCompleteObjectsAreValid) {
    struct Case {
        const char* content;
        bool valid;
    } cases[] = {
        {"", false},          {"  \n", false},        {"[]", false},       {"null", false},
        {"\"x\"", false},     {"{\"a\":1} x", false}, {"{\"a\":", false},  {"{\"a\":1}{}", false},
        {"{}", true},         {" {\"a\":1} \n", true},
    };
    for (const auto& c : cases) {
        writeStored(1, "EmpSPrg_FSCH020002", c.content);
        EXPECT_EQ(store.readJSON(1, "EmpSPrg_FSCH020002").IsObject(), c.valid) << '"' << c.content << '"';
    }
    EXPECT_FALSE(store.readJSON(1, "Missing").IsObject());
}

// Entries that are no schedule files: a FIFO (opening it for reading would
// wait for a writer), a device, a directory, text nested deeply enough to
// exhaust a recursive parser, and a file far larger than any schedule. Each
// reads as missing at once, with one log line naming it, and a hand-over
// puts a real schedule file in its place where the file system allows it.
TEST_F(StoreFiles, EntriesThatAreNoScheduleFilesReadAsMissing) {
    const std::string name = "EmpWCmd_FSCH030002";
    const fs::path file = workDir.path() / schedulefile::path(1, name);
    struct Case {
        const char* what;
        std::function<void()> make;
        const char* logged;
        bool replacedByHandOver;
    };
    const Case cases[] = {
        {"fifo", [&] { ASSERT_EQ(::mkfifo(file.c_str(), 0644), 0); }, "is not a regular file", true},
        {"device", [&] { fs::create_symlink("/dev/zero", file); }, "is not a regular file", true},
        {"directory", [&] { fs::create_directory(file); }, "is not a regular file", false},
        {"deep",
         [&] { writeStored(1, name, "{\"a\":" + std::string(200000, '[') + std::string(200000, ']') + "}"); },
         "nests deeper than", true},
        {"huge", [&] { writeStored(1, name, "{\"a\":\"" + std::string(2 << 20, 'x') + "\"}"); },
         "is larger than", true},
        {"nul", [&] { writeStored(1, name, std::string("{\"a\":1}\0{junk", 14)); }, "holds a NUL byte", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::create_directories(file.parent_path());
        fs::remove_all(file);
        c.make();
        syslog.clear();
        // A reader that blocks is freed by a writer that opens and closes the FIFO.
        auto reading = std::async(std::launch::async, [&] { return store.readJSON(1, name).IsObject(); });
        if (reading.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "reading blocked";
            ::close(::open(file.c_str(), O_WRONLY | O_NONBLOCK));
        }
        EXPECT_FALSE(reading.get());
        EXPECT_EQ(store.checkStatusOfSchedule(1, name), kStateNotReady);
        size_t lines = 0;
        for (const auto& r : syslog.records()) {
            if (r.text.find(file.filename().string()) != std::string::npos &&
                r.text.find(c.logged) != std::string::npos) {
                EXPECT_EQ(r.priority, LOG_WARNING);
                ++lines;
            }
        }
        EXPECT_EQ(lines, 1u) << "logged once however often it is read";

        EXPECT_EQ(addNormal(store, 1, name, {4200.0}, 1000), c.replacedByHandOver);
        EXPECT_EQ(store.readJSON(1, name).IsObject(), c.replacedByHandOver);
    }
    // A good file after a bad one reads again, and a new bad one is reported again.
    fs::remove_all(file);
    writeStored(1, name, FileBuilder::normal(name).json());
    EXPECT_TRUE(store.readJSON(1, name).IsObject());
    fs::remove_all(file);
    fs::create_directory(file);
    syslog.clear();
    EXPECT_FALSE(store.readJSON(1, name).IsObject());
    EXPECT_EQ(syslog.records().size(), 1u);
}

TEST_F(StoreFiles, InPlaceChangesOfStateAndFirstStartTime) {
    // Without "ScheduleStateKind" (or with one of another type) nothing changes.
    for (const char* variant : {"drop", "string"}) {
        auto builder = FileBuilder::normal("EmpSPrg_FSCH020003");
        if (std::string(variant) == "drop") builder.drop("ScheduleStateKind");
        else builder.set("ScheduleStateKind", "\"4\"");
        writeStored(1, "EmpSPrg_FSCH020003", builder.json());
        EXPECT_FALSE(store.changeStateKindInJSON(1, "EmpSPrg_FSCH020003", 4)) << variant;
        EXPECT_EQ(readStored(1, "EmpSPrg_FSCH020003"), builder.json()) << variant;
    }
    EXPECT_FALSE(store.changeStateKindInJSON(1, "Missing", 4));

    const auto builder = FileBuilder::normal("EmpSPrg_FSCH020003").set("StrTm", "[5,6,7]");
    writeStored(1, "EmpSPrg_FSCH020003", builder.json());
    ASSERT_TRUE(store.changeStateKindInJSON(1, "EmpSPrg_FSCH020003", 3));
    ASSERT_TRUE(store.writeTmIfCal(1, "EmpSPrg_FSCH020003"));
    EXPECT_EQ(readStored(1, "EmpSPrg_FSCH020003"),
              FileBuilder(builder)
                  .set("ScheduleStateKind", "3")
                  .set("StrTm", '[' + std::to_string(kNowSec - 1) + ",6,7]")
                  .json());

    for (const char* strTm : {"[]", "5"}) {
        const auto odd = FileBuilder::normal("EmpSPrg_FSCH020003").set("StrTm", strTm);
        writeStored(1, "EmpSPrg_FSCH020003", odd.json());
        EXPECT_FALSE(store.writeTmIfCal(1, "EmpSPrg_FSCH020003")) << strTm;
        EXPECT_EQ(readStored(1, "EmpSPrg_FSCH020003"), odd.json());
    }
}

}  // namespace
