// ObtainFile against a scripted client: the server's own FileOpen, FileRead
// and FileClose requests, the answer after the last one, and what is left
// in the store when the client or the association fails.
#include <deque>
#include <filesystem>
#include <fstream>

#include <signal.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "iec61850/files/file_codec.h"
#include "iec61850/files/file_services.h"
#include "iec61850/iec61850_log.h"
#include "tests/support/LibraryLog.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using namespace iec61850::files;

namespace {

// Plays the client side of the server's requests from an in-memory file.
class ScriptedClient {
public:
    struct Request {
        unsigned service;
        std::vector<uint8_t> content;
        MmsClientResponseHandler onResponse;
    };

    std::string file;
    size_t chunkSize = 1000;
    uint32_t announcedSize = 0;  // 0: the real size
    bool refuseOpen = false;
    bool stallReads = false;      // answer every read with no data and moreFollows
    std::vector<unsigned> services;
    std::deque<Request> pending;

    ConfirmedRequestSender sender() {
        return [this](unsigned service, std::vector<uint8_t> content, bool, MmsClientResponseHandler onResponse) {
            services.push_back(service);
            pending.push_back({service, std::move(content), std::move(onResponse)});
            return true;
        };
    }

    // Answers one request; false when none is pending.
    bool answerOne() {
        if (pending.empty()) return false;
        Request request = std::move(pending.front());
        pending.pop_front();
        if (request.service == MMS_SERVICE_FILE_OPEN) {
            if (refuseOpen) {
                request.onResponse(false, {});
            } else {
                auto size = announcedSize != 0 ? announcedSize : static_cast<uint32_t>(file.size());
                request.onResponse(true, encodeFileOpenResponse({7, {size, 0}}));
            }
        } else if (request.service == MMS_SERVICE_FILE_READ) {
            size_t n = stallReads ? 0 : std::min(chunkSize, file.size() - position_);
            std::span<const uint8_t> data(reinterpret_cast<const uint8_t*>(file.data()) + position_, n);
            position_ += n;
            request.onResponse(true, encodeFileReadResponse(data, stallReads || position_ < file.size()));
        } else {
            request.onResponse(true, {});
        }
        return true;
    }

    void answerAll() {
        while (answerOne()) {
        }
    }

private:
    size_t position_ = 0;
};

class FileObtainTest : public testsupport::IecTest {
protected:
    void SetUp() override { workDir.writeFile("uploaded_files/existing.cfg", "old"); }

    std::optional<MmsServiceResult> obtain(const std::string& source, const std::string& destination) {
        MmsServiceContext ctx{nullptr, connection(), 5, 65000};
        return services.obtainFile(ctx, encodeObtainFileRequest({source, destination}), true, client.sender(),
                                   [this](MmsServiceResult result) { answers.push_back(std::move(result)); });
    }

    sMmsServerConnection* connection() { return reinterpret_cast<sMmsServerConnection*>(&association); }

    size_t filesInStore() {
        return std::distance(fs::directory_iterator("uploaded_files"), fs::directory_iterator());
    }

