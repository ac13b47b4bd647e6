#include <gtest/gtest.h>

#include "foundation/ConfigFile.h"
#include "tests/support/TestSupport.h"

namespace {

TEST(ConfigLine, Rules) {
    struct Case {
        std::string line;
        bool hasEntry;
        std::string key;
        std::string value;
    } cases[] = {
        {"key=value", true, "key", "value"},
        {" \tkey \t= \tvalue\t ", true, "key", "value"},
        {"key=a=b", true, "key", "a=b"},
        {"key=value\r", true, "key", "value"},
        {"key\r=\x01value\x7f\r", true, "key", "value"},
        {"key=\r", true, "key", ""},
        {"key=in\x01side", true, "key", "in\x01side"},
        {"key=   ", true, "key", ""},
        {"key=", false, "", ""},
        {"no separator", false, "", ""},
        {"", false, "", ""},
        {"=value", true, "", "value"},
        {"#key=value", true, "#key", "value"},
        {" key with blank = v ", true, "key with blank", "v"},
    };
    for (const auto& c : cases) {
        const auto entry = config::parseLine(c.line);
        ASSERT_EQ(entry.has_value(), c.hasEntry) << c.line;
        if (entry) {
            EXPECT_EQ(entry->first, c.key) << c.line;
            EXPECT_EQ(entry->second, c.value) << c.line;
        }
    }
}

class ConfigFileTest : public testsupport::IecTest {};

TEST_F(ConfigFileTest, ReadsEntriesInOrderIncludingARepeatedKeyAndALastLineWithoutNewline) {
    workDir.writeFile("a.conf", "a=1\r\nb=2\nskip\na=3");
    const auto entries = config::readFile("a.conf");
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 3u);
    EXPECT_EQ((*entries)[0], config::Entry("a", "1"));
    EXPECT_EQ((*entries)[2], config::Entry("a", "3"));
}

TEST_F(ConfigFileTest, MissingFileIsNullopt) { EXPECT_FALSE(config::readFile("nothing.conf")); }

TEST_F(ConfigFileTest, EmptyFileHasNoEntries) {
    workDir.writeFile("e.conf", "");
    const auto entries = config::readFile("e.conf");
    ASSERT_TRUE(entries);
    EXPECT_TRUE(entries->empty());
}

}  // namespace
