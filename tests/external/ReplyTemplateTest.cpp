#include "external/ReplyTemplate.h"

#include <gtest/gtest.h>

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

}  // namespace
