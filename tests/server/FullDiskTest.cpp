// A full file system under the box's working tree: the core with the real
// schedule handling, its MMS server served by the main loop, on a small tmpfs
// the test mounts as the working directory. A limit whose schedule cannot be
// stored is not shown as applied, the limit in force stays (its schedule
// still runs), and the next operate after space is freed applies; uploads
// over MMS stop before they take the room the schedules need.
#include <sys/mount.h>
#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "iec61850/files/file_store.h"
#include "schedules/ScheduleManager.h"
#include "server/IecServer.h"
#include "foundation/Clock.h"
#include "foundation/ModelLookup.h"
#include "tests/files/ObtainClient.h"
#include "tests/server/MmsRequests.h"
#include "tests/server/RealCore.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using servertest::realCore;
using testsupport::eventually;

namespace {

using servertest::kNode;
constexpr size_t kMiB = 1024 * 1024;

float modelFloat(DataAttribute* a) { return IedServer_getFloatAttributeValue(iedServer, a); }
int32_t modelInt(DataAttribute* a) { return IedServer_getInt32AttributeValue(iedServer, a); }

class FullDisk : public testsupport::IecTest, public servertest::WatchedModel {
protected:
    void SetUp() override {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=notice\n");
        core = &realCore();
        box = workDir.path() / "box";
        fs::create_directories(box);
        if (::mount("tmpfs", box.c_str(), "tmpfs", 0, "size=16m") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                         << "); a full file system needs one of its own";
        }
        mounted = true;
        fs::current_path(box);
        fs::create_directory("uploaded_files");
        // The server opened its file store where it started (the first test's
        // directory); this test's uploads go to the tmpfs.
        IedServer_setFilestoreBasepath(iedServer, (box / "uploaded_files/").c_str());
        core->startMainLoop();  // every schedule handed to the store: the files are on the tmpfs
        loop = std::thread([this] {
            while (!stop) core->runMainLoopPass(5);
        });
        ASSERT_TRUE(client.associate(core->config.iec61850TcpPort));
        ASSERT_TRUE(core->writeLpcToIec61850(0, true, 5000.0f)) << "with room, a limit applies";
        ASSERT_EQ(modelFloat(anOut1), 5000.0f);
    }
    ~FullDisk() override {
        client.close();
        stop = true;
        if (loop.joinable()) loop.join();
        std::error_code ec;
        fs::current_path(workDir.path(), ec);
        if (mounted && ::umount2(box.c_str(), 0) != 0) ::umount2(box.c_str(), MNT_DETACH);
    }

    // Takes every free byte of the file system.
    void fill(size_t leaveFree = 0) {
        std::ofstream filler(box / "filler", std::ios::binary);
        const std::string block(64 * 1024, 'f');
        const size_t target = leaveFree;
        for (;;) {
            const fs::space_info space = fs::space(box);
            if (space.available <= target) break;
            const size_t n = std::min<size_t>(block.size(), space.available - target);
            if (!filler.write(block.data(), static_cast<std::streamsize>(n)).flush()) break;
        }
    }
    void unfill() { fs::remove(box / "filler"); }

    // Operates EnaReq over MMS with the value already in the model; true
    // when the operate was answered success.
    bool operate(float value) {
        IedServer_updateFloatAttributeValue(iedServer, valueInModel, value);
        return mmsreq::operate(client, "CLS1", kNode, "EnaReq", true);
    }

    size_t recordsStartingWith(int priority, const std::string& prefix) const {
        size_t n = 0;
        for (const auto& r : syslog.records()) n += r.priority == priority && r.text.rfind(prefix, 0) == 0;
        return n;
    }
    // The end of a road on the full disk: its value file could not be written.
    size_t roadsEnded() const { return recordsStartingWith(LOG_ERR, "Serialization: writing"); }
    size_t storeFailures() const {
        return recordsStartingWith(LOG_ERR, "Error: unable to save file ./schedules/CLS1/" + std::string(kNode));
    }

