// The JSON-RPC listener against an in-process HTTP server on loopback: its
// configuration, the request it posts, how it reports every kind of answer,
// and its sender (order, newest value per CLS, a server that never answers,
// a hostile server whose answer never ends or drips).
#include <gtest/gtest.h>
#include <syslog.h>

#include <filesystem>
#include <limits>
#include <thread>

#include "foundation/ModelLookup.h"
#include "internal/InternalInterfaceJSONRPC.h"
#include "model/StaticModel.h"
#include "tests/internal/EmsServer.h"
#include "tests/internal/HostileHttpServer.h"
#include "tests/support/RecordingCore.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

std::string requestBody(int cls, int64_t limit) {
    return R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[)" + std::to_string(cls) + "," +
           std::to_string(limit) + "]}";
}

class JsonRpcListenerTest : public testsupport::IecTest {
protected:
    JsonRpcListenerTest() : model(IedServer_create(getStaticIedModel())) {
        workDir.writeFile("/etc/iec/config/IECServer.conf", "plim_log_level=debug\n");
        core.iedServer = model;
    }
    ~JsonRpcListenerTest() override {
        listener.reset();
        IedServer_destroy(model);
    }

    void start(jsonrpc::HttpTimeouts timeouts = {500ms, 500ms}) {
        listener = std::make_unique<InternalInterfaceJSONRPC>(core, timeouts);
    }
    void startOnEms() {
        workDir.writeFile(InternalInterfaceJSONRPC::kConfigPath,
                          "jsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(ems.port()) + "\n");
        start();
    }
    void setActive(int cls, float mxVal, int32_t multiplier = 0) {
        const std::string ld = "CLS" + std::to_string(cls);
        IedServer_updateFloatAttributeValue(model, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "mxVal", "f"),
                                            mxVal);
        IedServer_updateInt32AttributeValue(
            model, findSubDataAttribute(ld, "ActPow_GGIO001", "AnOut1", "units", "multiplier"), multiplier);
    }
    bool awaitLog(int priority, const std::string& text) const {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!syslog.contains(priority, text)) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(5ms);
        }
        return true;
    }

    IedServer model;
    RecordingCore core;
    bustest::EmsServer ems;
    std::unique_ptr<InternalInterfaceJSONRPC> listener;
};

