// The file store keeps every client name inside its base directory and
// carries out the file operations there.
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "iec61850/durable_file.h"
#include "iec61850/files/file_store.h"
#include "iec61850/iec61850_log.h"
#include "tests/iec61850_core/FailingSync.h"
#include "tests/support/LibraryLog.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using iec61850::files::DirectoryEntry;
using iec61850::files::FileStore;
using iec61850::files::IncomingFile;
using iec61850::files::isUploadTemporaryName;

namespace {

class FileStoreTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        workDir.writeFile("uploaded_files/a.txt", "alpha");
        workDir.writeFile("uploaded_files/sub/b.txt", "bravo!");
        workDir.writeFile("outside/secret.txt", "secret");
        fs::create_symlink(workDir.path() / "outside", workDir.path() / "uploaded_files/link-out");
        fs::create_symlink(workDir.path() / "outside/secret.txt", workDir.path() / "uploaded_files/secret-link");
        fs::create_symlink("a.txt", workDir.path() / "uploaded_files/a-link");
    }
    FileStore store{"./uploaded_files/"};
};

TEST_F(FileStoreTest, NamesResolveOnlyInsideTheBaseDirectory) {
    std::string inside = (workDir.path() / "uploaded_files/a.txt").string();
    struct Case {
        std::string name;
        MmsError error;
        bool isBase;
    };
    const Case cases[] = {
        {"a.txt", MMS_ERROR_NONE, false},
        {"./a.txt", MMS_ERROR_NONE, false},
        {"sub/b.txt", MMS_ERROR_NONE, false},
        {"new-file", MMS_ERROR_NONE, false},
        {"", MMS_ERROR_NONE, true},
        {".", MMS_ERROR_NONE, true},
        {inside, MMS_ERROR_NONE, false},
        {"a-link", MMS_ERROR_NONE, false},
        {"../x", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"sub/../a.txt", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"sub/..", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"/etc/passwd", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"/", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {(workDir.path() / "uploaded_files_x").string(), MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"link-out/secret.txt", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"link-out", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {"secret-link", MMS_ERROR_FILE_FILE_ACCESS_DENIED, false},
        {std::string("a\0b", 3), MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR, false},
    };
    for (const auto& c : cases) {
        auto resolved = store.resolve(c.name);
        EXPECT_EQ(resolved.error, c.error) << c.name;
        EXPECT_EQ(resolved.isBase, c.isBase) << c.name;
    }
    EXPECT_EQ(store.resolve("a-link").path, fs::canonical(workDir.path() / "uploaded_files/a.txt"));
}

TEST_F(FileStoreTest, ListingIsSortedWithSizesAndHidesLinksThatLeave) {
    struct timespec times[2] = {{0, UTIME_OMIT}, {1796897317, 0}};  // 2026-12-10 10:08:37 UTC
    ASSERT_EQ(::utimensat(AT_FDCWD, "uploaded_files/a.txt", times, 0), 0);

    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(store.listDirectory("", entries), MMS_ERROR_NONE);
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].name, "a-link");
    EXPECT_EQ(entries[1].name, "a.txt");
    EXPECT_EQ(entries[1].attributes.size, 5u);
    EXPECT_EQ(entries[1].attributes.lastModified, 1796897317);
    EXPECT_EQ(entries[2].name, "sub/");

    ASSERT_EQ(store.listDirectory("sub", entries), MMS_ERROR_NONE);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "sub/b.txt");
    EXPECT_EQ(entries[0].attributes.size, 6u);

    ASSERT_EQ(store.listDirectory("sub/b.txt", entries), MMS_ERROR_NONE);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].name, "sub/b.txt");

    EXPECT_EQ(store.listDirectory("missing", entries), MMS_ERROR_FILE_FILE_NON_EXISTENT);
    EXPECT_EQ(store.listDirectory("link-out", entries), MMS_ERROR_FILE_FILE_ACCESS_DENIED);
    EXPECT_EQ(iec61850::files::generalizedTime(1796897317), "20261210100837.000Z");
}

