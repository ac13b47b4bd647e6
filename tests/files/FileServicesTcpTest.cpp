// The file services end to end over loopback TCP: the reference exchange
// byte for byte and as tshark decodes it, refusals that keep the
// association, paging and chunking by the negotiated PDU size, and open
// files that go with their association.
#include <fcntl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "iec61850/files/file_codec.h"
#include "iec61850/files/file_services.h"
#include "iec61850/ied_server_internal.h"
#include "iec61850/mms/ber.h"
#include "iec61850/mms/mms_services.h"
#include "tests/files/ObtainClient.h"
#include "tests/files/WireCheck.h"
#include "tests/mms/MmsTestClient.h"
#include "tests/support/TestSupport.h"

namespace fs = std::filesystem;
using namespace iec61850::files;
using mmstest::Answer;
using mmstest::Bytes;
using mmstest::fromHex;
using mmstest::MmsTestClient;
using mmstest::ServerLoop;
using obtainclient::ClientFault;
using obtainclient::ObtainExchange;
using obtainclient::obtainFile;

namespace {

constexpr int64_t kAnchorModified = 1796897317;  // 2026-12-10 10:08:37 UTC
constexpr const char* kReferenceCapture = MMS_REFERENCE_DIR "/h-files.pcapng";
constexpr int kReferencePort = 10150;

// The MMS PDUs the reference server answered to the same four requests.
const char* const kReferenceAnswers[] = {
    "a134020101bf4d2ea02c302a3028a00c190a616e63686f722e747874a118800111811332303236313231303130303833372e3030305a",
    "a123020102bf481d800100a118800111811332303236313231303130303833372e3030305a",
    "a11c020103bf49168011616e63686f7220746573742066696c650a810100",
    "a1060201049f4a00",
};

IedModel* emptyModel() {
    static IedModel model{"TEST", nullptr, nullptr, nullptr, nullptr, nullptr, nullptr};
    return &model;
}

struct Refusals {
    std::mutex mutex;
    std::vector<std::string> asked;
};

// The daemon's rule: no rename, and "IEDSERVER.BIN" is never deleted.
MmsError daemonRule(void* parameter, MmsServerConnection, MmsFileServiceType service, const char* local,
                    const char* other) {
    auto* refusals = static_cast<Refusals*>(parameter);
    {
        std::lock_guard<std::mutex> lock(refusals->mutex);
        refusals->asked.push_back(std::to_string(service) + ":" + local + ":" + other);
    }
    if (service == MMS_FILE_ACCESS_TYPE_RENAME) return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    if (service == MMS_FILE_ACCESS_TYPE_DELETE && std::strcmp(local, "IEDSERVER.BIN") == 0) {
        return MMS_ERROR_FILE_FILE_ACCESS_DENIED;
    }
    return MMS_ERROR_NONE;
}

Bytes name(const std::string& text) { return encodeFileDeleteRequest(text); }

class FileServicesTcpTest : public testsupport::IecTest {
protected:
    void SetUp() override {
        workDir.writeFile("uploaded_files/anchor.txt", "anchor test file\n");
        struct timespec times[2] = {{0, UTIME_OMIT}, {kAnchorModified, 0}};
        ASSERT_EQ(::utimensat(AT_FDCWD, "uploaded_files/anchor.txt", times, 0), 0);

        server = IedServer_create(emptyModel());
        ASSERT_NE(server, nullptr);
        IedServer_setFilestoreBasepath(server, "./uploaded_files/");
        MmsServer_installFileAccessHandler(IedServer_getMmsServer(server), daemonRule, &refusals);
        MmsFileServices_install(server);
        port = testsupport::freeLoopbackPort();
        ASSERT_TRUE(MmsServer_startListening(server, port));
        loop = std::make_unique<ServerLoop>(server);
    }
    void TearDown() override {
        loop.reset();
        if (server != nullptr) IedServer_destroy(server);
    }

    Answer ask(MmsTestClient& client, unsigned service, const Bytes& content, bool constructed = true) {
        auto answer = client.request(service, content, constructed);
        EXPECT_TRUE(answer.has_value()) << "service " << service;
        return answer.value_or(Answer{});
    }

    // Stops the server thread and runs the loop here until the server holds
    // no open file (or a second has passed).
    size_t openFilesAfterTheServerCatchesUp() {
        loop.reset();
        FileServices& services = fileServicesOf(server);
        for (int pass = 0; pass < 100 && services.openFileCount() > 0; ++pass) {
            IedServer_waitReady(server, 10);
            IedServer_processIncomingData(server);
            IedServer_performPeriodicTasks(server);
        }
        return services.openFileCount();
    }

