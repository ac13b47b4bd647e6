// The HTTP connector against a hostile loopback server: every answer that
// would not end (header lines, one line, a chunk-size line, trailer lines)
// or that drips is given up at its bound, with the bound named, long before
// the server runs out of bytes; the next post then goes through.
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>

#include "jsonrpc/CppHttpLibClientConnector.h"
#include "jsonrpc/JsonRpcException.h"
#include "tests/internal/EmsServer.h"
#include "tests/internal/HostileHttpServer.h"

namespace {

using namespace std::chrono_literals;
using Mode = bustest::HostileHttpServer::Mode;

constexpr const char* kRequest = R"({"id":1,"jsonrpc":"2.0","method":"updateEnergyData","params":[1,4200]})";
constexpr const char* kStatusError = "-32003: client connector error, received status != 200";
// An endless answer sends 128 MiB. What the client took off the server
// bounds what it can hold; the kernel's socket buffers on loopback take a few
// MiB of their own.
constexpr size_t kHostileBytes = 128u << 20;
constexpr size_t kTakenAtMost = 32u << 20;

jsonrpc::HttpAnswerBounds answerBytesAtMost(size_t bytes) {
    jsonrpc::HttpAnswerBounds bounds;
    bounds.maxAnswerBytes = bytes;
    return bounds;
}

struct HostileCase {
    const char* name;
    Mode mode;
    std::string why;  // the exception's data: which bound the answer passed (its start)
    jsonrpc::HttpAnswerBounds bounds = {};
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileAnswerTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileAnswerTest, IsGivenUpAtItsBoundAndTheNextPostGoesThrough) {
    const HostileCase& c = GetParam();
    bustest::HostileHttpServer server(kHostileBytes);
    ASSERT_TRUE(server.running());
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", server.port(), {1000ms, 1000ms},
                                                 jsonrpc::ResponseBounds{}.maxBytes, c.bounds);

    server.setMode(c.mode);
    try {
        connector.Send(kRequest);
        ADD_FAILURE() << "the hostile answer was taken";
    } catch (const jsonrpc::JsonRpcException& e) {
        EXPECT_STREQ(e.what(), kStatusError);
        ASSERT_TRUE(e.Data().is_string()) << e.Data();
        EXPECT_TRUE(e.Data().get<std::string>().starts_with(c.why)) << e.Data();
    }
    ASSERT_TRUE(server.waitForPosts(1));
    const auto hostile = server.posts().at(0);
    EXPECT_EQ(hostile.body, kRequest);
    EXPECT_TRUE(hostile.clientLeft);
    EXPECT_LT(hostile.bytesSent, kTakenAtMost);