TEST_F(FileStoreTest, OpenDeleteAndRenameRefuseWhatTheyCannotDo) {
    auto opened = store.openForRead("a.txt", 2);
    ASSERT_EQ(opened.error, MMS_ERROR_NONE);
    char buffer[8] = {};
    EXPECT_EQ(::read(opened.fd.get(), buffer, sizeof buffer), 3);
    EXPECT_STREQ(buffer, "pha");
    EXPECT_EQ(store.openForRead("a.txt", 6).error, MMS_ERROR_FILE_POSITION_INVALID);
    EXPECT_EQ(store.openForRead("sub", 0).error, MMS_ERROR_FILE_FILE_ACCESS_DENIED);
    EXPECT_EQ(store.openForRead("missing", 0).error, MMS_ERROR_FILE_FILE_NON_EXISTENT);

    EXPECT_EQ(store.remove("sub"), MMS_ERROR_FILE_FILE_ACCESS_DENIED);
    EXPECT_EQ(store.remove(""), MMS_ERROR_FILE_FILE_ACCESS_DENIED);
    EXPECT_EQ(store.remove("missing"), MMS_ERROR_FILE_FILE_NON_EXISTENT);

    EXPECT_EQ(store.rename("a.txt", "sub/b.txt"), MMS_ERROR_FILE_DUPLICATE_FILENAME);
    EXPECT_EQ(store.rename("missing", "c.txt"), MMS_ERROR_FILE_FILE_NON_EXISTENT);
    EXPECT_EQ(store.rename("a.txt", "../a.txt"), MMS_ERROR_FILE_FILE_ACCESS_DENIED);
    EXPECT_EQ(store.rename("a.txt", "c.txt"), MMS_ERROR_NONE);
    EXPECT_EQ(workDir.readFile("uploaded_files/c.txt"), "alpha");

    EXPECT_EQ(store.remove("c.txt"), MMS_ERROR_NONE);
    EXPECT_FALSE(fs::exists("uploaded_files/c.txt"));
    EXPECT_TRUE(fs::exists("outside/secret.txt"));
}

TEST_F(FileStoreTest, IncomingFileAppearsOnlyWhenCommitted) {
    IncomingFile existing;
    EXPECT_EQ(store.beginIncoming("a.txt", existing), MMS_ERROR_FILE_DUPLICATE_FILENAME);
    EXPECT_EQ(store.beginIncoming("link-out/new", existing), MMS_ERROR_FILE_FILE_ACCESS_DENIED);

    {
        IncomingFile abandoned;
        ASSERT_EQ(store.beginIncoming("dropped.bin", abandoned), MMS_ERROR_NONE);
        const uint8_t data[] = {1, 2, 3};
        EXPECT_TRUE(abandoned.write(data, sizeof data));
    }
    IncomingFile file;
    ASSERT_EQ(store.beginIncoming("kept.bin", file), MMS_ERROR_NONE);
    const uint8_t data[] = {'o', 'k'};
    EXPECT_TRUE(file.write(data, sizeof data));
    EXPECT_FALSE(fs::exists("uploaded_files/kept.bin"));
    EXPECT_EQ(file.commit(), MMS_ERROR_NONE);
    EXPECT_EQ(workDir.readFile("uploaded_files/kept.bin"), "ok");

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator("uploaded_files")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a-link", "a.txt", "kept.bin", "link-out", "secret-link", "sub"}));
}

using testsupport::LibraryLog;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// The name of the one upload temporary in dir ("" when there is none).
std::string temporaryIn(const fs::path& dir) {
    for (const auto& name : namesIn(dir)) {
        if (isUploadTemporaryName(name)) return name;
    }
    return "";
}

