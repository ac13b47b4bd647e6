// The server core on the static model: start values, the control road, the
// write entry points and the slot processing.
#include <syslog.h>
#include <unistd.h>

#include <filesystem>
#include <set>

#include "iec61850/core/log.h"
#include "iec61850/ied_server_internal.h"
#include "server/ServerLog.h"
#include "tests/server/ServerFixture.h"

namespace {

using servertest::attr;
using servertest::ServerCoreTest;

MmsValue* newBool(bool v) { return MmsValue_newBoolean(v); }

using OwnedValue = MmsValuePtr;

bool stVal(const char* ld, const char* ln, const char* object) {
    return IedServer_getBooleanAttributeValue(iedServer, attr(ld, ln, object, "stVal"));
}

// Calls the handler as the library does, with the parameter installed for the object.
ControlHandlerResult operate(const char* ld, const char* ln, const char* object, MmsValue* value) {
    OwnedValue owned(value);
    const ControlBinding& binding = iedServer->controlHandlers.at(findDataObject(ld, ln, object));
    return binding.handler(nullptr, binding.parameter, owned.get(), false);
}

TEST_F(ServerCoreTest, StartValuesAndIdentity) {
    EXPECT_EQ(servertest::startedServer().icdVersion, "1.2.0");
    EXPECT_EQ(allScheduleNames.size(), 26u);
    EXPECT_EQ(allScheduleNames.front(), "SysRes_FSCH010001");
    EXPECT_EQ(allScheduleNames.back(), "DsoECmd_FSCH250004");
    char host[1024] = {};
    gethostname(host, sizeof(host) - 1);
    EXPECT_STREQ(IedServer_getStringAttributeValue(iedServer, attr("STB", "LPHD", "PhyNam", "serNum")), host);
    for (const char* cls : {"CLS1", "CLS2", "CLS3", "CLS4"}) {
        DataAttribute* mxVal = attr(cls, "ActPow_GGIO001", "AnOut1", "mxVal");
        EXPECT_EQ(IedServer_getFloatAttributeValue(iedServer, static_cast<DataAttribute*>(mxVal->firstChild)), -1.0f)
            << cls;
    }
    EXPECT_EQ(iedServer->vendor, "Tavelmarck");
    EXPECT_EQ(iedServer->modelName, "generic libIEC");
    EXPECT_EQ(iedServer->revision, "1.5");
    EXPECT_EQ(iedServer->writePolicyCF, ACCESS_POLICY_ALLOW);
    EXPECT_EQ(iedServer->filestoreBasepath, "./uploaded_files/");
    // Every controllable EnaReq/DsaReq (21 schedules of each CLS have an Oper)
    // carries the handler with a parameter of its own.
    size_t installed = 0;
    std::set<void*> parameters;
    for (const auto& [object, binding] : iedServer->controlHandlers) {
        installed += binding.handler == &IecServer::controlHandler && binding.parameter != nullptr;
        parameters.insert(binding.parameter);
    }
    EXPECT_EQ(installed, 168u);
    EXPECT_EQ(parameters.size(), 168u);
}

TEST_F(ServerCoreTest, LibraryRecordsFollowTheServerThreshold) {
    const uint32_t saved = serverLogLevel;
    serverLogLevel = LOG_NOTICE;
    iec61850::iecLog(LOG_INFO, "library %s", "info");
    iec61850::iecLog(LOG_WARNING, "library %s", "warning %s");
    serverLogLevel = LOG_INFO;
    iec61850::iecLog(LOG_INFO, "library %s", "info again");
    serverLogLevel = saved;
    EXPECT_FALSE(syslog.contains("library info"));
    EXPECT_TRUE(syslog.contains(LOG_WARNING, "library warning %s"));
    EXPECT_TRUE(syslog.contains(LOG_INFO, "library info again"));
}

TEST_F(ServerCoreTest, ANonBooleanControlChangesNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(operate("CLS1", "EmpWCmd_FSCH030001", "EnaReq", MmsValue_newIntegerFromInt32(1)), CONTROL_RESULT_FAILED);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "received non-binary control command ");
    EXPECT_TRUE(IecServer::slots().pending().empty());
    EXPECT_TRUE(schedules->calls.empty());
    EXPECT_FALSE(std::filesystem::exists("IEC61850_Values.xml"));
}