    std::string basePath = "./uploaded_files/";
    FileServices services{basePath};
    ScriptedClient client;
    std::vector<MmsServiceResult> answers;
    int association = 0;
};

TEST_F(FileObtainTest, FileComesOverInChunksAndTheAnswerFollowsTheClose) {
    client.file = std::string(2500, 'a') + "tail";
    std::vector<std::string> seen;
    services.setAccessHandler(
        [](void* p, MmsServerConnection, MmsFileServiceType service, const char* local, const char* other) {
            EXPECT_EQ(service, MMS_FILE_ACCESS_TYPE_OBTAIN);
            static_cast<std::vector<std::string>*>(p)->assign({local, other});
            return MMS_ERROR_NONE;
        },
        &seen);
    EXPECT_FALSE(obtain("client/config.cfg", "new.cfg").has_value());
    EXPECT_EQ(seen, (std::vector<std::string>{"new.cfg", "client/config.cfg"}));

    ASSERT_EQ(client.pending.size(), 1u);
    FileOpenRequest open;
    ASSERT_EQ(decodeFileOpenRequest(client.pending.front().content, open), DecodeStatus::Ok);
    EXPECT_EQ(open.name, "client/config.cfg");
    while (client.answerOne()) {
        if (!client.pending.empty() && client.pending.front().service == MMS_SERVICE_FILE_CLOSE) {
            EXPECT_TRUE(answers.empty()) << "no answer before the client's file is closed";
        }
    }
    EXPECT_EQ(client.services, (std::vector<unsigned>{MMS_SERVICE_FILE_OPEN, MMS_SERVICE_FILE_READ,
                                                      MMS_SERVICE_FILE_READ, MMS_SERVICE_FILE_READ,
                                                      MMS_SERVICE_FILE_CLOSE}));
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_EQ(answers[0].kind, MmsServiceResult::Kind::Response);
    EXPECT_EQ(workDir.readFile("uploaded_files/new.cfg"), client.file);
}

TEST_F(FileObtainTest, RefusalsAndFailuresLeaveNoFileBehind) {
    const int denied = MMS_ERROR_FILE_FILE_ACCESS_DENIED - MMS_ERROR_FILE_OTHER;
    const int duplicate = MMS_ERROR_FILE_DUPLICATE_FILENAME - MMS_ERROR_FILE_OTHER;
    const int space = MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE - MMS_ERROR_FILE_OTHER;
    const int missing = MMS_ERROR_FILE_FILE_NON_EXISTENT - MMS_ERROR_FILE_OTHER;
    const int other = 0;
    struct Case {
        const char* what;
        std::string destination;
        void (*script)(ScriptedClient&);
        int immediateError;  // -1: the transfer starts
        int laterError;
    };
    const Case cases[] = {
        {"leaves the store", "../x.cfg", [](ScriptedClient&) {}, denied, -1},
        {"absolute elsewhere", "/etc/x.cfg", [](ScriptedClient&) {}, denied, -1},
        {"would replace a file", "existing.cfg", [](ScriptedClient&) {}, duplicate, -1},
        {"client cannot open", "a.cfg", [](ScriptedClient& c) { c.refuseOpen = true; }, -1, missing},
        {"too large", "b.cfg", [](ScriptedClient& c) { c.announcedSize = kMaxObtainedFileSize + 1; }, -1, space},
        {"reads never end", "c.cfg", [](ScriptedClient& c) { c.stallReads = true; }, -1, other},
    };
    for (const auto& c : cases) {
        client = ScriptedClient();
        client.file = "data";
        c.script(client);
        answers.clear();
        auto immediate = obtain("source.cfg", c.destination);
        if (c.immediateError >= 0) {
            ASSERT_TRUE(immediate.has_value()) << c.what;
            EXPECT_EQ(immediate->errorClass, kErrorClassFile) << c.what;
            EXPECT_EQ(immediate->errorCode, c.immediateError) << c.what;
            EXPECT_TRUE(client.services.empty()) << c.what;
        } else {
            ASSERT_FALSE(immediate.has_value()) << c.what;
            client.answerAll();
            ASSERT_EQ(answers.size(), 1u) << c.what;
            EXPECT_EQ(answers[0].errorClass, kErrorClassFile) << c.what;
            EXPECT_EQ(answers[0].errorCode, c.laterError) << c.what;
            if (!client.refuseOpen) {
                EXPECT_EQ(client.services.back(), MMS_SERVICE_FILE_CLOSE) << c.what;
            }
        }
        EXPECT_EQ(filesInStore(), 1u) << c.what;
        EXPECT_EQ(workDir.readFile("uploaded_files/existing.cfg"), "old") << c.what;
    }
}

TEST_F(FileObtainTest, AssociationLostMidwayStopsTheTransfer) {
    client.file = std::string(5000, 'z');
    EXPECT_FALSE(obtain("big.bin", "big.bin").has_value());
    client.answerOne();  // open
    client.answerOne();  // first chunk
    EXPECT_EQ(filesInStore(), 2u) << "the temporary file";
    services.connectionClosed(connection());
    EXPECT_EQ(filesInStore(), 1u);
    client.answerAll();
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(client.services.size(), 3u) << "no request after the association ended";
    EXPECT_FALSE(fs::exists("uploaded_files/big.bin"));
}

// Each running transfer holds a file open, so transfers and open files
// together stay within what one association may hold.
TEST_F(FileObtainTest, RunningTransfersCountAsOpenFiles) {
    client.file = "data";
    MmsServiceContext ctx{nullptr, connection(), 5, 65000};
    EXPECT_EQ(services.fileOpen(ctx, encodeFileOpenRequest({"existing.cfg", 0}), true).kind,
              MmsServiceResult::Kind::Response);
    for (size_t i = 1; i < kMaxOpenFilesPerAssociation; ++i) {
        EXPECT_FALSE(obtain("source.cfg", "new" + std::to_string(i) + ".cfg").has_value()) << i;
    }
    auto full = obtain("source.cfg", "one-more.cfg");
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->errorClass, kErrorClassResource);
    EXPECT_EQ(full->errorCode, kResourceCapabilityUnavailable);
    EXPECT_EQ(services.fileOpen(ctx, encodeFileOpenRequest({"existing.cfg", 0}), true).errorClass,
              kErrorClassResource);
    EXPECT_FALSE(fs::exists("uploaded_files/one-more.cfg"));