    IedServer server = nullptr;
    std::unique_ptr<ServerLoop> loop;
    Refusals refusals;
    int port = 0;
};

TEST_F(FileServicesTcpTest, ReferenceExchangeComesOutAlikeAndRefusalsKeepTheAssociation) {
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port));

    // Directory, open, read and close of "anchor.txt", as in the reference.
    EXPECT_EQ(ask(client, MMS_SERVICE_FILE_DIRECTORY, {}).pdu, fromHex(kReferenceAnswers[0]));
    EXPECT_EQ(ask(client, MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"anchor.txt", 0})).pdu,
              fromHex(kReferenceAnswers[1]));
    EXPECT_EQ(ask(client, MMS_SERVICE_FILE_READ, encodeFrsmId(0), false).pdu, fromHex(kReferenceAnswers[2]));
    EXPECT_EQ(ask(client, MMS_SERVICE_FILE_CLOSE, encodeFrsmId(0), false).pdu, fromHex(kReferenceAnswers[3]));

    workDir.writeFile("uploaded_files/IEDSERVER.BIN", "image");
    workDir.writeFile("uploaded_files/iedserver.bin", "copy");

    struct Case {
        unsigned service;
        Bytes content;
        int errorCode;  // -1: carried out
    };
    const int denied = MMS_ERROR_FILE_FILE_ACCESS_DENIED - MMS_ERROR_FILE_OTHER;
    const Case cases[] = {
        {MMS_SERVICE_FILE_DELETE, name("IEDSERVER.BIN"), denied},
        {MMS_SERVICE_FILE_DELETE, name("iedserver.bin"), -1},
        {MMS_SERVICE_FILE_RENAME, encodeFileRenameRequest({"anchor.txt", "moved.txt"}), denied},
        {MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"../x", 0}), denied},
        {MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"/etc/passwd", 0}), denied},
        {MMS_SERVICE_FILE_DELETE, name("../x"), denied},
        {MMS_SERVICE_FILE_DIRECTORY, encodeFileDirectoryRequest({"/etc", std::nullopt}), denied},
    };
    for (const auto& c : cases) {
        Answer answer = ask(client, c.service, c.content);
        if (c.errorCode < 0) {
            EXPECT_EQ(answer.pduTag, 1u) << mmstest::toHex(c.content);
        } else {
            EXPECT_EQ(answer.pduTag, 2u) << mmstest::toHex(c.content);
            EXPECT_EQ(answer.errorClass, kErrorClassFile);
            EXPECT_EQ(answer.errorCode, c.errorCode);
        }
    }
    EXPECT_TRUE(fs::exists("uploaded_files/IEDSERVER.BIN"));
    EXPECT_FALSE(fs::exists("uploaded_files/iedserver.bin"));
    EXPECT_TRUE(fs::exists("uploaded_files/anchor.txt"));
    EXPECT_EQ(ask(client, MMS_SERVICE_FILE_DIRECTORY, {}).pduTag, 1u) << "still associated";
    EXPECT_TRUE(client.release());

    {
        std::lock_guard<std::mutex> lock(refusals.mutex);
        EXPECT_EQ(refusals.asked[0], "0::");
        EXPECT_EQ(refusals.asked[1], "1:anchor.txt:");
        EXPECT_EQ(refusals.asked[4], "4:anchor.txt:moved.txt");
        EXPECT_EQ(refusals.asked[6], "1:/etc/passwd:");
    }

    // The same exchange through tshark: nothing malformed, and the MMS trees
    // of the four requests and answers read as the reference's do.
    filetest::Decoded ours = filetest::decodeSession(client.transcript(), port, workDir.path());
    ASSERT_TRUE(ours.ran) << "tshark did not run";
    EXPECT_EQ(filetest::problems(ours), std::vector<std::string>{});
    filetest::Decoded reference = filetest::decodeCapture(kReferenceCapture, kReferencePort);
    ASSERT_GE(reference.mms.size(), 10u);
    ASSERT_GE(ours.mms.size(), 10u);
    for (size_t i = 2; i < 10; ++i) EXPECT_EQ(ours.mms[i], reference.mms[i]) << "MMS frame " << i;
    // (tshark spells the error "file-acces-denied".)
    for (const char* field : {"fileDelete", "fileRename", "file: file-acces-denied (6)"}) {
        EXPECT_NE(ours.fullText.find(field), std::string::npos) << field;
    }
}

