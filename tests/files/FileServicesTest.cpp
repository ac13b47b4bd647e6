// The file services on encoded request contents: the access handler's
// verdicts, the library's own refusals, paging, chunked reads and the file
// table of each association.
#include <syslog.h>

#include <cstring>
#include <filesystem>
#include <set>

#include "iec61850/files/file_codec.h"
#include "iec61850/files/file_services.h"
#include "iec61850/core/log.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using namespace iec61850::files;

namespace {

struct HandlerCall {
    MmsFileServiceType service;
    std::string local;
    std::string other;
};

// The daemon's rule: no rename, and "IEDSERVER.BIN" is never deleted.
MmsError daemonRule(void* parameter, MmsServerConnection, MmsFileServiceType service, const char* local,
                    const char* other) {
    static_cast<std::vector<HandlerCall>*>(parameter)->push_back({service, local, other});
    if (service == MMS_FILE_ACCESS_TYPE_RENAME) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    if (service == MMS_FILE_ACCESS_TYPE_DELETE && std::strcmp(local, "IEDSERVER.BIN") == 0) {
        return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    }
    return MMS_ERROR_NONE;
}

std::vector<uint8_t> fileName(const std::string& name) { return encodeFileDeleteRequest(name); }

class FileServicesTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        workDir.writeFile("uploaded_files/IEDSERVER.BIN", "firmware");
        workDir.writeFile("uploaded_files/iedserver.bin", "copy");
        workDir.writeFile("uploaded_files/report.txt", content);
        workDir.writeFile("outside.txt", "not served");
    }

    MmsServiceContext context(int association = 0, uint32_t maxPduSize = 65000) {
        return {nullptr, reinterpret_cast<sMmsServerConnection*>(&associations[association]), 1, maxPduSize};
    }

    MmsServiceResult open(const std::string& name, MmsServiceContext ctx) {
        return services.fileOpen(ctx, encodeFileOpenRequest({name, 0}), true);
    }

    // Reads an open file to its end; the chunks joined.
    std::string readAll(int32_t frsm, MmsServiceContext ctx, size_t* chunks) {
        std::string data;
        *chunks = 0;
        for (;;) {
            auto result = services.fileRead(ctx, encodeFrsmId(frsm), false);
            EXPECT_EQ(result.kind, MmsServiceResult::Kind::Response);
            FileReadResponse read;
            EXPECT_EQ(decodeFileReadResponse(result.content, read), DecodeStatus::Ok);
            EXPECT_LE(read.data.size() + kFileReadResponseOverhead, ctx.maxPduSize);
            data.append(read.data.begin(), read.data.end());
            ++*chunks;
            if (!read.moreFollows || result.kind != MmsServiceResult::Kind::Response) return data;
        }
    }

    int32_t frsmOf(const MmsServiceResult& result) {
        FileOpenResponse response;
        EXPECT_EQ(decodeFileOpenResponse(result.content, response), DecodeStatus::Ok);
        return response.frsmId;
    }

    const std::string content = std::string(1000, 'r') + "end";
    std::string basePath = "./uploaded_files/";
    FileServices services{basePath};
    std::vector<HandlerCall> calls;
    int associations[2] = {};
};

enum class Service { Directory, Open, Delete, Rename };

TEST_F(FileServicesTest, EachServiceGetsTheHandlersOrTheLibrarysVerdict) {
    services.setAccessHandler(daemonRule, &calls);
    struct Case {
        Service service;
        std::string name;
        std::string other;
        int errorCode;  // -1: carried out; else the FileError code
    };
    const int denied = MMS_ERROR_FILE_FILE_ACCESS_DENIED - MMS_ERROR_FILE_OTHER;
    const int missing = MMS_ERROR_FILE_FILE_NON_EXISTENT - MMS_ERROR_FILE_OTHER;
    const Case cases[] = {
        {Service::Directory, "", "", -1},
        {Service::Directory, "../", "", denied},
        {Service::Open, "report.txt", "", -1},
        {Service::Open, "../outside.txt", "", denied},
        {Service::Open, "/etc/passwd", "", denied},
        {Service::Open, "nothing.txt", "", missing},
        {Service::Delete, "IEDSERVER.BIN", "", denied},
        {Service::Delete, "iedserver.bin", "", -1},
        {Service::Delete, "../x", "", denied},
        {Service::Delete, "/etc/passwd", "", denied},
        {Service::Rename, "report.txt", "renamed.txt", denied},
    };
    for (const auto& c : cases) {
        auto ctx = context();
        MmsServiceResult result;
        switch (c.service) {
            case Service::Directory:
                result = services.fileDirectory(ctx, encodeFileDirectoryRequest({c.name, std::nullopt}), true);
                break;
            case Service::Open: result = open(c.name, ctx); break;
            case Service::Delete: result = services.fileDelete(ctx, fileName(c.name), true); break;
            case Service::Rename:
                result = services.fileRename(ctx, encodeFileRenameRequest({c.name, c.other}), true);
                break;
        }
        if (c.errorCode < 0) {
            EXPECT_EQ(result.kind, MmsServiceResult::Kind::Response) << c.name;
        } else {
            EXPECT_EQ(result.kind, MmsServiceResult::Kind::Error) << c.name;
            EXPECT_EQ(result.errorClass, kErrorClassFile) << c.name;
            EXPECT_EQ(result.errorCode, c.errorCode) << c.name;
        }
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.back().local, c.name) << "the handler sees the name as sent";
        EXPECT_EQ(calls.back().other, c.other);
    }
    EXPECT_TRUE(fs::exists("uploaded_files/IEDSERVER.BIN"));
    EXPECT_FALSE(fs::exists("uploaded_files/iedserver.bin"));
    EXPECT_TRUE(fs::exists("uploaded_files/report.txt"));
    EXPECT_TRUE(fs::exists("outside.txt"));
    EXPECT_EQ(calls[0].service, MMS_FILE_ACCESS_TYPE_READ_DIRECTORY);
    EXPECT_EQ(calls[2].service, MMS_FILE_ACCESS_TYPE_OPEN);
    EXPECT_EQ(calls[6].service, MMS_FILE_ACCESS_TYPE_DELETE);
    EXPECT_EQ(calls[10].service, MMS_FILE_ACCESS_TYPE_RENAME);
}