    client.answerAll();
    EXPECT_EQ(answers.size(), kMaxOpenFilesPerAssociation - 1);
    EXPECT_FALSE(obtain("source.cfg", "one-more.cfg").has_value()) << "room again once the transfers ended";
}

// The room the store leaves for the device's own files: uploads stop at their
// total (counted from what is on disk, the piece in hand included, however
// small the size the client announced), and none may eat into the free
// space kept on the file system.
TEST_F(FileObtainTest, UploadsStopAtTheTotalAndAtTheFreeSpaceReserve) {
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs("uploaded_files", &vfs), 0);
    const uint64_t freeNow = static_cast<uint64_t>(vfs.f_bavail) * vfs.f_frsize;
    const int denied = kNoRoomError - MMS_ERROR_FILE_OTHER;
    constexpr uint64_t kExisting = 3;  // "old"
    struct Case {
        const char* what;
        FilestoreLimits limits;
        uint32_t announced;  // 0: the real size
        std::vector<int> outcomes;  // per 1000-octet upload: -1 stored, else the error code
    };
    static std::vector<std::pair<int, std::string>> logged;
    Iec61850_setLogHandler([](int priority, const char* text) { logged.emplace_back(priority, text); });
    struct Restore {
        ~Restore() { Iec61850_setLogHandler(nullptr); }
    } restore;
    const Case cases[] = {
        {"total", {kExisting + 2000, 0}, 0, {-1, -1, denied}},
        {"total, size announced too small", {kExisting + 1500, 0}, 1, {-1, denied}},
        {"reserve", {UINT64_MAX, freeNow + (1ull << 30)}, 0, {denied}},
    };
    for (const auto& c : cases) {
        fs::remove_all("uploaded_files");
        workDir.writeFile("uploaded_files/existing.cfg", "old");
        FileServices limited{basePath, c.limits};
        for (size_t i = 0; i < c.outcomes.size(); ++i) {
            client = ScriptedClient();
            client.file = std::string(1000, 'u');
            client.announcedSize = c.announced;
            answers.clear();
            MmsServiceContext ctx{nullptr, connection(), 5, 65000};
            auto immediate = limited.obtainFile(
                ctx, encodeObtainFileRequest({"source.cfg", "up" + std::to_string(i)}), true, client.sender(),
                [this](MmsServiceResult result) { answers.push_back(std::move(result)); });
            client.answerAll();
            if (immediate) answers.push_back(*immediate);
            ASSERT_EQ(answers.size(), 1u) << c.what << " " << i;
            const int outcome = answers[0].kind == MmsServiceResult::Kind::Response ? -1 : answers[0].errorCode;
            EXPECT_EQ(outcome, c.outcomes[i]) << c.what << " " << i;
            if (outcome != -1) {
                EXPECT_EQ(answers[0].errorClass, kErrorClassFile) << c.what;
            }
        }
        const size_t stored = std::count(c.outcomes.begin(), c.outcomes.end(), -1);
        EXPECT_EQ(filesInStore(), 1 + stored) << c.what << ": a refused upload leaves nothing";
        size_t refusalLines = 0;
        for (const auto& r : logged) {
            refusalLines += r.first == LOG_WARNING && r.second.find("MMS files: ObtainFile of") == 0 &&
                            r.second.find(" refused: ") != std::string::npos;
        }
        EXPECT_EQ(refusalLines, c.outcomes.size() - stored) << c.what << ": one line per refusal";
        logged.clear();
    }
}

