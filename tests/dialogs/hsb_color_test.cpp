#include "dialogs/hsb_color.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace velmo::dialogs {
namespace {

int32_t color(uint32_t bits) {
    return static_cast<int32_t>(bits);
}

TEST(HsbColor, HueOfPrimariesAndMixes) {
    const struct {
        uint32_t pen;
        float hue;
    } cases[] = {
        {0xFFFF0000u, 0.0f},        {0xFF00FF00u, 1.0f / 3.0f}, {0xFF0000FFu, 2.0f / 3.0f},
        {0xFFFFFF00u, 1.0f / 6.0f}, {0xFFFF00FFu, 5.0f / 6.0f}, {0xFF00FFFFu, 0.5f},
    };
    for (const auto& c : cases) {
        const auto hue = hueOfPenColor(color(c.pen));
        ASSERT_TRUE(hue.has_value()) << std::hex << c.pen;
        EXPECT_NEAR(*hue, c.hue, 1e-6) << std::hex << c.pen;
    }
}

TEST(HsbColor, GreysHaveNoHue) {
    for (const uint32_t pen : {0xFF000000u, 0xFFFFFFFFu, 0xFF808080u, 0x00404040u}) {
        EXPECT_FALSE(hueOfPenColor(color(pen)).has_value()) << std::hex << pen;
    }
}

TEST(HsbColor, ColourModelClampsOutOfRangeValues) {
    EXPECT_EQ(hsbToRgb(0.0, 0.0, 1.0), (RgbColor{1, 1, 1}));
    EXPECT_EQ(hsbToRgb(0.5, 0.3, 0.0), (RgbColor{0, 0, 0}));
    EXPECT_EQ(hsbToRgb(0.0, 1.0, 1.0), (RgbColor{1, 0, 0}));
    EXPECT_EQ(hsbToRgb(1.0, 1.0, 1.0), (RgbColor{1, 0, 0}));
    EXPECT_EQ(hsbToRgb(0.0, 2.0, 1.5), (RgbColor{1, 0, 0}));
    EXPECT_EQ(hsbToRgb(0.0, -1.0, 1.5), (RgbColor{1, 1, 1}));
    EXPECT_EQ(hsbToRgb(-0.5, 1.0, 1.0), (RgbColor{1, 0, 0}));
}

TEST(HsbColor, PenColourTruncatesChannels) {
    EXPECT_EQ(static_cast<uint32_t>(penColorOfRgb({1.0, 0.5, 0.0})), 0xFFFF7F00u);
    EXPECT_EQ(static_cast<uint32_t>(penColorOfRgb({0.999, 0.004, 0.0039})), 0xFFFE0100u);
    // Back and forth through single precision loses at most one step per channel.
    for (const uint32_t pen : {0xFF123456u, 0xFFFEDCBAu, 0xFF010203u}) {
        const auto back = static_cast<uint32_t>(penColorOfRgb(rgbOfPenColor(color(pen))));
        for (int shift : {0, 8, 16}) {
            const int original = static_cast<int>((pen >> shift) & 0xFF);
            const int after = static_cast<int>((back >> shift) & 0xFF);
            EXPECT_TRUE(after == original || after == original - 1) << std::hex << pen;
        }
        EXPECT_EQ(back >> 24, 0xFFu);
    }
}

TEST(HsbColor, SquareCellsAtMostFiftyEachWay) {
    const struct {
        int w, h, step_x, columns, step_y, rows;
    } cases[] = {
        {200, 200, 4, 50, 4, 50}, {280, 280, 6, 47, 6, 47}, {50, 1, 1, 50, 1, 1},
        {51, 100, 2, 26, 2, 50},  {0, 0, 1, 0, 1, 0},
    };
    for (const auto& c : cases) {
        const CellGrid grid = satBriCells(c.w, c.h);
        EXPECT_EQ(grid.step_x, c.step_x) << c.w;
        EXPECT_EQ(grid.columns, c.columns) << c.w;
        EXPECT_EQ(grid.step_y, c.step_y) << c.h;
        EXPECT_EQ(grid.rows, c.rows) << c.h;
    }
}

} // namespace
} // namespace velmo::dialogs