TEST_F(FileServicesTest, WithoutHandlerEverythingInsideIsAllowed) {
    auto ctx = context();
    EXPECT_EQ(services.fileRename(ctx, encodeFileRenameRequest({"report.txt", "renamed.txt"}), true).kind,
              MmsServiceResult::Kind::Response);
    EXPECT_EQ(services.fileDelete(ctx, fileName("IEDSERVER.BIN"), true).kind, MmsServiceResult::Kind::Response);
    EXPECT_EQ(workDir.readFile("uploaded_files/renamed.txt"), content);
    EXPECT_EQ(services.fileDelete(ctx, fileName("../outside.txt"), true).errorCode,
              MMS_ERROR_FILE_FILE_ACCESS_DENIED - MMS_ERROR_FILE_OTHER);
    EXPECT_TRUE(fs::exists("outside.txt"));
}

TEST_F(FileServicesTest, MalformedRequestsAreRejectedNotDropped) {
    auto ctx = context();
    const std::vector<uint8_t> garbage = {0xa0, 0x05, 0x19};
    EXPECT_EQ(services.fileOpen(ctx, garbage, true).kind, MmsServiceResult::Kind::Reject);
    EXPECT_EQ(services.fileDirectory(ctx, garbage, true).kind, MmsServiceResult::Kind::Reject);
    EXPECT_EQ(services.fileDelete(ctx, garbage, true).kind, MmsServiceResult::Kind::Reject);
    EXPECT_EQ(services.fileRename(ctx, garbage, true).kind, MmsServiceResult::Kind::Reject);
    EXPECT_EQ(services.fileRead(ctx, {}, false).kind, MmsServiceResult::Kind::Reject);
    EXPECT_EQ(services.fileClose(ctx, garbage, true).kind, MmsServiceResult::Kind::Reject);
    const std::vector<uint8_t> newline = {0x19, 0x02, 'a', '\n'};
    auto badName = services.fileDelete(ctx, newline, true);
    EXPECT_EQ(badName.kind, MmsServiceResult::Kind::Error);
    EXPECT_EQ(badName.errorCode, MMS_ERROR_FILE_FILENAME_SYNTAX_ERROR - MMS_ERROR_FILE_OTHER);
}

TEST_F(FileServicesTest, ReadsComeInChunksOfThePduSize) {
    for (uint32_t pduSize : {65000u, 200u, 27u}) {
        auto ctx = context(0, pduSize);
        auto opened = open("report.txt", ctx);
        ASSERT_EQ(opened.kind, MmsServiceResult::Kind::Response);
        int32_t frsm = frsmOf(opened);
        size_t chunks = 0;
        EXPECT_EQ(readAll(frsm, ctx, &chunks), content) << pduSize;
        size_t chunkSize = pduSize - kFileReadResponseOverhead;
        EXPECT_EQ(chunks, (content.size() + chunkSize - 1) / chunkSize) << pduSize;
        EXPECT_EQ(services.fileClose(ctx, encodeFrsmId(frsm), false).kind, MmsServiceResult::Kind::Response);
        EXPECT_EQ(services.fileClose(ctx, encodeFrsmId(frsm), false).kind, MmsServiceResult::Kind::Error);
    }
}