TEST_F(FileObtainTest, UnsendableFirstRequestIsAnsweredAtOnce) {
    MmsServiceContext ctx{nullptr, connection(), 5, 65000};
    auto result = services.obtainFile(
        ctx, encodeObtainFileRequest({"a", "a"}), true, [](unsigned, auto, bool, auto) { return false; },
        [this](MmsServiceResult r) { answers.push_back(std::move(r)); });
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->kind, MmsServiceResult::Kind::Error);
    EXPECT_TRUE(answers.empty());
    EXPECT_EQ(filesInStore(), 1u);
}

using testsupport::LibraryLog;

// The library's warnings "MMS files: ObtainFile of ... refused: <why...>".
size_t refusals(const std::string& why) {
    const auto& records = LibraryLog::records();
    return std::count_if(records.begin(), records.end(), [&](const auto& r) {
        return r.first == LOG_WARNING && r.second.starts_with("MMS files: ObtainFile of") &&
               r.second.find(" refused: " + why) != std::string::npos;
    });
}

// Uploads of one file each through a FileServices of its own.
class Uploader {
public:
    Uploader(FileServices& services, int& association) : services_(services), association_(association) {}

    // -1 when stored, else the file error code of the answer (-2: no answer).
    int upload(const std::string& destination, const std::string& content, size_t chunk = 1000) {
        ScriptedClient client;
        client.file = content;
        client.chunkSize = chunk;
        std::vector<MmsServiceResult> answers;
        MmsServiceContext ctx{nullptr, reinterpret_cast<sMmsServerConnection*>(&association_), 5, 65000};
        auto immediate = services_.obtainFile(ctx, encodeObtainFileRequest({"source.cfg", destination}), true,
                                              client.sender(),
                                              [&answers](MmsServiceResult result) { answers.push_back(result); });
        client.answerAll();
        if (immediate) answers.push_back(*immediate);
        if (answers.size() != 1) return -2;
        if (answers[0].kind == MmsServiceResult::Kind::Response) return -1;
        EXPECT_EQ(answers[0].errorClass, kErrorClassFile) << destination;
        return answers[0].errorCode;
    }

private:
    FileServices& services_;
    int& association_;
};

constexpr int kDenied = kNoRoomError - MMS_ERROR_FILE_OTHER;

// Empty uploads take no bytes but a file (and an inode) each: they stop at the
// store's file count, refused as the byte quota refuses (file-access-denied,
// one warning), and a deleted file makes room for one more.
TEST_F(FileObtainTest, EmptyUploadsStopAtTheFileCount) {
    FilestoreLimits limits;
    limits.reservedFreeBytes = 0;
    limits.maxFiles = 4;  // existing.cfg and three more
    FileServices limited{basePath, limits};
    Uploader uploader(limited, association);
    LibraryLog log;
    for (int i = 0; i < 3; ++i) EXPECT_EQ(uploader.upload("empty" + std::to_string(i), ""), -1) << i;
    EXPECT_EQ(uploader.upload("empty3", ""), kDenied);
    EXPECT_EQ(uploader.upload("empty4", "not empty either"), kDenied);
    EXPECT_EQ(refusals("the store holds 4 files, at most 4 are allowed"), 2u);
    EXPECT_EQ(filesInStore(), 4u);

    MmsServiceContext ctx{nullptr, connection(), 5, 65000};
    EXPECT_EQ(limited.fileDelete(ctx, encodeFileDeleteRequest("empty1"), true).kind, MmsServiceResult::Kind::Response);
    EXPECT_EQ(uploader.upload("empty3", ""), -1) << "the deletion made room";
    EXPECT_EQ(uploader.upload("empty4", ""), kDenied);
    EXPECT_EQ(limited.store().fileCount(), 4u);
}