TEST_F(ServerCoreTest, AControlSetsThePairRecordsTheSlotAndRunsTheRoad) {
    struct Case {
        const char* ld;
        const char* ln;
        const char* object;
        bool value;
        bool ena;
        bool dsa;
        const char* notice;
    };
    const Case cases[] = {
        {"CLS1", "EmpWCmd_FSCH030001", "EnaReq", true, true, false,
         "### server: 1.0 controlHandler - LD: CLS1, LN: EmpWCmd_FSCH030001, DO: EnaReq, value: true"},
        {"CLS1", "EmpWCmd_FSCH030001", "EnaReq", false, false, false,
         "### server: 1.0 controlHandler - LD: CLS1, LN: EmpWCmd_FSCH030001, DO: EnaReq, value: false"},
        {"CLS2", "EmpDCmd_FSCH050001", "DsaReq", true, false, true,
         "### server: 1.0 controlHandler - LD: CLS2, LN: EmpDCmd_FSCH050001, DO: DsaReq, value: true"},
        {"CLS4", "DsoECmd_FSCH250004", "EnaReq", true, true, false,
         "### server: 1.0 controlHandler - LD: CLS4, LN: DsoECmd_FSCH250004, DO: EnaReq, value: true"},
    };
    for (const auto& c : cases) {
        schedules->calls.clear();
        syslog.clear();
        EXPECT_EQ(operate(c.ld, c.ln, c.object, newBool(c.value)), CONTROL_RESULT_OK) << c.notice;
        EXPECT_EQ(stVal(c.ld, c.ln, "EnaReq"), c.ena) << c.notice;
        EXPECT_EQ(stVal(c.ld, c.ln, "DsaReq"), c.dsa) << c.notice;
        EXPECT_TRUE(syslog.contains(LOG_NOTICE, c.notice));
        const int cls = c.ld[3] - '0';
        EXPECT_EQ(schedules->summary(), (std::vector<std::string>{std::string("send ") + c.ln + " " + std::to_string(cls),
                                                                  "update " + std::to_string(cls)}));
        const Slot slot{c.ln, c.ld};
        EXPECT_EQ(IecServer::slots().filled().count(slot), 1u);
        EXPECT_TRUE(IecServer::slots().isJustWrittenEntry(slot));
        EXPECT_TRUE(IecServer::slots().pending().empty());
        EXPECT_EQ(persistedSlots, SlotSet{slot});
    }
    EXPECT_EQ(IecServer::slots().filled().size(), 3u);
}

TEST_F(ServerCoreTest, PendingSlotsAreProcessedInSlotOrderWithOneSavePerSlot) {
    IecServer::slots().addPending({"EmpWCmd_FSCH030001", "CLS1"});
    IecServer::slots().addPending({"EmpDCmd_FSCH050001", "CLS2"});
    testing::internal::CaptureStdout();
    IecServer::processIECValuesInSM();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(schedules->summary(), (std::vector<std::string>{"send EmpDCmd_FSCH050001 2", "update 2",
                                                              "send EmpWCmd_FSCH030001 1", "update 1"}));
    size_t saves = 0;
    for (size_t at = out.find("Serialization: saved all to: "); at != std::string::npos;
         at = out.find("Serialization: saved all to: ", at + 1)) {
        ++saves;
    }
    EXPECT_EQ(saves, 2u);
    EXPECT_EQ(persistedSlots.size(), 2u);
    // Nothing pending: nothing logged, nothing written.
    std::filesystem::remove("IEC61850_Values.xml");
    syslog.clear();
    IecServer::processIECValuesInSM();
    EXPECT_TRUE(syslog.records().empty());
    EXPECT_FALSE(std::filesystem::exists("IEC61850_Values.xml"));
}

TEST_F(ServerCoreTest, ABadSlotIsLoggedAndTheBatchGoesOn) {
    IecServer::slots().addPending({"EmpWCmd_FSCH030001", "CLS7"});
    IecServer::slots().addPending({"EmpWCmd_FSCH030001", "CLS1"});
    IecServer::processIECValuesInSM();
    EXPECT_EQ(schedules->summary(), (std::vector<std::string>{"send EmpWCmd_FSCH030001 1", "update 1"}));
    bool logged = false;
    for (const auto& r : syslog.records()) logged |= r.priority == LOG_ERR && r.text.find("CLS7") != std::string::npos;
    EXPECT_TRUE(logged);
}

