// The file replacer: the syncs each durability makes (counted by the
// writer's own counter), deferred files made durable by a later synced
// replace or by syncDeferred, and leftover temporary files looked for once
// per directory and removed before their destination is replaced.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "iec61850/durable_file.h"

namespace {

namespace fs = std::filesystem;
using iec61850::Durability;

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

}  // namespace