// Requests cost the same however many files the store holds: the tree is
// counted once, when the store is made, and no request of the upload road (nor
// FileOpen, FileRead, FileDelete, FileRename) reads a directory after that.
TEST_F(FileObtainTest, RequestsReadNoDirectoryHoweverManyFilesTheStoreHolds) {
    for (size_t many : {size_t{0}, size_t{5000}}) {
        fs::remove_all("uploaded_files");
        workDir.writeFile("uploaded_files/existing.cfg", "old");
        fs::create_directories("uploaded_files/many");
        for (size_t i = 0; i < many; ++i) {
            std::ofstream(("uploaded_files/many/f" + std::to_string(i)).c_str()) << 'x';
        }
        FilestoreLimits limits;
        limits.maxFiles = 100000;
        FileServices counted{basePath, limits};
        const DirectoryReads atStart = counted.store().directoryReads();
        EXPECT_GE(atStart.entries, many) << "the start counts the tree";
        EXPECT_EQ(counted.store().fileCount(), many + 1);

        Uploader uploader(counted, association);
        EXPECT_EQ(uploader.upload("piecewise.cfg", std::string(50, 'p'), 1), -1) << "in 1-byte pieces";
        MmsServiceContext ctx{nullptr, connection(), 5, 65000};
        auto opened = counted.fileOpen(ctx, encodeFileOpenRequest({"piecewise.cfg", 0}), true);
        ASSERT_EQ(opened.kind, MmsServiceResult::Kind::Response);
        FileOpenResponse open;
        ASSERT_EQ(decodeFileOpenResponse(opened.content, open), DecodeStatus::Ok);
        EXPECT_EQ(counted.fileRead(ctx, encodeFrsmId(open.frsmId), false).kind, MmsServiceResult::Kind::Response);
        EXPECT_EQ(counted.fileClose(ctx, encodeFrsmId(open.frsmId), false).kind, MmsServiceResult::Kind::Response);
        EXPECT_EQ(counted.fileRename(ctx, encodeFileRenameRequest({"piecewise.cfg", "renamed.cfg"}), true).kind,
                  MmsServiceResult::Kind::Response);
        EXPECT_EQ(counted.fileDelete(ctx, encodeFileDeleteRequest("renamed.cfg"), true).kind,
                  MmsServiceResult::Kind::Response);

        const DirectoryReads after = counted.store().directoryReads();
        EXPECT_EQ(after.scans, atStart.scans) << many << " files";
        EXPECT_EQ(after.entries, atStart.entries) << many << " files";
        EXPECT_EQ(counted.store().fileCount(), many + 1);
        EXPECT_EQ(counted.store().usedBytes(), many + 3);

        // A listing reads the one directory it lists, not the tree below it.
        EXPECT_EQ(counted.fileDirectory(ctx, encodeFileDirectoryRequest({"", std::nullopt}), true).kind,
                  MmsServiceResult::Kind::Response);
        EXPECT_EQ(counted.store().directoryReads().scans, atStart.scans + 1);
        EXPECT_LE(counted.store().directoryReads().entries, atStart.entries + 4) << ".., ., existing.cfg, many";
    }
}

