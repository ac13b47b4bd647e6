// The file replacer: the syncs each durability makes (counted by the
// writer's own counter), deferred files made durable by a later synced
// replace or by syncDeferred, leftover temporary files looked for once per
// directory and removed before their destination is replaced, and a synced
// replace whose file or directory sync fails (through the writer's test
// seam): the destination keeps what it held, and a retry only ever makes
// that durable.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>

#include <filesystem>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "iec61850/durable_file.h"
#include "tests/iec61850_core/FailingSync.h"

namespace {

namespace fs = std::filesystem;
using iec61850::Durability;
using iec61850::SyncTarget;
using testsync::FailingSync;

class FileReplacerTest : public ::testing::Test {
protected:
    FileReplacerTest() {
        std::string pattern = (fs::temp_directory_path() / "durable-file-XXXXXX").string();
        dir = ::mkdtemp(pattern.data());
    }
    ~FileReplacerTest() override {
        std::error_code ignored;
        fs::remove_all(dir, ignored);
    }

    std::string read(const std::string& name) const {
        std::ifstream in(dir / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    void plant(const std::string& name) const { std::ofstream(dir / name) << "partial"; }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename().string());
        return names;
    }
    // The syncs the steps made.
    template <class Steps>
    uint64_t syncsOf(Steps steps) {
        const uint64_t before = iec61850::durableSyncCount();
        steps();
        return iec61850::durableSyncCount() - before;
    }
    bool replace(const std::string& name, const std::string& content, Durability durability) {
        std::string error;
        const bool ok = files.replace(dir / name, content, 0644, durability, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
    bool exists(const std::string& name) const { return fs::exists(dir / name); }
    bool syncDeferred() {
        std::string error;
        const bool ok = files.syncDeferred(dir, error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }

    fs::path dir;
    iec61850::FileReplacer files;
};

TEST_F(FileReplacerTest, EachRoadOfWritesSyncsTheFileAndItsDirectoryAtMostOnce) {
    struct Case {
        const char* road;
        std::vector<Durability> writes;  // of one file, in order, then syncDeferred
        uint64_t syncs;
    };
    const Case cases[] = {
        {"synced", {Durability::kSynced}, 2},
        {"atomic only", {Durability::kAtomic}, 0},
        {"deferred, then synced by syncDeferred", {Durability::kDeferred}, 2},
        {"deferred, then a synced rewrite", {Durability::kDeferred, Durability::kSynced}, 2},
        {"deferred twice", {Durability::kDeferred, Durability::kDeferred}, 2},
        {"deferred, then an atomic rewrite", {Durability::kDeferred, Durability::kAtomic}, 2},
    };
    for (const Case& c : cases) {
        const std::string name = std::string(c.road) + ".json";
        const uint64_t syncs = syncsOf([&] {
            for (size_t i = 0; i < c.writes.size(); ++i) replace(name, "content " + std::to_string(i), c.writes[i]);
            syncDeferred();
        });
        EXPECT_EQ(syncs, c.syncs) << c.road;
        EXPECT_EQ(read(name), "content " + std::to_string(c.writes.size() - 1)) << c.road;
        EXPECT_EQ(syncsOf([&] { syncDeferred(); }), 0u) << c.road << ": nothing is synced twice";
    }
    EXPECT_EQ(entries().size(), std::size(cases)) << "no temporary file stays";
}

TEST_F(FileReplacerTest, ADeferredFileMovedAwayNeedsOnlyTheDirectorySync) {
    replace("a.json", "new", Durability::kDeferred);
    fs::rename(dir / "a.json", dir / "a.json.rejected");
    EXPECT_EQ(syncsOf([&] { syncDeferred(); }), 1u);
}

TEST_F(FileReplacerTest, LeftoverTemporariesAreFoundOnceAndRemovedBeforeTheirDestinationIsReplaced) {
    plant(".a.json.Ab12Cd");
    plant(".b.json.Zz99Yy");
    plant(".a.json.longer-than-a-temporary");
    plant("notes.txt");
    replace("a.json", "1", Durability::kAtomic);
    EXPECT_EQ(entries(), (std::set<std::string>{"a.json", ".b.json.Zz99Yy", ".a.json.longer-than-a-temporary",
                                                 "notes.txt"}));
    replace("b.json", "2", Durability::kAtomic);
    EXPECT_FALSE(entries().count(".b.json.Zz99Yy"));

    // The directory is not listed again: a temporary left after its first
    // use stays until a replacer of the next start meets it.
    plant(".a.json.Qq11Ww");
    replace("a.json", "3", Durability::kAtomic);
    EXPECT_TRUE(entries().count(".a.json.Qq11Ww"));
    iec61850::FileReplacer nextStart;
    std::string error;
    ASSERT_TRUE(nextStart.replace(dir / "a.json", "4", 0644, Durability::kSynced, error)) << error;
    EXPECT_EQ(entries(), (std::set<std::string>{"a.json", "b.json", ".a.json.longer-than-a-temporary", "notes.txt"}));
    EXPECT_EQ(read("a.json"), "4");
}

TEST_F(FileReplacerTest, AFailedSyncLeavesTheDestinationAsItWasAndARetryOnlyMakesThatDurable) {
    struct Case {
        const char* what;
        SyncTarget failing;
        bool existed;             // the destination was there before
        const char* step;         // what the error names
        uint64_t retrySyncs;      // of the syncDeferred after the disk works again
    };
    const Case cases[] = {
        {"the file's sync, over an old file", SyncTarget::kFile, true, "sync ", 0},
        {"the file's sync, no file before", SyncTarget::kFile, false, "sync ", 0},
        // The old file is put back; the retry syncs it (it was durable) and the directory.
        {"the directory's sync, over an old file", SyncTarget::kDirectory, true, "sync the directory ", 2},
        // The new file is removed again; the retry syncs the directory.
        {"the directory's sync, no file before", SyncTarget::kDirectory, false, "sync the directory ", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string name = std::string(c.what) + ".json";
        if (c.existed) replace(name, "in force", Durability::kSynced);
        {
            FailingSync failing(c.failing, EIO);
            std::string error;
            bool changed = true;
            EXPECT_FALSE(files.replace(dir / name, "refused", 0644, Durability::kSynced, error, &changed));
            EXPECT_TRUE(error.starts_with(c.step)) << error;
            EXPECT_TRUE(error.ends_with(std::strerror(EIO))) << error;
            EXPECT_FALSE(changed);
            EXPECT_EQ(failing.failures(), 1u);
            if (c.existed) {
                EXPECT_EQ(read(name), "in force");
            } else {
                EXPECT_FALSE(exists(name));
            }
            // While the disk refuses, the retry fails and keeps what it has to do.
            if (c.retrySyncs != 0) {
                std::string retryError;
                EXPECT_FALSE(files.syncDeferred(dir, retryError));
            }
            failing.heal();
            EXPECT_EQ(syncsOf([&] { syncDeferred(); }), c.retrySyncs);
        }
        if (c.existed) {
            EXPECT_EQ(read(name), "in force") << "the retry made the old file durable, never the refused one";
        } else {
            EXPECT_FALSE(exists(name));
        }
        EXPECT_EQ(syncsOf([&] { syncDeferred(); }), 0u);
        EXPECT_EQ(syncsOf([&] { replace(name, "next", Durability::kSynced); }), 2u);
        EXPECT_EQ(read(name), "next");
    }
    EXPECT_EQ(entries().size(), std::size(cases)) << "no temporary file stays";
}

TEST_F(FileReplacerTest, APutBackThatFailsTooIsToldAndNeverSyncedLater) {
    replace("a.json", "in force", Durability::kSynced);
    // A second fault: the old file, under its temporary name after the
    // exchange, is gone when the directory sync fails.
    FailingSync failing(SyncTarget::kDirectory, ENOSPC, [this] {
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (entry.path().filename().string().starts_with(".a.json.")) fs::rename(entry.path(), dir / "moved");
        }
    });
    std::string error;
    bool changed = false;
    EXPECT_FALSE(files.replace(dir / "a.json", "refused", 0644, Durability::kSynced, error, &changed));
    EXPECT_TRUE(changed) << "the destination may hold the new content";
    EXPECT_EQ(read("a.json"), "refused");
    failing.heal();
    EXPECT_EQ(syncsOf([&] { syncDeferred(); }), 0u) << "a refused content is never made durable by a retry";
}

TEST_F(FileReplacerTest, AFailedDirectorySyncOfAKeepExistingCommitRemovesTheNewFile) {
    FailingSync failing(SyncTarget::kDirectory, EIO);
    iec61850::DurableFile file;
    ASSERT_TRUE(file.begin(dir / "upload.bin", 0644));
    ASSERT_TRUE(file.write("abc", 3));
    EXPECT_FALSE(file.commit(iec61850::DurableFile::Commit::kKeepExisting));
    EXPECT_FALSE(file.destinationChanged());
    EXPECT_TRUE(file.directoryUnsynced());
    EXPECT_TRUE(entries().empty());
}

// Begun on a directory, by its path or by its descriptor, a file lands in
// that directory even when it was renamed meanwhile and a link put in its
// place; the descriptor form syncs through the same counted syncs.
TEST_F(FileReplacerTest, AFileLandsInTheDirectoryItWasBegunInWhateverItsPathBecomes) {
    using Commit = iec61850::DurableFile::Commit;
    struct Case {
        const char* form;
        bool byDescriptor;
        Commit how;
        Durability durability;
        uint64_t syncs;
    };
    const Case cases[] = {
        {"by path, a synced replace", false, Commit::kReplace, Durability::kSynced, 2},
        {"by descriptor, a synced replace", true, Commit::kReplace, Durability::kSynced, 2},
        {"by descriptor, a synced new file", true, Commit::kKeepExisting, Durability::kSynced, 2},
        {"by descriptor, an atomic replace", true, Commit::kReplace, Durability::kAtomic, 0},
    };
    const fs::path begun = dir / "begun";
    const fs::path moved = dir / "moved";
    const fs::path elsewhere = dir / "elsewhere";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.form);
        fs::create_directory(begun);
        fs::create_directory(elsewhere);
        iec61850::DurableFile file;
        if (c.byDescriptor) {
            iec61850::UniqueFd fd(::open(begun.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            ASSERT_TRUE(file.begin(fd.get(), "a.json", 0640)) << file.error();
            // The writer keeps a descriptor of its own.
        } else {
            ASSERT_TRUE(file.begin(begun / "a.json", 0640)) << file.error();
        }
        fs::rename(begun, moved);
        fs::create_directory_symlink(elsewhere, begun);
        ASSERT_TRUE(file.write("new", 3));
        EXPECT_EQ(syncsOf([&] { EXPECT_TRUE(file.commit(c.how, c.durability)) << file.error(); }), c.syncs);
        EXPECT_EQ(read("moved/a.json"), "new");
        EXPECT_EQ(fs::status(moved / "a.json").permissions(), fs::perms(0640));
        EXPECT_EQ(std::distance(fs::directory_iterator(moved), fs::directory_iterator()), 1) << "no temporary stays";
        EXPECT_TRUE(fs::is_empty(elsewhere));
        for (const fs::path& p : {begun, moved, elsewhere}) fs::remove_all(p);
    }
}

// The descriptor form refuses a name that is not one plain component and a
// descriptor that is none; its errors name the destination as the caller
// shows it, and a refused commit leaves the destination and no temporary.
TEST_F(FileReplacerTest, TheDescriptorFormRefusesWhatItCannotWriteAndNamesItAsShown) {
    plant("taken.bin");
    const iec61850::UniqueFd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    iec61850::DurableFile file;
    ASSERT_TRUE(file.begin(fd.get(), "taken.bin", 0644, "/shown/taken.bin")) << file.error();
    ASSERT_TRUE(file.write("new", 3));
    EXPECT_FALSE(file.commit(iec61850::DurableFile::Commit::kKeepExisting));
    EXPECT_EQ(file.errorNumber(), EEXIST);
    EXPECT_EQ(file.error(), std::string("rename onto /shown/taken.bin: ") + std::strerror(EEXIST));
    EXPECT_EQ(read("taken.bin"), "partial");

    for (const char* name : {"", ".", "..", "sub/taken.bin", "/taken.bin"}) {
        EXPECT_FALSE(file.begin(fd.get(), name, 0644)) << name;
        EXPECT_EQ(file.errorNumber(), EINVAL) << name;
    }
    EXPECT_FALSE(file.begin(-1, "a.bin", 0644, "/shown/a.bin"));
    EXPECT_EQ(file.error(), std::string("create a temporary file for /shown/a.bin: ") + std::strerror(EBADF));
    EXPECT_EQ(entries(), std::set<std::string>{"taken.bin"});
}

TEST_F(FileReplacerTest, ARemovedFileIsGoneAtOnceAndItsDirectorySyncWaitsForTheDisk) {
    replace("a.json", "old", Durability::kSynced);
    replace("b.json", "old", Durability::kSynced);
    std::string error;
    EXPECT_EQ(syncsOf([&] { EXPECT_TRUE(files.remove(dir / "a.json", error)) << error; }), 1u);
    {
        FailingSync failing(SyncTarget::kDirectory, EIO);
        EXPECT_TRUE(files.remove(dir / "b.json", error)) << error;
        EXPECT_TRUE(files.remove(dir / "missing.json", error)) << error;
        failing.heal();
        EXPECT_EQ(syncsOf([&] { syncDeferred(); }), 1u) << "the directory only";
    }
    EXPECT_TRUE(entries().empty());
}

}  // namespace
