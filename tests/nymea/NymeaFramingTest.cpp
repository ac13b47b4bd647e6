// Framing of the platform's byte stream into JSON values.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "internal/InternalInterfaceNymea.h"

namespace {

struct FramingCase {
    const char* name;
    std::string buffer;
    std::vector<std::string> steps;  // "V:<value>" taken, "D" dropped, until "I" (incomplete)
    std::string rest;
};

void PrintTo(const FramingCase& c, std::ostream* os) { *os << c.name; }

// Takes values until the framer asks for more bytes.
std::vector<std::string> frame(std::string& buffer) {
    std::vector<std::string> steps;
    for (int guard = 0; guard < 20; ++guard) {
        std::string value;
        auto status = nymeajson::takeValue(buffer, value);
        if (status == nymeajson::FrameStatus::Value) {
            steps.push_back("V:" + value);
        } else if (status == nymeajson::FrameStatus::Dropped) {
            steps.push_back("D");
        } else {
            steps.push_back("I");
            break;
        }
    }
    return steps;
}

class FramingTest : public ::testing::TestWithParam<FramingCase> {};

TEST_P(FramingTest, TakesValuesFromTheFront) {
    std::string buffer = GetParam().buffer;
    EXPECT_EQ(frame(buffer), GetParam().steps);
    EXPECT_EQ(buffer, GetParam().rest);
}

INSTANTIATE_TEST_SUITE_P(
    Stream, FramingTest,
    ::testing::Values(
        FramingCase{"twoValuesInOneChunk", " {\"id\":1}\n{\"id\":2}\n", {"V:{\"id\":1}", "V:{\"id\":2}", "I"}, ""},
        FramingCase{"splitValueWaits", "{\"id\":0,\"params\":{\"a\":tr", {"I"}, "{\"id\":0,\"params\":{\"a\":tr"},
        FramingCase{"valueWithoutLineFeed", "{\"id\":0}{\"id\"", {"V:{\"id\":0}", "I"}, "{\"id\""},
        FramingCase{"garbageLineIsDropped", "garbage\n{\"id\":1}", {"D", "V:{\"id\":1}", "I"}, ""},
        FramingCase{"garbageWaitsForItsLineEnd", "garbage", {"I"}, "garbage"},
        FramingCase{"trailingBracketsAfterValue", "{\"id\":1}}}\n{\"id\":2}", {"V:{\"id\":1}", "D", "V:{\"id\":2}", "I"}, ""},
        FramingCase{"invalidUtf8", "{\"a\":\"\xff\"}\n[1]", {"D", "V:[1]", "I"}, ""},
        FramingCase{"whitespaceOnly", " \r\n\t\n", {"I"}, ""},
        FramingCase{"nulByte", std::string("{\"a\":\0}\n{}", 10), {"D", "V:{}", "I"}, ""}),
    [](const ::testing::TestParamInfo<FramingCase>& info) { return std::string(info.param.name); });

}  // namespace