TEST_F(FileServicesTcpTest, PagesAndChunksFitTheNegotiatedPduSize) {
    std::vector<std::string> expected;
    for (int i = 0; i < 120; ++i) {
        std::string file = "log" + std::to_string(100 + i) + ".csv";
        workDir.writeFile("uploaded_files/logs/" + file, "x");
        expected.push_back("logs/" + file);
    }
    const std::string big(5000, 'b');
    workDir.writeFile("uploaded_files/big.bin", big);

    constexpr int32_t kPduSize = 1000;
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port, kPduSize));

    std::vector<std::string> seen;
    std::optional<std::string> continueAfter;
    for (int page = 0; page < 100; ++page) {
        Answer answer = ask(client, MMS_SERVICE_FILE_DIRECTORY, encodeFileDirectoryRequest({"logs", continueAfter}));
        ASSERT_EQ(answer.pduTag, 1u);
        EXPECT_LE(answer.pdu.size(), static_cast<size_t>(kPduSize));
        FileDirectoryResponse listed;
        ASSERT_EQ(decodeFileDirectoryResponse(answer.content, listed), DecodeStatus::Ok);
        for (const auto& entry : listed.entries) seen.push_back(entry.name);
        if (!listed.moreFollows) break;
        continueAfter = listed.entries.back().name;
    }
    EXPECT_EQ(seen, expected);

    Answer opened = ask(client, MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"big.bin", 0}));
    FileOpenResponse open;
    ASSERT_EQ(decodeFileOpenResponse(opened.content, open), DecodeStatus::Ok);
    EXPECT_EQ(open.attributes.size, big.size());
    std::string data;
    size_t reads = 0;
    for (bool more = true; more && reads < 100; ++reads) {
        Answer answer = ask(client, MMS_SERVICE_FILE_READ, encodeFrsmId(open.frsmId), false);
        EXPECT_LE(answer.pdu.size(), static_cast<size_t>(kPduSize));
        FileReadResponse chunk;
        ASSERT_EQ(decodeFileReadResponse(answer.content, chunk), DecodeStatus::Ok);
        data.append(chunk.data.begin(), chunk.data.end());
        more = chunk.moreFollows;
    }
    EXPECT_EQ(data, big);
    EXPECT_EQ(reads, 6u) << "974 octets a chunk";

    filetest::Decoded ours = filetest::decodeSession(client.transcript(), port, workDir.path());
    ASSERT_TRUE(ours.ran);
    EXPECT_EQ(filetest::problems(ours), std::vector<std::string>{});
}

TEST_F(FileServicesTcpTest, OpenFilesCloseWhenTheAssociationEnds) {
    MmsTestClient released, dropped;
    ASSERT_TRUE(released.associate(port));
    ASSERT_TRUE(dropped.associate(port));
    for (MmsTestClient* client : {&released, &dropped}) {
        EXPECT_EQ(ask(*client, MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"anchor.txt", 0})).pduTag, 1u);
        EXPECT_EQ(ask(*client, MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"anchor.txt", 0})).pduTag, 1u);
    }
    EXPECT_TRUE(released.release());
    dropped.close();
    EXPECT_EQ(openFilesAfterTheServerCatchesUp(), 0u);
}

// ObtainFile over a real association as the file services install it: the
// Initiate answer offers the service, the server pulls the file with
// FileOpen, FileRead and FileClose requests of its own, and the answer to
// the client's request comes after the close, also when it is an error.
TEST_F(FileServicesTcpTest, ObtainFilePullsTheFileOverTheSameAssociation) {
    const std::string file = std::string(3000, 'o') + "end of the client's file";
    MmsTestClient client;
    ASSERT_TRUE(client.associate(port, 1200));
    EXPECT_TRUE(client.supportsService(MMS_SERVICE_OBTAIN_FILE));
    EXPECT_TRUE(client.supportsService(MMS_SERVICE_FILE_OPEN));

    ObtainExchange exchange;
    obtainFile(client, {"client/settings.cfg", "settings.cfg"}, file, ClientFault::None, exchange);
    ASSERT_TRUE(exchange.answer.has_value());
    EXPECT_EQ(exchange.answer->pduTag, 1u);
    EXPECT_EQ(exchange.answer->serviceTag, MMS_SERVICE_OBTAIN_FILE);
    EXPECT_TRUE(exchange.closedBeforeAnswer) << "answered before the client's file was closed";
    EXPECT_EQ(exchange.asked,
              (std::vector<unsigned>{MMS_SERVICE_FILE_OPEN, MMS_SERVICE_FILE_READ, MMS_SERVICE_FILE_READ,
                                     MMS_SERVICE_FILE_READ, MMS_SERVICE_FILE_READ, MMS_SERVICE_FILE_CLOSE}));
    EXPECT_EQ(workDir.readFile("uploaded_files/settings.cfg"), file);
    {
        std::lock_guard<std::mutex> lock(refusals.mutex);
        EXPECT_EQ(refusals.asked.back(), "2:settings.cfg:client/settings.cfg");
    }

    // A client that cannot open its file gets the error as the answer.
    ObtainExchange refused;
    obtainFile(client, {"client/missing.cfg", "missing.cfg"}, file, ClientFault::RefuseOpen, refused);
    ASSERT_TRUE(refused.answer.has_value());
    EXPECT_EQ(refused.answer->pduTag, 2u);
    EXPECT_EQ(refused.answer->errorClass, kErrorClassFile);
    EXPECT_EQ(refused.answer->errorCode, MMS_ERROR_FILE_FILE_NON_EXISTENT - MMS_ERROR_FILE_OTHER);
    EXPECT_EQ(refused.asked, std::vector<unsigned>{MMS_SERVICE_FILE_OPEN});
    EXPECT_FALSE(fs::exists("uploaded_files/missing.cfg"));
    EXPECT_TRUE(client.release());

    filetest::Decoded ours = filetest::decodeSession(client.transcript(), port, workDir.path());
    ASSERT_TRUE(ours.ran);
    EXPECT_EQ(filetest::problems(ours), std::vector<std::string>{});
    for (const char* field : {"obtainFile", "fileOpen", "fileRead", "fileClose"}) {
        EXPECT_NE(ours.fullText.find(field), std::string::npos) << field;
    }
}