    server.setMode(Mode::Good);
    EXPECT_EQ(connector.Send(kRequest), R"({"jsonrpc":"2.0","id":1,"result":true})");
    ASSERT_TRUE(server.waitForPosts(2));
    EXPECT_FALSE(server.posts().at(1).clientLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Answers, HostileAnswerTest,
    ::testing::Values(
        HostileCase{"endlessHeaderLines", Mode::EndlessHeaderLines, "answer has more than 100 header lines"},
        HostileCase{"endlessLongHeaderLines", Mode::EndlessLongHeaderLines,
                    "header lines of the answer exceed the bound of 16384 bytes"},
        HostileCase{"endlessHeaderLine", Mode::EndlessHeaderLine, "a line of the answer exceeds 8192 bytes"},
        HostileCase{"endlessStatusLine", Mode::EndlessStatusLine, "a line of the answer exceeds 8192 bytes"},
        HostileCase{"endlessChunkSize", Mode::EndlessChunkSize, "a line of the answer exceeds 8192 bytes"},
        HostileCase{"endlessChunkExtension", Mode::EndlessChunkExtension, "a line of the answer exceeds 8192 bytes"},
        HostileCase{"endlessTrailerLines", Mode::EndlessTrailerLines, "answer has more than 100 header lines"},
        // Chunk framing counts against all the answer may bring.
        HostileCase{"framingPastTheAnswerBytes", Mode::EndlessChunkExtension, "answer exceeds the bound of 4096 bytes",
                    answerBytesAtMost(4096)},
        HostileCase{"drip", Mode::Drip, "no whole answer within 1000 ms"}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

std::string lines(const std::string& line, size_t count) {
    std::string text;
    for (size_t i = 0; i < count; ++i) text += line;
    return text;
}

struct GivenCase {
    const char* name;
    std::string answer;  // raw, sent whole
    std::string body;    // what Send returns when taken
    std::string why;     // else the start of the exception's data
};

void PrintTo(const GivenCase& c, std::ostream* os) { *os << c.name; }

class GivenAnswerTest : public ::testing::TestWithParam<GivenCase> {};

// Answers that end: well-formed ones in the less common shapes are taken
// whole; the bounds hold over all of an answer's sections, not one at a time.
TEST_P(GivenAnswerTest, IsTakenOrRefusedByItsBounds) {
    const GivenCase& c = GetParam();
    bustest::HostileHttpServer server;
    ASSERT_TRUE(server.running());
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", server.port(), {1000ms, 1000ms});
    server.setAnswer(c.answer);
    server.setMode(Mode::Given);
    try {
        EXPECT_EQ(connector.Send(kRequest), c.body);
        EXPECT_TRUE(c.why.empty()) << "taken, not refused: " << c.why;
    } catch (const jsonrpc::JsonRpcException& e) {
        EXPECT_FALSE(c.why.empty()) << e.what() << " " << e.Data();
        EXPECT_STREQ(e.what(), kStatusError);
        EXPECT_TRUE(e.Data().is_string() && e.Data().get<std::string>().starts_with(c.why)) << e.Data();
    }
}

const std::string kChunkedHead = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";

INSTANTIATE_TEST_SUITE_P(
    Answers, GivenAnswerTest,
    ::testing::Values(
        GivenCase{"chunksWithExtensionsAndTrailer",
                  kChunkedHead + "5;part=1\r\n{\"a\":\r\n2\r\n1}\r\n0\r\nX-Check: 1\r\nX-Other: 2\r\n\r\n", R"({"a":1})",
                  ""},
        GivenCase{"afterA100Continue",
                  "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\n{}", "{}", ""},
        GivenCase{"endedByTheConnection", "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\n{}", "{}", ""},
        GivenCase{"linesOfA1xxAnswerCount",
                  "HTTP/1.1 100 Continue\r\n" + lines("X-A: 1\r\n", 60) + "\r\nHTTP/1.1 200 OK\r\n" +
                      lines("X-B: 1\r\n", 60) + "Content-Length: 2\r\n\r\n{}",
                  "", "answer has more than 100 header lines"},
        GivenCase{"trailerBytesCountWithTheHeader",
                  kChunkedHead + "2\r\n{}\r\n0\r\n" + lines("X-T: " + std::string(900, 't') + "\r\n", 20) + "\r\n", "",
                  "header lines of the answer exceed the bound of 16384 bytes"},
        GivenCase{"oneLongLineSentWhole",
                  "HTTP/1.1 200 OK\r\nX-Long: " + std::string(9000, 'l') + "\r\nContent-Length: 2\r\n\r\n{}", "",
                  "a line of the answer exceeds 8192 bytes"},
        GivenCase{"oneLongChunkLineSentWhole",
                  kChunkedHead + "2;" + std::string(9000, 'x') + "\r\n{}\r\n0\r\n\r\n", "",
                  "a line of the answer exceeds 8192 bytes"}),
    [](const ::testing::TestParamInfo<GivenCase>& info) { return std::string(info.param.name); });

TEST(HttpConnector, ADrippedAnswerHoldsThePostNoLongerThanItsDeadline) {
    // The whole answer would take about 30 s at a byte every 250 ms.
    bustest::HostileHttpServer server(kHostileBytes, 250ms);
    ASSERT_GT(bustest::HostileHttpServer::goodAnswer().size() * 250ms, 20s);
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", server.port(), {1000ms, 500ms});
    server.setMode(Mode::Drip);
    EXPECT_THROW(connector.Send(kRequest), jsonrpc::JsonRpcException);
    ASSERT_TRUE(server.waitForPosts(1));
    const auto post = server.posts().at(0);
    EXPECT_TRUE(post.clientLeft);
    EXPECT_LT(post.duration, 5s);
}

TEST(HttpConnector, StopCutsAPostUnderWayShort) {
    bustest::HostileHttpServer server(kHostileBytes, 250ms);
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", server.port(), {1000ms, 60s});
    server.setMode(Mode::Drip);
    auto post = std::async(std::launch::async, [&] {
        try {
            connector.Send(kRequest);
            return std::string("answered");
        } catch (const jsonrpc::JsonRpcException& e) {
            return e.Data().dump();
        }
    });
    ASSERT_TRUE(server.waitForRequests(1));
    connector.stop();
    ASSERT_EQ(post.wait_for(5s), std::future_status::ready);
    EXPECT_EQ(post.get(), R"("post cut short")");
    // A stopped connector stays stopped.
    EXPECT_THROW(connector.Send(kRequest), jsonrpc::JsonRpcException);
}

TEST(HttpConnector, TheRequestIsOnePostToJsonRpcAndOtherStatusesAreErrors) {
    bustest::EmsServer ems;
    ASSERT_TRUE(ems.running());
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", ems.port());
    EXPECT_EQ(connector.Send(kRequest), R"({"id":1,"jsonrpc":"2.0","result":true})");
    EXPECT_EQ(ems.bodies(), std::vector<std::string>{kRequest});
    // A host name is looked up first.
    EXPECT_EQ(jsonrpc::CppHttpLibClientConnector("localhost", ems.port()).Send(kRequest),
              R"({"id":1,"jsonrpc":"2.0","result":true})");

    ems.setAnswer([](const std::string&) { return bustest::EmsServer::Answer{503, "busy"}; });
    try {
        connector.Send(kRequest);
        ADD_FAILURE() << "a 503 was taken";
    } catch (const jsonrpc::JsonRpcException& e) {
        EXPECT_STREQ(e.what(), kStatusError);
        EXPECT_EQ(e.Data(), 503);
    }

    // A body over the bound is not read on.
    ems.setAnswer([](const std::string&) { return bustest::EmsServer::Answer{200, std::string(100000, ' ')}; });
    try {
        connector.Send(kRequest);
        ADD_FAILURE() << "an over-long body was taken";
    } catch (const jsonrpc::JsonRpcException& e) {
        EXPECT_STREQ(e.what(), "-32700: response exceeds the bound of 65536 bytes");
    }
}

TEST(HttpConnector, ASilentServerIsGivenUpAtTheDeadline) {
    bustest::Blackhole silent;  // listens, never accepts: the connect succeeds, nothing answers
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", silent.port(), {300ms, 300ms});
    try {
        connector.Send(kRequest);
        ADD_FAILURE() << "an answer from nowhere";
    } catch (const jsonrpc::JsonRpcException& e) {
        EXPECT_STREQ(e.what(), kStatusError);
        ASSERT_TRUE(e.Data().is_string());
        EXPECT_TRUE(e.Data().get<std::string>().starts_with("no whole answer within 300 ms")) << e.Data();
    }
}

}  // namespace