TEST(UploadTemporaryName, IsTheFormTheStoreGivesItsTemporaries) {
    for (const char* name : {".a.txt.Ab3dE9", ".x.000000", ".config.backup", "..zzzzzz.abcdef"}) {
        EXPECT_TRUE(isUploadTemporaryName(name)) << name;
    }
    for (const char* name :
         {"a.txt.Ab3dE9", "..Ab3dE9", ".a.txt.Ab3dE", ".a.txt.Ab3-E9", ".hidden", ".a.txt.Ab3dE9x", ""}) {
        EXPECT_FALSE(isUploadTemporaryName(name)) << name;
    }
}

// The totals are counted once, when the store is made, and kept as the store
// creates, finishes and deletes files: a fresh count always agrees.
TEST_F(FileStoreTest, TotalsAreCountedOnceAndKeptAsFilesComeAndGo) {
    FileStore counted{"./uploaded_files/"};
    EXPECT_EQ(counted.fileCount(), 2u) << "a.txt and sub/b.txt; links and what lies outside do not count";
    EXPECT_EQ(counted.usedBytes(), 11u);
    const uint64_t scans = counted.directoryReads().scans;
    EXPECT_EQ(scans, 2u) << "the base and sub/, each read once";

    IncomingFile dropped;
    ASSERT_EQ(counted.beginIncoming("dropped.bin", dropped), MMS_ERROR_NONE);
    EXPECT_EQ(counted.fileCount(), 3u) << "a running upload's temporary counts";
    const uint8_t data[] = {1, 2, 3, 4};
    EXPECT_TRUE(dropped.write(data, sizeof data));
    EXPECT_EQ(counted.usedBytes(), 15u);
    dropped = IncomingFile();
    EXPECT_EQ(counted.fileCount(), 2u);
    EXPECT_EQ(counted.usedBytes(), 11u);

    IncomingFile kept;
    ASSERT_EQ(counted.beginIncoming("sub/kept.bin", kept), MMS_ERROR_NONE);
    EXPECT_TRUE(kept.write(data, 3));
    EXPECT_EQ(kept.commit(), MMS_ERROR_NONE);
    EXPECT_EQ(counted.fileCount(), 3u);
    EXPECT_EQ(counted.usedBytes(), 14u);
    EXPECT_EQ(counted.rename("sub/kept.bin", "kept.bin"), MMS_ERROR_NONE);
    EXPECT_EQ(counted.remove("a.txt"), MMS_ERROR_NONE);
    EXPECT_EQ(counted.fileCount(), 2u);
    EXPECT_EQ(counted.usedBytes(), 9u);
    EXPECT_EQ(counted.directoryReads().scans, scans) << "none of these read a directory";

    FileStore recounted{"./uploaded_files/"};
    EXPECT_EQ(recounted.fileCount(), counted.fileCount());
    EXPECT_EQ(recounted.usedBytes(), counted.usedBytes());
}

// A killed upload leaves its temporary; the next store made on the directory
// (the next start) removes every one of them, and only them.
TEST_F(FileStoreTest, LeftoverTemporariesAreRemovedWhenTheStoreIsMade) {
    workDir.writeFile("uploaded_files/.big.bin.Ab3dE9", std::string(1500, 't'));
    workDir.writeFile("uploaded_files/sub/.x.cfg.q1w2e3", "half");
    workDir.writeFile("uploaded_files/.hidden", "kept");
    workDir.writeFile("uploaded_files/plain.Ab3dE9", "kept");
    workDir.writeFile("outside/.y.cfg.q1w2e3", "not the store's");

    LibraryLog log;
    FileStore reopened{"./uploaded_files/"};
    EXPECT_EQ(reopened.temporariesRemoved(), 2u);
    EXPECT_FALSE(fs::exists("uploaded_files/.big.bin.Ab3dE9"));
    EXPECT_FALSE(fs::exists("uploaded_files/sub/.x.cfg.q1w2e3"));
    EXPECT_TRUE(fs::exists("uploaded_files/.hidden"));
    EXPECT_TRUE(fs::exists("uploaded_files/plain.Ab3dE9"));
    EXPECT_TRUE(fs::exists("outside/.y.cfg.q1w2e3")) << "a link out of the store is not followed";
    EXPECT_EQ(reopened.fileCount(), 4u);
    EXPECT_EQ(reopened.usedBytes(), 11u + 8u);
    EXPECT_TRUE(LibraryLog::contains(
        LOG_NOTICE, "MMS files: removed \".big.bin.Ab3dE9\" (1500 bytes), the temporary of an interrupted upload"));
    EXPECT_TRUE(LibraryLog::contains(
        LOG_NOTICE, "MMS files: removed \"sub/.x.cfg.q1w2e3\" (4 bytes), the temporary of an interrupted upload"));
}