TEST_F(JsonRpcListenerTest, ConfigurationLines) {
    struct Row {
        const char* name;
        std::optional<std::string> file;  // nullopt: no file
        std::string host;
        int port;
        std::string stderrText;
    };
    const Row rows[] = {
        {"missing file", std::nullopt, "localhost", 5000,
         "Could not open JSONRPC_config.conf config file, using defaults"},
        {"spaces", " jsonrpcHost =  127.0.0.2 \n\tjsonrpcPort\t=  8080  \n", "127.0.0.2", 8080, ""},
        {"letters as port", "jsonrpcHost=127.0.0.2\njsonrpcPort=abc\n", "localhost", 5000,
         "Error parsing JSONRPC_config.conf: stoi"},
        {"port with a tail", "jsonrpcPort=8080abc\n", "localhost", 5000,
         "Error parsing JSONRPC_config.conf: jsonrpcPort is no TCP port: 8080abc"},
        {"port out of range", "jsonrpcPort=70000\n", "localhost", 5000,
         "Error parsing JSONRPC_config.conf: jsonrpcPort is no TCP port: 70000"},
        {"unknown key", "colour=blue\njsonrpcPort=8081\n", "localhost", 8081,
         "Unknown key in JSONRPC_config.conf: colour"},
        {"lines without a value", "jsonrpcPort\njsonrpcPort=\n\njsonrpcPort=8082\n", "localhost", 8082, ""},
        {"CRLF line ends", "jsonrpcHost=127.0.0.2\r\njsonrpcPort=8080\r\n", "127.0.0.2", 8080, ""},
        {"port with a sign", "jsonrpcPort=+8080\n", "localhost", 5000,
         "Error parsing JSONRPC_config.conf: jsonrpcPort is no TCP port: +8080"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove(workDir.path() / "etc/iec/config/JSONRPC.conf");
        if (row.file) workDir.writeFile(InternalInterfaceJSONRPC::kConfigPath, *row.file);
        testing::internal::CaptureStderr();
        start();
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(listener->serverHost(), row.host);
        EXPECT_EQ(listener->serverPort(), row.port);
        if (row.stderrText.empty()) {
            EXPECT_EQ(err, "");
        } else {
            EXPECT_NE(err.find(row.stderrText + "\n"), std::string::npos) << err;
        }
        EXPECT_EQ(core.listenerNames(), std::vector<std::string>{"callbackJSONRPC"});
        listener.reset();
        EXPECT_TRUE(core.listenerNames().empty());
    }
}

TEST_F(JsonRpcListenerTest, AConfigurationThatIsNoFileGivesTheDefaultsAndSaysWhy) {
    const auto path = workDir.path() / "etc/iec/config/JSONRPC.conf";
    for (const auto& c : testsupport::badFileCases()) {
        SCOPED_TRACE(c.name);
        testsupport::makeBadFile(c.kind, path, "jsonrpcPort=8080\n");
        testing::internal::CaptureStderr();
        testsupport::readsWithoutBlocking(path, [&] { start(); });
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(listener->serverPort(), 5000);
        EXPECT_NE(err.find("Could not open JSONRPC_config.conf config file, using defaults: " + path.string() + " " +
                           c.reason),
                  std::string::npos)
            << err;
        listener.reset();
    }
}

TEST_F(JsonRpcListenerTest, DebugModeReadsTheConfigurationBesideTheWorkingDirectory) {
    workDir.writeFile(InternalInterfaceJSONRPC::kConfigPath, "jsonrpcPort=8083\n");
    fs::create_directories(workDir.path() / "run");
    fs::current_path(workDir.path() / "run");
    core.debugMode = true;
    start();
    EXPECT_EQ(listener->serverPort(), 8083);
}

// Arrays nested depth deep.
std::string deep(size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST_F(JsonRpcListenerTest, EveryAnswerIsReportedAndTheRequestIsAlwaysTheSame) {
    ASSERT_TRUE(ems.running());
    startOnEms();
    using Answer = bustest::EmsServer::Answer;
    struct Row {
        const char* name;
        Answer answer;  // status 0: hold the answer past the answer's deadline
        int priority;
        std::string report;
    };
    const std::string sent = "InternalInterfaceJSONRPC -> Successfully sent values to server.";
    const std::string error = "InternalInterfaceJSONRPC -> Error sending values: ";
    const Row rows[] = {
        {"true", {200, R"({"jsonrpc":"2.0","id":1,"result":true})"}, LOG_INFO, sent},
        {"false", {200, R"({"jsonrpc":"2.0","id":1,"result":false})"}, LOG_WARNING,
         "InternalInterfaceJSONRPC -> Failed to send values to server."},
        {"500", {500, "oops"}, LOG_INFO, error + "-32003: client connector error, received status != 200"},
        {"no answer", {0, ""}, LOG_INFO, error + "-32003: client connector error, received status != 200"},
        {"error with data",
         {200, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"busy","data":{"retry":5}}})"}, LOG_INFO,
         error + "-32000: busy"},
        {"error without data", {200, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32601,"message":"Method not found"}})"},
         LOG_INFO, error + "-32601: Method not found"},
        {"wrong result type", {200, R"({"jsonrpc":"2.0","id":1,"result":"true"})"}, LOG_INFO,
         error + "-32603: invalid result type: [json.exception.type_error.302] type must be boolean, but is string"},
        {"not JSON", {200, "<html>busy</html>"}, LOG_INFO, error + "-32700: invalid JSON response from server"},
        // A hostile server: answers nested 100000 deep once crashed the sender
        // thread; the connector stops reading them at the size bound, and the
        // client refuses shallower deep ones by their depth.
        {"result 100000 deep", {200, R"({"jsonrpc":"2.0","id":1,"result":)" + deep(100000) + "}"}, LOG_INFO,
         error + "-32700: response exceeds the bound of 65536 bytes"},
        {"error data 100000 deep",
         {200, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"m","data":)" + deep(100000) + "}}"},
         LOG_INFO, error + "-32700: response exceeds the bound of 65536 bytes"},
        {"result 1000 deep", {200, R"({"jsonrpc":"2.0","id":1,"result":)" + deep(1000) + "}"}, LOG_INFO,
         error + "-32700: response nested deeper than 64 levels"},
        {"error data 1000 deep",
         {200, R"({"jsonrpc":"2.0","id":1,"error":{"code":-32000,"message":"m","data":)" + deep(1000) + "}}"},
         LOG_INFO, error + "-32700: response nested deeper than 64 levels"},
        {"result without id", {200, R"({"jsonrpc":"2.0","result":true})"}, LOG_INFO,
         error + "-32603: invalid server response: no id"},
        {"result with a null id", {200, R"({"jsonrpc":"2.0","id":null,"result":true})"}, LOG_INFO,
         error + "-32603: invalid server response: no id"},
    };
    setActive(1, 4200.9f, 3);
    size_t count = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        syslog.clear();
        if (row.answer.status == 0) {
            ems.hold();
        } else {
            ems.setAnswer([&row](const std::string&) { return row.answer; });
        }
        core.callListeners(1);
        ASSERT_TRUE(ems.waitForBodies(++count));
        EXPECT_EQ(ems.bodies().back(), requestBody(1, 4200));
        EXPECT_TRUE(awaitLog(row.priority, row.report)) << row.report;
        EXPECT_TRUE(syslog.contains(LOG_INFO, "InternalInterfaceJSONRPC -> Power Limit: 4200"));
        ems.release();
    }
}