// What a one-entry schedule write leaves in the model.
struct WrittenSchedule {
    int32_t numEntr;
    int32_t interval;
    float value;
    int32_t multiplier;
    uint64_t startMs;
    bool ena;
    bool dsa;
};

WrittenSchedule readSchedule(const char* ld, const char* ln) {
    DataAttribute* setMag = attr(ld, ln, "ValASG001", "setMag");
    return {IedServer_getInt32AttributeValue(iedServer, attr(ld, ln, "NumEntr", "setVal")),
            IedServer_getInt32AttributeValue(iedServer, attr(ld, ln, "SchdIntv", "setVal")),
            IedServer_getFloatAttributeValue(iedServer, static_cast<DataAttribute*>(setMag->firstChild)),
            IedServer_getInt32AttributeValue(iedServer, findSubDataAttribute(ld, ln, "ValASG001", "units", "multiplier")),
            IedServer_getUTCTimeAttributeValue(iedServer, attr(ld, ln, "StrTm01", "setTm")),
            stVal(ld, ln, "EnaReq"),
            stVal(ld, ln, "DsaReq")};
}

TEST_F(ServerCoreTest, WriteEntryPointsWriteTheScheduleAndReturnAfterItsProcessing) {
    const uint64_t before = Hal_getTimeInMs();
    ASSERT_TRUE(servertest::startedServer().writeLpcToIec61850(0, false, 0));
    WrittenSchedule lpc = readSchedule("CLS1", "EmpDCmd_FSCH050001");
    EXPECT_EQ(lpc.numEntr, 1);
    EXPECT_EQ(lpc.interval, 0);
    EXPECT_EQ(lpc.value, 0.0f);
    EXPECT_EQ(lpc.multiplier, 0);
    EXPECT_GE(lpc.startMs / 1000, before / 1000);
    EXPECT_LE(lpc.startMs, Hal_getTimeInMs());
    EXPECT_FALSE(lpc.ena);
    EXPECT_TRUE(lpc.dsa);

    ASSERT_TRUE(servertest::startedServer().writeLppToIec61850(900, true, 4200));
    WrittenSchedule lpp = readSchedule("CLS2", "EmpWCmd_FSCH030001");
    EXPECT_EQ(lpp.interval, 900);
    EXPECT_EQ(lpp.value, 4200.0f);
    EXPECT_TRUE(lpp.ena);
    EXPECT_FALSE(lpp.dsa);
    EXPECT_TRUE(syslog.contains(LOG_NOTICE,
                                "server: new LPP written! - duration: 900, plim: 4200.00, clsDevice: CLS2, active: true"));

    // Each write was processed before it returned; written slots are never filled.
    EXPECT_EQ(schedules->summary(), (std::vector<std::string>{"send EmpDCmd_FSCH050001 1", "update 1",
                                                              "send EmpWCmd_FSCH030001 2", "update 2"}));
    EXPECT_TRUE(IecServer::slots().pending().empty());
    EXPECT_TRUE(IecServer::slots().filled().empty());
    EXPECT_FALSE(IecServer::slots().isJustWrittenEntry({"EmpWCmd_FSCH030001", "CLS2"}));
}

