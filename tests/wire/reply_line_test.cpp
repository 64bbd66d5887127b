#include "wire/reply_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::wire {
namespace {

TEST(ReplyLine, SplitsAtLineFeedsOnlyAndKeepsTheLastPiece) {
    using Lines = std::vector<std::string_view>;
    EXPECT_EQ(splitReplyLines(""), Lines{""});
    EXPECT_EQ(splitReplyLines("a"), Lines{"a"});
    EXPECT_EQ(splitReplyLines("a\n"), (Lines{"a", ""}));
    EXPECT_EQ(splitReplyLines("a\r\nb\n\nc"), (Lines{"a\r", "b", "", "c"}));
}

TEST(ReplyLine, ClassifiesByTheFirstRuleThatApplies) {
    const std::string invalid_utf8 = "a@12345678901234567 http://x/\xff";
    const std::string latin_nickname = "\xc3\xa9t\xc3\xa9@12345678901234567 http://x/";
    const struct {
        std::string line;
        ReplyLineKind kind;
        std::string canvas_id;
        std::string url;
    } cases[] = {
        {"c@20101201095959123: append:  client_time:1 points: 1-2", ReplyLineKind::Stroke, "", ""},
        {"x append: y", ReplyLineKind::Stroke, "", ""},
        {"c: append:  a delete: b", ReplyLineKind::Stroke, "", ""},
        {"c@20101201095959123: delete: ", ReplyLineKind::Delete, "", ""},
        {"", ReplyLineKind::Nothing, "", ""},
        {"x", ReplyLineKind::Nothing, "", ""},
        {"a@12345678901234567 http://i/t.png", ReplyLineKind::CanvasListEntry,
         "a@12345678901234567", "http://i/t.png"},
        {"a@12345678901234567 ", ReplyLineKind::CanvasListEntry, "a@12345678901234567", ""},
        {"a@12345678901234567", ReplyLineKind::Nothing, "", ""},
        {"a@1234567890123456 http://i/t.png", ReplyLineKind::Nothing, "", ""},
        {"a@123456789012345678 http://i/t.png", ReplyLineKind::Nothing, "", ""},
        {"@12345678901234567 http://i/t.png", ReplyLineKind::Nothing, "", ""},
        {"word a@12345678901234567 http://i/t.png", ReplyLineKind::Nothing, "", ""},
        {"a@b@12345678901234567 u v", ReplyLineKind::CanvasListEntry, "a@b@12345678901234567",
         "u v"},
        {"a@12345678901234567 http://i/t.png\r", ReplyLineKind::Nothing, "", ""},
        {"a@12345678901234567 x\x0by", ReplyLineKind::Nothing, "", ""},
        {"a@12345678901234567 x\xe2\x80\xa8y", ReplyLineKind::Nothing, "", ""},
        {"a\r@12345678901234567 u", ReplyLineKind::CanvasListEntry, "a\r@12345678901234567", "u"},
        {"a@1234567890123456\xd9\xa0 u", ReplyLineKind::Nothing, "", ""},
        {invalid_utf8, ReplyLineKind::Nothing, "", ""},
        {latin_nickname, ReplyLineKind::CanvasListEntry, "\xc3\xa9t\xc3\xa9@12345678901234567",
         "http://x/"},
    };
    for (const auto& c : cases) {
        const ReplyLine read = classifyReplyLine(c.line);
        EXPECT_EQ(read.kind, c.kind) << c.line;
        EXPECT_EQ(read.canvas_id, c.canvas_id) << c.line;
        EXPECT_EQ(read.thumbnail_url, c.url) << c.line;
    }
}

TEST(ReplyLine, WritesTheServersLinesByteExactly) {
    const std::string stroke_text = " client_time:1 server_time:2 user_name:u@1 points: 1-2";
    std::string reply;
    appendDeleteNotice(reply, "c@20101201095959123");
    EXPECT_EQ(reply, "c@20101201095959123: delete: ");
    size_t before = reply.size();
    appendStrokeLine(reply, "c@20101201095959123", stroke_text);
    EXPECT_EQ(reply.size() - before, strokeLineSize("c@20101201095959123", stroke_text));
    appendStrokeLine(reply, "c@20101201095959123", "");
    EXPECT_EQ(reply, "c@20101201095959123: delete: \n"
                     "c@20101201095959123: append:  client_time:1 server_time:2 user_name:u@1 "
                     "points: 1-2\n"
                     "c@20101201095959123: append: ");

    // The first line of a reply has no line feed before it.
    std::string first;
    appendStrokeLine(first, "c@1", stroke_text);
    EXPECT_EQ(first, "c@1: append: " + stroke_text);
    std::string search;
    appendCanvasListLine(search, "anna@20100704123456002", "");
    appendCanvasListLine(search, "ANNA@20100704123456004", "http://t.test/4.png");
    EXPECT_EQ(search, "anna@20100704123456002 \nANNA@20100704123456004 http://t.test/4.png");
}

TEST(ReplyLine, ReadsBackEveryLineTheServerWrites) {
    std::string reply;
    appendDeleteNotice(reply, "c@20101201095959123");
    appendStrokeLine(reply, "c@20101201095959123", " client_time:1 points: 1-2");
    appendCanvasListLine(reply, "\xc3\xa9t\xc3\xa9@12345678901234567", "http://i/t.png");
    appendCanvasListLine(reply, "a@12345678901234567", "");
    const std::vector<std::string_view> lines = splitReplyLines(reply);
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(classifyReplyLine(lines[0]).kind, ReplyLineKind::Delete);
    EXPECT_EQ(classifyReplyLine(lines[1]).kind, ReplyLineKind::Stroke);
    const ReplyLine entry = classifyReplyLine(lines[2]);
    EXPECT_EQ(entry.kind, ReplyLineKind::CanvasListEntry);
    EXPECT_EQ(entry.canvas_id, "\xc3\xa9t\xc3\xa9@12345678901234567");
    EXPECT_EQ(entry.thumbnail_url, "http://i/t.png");
    EXPECT_EQ(classifyReplyLine(lines[3]).canvas_id, "a@12345678901234567");
    EXPECT_EQ(classifyReplyLine(lines[3]).thumbnail_url, "");
}

} // namespace
} // namespace velmo::wire
