// The file store keeps every client name inside its base directory and
// carries out the file operations there.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "iec61850/files/file_store.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using iec61850::files::DirectoryEntry;
using iec61850::files::FileStore;
using iec61850::files::IncomingFile;

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

}  // namespace