TEST_F(FileServicesTest, OpenFilesBelongToTheirAssociationUntilItEnds) {
    auto first = context(0);
    auto second = context(1);
    std::vector<int32_t> ids;
    for (size_t i = 0; i < kMaxOpenFilesPerAssociation; ++i) {
        auto opened = open("report.txt", first);
        ASSERT_EQ(opened.kind, MmsServiceResult::Kind::Response);
        ids.push_back(frsmOf(opened));
    }
    EXPECT_EQ(std::set<int32_t>(ids.begin(), ids.end()).size(), ids.size());
    auto full = open("report.txt", first);
    EXPECT_EQ(full.kind, MmsServiceResult::Kind::Error);
    EXPECT_EQ(full.errorClass, kErrorClassResource);

    EXPECT_EQ(services.fileRead(second, encodeFrsmId(ids[0]), false).kind, MmsServiceResult::Kind::Error)
        << "another association cannot read the file";
    EXPECT_EQ(open("report.txt", second).kind, MmsServiceResult::Kind::Response);

    services.connectionClosed(first.connection);
    EXPECT_EQ(services.openFileCount(first.connection), 0u);
    EXPECT_EQ(services.openFileCount(second.connection), 1u);
    EXPECT_EQ(services.fileRead(first, encodeFrsmId(ids[0]), false).kind, MmsServiceResult::Kind::Error);
}

std::vector<testsupport::SyslogRecord>& libraryRecords() {
    static std::vector<testsupport::SyslogRecord> records;
    return records;
}

// The library's records reach the handler the application installs, cut to
// the record size when the client's name is long; without a handler they go
// to syslog again.
TEST_F(FileServicesTest, RefusalsAreLoggedThroughTheInstalledHandler) {
    libraryRecords().clear();
    Iec61850_setLogHandler([](int priority, const char* text) { libraryRecords().push_back({priority, text}); });
    const std::string longName = "../" + std::string(2000, 'n');
    auto ctx = context();
    for (const std::string& name : {std::string("../x"), longName}) {
        EXPECT_EQ(services.fileDelete(ctx, fileName(name), true).kind, MmsServiceResult::Kind::Error);
    }
    Iec61850_setLogHandler(nullptr);
    EXPECT_EQ(services.fileDelete(ctx, fileName("../y"), true).kind, MmsServiceResult::Kind::Error);

    const auto& records = libraryRecords();
    ASSERT_EQ(records.size(), 2u);
    const std::string denied = std::to_string(static_cast<int>(MMS_ERROR_FILE_FILE_ACCESS_DENIED));
    EXPECT_EQ(records[0].priority, LOG_NOTICE);
    EXPECT_EQ(records[0].text, "MMS files: FileDelete of \"../x\" refused (" + denied + ")");
    EXPECT_EQ(records[1].text.size(), iec61850::kLogRecordSize - 1);
    EXPECT_EQ(records[1].text, ("MMS files: FileDelete of \"" + longName).substr(0, iec61850::kLogRecordSize - 1));
}

TEST_F(FileServicesTest, LargeDirectoryIsPagedWithContinueAfter) {
    std::vector<std::string> expected;
    for (int i = 0; i < 300; ++i) {
        std::string name = "file" + std::to_string(1000 + i) + ".dat";
        workDir.writeFile("uploaded_files/many/" + name, std::string(i, 'x'));
        expected.push_back("many/" + name);
    }
    auto ctx = context(0, 1000);
    std::vector<std::string> seen;
    std::optional<std::string> continueAfter;
    size_t pages = 0;
    for (;;) {
        auto result = services.fileDirectory(ctx, encodeFileDirectoryRequest({"many", continueAfter}), true);
        ASSERT_EQ(result.kind, MmsServiceResult::Kind::Response);
        EXPECT_LE(result.content.size() + kDirectoryResponseOverhead, ctx.maxPduSize);
        FileDirectoryResponse page;
        ASSERT_EQ(decodeFileDirectoryResponse(result.content, page), DecodeStatus::Ok);
        ASSERT_FALSE(page.entries.empty());
        ++pages;
        for (const auto& entry : page.entries) {
            seen.push_back(entry.name);
            EXPECT_EQ(entry.attributes.size, std::stoul(entry.name.substr(9, 4)) - 1000) << entry.name;
        }
        if (!page.moreFollows) break;
        continueAfter = page.entries.back().name;
        ASSERT_LT(pages, 300u);
    }
    EXPECT_EQ(seen, expected);
    EXPECT_GT(pages, 5u);

    // A name that no longer exists still continues at its place.
    auto result = services.fileDirectory(ctx, encodeFileDirectoryRequest({"many", "many/file1149.dat5"}), true);
    FileDirectoryResponse page;
    ASSERT_EQ(decodeFileDirectoryResponse(result.content, page), DecodeStatus::Ok);
    ASSERT_FALSE(page.entries.empty());
    EXPECT_EQ(page.entries.front().name, "many/file1150.dat");
}

}  // namespace
