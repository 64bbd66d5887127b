#include "canvas/stroke_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace velmo::canvas {
namespace {

constexpr float Scale320 = 320.0f / 320000.0f; // 0.001 in single precision

MWStroke sampleStroke() {
    MWStroke s;
    s.client_time = 1291201234567;
    s.server_time = 0;
    s.user_name = "public@20101201095959123";
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    s.layer = 0;
    s.points_x = {1000, 1003};
    s.points_y = {2000, 2010};
    return s;
}

TEST(StrokeText, EncodesPenAndStrokeByteExactly) {
    EXPECT_EQ(pen_to_text({static_cast<int32_t>(0xFF000000u), 2999, 128}),
              "color=ff000000,width=2999,density=128");
    EXPECT_EQ(pen_to_text({0x00000abc, -7, 0}), "color=abc,width=-7,density=0");
    EXPECT_EQ(stroke_to_text(sampleStroke()),
              " client_time:1291201234567 server_time:0 user_name:public@20101201095959123"
              " pen_properties:color=ff000000,width=2999,density=128 layer:0 points: 1000-2000"
              " 1003-2010");

    MWStroke bare;
    bare.client_time = 5;
    bare.pen_properties = defaultPen(Scale320);
    EXPECT_EQ(stroke_to_text(bare), " client_time:5 server_time:0 user_name: pen_properties:"
                                    "color=ff000000,width=2999,density=128 layer:0 points:");
    EXPECT_EQ(stroke_from_text(stroke_to_text(bare), Scale320), bare);
}

TEST(StrokeText, RoundTripsEveryStrokeWithoutSpaces) {
    MWStroke s = sampleStroke();
    s.client_time = std::numeric_limits<int64_t>::min();
    s.server_time = std::numeric_limits<int64_t>::max();
    s.user_name = "a:b@x";
    s.pen_properties = {static_cast<int32_t>(0x80FF0102u), std::numeric_limits<int32_t>::min(),
                        255};
    s.layer = -3;
    s.points_x = {-12, 0, std::numeric_limits<int32_t>::max()};
    s.points_y = {-40, -1, std::numeric_limits<int32_t>::min()};
    const std::string text = stroke_to_text(s);
    EXPECT_NE(text.find(" -12--40"), std::string::npos);
    EXPECT_EQ(stroke_from_text(text, Scale320), s);
}

TEST(StrokeText, DefaultPenWidthFollowsTheScale) {
    EXPECT_EQ(defaultPen(Scale320).width, 2999);
    EXPECT_EQ(defaultPen(768.0f / 320000.0f).width, 1250);
    EXPECT_EQ(defaultPen(0.1f).width, 30);
    // Missing fields take the default of the scale the decoder is given.
    EXPECT_EQ(pen_from_text("", 768.0f / 320000.0f).width, 1250);
    EXPECT_EQ(stroke_from_text("", Scale320).pen_properties.width, 2999);
}

TEST(StrokeText, PenDecoderRules) {
    struct Case {
        const char* text;
        PenProperties expected;
    };
    const auto black = static_cast<int32_t>(0xFF000000u);
    const Case cases[] = {
        {"width=7", {black, 7, 128}},
        {"=5,,color", {black, 2999, 128}},
        {"color=ff0000ff,width=5,density=9", {static_cast<int32_t>(0xFF0000FFu), 5, 9}},
        {"color=FFx,width=12px,density=-3", {0xFF, 12, -3}},
        {"color=zz,width=abc,density=", {black, 2999, 128}},
        {"Width=9,width=4,width=6", {black, 6, 128}},
        {"density=1=2", {black, 2999, 1}},
        {"color=1ffffffff", {static_cast<int32_t>(0xFFFFFFFFu), 2999, 128}},
        {"width=99999999999", {black, std::numeric_limits<int32_t>::max(), 128}},
        {"width= 8", {black, 8, 128}},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(pen_from_text(c.text, Scale320), c.expected) << c.text;
    }
}

TEST(StrokeText, StrokeDecoderRules) {
    // A server line: canvas ID and command word are ignored.
    const MWStroke line = stroke_from_text(
        "public@20101201095959123: append:  client_time:7 server_time:9 user_name:u@1 "
        "pen_properties:width=7 layer:2 points: 1-2 3,4 7--3",
        Scale320);
    EXPECT_EQ(line.client_time, 7);
    EXPECT_EQ(line.server_time, 9);
    EXPECT_EQ(line.user_name, "u@1");
    EXPECT_EQ(line.pen_properties, (PenProperties{static_cast<int32_t>(0xFF000000u), 7, 128}));
    EXPECT_EQ(line.layer, 2);
    EXPECT_EQ(line.points_x, (std::vector<int32_t>{1, 3, 7}));
    EXPECT_EQ(line.points_y, (std::vector<int32_t>{2, 4, -3}));

    EXPECT_EQ(stroke_from_text(" layer:abc", Scale320).layer, 0);
    EXPECT_EQ(stroke_from_text(" layer:2x", Scale320).layer, 2);
    EXPECT_EQ(stroke_from_text(" client_time:12ab", Scale320).client_time, 12);
    EXPECT_EQ(stroke_from_text(" client_time:x server_time:-4", Scale320).server_time, -4);
    // user_name keeps everything after its first colon, and a token without a colon is its
    // own key and value.
    EXPECT_EQ(stroke_from_text(" user_name:a:b", Scale320).user_name, "a:b");
    EXPECT_EQ(stroke_from_text(" user_name", Scale320).user_name, "user_name");
    // A space cuts the name; the rest is an unknown token.
    EXPECT_EQ(stroke_from_text(" user_name:ann bee layer:1", Scale320).user_name, "ann");
    // Keys after points: are points, and tokens that are not points are skipped.
    const MWStroke tail = stroke_from_text(" points: 1-2 layer:1  5 x 8-9", Scale320);
    EXPECT_EQ(tail.layer, 0);
    EXPECT_EQ(tail.points_x, (std::vector<int32_t>{1, 8}));
    EXPECT_EQ(tail.points_y, (std::vector<int32_t>{2, 9}));
    // points: is recognised again in point mode; nothing after it gives no points.
    EXPECT_TRUE(stroke_from_text(" layer:1 points:", Scale320).points_x.empty());
    EXPECT_EQ(stroke_from_text(" points: points: 4-5", Scale320).points_x.size(), 1u);
    // A carriage return at the end of a reply line does not spoil the last number.
    EXPECT_EQ(stroke_from_text(" points: 4-5\r", Scale320).points_y, (std::vector<int32_t>{5}));
    // Room for the points is made once, bounded by the text: a text of blanks makes little.
    const std::string blanks = " points:" + std::string(100000, ' ');
    const MWStroke none = stroke_from_text(blanks, Scale320);
    EXPECT_TRUE(none.points_x.empty());
    EXPECT_LE(none.points_x.capacity(), blanks.size() / 4 + 1);
    std::string many = " points:";
    for (int i = 0; i < 1000; ++i) {
        many += " " + std::to_string(i) + "-" + std::to_string(-i);
    }
    const MWStroke long_stroke = stroke_from_text(many, Scale320);
    ASSERT_EQ(long_stroke.points_x.size(), 1000u);
    EXPECT_EQ(long_stroke.points_x.capacity(), 1000u);
    EXPECT_EQ(long_stroke.points_y[999], -999);
    // Keys in any order, repeated keys overwrite.
    const MWStroke order = stroke_from_text(" layer:1 client_time:3 layer:2", Scale320);
    EXPECT_EQ(order.layer, 2);
    EXPECT_EQ(order.client_time, 3);
}

} // namespace
} // namespace velmo::canvas
