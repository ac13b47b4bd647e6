// One road at a time: write entry points on two interface threads, MMS
// clients operating other schedules through the main loop, and a thread
// running the main loop's periodic tasks (with resend and the store reads of
// the seam) back to back. Built with ThreadSanitizer by
// tools/extra-builds/tsan.sh; the schedule double and the listener below are
// unguarded on purpose, so any road that is not serialised shows up as a
// race, and a road entered twice on one thread stops the debug build.
#include <atomic>
#include <thread>

#include "schedules/RoadLock.h"
#include "tests/server/MmsRequests.h"
#include "tests/server/ServerFixture.h"

namespace {

using servertest::ServerCoreTest;

constexpr int kWrites = 15;
constexpr int kOperates = 6;

// True when the writer's own thread handed its slot to schedule management
// after index `from` (read under the road lock).
bool processedOwnSlot(const RecordingSchedules& schedules, size_t from, const char* node, int cls) {
    RoadLock::Guard road;
    for (size_t i = from; i < schedules.calls.size(); ++i) {
        const auto& c = schedules.calls[i];
        if (c.what == "send" && c.node == node && c.cls == cls && c.thread == std::this_thread::get_id()) return true;
    }
    return false;
}

size_t callCount(const RecordingSchedules& schedules) {
    RoadLock::Guard road;
    return schedules.calls.size();
}

TEST_F(ServerCoreTest, WritesAndOperatesTakeTheRoadOneAtATime) {
    IecServer loopOwner;
    int listenerCalls = 0;  // unguarded: only one road may run at a time
    loopOwner.registerCallback("counter", [&listenerCalls](int) { ++listenerCalls; });
    schedules->onUpdate = [&loopOwner](int cls) {
        for (auto& [name, listener] : loopOwner.callbacks) listener(cls);
    };
    loopOwner.debugMode = true;
    loopOwner.startMainLoop();

    std::atomic<bool> stop{false};
    std::thread mainLoop([&] {
        while (!stop) loopOwner.runMainLoopPass(5);
    });

    auto writer = [&](bool lpc, std::atomic<int>& confirmed) {
        for (int i = 0; i < kWrites; ++i) {
            const size_t mark = callCount(*schedules);
            const bool ok = lpc ? loopOwner.writeLpcToIec61850(60 + i, true, 100.0f + i)
                                : loopOwner.writeLppToIec61850(60 + i, true, 200.0f + i);
            if (ok && processedOwnSlot(*schedules, mark, "EmpWCmd_FSCH030001", lpc ? 1 : 2)) ++confirmed;
        }
    };
    auto operator_ = [&](const char* device, const char* node, std::atomic<int>& answered) {
        mmstest::MmsTestClient client;
        if (!client.associate(servertest::startedServer().config.iec61850TcpPort)) return;
        for (int i = 0; i < kOperates; ++i) {
            answered += mmsreq::operate(client, device, node, i % 2 ? "DsaReq" : "EnaReq", true);
        }
        client.release();
    };

    // The periodic tasks of the main loop, as often as they can run.
    schedules->activeCls = {1, 2};
    std::atomic<bool> writersDone{false};
    std::atomic<int> taskPasses{0};
    auto tasks = [&] {
        while (!writersDone || taskPasses == 0) {
            IecServer::processIECValuesInSM();
            IecServer::updateStatesOfActiveSchedules();
            loopOwner.activateFutureSchedules();
            IecServer::deleteExpiredFilledSlots();
            loopOwner.resendLpc();
            (void)loopOwner.getScheduleData(1);
            ++taskPasses;
        }
    };

    std::atomic<int> lpcConfirmed{0}, lppConfirmed{0}, cls3Answered{0}, cls4Answered{0};
    {
        std::thread periodic(tasks);
        std::thread lpcWriter(writer, true, std::ref(lpcConfirmed));
        std::thread lppWriter(writer, false, std::ref(lppConfirmed));
        std::thread client3(operator_, "CLS3", "EmpWCmd_FSCH030002", std::ref(cls3Answered));
        std::thread client4(operator_, "CLS4", "DsoWCmd_FSCH130001", std::ref(cls4Answered));
        lpcWriter.join();
        lppWriter.join();
        client3.join();
        client4.join();
        writersDone = true;
        periodic.join();
    }
    // The last operates are answered before their handler runs; let the loop catch up.
    for (int i = 0; i < 200; ++i) {
        RoadLock::Guard road;
        size_t operated = 0;
        for (const auto& c : schedules->calls) operated += c.what == "send" && (c.cls == 3 || c.cls == 4);
        if (operated >= 2u * kOperates) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    stop = true;
    mainLoop.join();

    EXPECT_EQ(lpcConfirmed, kWrites);
    EXPECT_EQ(lppConfirmed, kWrites);
    EXPECT_EQ(cls3Answered, kOperates);
    EXPECT_EQ(cls4Answered, kOperates);
    EXPECT_GT(taskPasses, 0);
    size_t operated = 0;
    for (const auto& c : schedules->calls) operated += c.what == "send" && (c.cls == 3 || c.cls == 4);
    EXPECT_EQ(operated, 2u * kOperates);
    size_t updates = 0;
    for (const auto& c : schedules->calls) updates += c.what == "update";
    EXPECT_EQ(static_cast<size_t>(listenerCalls), updates);
}

}  // namespace
