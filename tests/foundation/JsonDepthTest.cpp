// The nesting bound every JSON reader applies before parsing.
#include <gtest/gtest.h>

#include <string>

#include "foundation/JsonDepth.h"

namespace {

TEST(JsonDepth, CountsBracketsOutsideStrings) {
    struct Row {
        std::string text;
        size_t limit;
        bool deeper;
    };
    const Row rows[] = {
        {R"({"a":[1,{"b":2}]})", 3, false},
        {R"({"a":[1,{"b":[2]}]})", 3, true},
        {R"({"a":"[[[[\"[[[["})", 1, false},  // brackets and an escaped quote inside a string
        {R"(["\\",[[]]])", 2, true},            // an escaped backslash ends before the quote
        {"[]]]]][[", 1, true},                  // stray closers do not take the depth below zero
        {std::string(100000, '['), 64, true},
        {"", 0, false},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(jsonNestsDeeperThan(row.text, row.limit), row.deeper) << row.text.substr(0, 40);
    }
}

}  // namespace
