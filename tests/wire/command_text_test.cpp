#include "wire/command_text.h"

#include "canvas/pen_properties.h"

#include <gtest/gtest.h>

namespace velmo::wire {
namespace {

constexpr float Scale320 = 320.0f / 320000.0f;
const char* const Canvas = "public@20101201095959123";

canvas::MWStroke onePointStroke() {
    canvas::MWStroke s;
    s.client_time = 1291201234567;
    s.user_name = "public@20101201100000001";
    s.pen_properties = canvas::defaultPen(Scale320);
    s.points_x = {1000};
    s.points_y = {2000};
    return s;
}

TEST(CommandText, BuildsTheSixCommandsByteExactly) {
    canvas::MWStroke poll;
    poll.client_time = 1291201239999;
    poll.user_name = "public@20101201100000001";
    poll.pen_properties = canvas::defaultPen(Scale320);

    const struct {
        std::string actual;
        std::string expected;
    } cases[] = {
        {appendCommand(Canvas, onePointStroke()),
         "public@20101201095959123: append:  client_time:1291201234567 server_time:0 "
         "user_name:public@20101201100000001 pen_properties:color=ff000000,width=2999,"
         "density=128 layer:0 points: 1000-2000"},
        {appendCommand(Canvas, poll),
         "public@20101201095959123: append:  client_time:1291201239999 server_time:0 "
         "user_name:public@20101201100000001 pen_properties:color=ff000000,width=2999,"
         "density=128 layer:0 points:"},
        {deleteCommand(Canvas, onePointStroke()),
         "public@20101201095959123: delete:  client_time:1291201234567 server_time:0 "
         "user_name:public@20101201100000001 pen_properties:color=ff000000,width=2999,"
         "density=128 layer:0 points:"},
        {updateThumbnailCommand(Canvas, "http://i.example/a.png"),
         "public@20101201095959123: update_thumbnail: url:http://i.example/a.png"},
        {updateFullimageCommand(Canvas, "http://i.example/b.png"),
         "public@20101201095959123: update_fullimage: url:http://i.example/b.png"},
        {getStrokesCommand(Canvas), "public@20101201095959123: get_strokes: "},
        {searchCanvasListCommand(Canvas, "anna"),
         "public@20101201095959123: search_canvas_list: nickname:anna"},
        {searchCanvasListCommand(Canvas, ""),
         "public@20101201095959123: search_canvas_list: nickname:"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.actual, c.expected);
    }
}

TEST(CommandText, DeleteKeepsEveryFieldButThePoints) {
    canvas::MWStroke s = onePointStroke();
    s.server_time = 1291201300000;
    s.layer = 2;
    EXPECT_EQ(deleteCommand("x@1", s),
              "x@1: delete:  client_time:1291201234567 server_time:1291201300000 "
              "user_name:public@20101201100000001 pen_properties:color=ff000000,width=2999,"
              "density=128 layer:2 points:");
}

TEST(CommandText, ReadsTheCanvasIDInFrontOfACommand) {
    EXPECT_EQ(commandCanvasID("a@20101201095959123: get_strokes: "), "a@20101201095959123");
    EXPECT_EQ(commandCanvasID(": get_strokes: "), "");
    EXPECT_EQ(commandCanvasID("no separator"), "no separator");
}

} // namespace
} // namespace velmo::wire