    IecServer* core = nullptr;
    fs::path box;
    bool mounted = false;
    std::atomic<bool> stop{false};
    std::thread loop;
    mmstest::MmsTestClient client;
};

TEST_F(FullDisk, ALimitThatCannotBeStoredIsNotShownAsApplied) {
    ASSERT_EQ(modelInt(state), kStateRunning);
    const float lppInForce = modelFloat(anOut1Cls2);
    fill();

    // The operate is answered before its handler runs; the road's end shows in the log.
    const size_t ended = roadsEnded();
    ASSERT_TRUE(operate(3000.0f));
    ASSERT_TRUE(eventually([&] { return roadsEnded() > ended; }));
    EXPECT_EQ(storeFailures(), 1u) << "one error line for the schedule that was not stored";
    EXPECT_EQ(modelInt(state), kStateRunning) << "the schedule in force still runs";
    EXPECT_EQ(modelFloat(anOut1), 5000.0f) << "the limit in force stays";
    EXPECT_EQ(modelFloat(valueInModel), 5000.0f) << "the node shows the schedule in force again";

    // The gateways' entry points say so, and change nothing either.
    for (const auto& w : servertest::entryPointWrites(*core, 2000.0f)) {
        EXPECT_FALSE(w.call()) << w.what;
        EXPECT_EQ(modelFloat(anOut1), 5000.0f) << w.what;
        EXPECT_EQ(modelFloat(anOut1Cls2), lppInForce) << w.what;
    }
    EXPECT_EQ(modelInt(state), kStateRunning);

    // With room again, the next operate applies.
    unfill();
    ASSERT_TRUE(operate(3000.0f));
    EXPECT_TRUE(eventually([&] { return modelFloat(anOut1) == 3000.0f; }));
    EXPECT_EQ(modelInt(state), kStateRunning);
}

TEST_F(FullDisk, UploadsStopBeforeTheyTakeTheRoomOfTheSchedules) {
    struct Case {
        const char* what;
        size_t leaveFree;  // 0: the whole file system is left as it is
        size_t accepted;   // uploads of 1 MiB taken before the refusal
    };
    const Case cases[] = {
        {"total of the uploads", 0, 4},
        {"free-space reserve", 8 * kMiB + kMiB / 2, 0},
    };
    const int denied = iec61850::files::kNoRoomError - MMS_ERROR_FILE_OTHER;
    float value = 4000.0f;
    for (const auto& c : cases) {
        if (c.leaveFree != 0) fill(c.leaveFree);
        size_t accepted = 0;
        std::optional<mmstest::Answer> refused;
        for (int i = 0; i < 10 && !refused; ++i) {
            mmstest::MmsTestClient uploader;
            ASSERT_TRUE(uploader.associate(core->config.iec61850TcpPort));
            obtainclient::ObtainExchange exchange;
            obtainclient::obtainFile(uploader, {"client/blob.bin", std::string(c.what).substr(0, 4) + std::to_string(i)},
                                     std::string(kMiB, 'b'), obtainclient::ClientFault::None, exchange, 60000);
            ASSERT_TRUE(exchange.answer.has_value()) << c.what;
            if (exchange.answer->pduTag == 1) {
                ++accepted;
            } else {
                refused = exchange.answer;
            }
            uploader.release();
        }
        ASSERT_TRUE(refused.has_value()) << c.what;
        EXPECT_EQ(refused->errorCode, denied) << c.what;
        EXPECT_EQ(accepted, c.accepted) << c.what;

        // The schedules still have room: an operate applies.
        value += 100.0f;
        ASSERT_TRUE(operate(value)) << c.what;
        EXPECT_TRUE(eventually([&] { return modelFloat(anOut1) == value; })) << c.what;
        EXPECT_EQ(modelInt(state), kStateRunning) << c.what;
        unfill();
    }
}

}  // namespace
