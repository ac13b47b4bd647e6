// The real road when the schedule files cannot be made durable: the core
// with the real schedule handling, its MMS server served by the main loop,
// and the durable writer's sync failing through its test seam, the file's
// sync or the directory's, with EIO or ENOSPC. A limit in force (4200 W,
// SchdSt 4) stays through an MMS schedule and the gateways' limit writes:
// AnOut1, the schedule state and the node in the model keep it, the write
// entry points answer false, one LOG_ERR line per command. Once the disk
// works again nothing refused comes into force by itself: the main loop's
// periodic tasks and a resend of every node run first. The next command
// applies.
#include <syslog.h>

#include <atomic>
#include <cctype>
#include <chrono>
#include <cerrno>
#include <functional>
#include <ostream>
#include <string>
#include <thread>

#include "schedules/ScheduleFile.h"
#include "schedules/ScheduleManager.h"
#include "server/IecServer.h"
#include "foundation/Clock.h"
#include "foundation/ModelLookup.h"
#include "tests/iec61850_core/FailingSync.h"
#include "tests/server/MmsRequests.h"
#include "tests/server/RealCore.h"
#include "tests/support/TestSupport.h"

namespace {

using iec61850::SyncTarget;
using servertest::realCore;
using testsupport::eventually;

using servertest::kNode;

float modelFloat(DataAttribute* a) { return IedServer_getFloatAttributeValue(iedServer, a); }
int32_t modelInt(DataAttribute* a) { return IedServer_getInt32AttributeValue(iedServer, a); }

using Case = testsync::SyncFailure;

std::string nameOf(const ::testing::TestParamInfo<Case>& info) {
    std::string name = info.param.what;
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

class FailedSync : public testsupport::IecTest,
                   public servertest::WatchedModel,
                   public ::testing::WithParamInterface<Case> {
protected:
    void SetUp() override {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=notice\n");
        core = &realCore();
        core->startMainLoop();  // every schedule handed to the store, in this test's directory
        loop = std::thread([this] {
            while (!stop) {
                const auto start = std::chrono::steady_clock::now();
                core->runMainLoopPass(5);
                lastPassStarted = start.time_since_epoch().count();
            }
        });
        ASSERT_TRUE(client.associate(core->config.iec61850TcpPort));
        ASSERT_TRUE(core->writeLpcToIec61850(0, true, 4200.0f));
        ASSERT_EQ(modelFloat(anOut1), 4200.0f);
        ASSERT_EQ(modelInt(state), kStateRunning);
    }
    void TearDown() override {
        client.close();
        stop = true;
        if (loop.joinable()) loop.join();
    }

    size_t linesStartingWith(int priority, const std::string& prefix) const {
        size_t n = 0;
        for (const auto& r : syslog.records()) n += r.priority == priority && r.text.starts_with(prefix);
        return n;
    }
    size_t errorLines() const { return linesStartingWith(LOG_ERR, ""); }
    // The first value of the node's schedule file on disk; -1 for none.
    double storedValue() const {
        const rapidjson::Document doc =
            schedulefile::read((workDir.path() / schedulefile::path(1, kNode)).string());
        const rapidjson::Value* values = schedulefile::getArray(doc, "ValASG");
        return values && !values->Empty() && (*values)[0].IsNumber() ? (*values)[0].GetDouble() : -1;
    }
    // The limit in force, everywhere it shows.
    void expectInForce(const char* when) const {
        EXPECT_EQ(modelFloat(anOut1), 4200.0f) << when;
        EXPECT_EQ(modelInt(state), kStateRunning) << when;
        EXPECT_EQ(modelFloat(valueInModel), 4200.0f) << when << ": the node shows the schedule in force";
        EXPECT_EQ(storedValue(), 4200.0) << when;
    }

    // True once a pass of the main loop that started a processing period
    // (1 s in debug mode) after since has ended: its periodic tasks (slot
    // processing, update of active schedules, activation of future ones)
    // have run after since.
    bool periodicTasksRanAfter(std::chrono::steady_clock::time_point since) const {
        return lastPassStarted.load() >= (since + std::chrono::milliseconds(1000)).time_since_epoch().count();
    }

    IecServer* core = nullptr;
    std::atomic<std::chrono::steady_clock::rep> lastPassStarted{0};
    std::atomic<bool> stop{false};
    std::thread loop;
    mmstest::MmsTestClient client;
};

TEST_P(FailedSync, TheLimitInForceStaysAndNothingRefusedComesIntoForceLater) {
    const Case& c = GetParam();
    const float lppInForce = modelFloat(anOut1Cls2);
    {
        testsync::FailingSync failing(c.failing, c.error);

        // An MMS client writes a new value and operates EnaReq; the operate
        // is answered before its handler runs, whose end the log shows.
        syslog.clear();
        IedServer_updateFloatAttributeValue(iedServer, valueInModel, 3000.0f);
        ASSERT_TRUE(mmsreq::operate(client, "CLS1", kNode, "EnaReq", true));
        ASSERT_TRUE(eventually([&] { return linesStartingWith(LOG_WARNING, "handling: CLS1/" + std::string(kNode) + " was not stored") > 0; }));
        expectInForce("after the MMS command");
        EXPECT_EQ(errorLines(), 1u) << "one error line for the command";

        // The gateways' entry points answer false and change nothing.
        for (const auto& w : servertest::entryPointWrites(*core, 2500.0f)) {
            syslog.clear();
            EXPECT_FALSE(w.call()) << w.what;
            expectInForce(w.what);
            EXPECT_EQ(modelFloat(anOut1Cls2), lppInForce) << w.what;
            EXPECT_EQ(errorLines(), 1u) << w.what << ": one error line for the command";
        }
        EXPECT_GT(failing.failures(), 0u);
        failing.heal();
    }

    // The disk works again. What runs without a command: the main loop's
    // periodic tasks (waited for on its own thread, and run here once more)
    // and a resend of every node, as after a reconnect of the home platform.
    const auto healed = std::chrono::steady_clock::now();
    ASSERT_TRUE(eventually([&] { return periodicTasksRanAfter(healed); })) << "the main loop's periodic tasks ran";
    IecServer::processIECValuesInSM();
    IecServer::updateStatesOfActiveSchedules();
    core->activateFutureSchedules();
    core->resendLpc();
    expectInForce("after the disk works again");
    EXPECT_EQ(modelFloat(anOut1Cls2), lppInForce);

    // The next command applies, from either side.
    EXPECT_TRUE(core->writeLpcToIec61850(0, true, 2500.0f));
    EXPECT_EQ(modelFloat(anOut1), 2500.0f);
    EXPECT_EQ(storedValue(), 2500.0);
    IedServer_updateFloatAttributeValue(iedServer, valueInModel, 3000.0f);
    ASSERT_TRUE(mmsreq::operate(client, "CLS1", kNode, "EnaReq", true));
    EXPECT_TRUE(eventually([&] { return modelFloat(anOut1) == 3000.0f; }));
    EXPECT_EQ(modelInt(state), kStateRunning);
}

INSTANTIATE_TEST_SUITE_P(Syncs, FailedSync, ::testing::ValuesIn(testsync::kSyncFailures), nameOf);

}  // namespace