TEST_F(JsonRpcListenerTest, TheBareValueIsSentTruncated) {
    startOnEms();
    struct Row {
        int cls;
        float mxVal;
        int32_t multiplier;
        std::optional<int64_t> sent;
    };
    const Row rows[] = {{1, 4200.9f, 0, 4200},
                        {2, 4200.9f, 3, 4200},
                        {2, -1.0f, 0, -1},
                        {3, -0.5f, 0, 0},
                        {4, std::numeric_limits<float>::quiet_NaN(), 0, std::nullopt},
                        {4, 1e30f, 0, std::nullopt}};
    size_t count = 0;
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "CLS" << row.cls << " " << row.mxVal);
        setActive(row.cls, row.mxVal, row.multiplier);
        core.callListeners(row.cls);
        if (row.sent) {
            ASSERT_TRUE(ems.waitForBodies(++count));
            EXPECT_EQ(ems.bodies().back(), requestBody(row.cls, *row.sent));
        } else {
            EXPECT_TRUE(syslog.contains(LOG_ERR, "InternalInterfaceJSONRPC -> Power Limit of CLS4 has no int64 value, not sent"));
        }
    }
    // The marker: nothing was posted for the refused values.
    setActive(1, 7.0f);
    core.callListeners(1);
    ASSERT_TRUE(ems.waitForBodies(++count));
    EXPECT_EQ(ems.bodies().back(), requestBody(1, 7));
    EXPECT_EQ(ems.bodies().size(), count);
}

TEST_F(JsonRpcListenerTest, WhileAPostIsPendingOnlyTheNewestValueOfEachClsWaits) {
    startOnEms();
    ems.hold();
    setActive(1, 100.0f);
    core.callListeners(1);
    ASSERT_TRUE(ems.waitForBodies(1));
    // The listener returns at once while the server holds the first post.
    for (auto [cls, value] : {std::pair{1, 200.0f}, {2, 300.0f}, {1, 400.0f}}) {
        setActive(cls, value);
        core.callListeners(cls);
    }
    ems.release();
    ASSERT_TRUE(ems.waitForBodies(3));
    EXPECT_EQ(ems.bodies(), (std::vector<std::string>{requestBody(1, 100), requestBody(1, 400), requestBody(2, 300)}));
    EXPECT_TRUE(awaitLog(LOG_INFO, "InternalInterfaceJSONRPC -> Successfully sent values to server."));
}