// Names of the temporaries' form are the store's: no client creates one, and
// the temporary of a running upload is neither deleted nor renamed.
TEST_F(FileStoreTest, TemporaryNamesAreReservedAndRunningUploadsAreBusy) {
    IncomingFile refused;
    EXPECT_EQ(store.beginIncoming(".a.txt.Ab3dE9", refused), MMS_ERROR_FILE_FILE_ACCESS_DENIED);
    EXPECT_EQ(store.rename("a.txt", "sub/.a.txt.Ab3dE9"), MMS_ERROR_FILE_FILE_ACCESS_DENIED);

    IncomingFile running;
    ASSERT_EQ(store.beginIncoming("up.bin", running), MMS_ERROR_NONE);
    const std::string temporary = temporaryIn("uploaded_files");
    ASSERT_TRUE(temporary.starts_with(".up.bin.")) << temporary;
    EXPECT_EQ(store.remove(temporary), MMS_ERROR_FILE_FILE_BUSY);
    EXPECT_EQ(store.rename(temporary, "stolen.bin"), MMS_ERROR_FILE_FILE_BUSY);
    const uint8_t data[] = {'u', 'p'};
    EXPECT_TRUE(running.write(data, sizeof data));
    EXPECT_EQ(running.commit(), MMS_ERROR_NONE);
    EXPECT_EQ(workDir.readFile("uploaded_files/up.bin"), "up");
    EXPECT_EQ(temporaryIn("uploaded_files"), "");
}

// An upload whose sync fails (a disk that refuses) is refused with the file
// error of the system's error and leaves nothing behind: no destination, no
// temporary, the totals as before. Its syncs are the durable writer's, so a
// working disk afterwards takes the same upload with one file and one
// directory sync.
TEST_F(FileStoreTest, AnUploadWhoseSyncFailsLeavesNothingBehind) {
    const std::string sub = (store.resolvedBase() / "sub").string();
    struct Case {
        const char* what;
        iec61850::SyncTarget failing;
        int error;
        MmsError refusal;
        std::string logged;  // how the error line begins
    };
    const Case cases[] = {
        {"the file's sync", iec61850::SyncTarget::kFile, EIO, MMS_ERROR_FILE_OTHER,
         "MMS files: sync " + sub + "/.up.bin."},
        {"the directory's sync", iec61850::SyncTarget::kDirectory, ENOSPC,
         MMS_ERROR_FILE_INSUFFICIENT_SPACE_IN_FILESTORE, "MMS files: sync the directory " + sub + ": "},
    };
    const uint8_t data[] = {'u', 'p'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LibraryLog log;
        const uint64_t files = store.fileCount();
        const uint64_t bytes = store.usedBytes();
        IncomingFile file;
        ASSERT_EQ(store.beginIncoming("sub/up.bin", file), MMS_ERROR_NONE);
        ASSERT_TRUE(file.write(data, sizeof data));
        {
            testsync::FailingSync failing(c.failing, c.error);
            EXPECT_EQ(file.commit(), c.refusal);
            EXPECT_EQ(failing.failures(), 1u);
        }
        EXPECT_FALSE(file.valid());
        EXPECT_EQ(namesIn("uploaded_files/sub"), std::vector<std::string>{"b.txt"});
        EXPECT_EQ(store.fileCount(), files);
        EXPECT_EQ(store.usedBytes(), bytes);
        EXPECT_TRUE(std::any_of(LibraryLog::records().begin(), LibraryLog::records().end(), [&](const auto& r) {
            return r.first == LOG_ERR && r.second.starts_with(c.logged) && r.second.ends_with(std::strerror(c.error));
        })) << c.logged;
    }
    const uint64_t syncs = iec61850::durableSyncCount();
    IncomingFile file;
    ASSERT_EQ(store.beginIncoming("sub/up.bin", file), MMS_ERROR_NONE);
    ASSERT_TRUE(file.write(data, sizeof data));
    EXPECT_EQ(file.commit(), MMS_ERROR_NONE);
    EXPECT_EQ(iec61850::durableSyncCount() - syncs, 2u);
    EXPECT_EQ(workDir.readFile("uploaded_files/sub/up.bin"), "up");
}

