#include "app/bot/stroke_script.h"

#include <gtest/gtest.h>

using velmo::bot::parseStrokeScript;
using velmo::bot::RandomStrokes;
using velmo::bot::ScriptedStroke;

TEST(StrokeScript, ReadsOneStrokeALine) {
    const auto result = parseStrokeScript("# a square\n0 10,10 50,10 50,50\n\n2 7,8\n");
    EXPECT_EQ(result.bad_line, 0);
    ASSERT_EQ(result.strokes.size(), 2u);
    EXPECT_EQ(result.strokes[0], (ScriptedStroke{0, {{10, 10}, {50, 10}, {50, 50}}}));
    EXPECT_EQ(result.strokes[1], (ScriptedStroke{2, {{7, 8}}}));
}

TEST(StrokeScript, NamesTheFirstBadLine) {
    EXPECT_EQ(parseStrokeScript("0 1,1\n3 1,1\n").bad_line, 2);
    EXPECT_EQ(parseStrokeScript("0\n").bad_line, 1);
    EXPECT_EQ(parseStrokeScript("0 1,x\n").bad_line, 1);
    EXPECT_EQ(parseStrokeScript("1 1;2\n").bad_line, 1);
}

TEST(StrokeScript, RandomStrokesStayInsideAndRepeatWithTheSeed) {
    RandomStrokes a(7, 320, 480, 30);
    RandomStrokes b(7, 320, 480, 30);
    for (int i = 0; i < 50; ++i) {
        const ScriptedStroke stroke = a.next();
        EXPECT_EQ(stroke, b.next());
        ASSERT_EQ(stroke.points.size(), 30u);
        for (const auto& [x, y] : stroke.points) {
            EXPECT_TRUE(x >= 0 && x < 320 && y >= 0 && y < 480);
        }
    }
}
