#include "wire/canvas_id.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::wire {
namespace {

TEST(CanvasId, AcceptsIdsUpTo256BytesWithoutSpaceOrControlBytes) {
    const struct {
        std::string id;
        bool valid;
    } cases[] = {
        {"public@20101201095959123", true},
        {"anna:x@20101201095959123", true},
        {"\xc3\xa9t\xc3\xa9@20101201095959123", true},
        {std::string(256, 'a'), true},
        {"", false},
        {std::string(257, 'a'), false},
        {"two words@20101201095959123", false},
        {"tab\there", false},
        {"line\nfeed", false},
        {std::string("nul\0byte", 8), false},
        {"del\x7f", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(isValidCanvasId(c.id), c.valid) << c.id;
    }
}

TEST(CanvasId, UserNamesMayBeEmptyButHoldNoControlByte) {
    EXPECT_TRUE(isValidUserName(""));
    EXPECT_TRUE(isValidUserName("bob@20101201095959123"));
    EXPECT_TRUE(isValidUserName(std::string(256, 'u')));
    EXPECT_FALSE(isValidUserName(std::string(257, 'u')));
    EXPECT_FALSE(isValidUserName("bob\nx: delete: "));
    EXPECT_FALSE(isValidUserName("bob\r"));
}

TEST(CanvasId, NicknameIsTheIdBeforeItsLastAt) {
    EXPECT_EQ(nicknameOf("public@20101201095959123"), "public");
    EXPECT_EQ(nicknameOf("a@b@20101201095959123"), "a@b");
    EXPECT_EQ(nicknameOf("@20101201095959123"), "");
    EXPECT_EQ(nicknameOf("noat"), std::nullopt);
}

} // namespace
} // namespace velmo::wire