// The base directory is opened when the store is made; replacing it by a link
// afterwards (which needs write access to the data directory) moves nothing:
// reads, listings, uploads and deletions stay in the directory first opened.
TEST_F(FileStoreTest, BaseReplacedByALinkLaterMovesNothing) {
    const fs::path canonicalBase = fs::canonical("uploaded_files");
    fs::rename("uploaded_files", "uploaded_files.real");
    fs::create_symlink(workDir.path() / "outside", "uploaded_files");
    ASSERT_TRUE(fs::is_symlink("uploaded_files"));

    EXPECT_EQ(store.resolvedBase(), canonicalBase);
    auto opened = store.openForRead("a.txt", 0);
    ASSERT_EQ(opened.error, MMS_ERROR_NONE);
    char buffer[8] = {};
    EXPECT_EQ(::read(opened.fd.get(), buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "alpha");
    EXPECT_EQ(store.openForRead("secret.txt", 0).error, MMS_ERROR_FILE_FILE_NON_EXISTENT);
    EXPECT_EQ(store.openForRead((workDir.path() / "uploaded_files/sub/b.txt").string(), 0).error, MMS_ERROR_NONE)
        << "the base's absolute name still means the directory first opened";

    std::vector<DirectoryEntry> entries;
    ASSERT_EQ(store.listDirectory("", entries), MMS_ERROR_NONE);
    std::vector<std::string> listed;
    for (const auto& e : entries) listed.push_back(e.name);
    EXPECT_EQ(listed, (std::vector<std::string>{"a-link", "a.txt", "sub/"}));

    IncomingFile file;
    ASSERT_EQ(store.beginIncoming("new.bin", file), MMS_ERROR_NONE);
    const uint8_t data[] = {'n'};
    EXPECT_TRUE(file.write(data, sizeof data));
    EXPECT_EQ(file.commit(), MMS_ERROR_NONE);
    EXPECT_EQ(store.remove("a.txt"), MMS_ERROR_NONE);
    EXPECT_EQ(store.rename("sub/b.txt", "b.txt"), MMS_ERROR_NONE);

    EXPECT_EQ(workDir.readFile("uploaded_files.real/new.bin"), "n");
    EXPECT_FALSE(fs::exists("uploaded_files.real/a.txt"));
    EXPECT_TRUE(fs::exists("uploaded_files.real/b.txt"));
    EXPECT_EQ(namesIn("outside"), std::vector<std::string>{"secret.txt"}) << "nothing moved to the link's target";
    EXPECT_EQ(workDir.readFile("outside/secret.txt"), "secret");

    // A base that already is a link when the store is made is the installer's choice.
    FileStore linked{"./uploaded_files/"};
    EXPECT_EQ(linked.resolvedBase(), fs::canonical(workDir.path() / "outside"));
    EXPECT_EQ(linked.openForRead("secret.txt", 0).error, MMS_ERROR_NONE);
}

}  // namespace