TEST_F(ServerCoreTest, WritesThatAreRefusedLeaveTheModelAlone) {
    ASSERT_TRUE(servertest::startedServer().writeLpcToIec61850(600, true, 1000));
    const WrittenSchedule before = readSchedule("CLS1", "EmpWCmd_FSCH030001");
    schedules->calls.clear();
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(servertest::startedServer().writeLpcToIec61850(-1, true, 5));
    EXPECT_FALSE(servertest::startedServer().writePowerLimitToIec61850("CLS3", 60, true, 5));
    EXPECT_FALSE(servertest::startedServer().writeLpcWithStartTimeToIec61850(1767225600000ULL, -10, "CLS1", true, 5));
    EXPECT_FALSE(servertest::startedServer().writeLpcWithStartTimeToIec61850(1767225600000ULL, 60, "CLSX", true, 5));
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "IecServer - Data Attribute for NumEntr not found.\n");
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "server: new LPC! - duration: -1, plim: 5.00, clsDevice: CLS1, active: true"));
    EXPECT_EQ(syslog.count("Invalid duration: -1"), 1u);
    EXPECT_EQ(syslog.count("Invalid duration: -10"), 1u);
    EXPECT_TRUE(syslog.contains(LOG_ERR, "Invalid clsDevice: CLS3"));
    const WrittenSchedule after = readSchedule("CLS1", "EmpWCmd_FSCH030001");
    EXPECT_EQ(after.interval, before.interval);
    EXPECT_EQ(after.value, before.value);
    EXPECT_TRUE(schedules->calls.empty());
    EXPECT_TRUE(IecServer::slots().pending().empty());
}

TEST_F(ServerCoreTest, TheStartTimeVariantAlwaysWritesTheDurationSchedule) {
    testing::internal::CaptureStdout();
    ASSERT_TRUE(servertest::startedServer().writeLpcWithStartTimeToIec61850(1767225600123ULL, 0, "CLS3", false, 250.5f));
    const std::string out = testing::internal::GetCapturedStdout();
    const WrittenSchedule s = readSchedule("CLS3", "EmpWCmd_FSCH030001");
    EXPECT_EQ(s.interval, 0);
    EXPECT_EQ(s.value, 250.5f);
    EXPECT_EQ(s.startMs, 1767225600123ULL);
    EXPECT_FALSE(s.ena);
    EXPECT_TRUE(s.dsa);
    EXPECT_EQ(schedules->summary(), (std::vector<std::string>{"send EmpWCmd_FSCH030001 3", "update 3"}));
    EXPECT_NE(out.find("\nIecServer writeLpcWithStartTimeToIec61850\nduration: 0\nplim in Watt: 250.5\nclsDevice: CLS3\n"
                       "active: 0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("IecServer writeLpcWithStartTimeToIec61850 done\n\n"), std::string::npos);
}

TEST_F(ServerCoreTest, ReadBacksAnswerFromTheLastEvaluation) {
    const uint32_t threshold = serverLogLevel;
    serverLogLevel = LOG_INFO;
    EXPECT_TRUE(servertest::startedServer().checkIfLPCisAlreadyDeactivated());
    schedules->activeValue[2] = 0;
    EXPECT_FALSE(servertest::startedServer().checkIfLPPisAlreadyDeactivated());
    serverLogLevel = threshold;
    EXPECT_TRUE(syslog.contains(LOG_INFO,
                                "Server: check IfLPPisAlreadyDeactivated Active Schedule of CLS2 is: ----- "
                                "no_schedule_active ----- with value: 0.000000 and multiplier: 0"));
    schedules->activeValue[1] = 4.5f;
    EXPECT_EQ(servertest::startedServer().getActiveValue(1), 4.5f);
    EXPECT_EQ(servertest::startedServer().getTotalDuration(), -1);
    servertest::startedServer().resendLpc();
    EXPECT_EQ(schedules->summary(), std::vector<std::string>{"updateAll 0"});
    EXPECT_TRUE(syslog.contains(LOG_NOTICE, "server: Lets send LPC again"));
}

}  // namespace

#ifndef NDEBUG
// A listener that writes a limit enters the road a second time on the thread
// that runs it: the debug build stops at once instead of waiting for itself.
using ServerCoreDeathTest = ServerCoreTest;

TEST_F(ServerCoreDeathTest, AListenerThatWritesALimitStopsTheDebugBuild) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            IecServer& server = servertest::startedServer();
            schedules->onUpdate = [&server](int cls) {
                for (auto& [name, listener] : server.callbacks) listener(cls);
            };
            server.registerCallback("writer", [&server](int) { server.writeLppToIec61850(0, false, 0); });
            server.writeLpcToIec61850(60, true, 100.0f);
        },
        "road lock: taken again at [^ ]*IecServerRoad.cpp:[0-9]+ .*writePowerLimitToIec61850.*; "
        "this thread took it at [^ ]*IecServerRoad.cpp:[0-9]+");
}
#endif