// A process killed in the middle of an upload leaves its temporary file; the
// next start removes it, so it no longer counts against the quota.
TEST_F(FileObtainTest, TemporaryOfAKilledUploadIsRemovedAtTheNextStart) {
    const FilestoreLimits limits{3000, 0};
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The daemon, killed after two of three pieces.
        FileServices dying{basePath, limits};
        ScriptedClient pieces;
        pieces.file = std::string(2500, 'k');
        MmsServiceContext ctx{nullptr, connection(), 5, 65000};
        auto immediate = dying.obtainFile(ctx, encodeObtainFileRequest({"source.cfg", "big.bin"}), true,
                                          pieces.sender(), [](MmsServiceResult) {});
        if (immediate) ::_exit(1);
        for (int i = 0; i < 3; ++i) pieces.answerOne();  // open, two reads
        ::kill(::getpid(), SIGKILL);
        ::_exit(2);
    }
    int status = 0;
    pid_t ended = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while ((ended = ::waitpid(child, &status, WNOHANG)) == 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (ended == 0) {
        ::kill(child, SIGKILL);
        ::waitpid(child, &status, 0);
        FAIL() << "the uploading child did not end";
    }
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "status " << status;
    std::string leftover;
    for (const auto& entry : fs::directory_iterator("uploaded_files")) {
        if (isUploadTemporaryName(entry.path().filename().string())) leftover = entry.path().filename();
    }
    ASSERT_TRUE(leftover.starts_with(".big.bin.")) << "the killed upload left its temporary";
    EXPECT_EQ(fs::file_size("uploaded_files/" + leftover), 2000u);

    LibraryLog log;
    FileServices restarted{basePath, limits};
    EXPECT_EQ(restarted.store().temporariesRemoved(), 1u);
    EXPECT_FALSE(fs::exists("uploaded_files/" + leftover));
    EXPECT_EQ(restarted.store().usedBytes(), 3u);
    Uploader uploader(restarted, association);
    EXPECT_EQ(uploader.upload("big.bin", std::string(2500, 'k')), -1) << "2000 leftover bytes would not have fit";
    EXPECT_EQ(workDir.readFile("uploaded_files/big.bin"), std::string(2500, 'k'));
}

// The inode reserve on a small file system of its own: empty uploads stop
// while the reserve is still free, so the device can still write its files.
class FileObtainInodeTest : public FileObtainTest {
protected:
    void SetUp() override {
        box = workDir.path() / "box";
        fs::create_directories(box);
        if (::mount("tmpfs", box.c_str(), "tmpfs", 0, "size=1m,nr_inodes=64") != 0) {
            GTEST_SKIP() << "cannot mount a tmpfs here (" << std::strerror(errno)
                         << "); the inode reserve needs a small file system of its own";
        }
        mounted = true;
    }
    void TearDown() override {
        if (mounted && ::umount2(box.c_str(), 0) != 0) ::umount2(box.c_str(), MNT_DETACH);
    }
    uint64_t freeInodes() const {
        struct statvfs vfs {};
        EXPECT_EQ(::statvfs(box.c_str(), &vfs), 0);
        return vfs.f_favail;
    }

    fs::path box;
    bool mounted = false;
};

TEST_F(FileObtainInodeTest, EmptyUploadsStopAtTheFreeInodeReserve) {
    std::string boxBase = (box / "uploaded_files/").string();
    FilestoreLimits limits;
    limits.reservedFreeBytes = 0;
    limits.maxFiles = 100000;
    limits.reservedFreeInodes = 16;
    FileServices onBox{boxBase, limits};
    ASSERT_TRUE(onBox.store().opened());
    const uint64_t freeAtStart = freeInodes();
    ASSERT_GT(freeAtStart, 20u);

    Uploader uploader(onBox, association);
    LibraryLog log;
    size_t stored = 0;
    int outcome = -1;
    for (size_t i = 0; i < 100 && outcome == -1; ++i) {
        outcome = uploader.upload("empty" + std::to_string(i), "");
        stored += outcome == -1;
    }
    EXPECT_EQ(outcome, kDenied);
    EXPECT_EQ(stored, freeAtStart - limits.reservedFreeInodes);
    EXPECT_EQ(freeInodes(), limits.reservedFreeInodes) << "the reserve stays free";
    EXPECT_EQ(refusals("the file system has 16 inodes free and keeps 16 for the device"), 1u);
    EXPECT_EQ(uploader.upload("one-more", ""), kDenied);
    EXPECT_EQ(freeInodes(), limits.reservedFreeInodes);

    // The device's own files still find inodes.
    std::ofstream(box / "schedule.json") << "{}";
    EXPECT_TRUE(fs::exists(box / "schedule.json"));
}

}  // namespace
