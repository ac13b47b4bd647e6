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

struct HostileCase {
    const char* name;
    Mode mode;
    std::string why;  // the exception's data: which bound the answer passed (its start)
};

void PrintTo(const HostileCase& c, std::ostream* os) { *os << c.name; }

class HostileAnswerTest : public ::testing::TestWithParam<HostileCase> {};

TEST_P(HostileAnswerTest, IsGivenUpAtItsBoundAndTheNextPostGoesThrough) {
    const HostileCase& c = GetParam();
    bustest::HostileHttpServer server(kHostileBytes);
    ASSERT_TRUE(server.running());
    jsonrpc::CppHttpLibClientConnector connector("127.0.0.1", server.port(), {1000ms, 1000ms});

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
        HostileCase{"endlessHeaderLine", Mode::EndlessHeaderLine, "a line of the answer exceeds 102400 bytes"},
        HostileCase{"endlessStatusLine", Mode::EndlessStatusLine, "a line of the answer exceeds 102400 bytes"},
        // libcurl's own refusal: a chunk size has at most 16 hex digits.
        HostileCase{"endlessChunkSize", Mode::EndlessChunkSize, "Too long hexadecimal number in chunked-encoding"},
        // libcurl skips an extension without holding it; the bytes count.
        HostileCase{"endlessChunkExtension", Mode::EndlessChunkExtension, "answer exceeds the bound of 1048576 bytes"},
        HostileCase{"endlessTrailerLines", Mode::EndlessTrailerLines, "answer has more than 100 header lines"},
        HostileCase{"drip", Mode::Drip, "no whole answer within 1000 ms"}),
    [](const ::testing::TestParamInfo<HostileCase>& info) { return std::string(info.param.name); });

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
