#include "external/ReplyTemplate.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "tests/support/BadFiles.h"
#include "tests/support/TestSupport.h"

using nlohmann::json;

namespace {

class ReplyTemplateTest : public testsupport::IecTest {};

TEST_F(ReplyTemplateTest, ReadsWholeFileSetsMembersAndDumpsSortedCompact) {
    workDir.writeFile("t.json",
                      "{\n  \"type\": \"x\",\n  \"zeta\": [3, 2],\n  \"data\": {\"b\": 1, \"errorNumber\": 7},\n"
                      "  \"Alpha\": \"\xc3\xa4\"\n}\n");
    auto doc = replytemplate::load("t.json");
    ASSERT_TRUE(doc.has_value());
    replytemplate::setMember(*doc, {"data", "errorNumber"}, 0);
    replytemplate::setMember(*doc, {"id"}, "abc");
    replytemplate::setMember(*doc, {"data", "limits", "power", "value"}, 42);
    // Upper case sorts before lower case (byte order); UTF-8 stays as it is.
    EXPECT_EQ(replytemplate::dump(*doc),
              "{\"Alpha\":\"\xc3\xa4\",\"data\":{\"b\":1,\"errorNumber\":0,\"limits\":{\"power\":{\"value\":42}}},"
              "\"id\":\"abc\",\"type\":\"x\",\"zeta\":[3,2]}");
}

TEST_F(ReplyTemplateTest, NullLevelBecomesObjectOtherTypeThrows) {
    json doc = json::parse(R"({"data":null,"s":"text"})");
    replytemplate::setMember(doc, {"data", "x"}, true);
    EXPECT_EQ(replytemplate::dump(doc), R"({"data":{"x":true},"s":"text"})");
    EXPECT_THROW(replytemplate::setMember(doc, {"s", "x"}, 1), json::type_error);
    json array = json::array();
    EXPECT_THROW(replytemplate::setMember(array, {"x"}, 1), json::type_error);
}

TEST_F(ReplyTemplateTest, MissingFileIsNulloptBadJsonThrows) {
    EXPECT_FALSE(replytemplate::load("absent.json").has_value());
    workDir.writeFile("bad.json", "{\"a\": 1,}");
    EXPECT_THROW(replytemplate::load("bad.json"), json::parse_error);
    workDir.writeFile("comment.json", "{\"a\": 1 /* no */}");
    EXPECT_THROW(replytemplate::load("comment.json"), json::parse_error);
    workDir.writeFile("empty.json", "");
    EXPECT_THROW(replytemplate::load("empty.json"), json::parse_error);
}

// Entries that are no template files read as missing with the reason; a
// template nested deeply is refused before parsing, and a document nested
// deeper than dump allows is refused before its recursive serialisation.
TEST_F(ReplyTemplateTest, NoFilesAndDeepDocumentsAreRefusedBeforeAnyRecursion) {
    const auto path = workDir.path() / "t.json";
    for (const auto& c : testsupport::badFileCases()) {
        testsupport::makeBadFile(c.kind, path, "{}");
        std::string refusal;
        EXPECT_FALSE(testsupport::readsWithoutBlocking(path, [&] { return replytemplate::load(path, &refusal); }))
            << c.name;
        EXPECT_EQ(refusal, c.reason) << c.name;
    }
    std::filesystem::remove_all(path);
    std::string refusal = "stale";
    EXPECT_FALSE(replytemplate::load("absent.json", &refusal));
    EXPECT_TRUE(refusal.empty());

    const auto deep = [](size_t depth) {
        return "{\"data\":" + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
    };
    workDir.writeFile("t.json", deep(replytemplate::kMaxDepth));
    EXPECT_TRUE(replytemplate::load("t.json"));
    workDir.writeFile("t.json", deep(100000));
    EXPECT_THROW(replytemplate::load("t.json"), json::parse_error);

    json document = json::object();
    json* level = &document;
    for (size_t i = 1; i < replytemplate::kMaxDumpDepth; ++i) level = &((*level)["a"] = json::object());
    EXPECT_NO_THROW(replytemplate::dump(document));
    (*level)["a"] = json::array();
    EXPECT_THROW(replytemplate::dump(document), json::other_error);
    for (int i = 0; i < 100000; ++i) document = json::array({std::move(document)});
    EXPECT_THROW(replytemplate::dump(document), json::other_error);
}

}  // namespace