// A client that goes away in the middle of a transfer leaves no file, and
// the server goes on serving.
TEST_F(FileServicesTcpTest, ObtainFileOfAClientThatGoesAwayLeavesNothing) {
    MmsTestClient dropped;
    ASSERT_TRUE(dropped.associate(port, 1200));
    ObtainExchange exchange;
    obtainFile(dropped, {"client/big.bin", "big.bin"}, std::string(5000, 'z'), ClientFault::DropAfterFirstRead,
               exchange);
    EXPECT_FALSE(exchange.answer.has_value());
    EXPECT_EQ(exchange.asked, (std::vector<unsigned>{MMS_SERVICE_FILE_OPEN, MMS_SERVICE_FILE_READ}));

    MmsTestClient next;
    ASSERT_TRUE(next.associate(port));
    EXPECT_EQ(ask(next, MMS_SERVICE_FILE_DIRECTORY, {}).pduTag, 1u);
    EXPECT_TRUE(next.release());
    std::vector<std::string> left;
    for (const auto& entry : fs::directory_iterator("uploaded_files")) left.push_back(entry.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"anchor.txt"});
}

// The server opens its base directory when it starts. A base replaced by a
// symbolic link while it runs (which needs write access to the data
// directory) moves nothing: listings, reads, uploads and deletions of an
// unauthenticated client stay in the directory the server opened, and the
// link's target is neither read nor written.
TEST_F(FileServicesTcpTest, BaseReplacedByALinkWhileRunningMovesNothing) {
    workDir.writeFile("elsewhere/bait.txt", "not served");
    fs::rename("uploaded_files", "uploaded_files.real");
    fs::create_symlink(workDir.path() / "elsewhere", "uploaded_files");

    MmsTestClient client;
    ASSERT_TRUE(client.associate(port, 1200));
    Answer listed = ask(client, MMS_SERVICE_FILE_DIRECTORY, {});
    ASSERT_EQ(listed.pduTag, 1u);
    FileDirectoryResponse listing;
    ASSERT_EQ(decodeFileDirectoryResponse(listed.content, listing), DecodeStatus::Ok);
    ASSERT_EQ(listing.entries.size(), 1u);
    EXPECT_EQ(listing.entries[0].name, "anchor.txt");

    Answer bait = ask(client, MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"bait.txt", 0}));
    EXPECT_EQ(bait.pduTag, 2u);
    EXPECT_EQ(bait.errorCode, MMS_ERROR_FILE_FILE_NON_EXISTENT - MMS_ERROR_FILE_OTHER);
    Answer anchor = ask(client, MMS_SERVICE_FILE_OPEN, encodeFileOpenRequest({"anchor.txt", 0}));
    EXPECT_EQ(anchor.pduTag, 1u);

    ObtainExchange exchange;
    obtainFile(client, {"client/up.cfg", "up.cfg"}, "uploaded", ClientFault::None, exchange);
    ASSERT_TRUE(exchange.answer.has_value());
    EXPECT_EQ(exchange.answer->pduTag, 1u);
    EXPECT_EQ(ask(client, MMS_SERVICE_FILE_DELETE, name("anchor.txt")).pduTag, 1u);
    EXPECT_TRUE(client.release());

    // Every answer has come, so the server has done all it will do.
    EXPECT_EQ(workDir.readFile("uploaded_files.real/up.cfg"), "uploaded");
    EXPECT_FALSE(fs::exists("uploaded_files.real/anchor.txt"));
    std::vector<std::string> there;
    for (const auto& entry : fs::directory_iterator("elsewhere")) there.push_back(entry.path().filename());
    EXPECT_EQ(there, std::vector<std::string>{"bait.txt"});
    EXPECT_EQ(workDir.readFile("elsewhere/bait.txt"), "not served");
}

}  // namespace
