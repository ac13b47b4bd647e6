// The one file reader and its entries for configuration lines and JSON:
// entries that are no files to read, size and nesting bounds, and the one
// TCP port rule.
#include <gtest/gtest.h>

#include <limits>
#include <string>

#include "foundation/ConfigFile.h"
#include "foundation/FileRead.h"
#include "foundation/JsonParse.h"
#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

namespace {

using nlohmann::json;
using testsupport::BadFile;

class FileReadTest : public testsupport::IecTest {};

std::string nested(size_t depth) { return "{\"a\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}"; }

// Every reader entry refuses every bad entry at once, with the reason; only
// the raw entry (for a caller whose parser refuses a NUL byte itself) reads a
// file with a NUL byte.
TEST_F(FileReadTest, EntriesThatAreNoFilesToReadAreRefusedWithoutBlocking) {
    const auto path = workDir.path() / "etc" / "thing.conf";
    for (const auto& c : testsupport::badFileCases()) {
        SCOPED_TRACE(c.name);
        testsupport::makeBadFile(c.kind, path, "{\"a\":1}");
        const bool nulByte = c.kind == BadFile::kNulByte;

        const auto raw = testsupport::readsWithoutBlocking(path, [&] { return fileread::readRegularFile(path); });
        EXPECT_EQ(raw.outcome, nulByte ? fileread::Outcome::kRead : fileread::Outcome::kRefused);

        const auto text = testsupport::readsWithoutBlocking(path, [&] { return fileread::readTextFile(path); });
        EXPECT_EQ(text.outcome, fileread::Outcome::kRefused);
        EXPECT_NE(text.reason.find(c.reason), std::string::npos) << text.reason;

        std::string refusal;
        const auto lines = testsupport::readsWithoutBlocking(path, [&] { return config::readFile(path, &refusal); });
        EXPECT_FALSE(lines);
        EXPECT_NE(refusal.find(c.reason), std::string::npos) << refusal;

        const JsonFile doc = testsupport::readsWithoutBlocking(path, [&] { return readJsonFile(path); });
        EXPECT_EQ(doc.outcome, JsonFile::Outcome::kRefused);
        EXPECT_NE(doc.reason.find(c.reason), std::string::npos) << doc.reason;
    }
}

TEST_F(FileReadTest, AMissingFileIsNoRefusal) {
    for (const char* path : {"absent.conf", "no/such/dir/absent.conf"}) {
        const auto file = fileread::readRegularFile(path);
        EXPECT_EQ(file.outcome, fileread::Outcome::kMissing) << path;
        std::string refusal = "stale";
        EXPECT_FALSE(config::readFile(path, &refusal));
        EXPECT_TRUE(refusal.empty()) << path;
        EXPECT_EQ(readJsonFile(path).outcome, JsonFile::Outcome::kMissing) << path;
    }
}

TEST_F(FileReadTest, ReadsARegularFileWholeUpToItsBound) {
    const std::string content = "a=1\r\nb=\x01\xff\n";
    workDir.writeFile("good.conf", content);
    EXPECT_EQ(fileread::readRegularFile("good.conf").content, content);
    EXPECT_TRUE(fileread::readRegularFile("good.conf", content.size()).read());
    const auto over = fileread::readRegularFile("good.conf", content.size() - 1);
    EXPECT_EQ(over.outcome, fileread::Outcome::kRefused);
    EXPECT_EQ(over.reason, "is larger than " + std::to_string(content.size() - 1) + " bytes");
}

TEST_F(FileReadTest, JsonNestedBeyondItsBoundIsInvalidBeforeParsing) {
    const struct {
        std::string text;
        JsonFile::Outcome outcome;
    } cases[] = {
        {nested(kMaxJsonFileDepth), JsonFile::Outcome::kParsed},
        {nested(kMaxJsonFileDepth + 1), JsonFile::Outcome::kInvalid},
        {nested(100000), JsonFile::Outcome::kInvalid},
        {"{\"a\":\"" + std::string(100000, '[') + "\"}", JsonFile::Outcome::kParsed},  // brackets in a string
        {"{\"a\":1} trailing", JsonFile::Outcome::kInvalid},
        {"", JsonFile::Outcome::kInvalid},
    };
    for (const auto& c : cases) {
        workDir.writeFile("doc.json", c.text);
        const JsonFile doc = readJsonFile("doc.json");
        EXPECT_EQ(doc.outcome, c.outcome) << c.text.substr(0, 40);
        if (c.outcome == JsonFile::Outcome::kInvalid) {
            EXPECT_FALSE(doc.reason.empty());
        }
    }
    workDir.writeFile("doc.json", nested(100000));
    EXPECT_NE(readJsonFile("doc.json").reason.find("nests deeper than 32 levels"), std::string::npos);
    EXPECT_THROW(parseJsonTextWithin(nested(9), 8), json::parse_error);
    EXPECT_THROW(parseJsonTextWithin(std::string("{}\0{", 4), 8), json::parse_error);
}

TEST(JsonValueDepth, IsMeasuredWithoutRecursion) {
    json deep = 1;
    for (int i = 0; i < 200000; ++i) deep = json::array({std::move(deep)});
    EXPECT_TRUE(jsonValueNestsDeeperThan(deep, 128));
    EXPECT_FALSE(jsonValueNestsDeeperThan(json::parse(nested(5)), 5));
    EXPECT_TRUE(jsonValueNestsDeeperThan(json::parse(nested(6)), 5));
    EXPECT_FALSE(jsonValueNestsDeeperThan(json(3), 0));
    EXPECT_TRUE(jsonValueNestsDeeperThan(json::object(), 0));
}

TEST(TcpPort, OneRuleForTextAndNumbers) {
    const struct {
        const char* text;
        std::optional<int> port;
    } texts[] = {
        {"8080", 8080}, {"1", 1},           {"65535", 65535}, {"08080", 8080},   {"0", std::nullopt},
        {"65536", std::nullopt}, {"-1", std::nullopt}, {"+80", std::nullopt}, {" 80", std::nullopt},
        {"80 ", std::nullopt}, {"80\r", std::nullopt}, {"8o", std::nullopt}, {"", std::nullopt},
        {"3.5", std::nullopt}, {"99999999999999999999", std::nullopt}, {"0x50", std::nullopt},
    };
    for (const auto& c : texts) EXPECT_EQ(config::parsePort(c.text), c.port) << '"' << c.text << '"';

    const struct {
        const char* json;
        std::optional<int> port;
    } numbers[] = {
        {"1883", 1883}, {"65535", 65535}, {"8080.0", 8080}, {"1e3", 1000},
        {"1e20", std::nullopt}, {"-1", std::nullopt}, {"0", std::nullopt}, {"70000", std::nullopt},
        {"3.5", std::nullopt}, {"18446744073709551615", std::nullopt}, {"-9223372036854775808", std::nullopt},
        {"true", std::nullopt}, {"\"8080\"", std::nullopt}, {"null", std::nullopt}, {"[80]", std::nullopt},
    };
    for (const auto& c : numbers) EXPECT_EQ(portFromJson(json::parse(c.json)), c.port) << c.json;
    EXPECT_EQ(config::portFromNumber(std::numeric_limits<double>::quiet_NaN()), std::nullopt);
    EXPECT_EQ(config::portFromNumber(std::numeric_limits<double>::infinity()), std::nullopt);
}

}  // namespace