TEST_F(JsonRpcListenerTest, ARefusedConnectionIsReportedAndTheNextValueStillGoesOut) {
    const int closedPort = testsupport::freeLoopbackPort();
    workDir.writeFile(InternalInterfaceJSONRPC::kConfigPath, "jsonrpcHost=127.0.0.1\njsonrpcPort=" +
                                                                 std::to_string(closedPort) + "\n");
    start();
    setActive(2, 50.0f);
    core.callListeners(2);
    EXPECT_TRUE(awaitLog(LOG_INFO,
                         "InternalInterfaceJSONRPC -> Error sending values: -32003: client connector error, received "
                         "status != 200"));
}

TEST_F(JsonRpcListenerTest, GoingAwayCutsAPendingPostShort) {
    workDir.writeFile(InternalInterfaceJSONRPC::kConfigPath,
                      "jsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(ems.port()) + "\n");
    start({500ms, 60s});
    ems.hold();
    setActive(1, 1.0f);
    core.callListeners(1);
    ASSERT_TRUE(ems.waitForBodies(1));
    listener.reset();  // returns without waiting for the answer
    EXPECT_TRUE(core.listenerNames().empty());
}

using HostileMode = bustest::HostileHttpServer::Mode;

struct HostileRow {
    const char* name;
    HostileMode mode;
};

void PrintTo(const HostileRow& row, std::ostream* os) { *os << row.name; }

class JsonRpcHostileServerTest : public JsonRpcListenerTest, public ::testing::WithParamInterface<HostileRow> {};

// An answer that never ends once took the daemon's memory (endless header
// lines, a chunk-size line without end) or held the sender for as long as it
// dripped. Now the post fails at a bound of the answer, the listener logs
// that once, and the next value goes out.
TEST_P(JsonRpcHostileServerTest, APostFailsAtABoundWithOneLineAndTheNextValueGoesOut) {
    // The server would send 128 MiB; what the client took off it bounds what it held.
    bustest::HostileHttpServer hostile(128u << 20);
    ASSERT_TRUE(hostile.running());
    workDir.writeFile(InternalInterfaceJSONRPC::kConfigPath,
                      "jsonrpcHost=127.0.0.1\njsonrpcPort=" + std::to_string(hostile.port()) + "\n");
    start({500ms, 1000ms});
    const std::string failed =
        "InternalInterfaceJSONRPC -> Error sending values: -32003: client connector error, received status != 200";

    hostile.setMode(GetParam().mode);
    setActive(1, 100.0f);
    core.callListeners(1);
    ASSERT_TRUE(hostile.waitForPosts(1));
    const auto post = hostile.posts().at(0);
    EXPECT_EQ(post.body, requestBody(1, 100));
    EXPECT_TRUE(post.clientLeft);
    EXPECT_LT(post.bytesSent, size_t{32} << 20);
    EXPECT_TRUE(awaitLog(LOG_INFO, failed));

    hostile.setMode(HostileMode::Good);
    setActive(1, 200.0f);
    core.callListeners(1);
    ASSERT_TRUE(hostile.waitForPosts(2));
    EXPECT_EQ(hostile.posts().at(1).body, requestBody(1, 200));
    EXPECT_TRUE(awaitLog(LOG_INFO, "InternalInterfaceJSONRPC -> Successfully sent values to server."));
    EXPECT_EQ(syslog.count(failed), 1u);
    EXPECT_EQ(hostile.posts().size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, JsonRpcHostileServerTest,
    ::testing::Values(HostileRow{"endlessHeaderLines", HostileMode::EndlessHeaderLines},
                      HostileRow{"endlessLongHeaderLines", HostileMode::EndlessLongHeaderLines},
                      HostileRow{"endlessHeaderLine", HostileMode::EndlessHeaderLine},
                      HostileRow{"endlessStatusLine", HostileMode::EndlessStatusLine},
                      HostileRow{"endlessChunkSize", HostileMode::EndlessChunkSize},
                      HostileRow{"endlessChunkExtension", HostileMode::EndlessChunkExtension},
                      HostileRow{"endlessTrailerLines", HostileMode::EndlessTrailerLines},
                      HostileRow{"drip", HostileMode::Drip}),
    [](const ::testing::TestParamInfo<HostileRow>& info) { return std::string(info.param.name); });

}  // namespace
