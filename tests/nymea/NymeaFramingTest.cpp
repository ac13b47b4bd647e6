// Framing of the platform's byte stream into JSON values, and the stream
// that checks every line (size, NUL bytes, nesting) before it is parsed.

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

using Step = nymeajson::CheckedStream::Step;

struct StreamCase {
    const char* name;
    bool lines;                        // nextLine, else nextValue
    std::vector<std::string> appends;  // bytes handed to the stream, one part at a time
    std::vector<std::string> steps;    // after each part, until "I": "V:<value>", "L:<line>", "D", "R:<why>", "O"
};

void PrintTo(const StreamCase& c, std::ostream* os) { *os << c.name; }

class CheckedStreamTest : public ::testing::TestWithParam<StreamCase> {};

TEST_P(CheckedStreamTest, ChecksEveryLineBeforeItIsParsed) {
    const StreamCase& c = GetParam();
    nymeajson::CheckedStream stream(InternalInterfaceNymea::kLineBounds);
    std::vector<std::string> steps;
    for (const std::string& part : c.appends) {
        stream.append(part);
        for (int guard = 0; guard < 20; ++guard) {
            std::string text;
            std::string why;
            const Step step = c.lines ? stream.nextLine(text, why) : stream.nextValue(text, why);
            if (step == Step::Incomplete) {
                steps.push_back("I");
                break;
            }
            switch (step) {
                case Step::Value: steps.push_back("V:" + text); break;
                case Step::Line: steps.push_back("L:" + text); break;
                case Step::Dropped: steps.push_back("D"); break;
                case Step::Refused: steps.push_back("R:" + why); break;
                case Step::Overflow: steps.push_back("O"); break;
                default: break;
            }
        }
    }
    EXPECT_EQ(steps, c.steps);
}

std::string nul(const std::string& before, const std::string& after) { return before + std::string(1, '\0') + after; }

INSTANTIATE_TEST_SUITE_P(
    Lines, CheckedStreamTest,
    ::testing::Values(
        StreamCase{"aValueWaitsForItsLineEnd", false, {"{\"id\":0}", "\n"}, {"I", "V:{\"id\":0}", "I"}},
        StreamCase{"nulAndJunkAfterAValue", false, {nul("{\"id\":0}", "{junk\n{\"id\":1}\n")},
                   {"R:NUL byte at offset 8 of a payload of 14 bytes", "V:{\"id\":1}", "I"}},
        StreamCase{"aValueOverTwoLines", false, {"{\"id\":\n1}\n"}, {"V:{\"id\":\n1}", "I"}},
        StreamCase{"twoValuesOnOneLine", false, {"{\"a\":1}{\"b\":2}\n"}, {"V:{\"a\":1}", "V:{\"b\":2}", "I"}},
        StreamCase{"valuesBeforeARefusedLineComeFirst", false, {"[1]\n[2]\n" + nul("", "\n") + "[3]\n"},
                   {"V:[1]", "V:[2]", "R:NUL byte at offset 0 of a payload of 1 bytes", "V:[3]", "I"}},
        // A value cannot go on across a refused line: what began before it goes too.
        StreamCase{"aRefusedLineEndsAnOpenValue", false, {"{\"a\":\n", nul("", "\n"), "oops}\n{\"id\":2}\n"},
                   {"I", "R:NUL byte at offset 0 of a payload of 1 bytes", "I", "D", "V:{\"id\":2}", "I"}},
        StreamCase{"aDeepLine", false, {std::string(65, '[') + std::string(65, ']') + "\n[1]\n"},
                   {"R:nests deeper than 64 levels", "V:[1]", "I"}},
        StreamCase{"anOverlongLine", false, {std::string(100001, 'x'), "rest of it\n[2]\n"}, {"O", "I", "V:[2]", "I"}},
        StreamCase{"aLineAtTheBound", false, {"\"" + std::string(99998, 'x') + "\"\n"},
                   {"V:\"" + std::string(99998, 'x') + "\"", "I"}},
        StreamCase{"linesWithANul", true, {"a\n" + nul("b", "c\n") + "d", "\n"},
                   {"L:a", "R:NUL byte at offset 1 of a payload of 3 bytes", "I", "L:d", "I"}},
        StreamCase{"anOverlongLineOfLines", true, {std::string(100001, 'x'), "rest\nok\n"}, {"O", "I", "L:ok", "I"}}),
    [](const ::testing::TestParamInfo<StreamCase>& info) { return std::string(info.param.name); });

}  // namespace
