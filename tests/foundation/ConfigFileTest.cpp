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
        // A byte-order mark is skipped at the start of a file (below), not of a line.
        {"\xEF\xBB\xBF" "key=v", true, "\xEF\xBB\xBF" "key", "v"},
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

// Whole files: entries in file order (a repeated key each time, a last line
// without a newline too), and a UTF-8 byte-order mark only at the start of
// the file is no part of the first key. IECServer.conf, the "plim_log_level"
// read and JSONRPC.conf all go through this reader.
TEST_F(ConfigFileTest, FileTextsGiveTheirEntriesInOrder) {
    const std::string bom = "\xEF\xBB\xBF";
    const struct {
        std::string text;
        std::vector<config::Entry> entries;
    } cases[] = {
        {"a=1\r\nb=2\nskip\na=3", {{"a", "1"}, {"b", "2"}, {"a", "3"}}},
        {"", {}},
        {bom + "IEC61850_tcpPort=102\nnymea_tcpPort=2222\n", {{"IEC61850_tcpPort", "102"}, {"nymea_tcpPort", "2222"}}},
        {bom + "jsonrpcPort=5001\r\n", {{"jsonrpcPort", "5001"}}},
        {bom + " \tplim_log_level = debug\n", {{"plim_log_level", "debug"}}},
        {bom, {}},
        {bom + "\nkey=v", {{"key", "v"}}},
        // Only one mark, and only at the start of the file, is skipped.
        {bom + bom + "a=1\n", {{bom + "a", "1"}}},
        {"a=1\n" + bom + "b=2\n", {{"a", "1"}, {bom + "b", "2"}}},
        {" " + bom + "a=1\n", {{bom + "a", "1"}}},
        // Part of a mark is no mark.
        {"\xEF\xBB" "a=1\n", {{"\xEF\xBB" "a", "1"}}},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string name = std::to_string(++n) + ".conf";
        workDir.writeFile(name, c.text);
        const auto entries = config::readFile(name);
        ASSERT_TRUE(entries) << c.text;
        EXPECT_EQ(*entries, c.entries) << c.text;
    }
}

TEST_F(ConfigFileTest, MissingFileIsNullopt) { EXPECT_FALSE(config::readFile("nothing.conf")); }

}  // namespace
