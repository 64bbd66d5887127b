#pragma once

#include <cstdint>
#include <optional>

namespace velmo::dialogs {

// A colour as the picker handles it: red, green and blue in 0..1, double precision.
struct RgbColor {
    double red = 0.0;
    double green = 0.0;
    double blue = 0.0;

    bool operator==(const RgbColor&) const = default;
};

// The colour of hue, saturation and brightness. Each value outside 0..1 counts as the nearer
// end (a finger dragged past the square gives such values); hue 1 is red again.
RgbColor hsbToRgb(double hue, double saturation, double brightness);

// The channels of a pen colour 0xAARRGGBB, each byte / 255 in double precision narrowed to
// single; the alpha byte is ignored.
RgbColor rgbOfPenColor(int32_t color);

// The hue (0..1) of a pen colour, or nothing for black, white and greys. When two channels
// share the maximum, red wins over green and green over blue.
std::optional<float> hueOfPenColor(int32_t color);

// The opaque pen colour of a picked colour: each channel times 255, truncated (not rounded),
// and held within 0..255.
int32_t penColorOfRgb(const RgbColor& color);

// The square's cells: `columns` cells of `step_x` wide and `rows` of `step_y` high, at most 50
// each way; the last column or row may reach past the box.
struct CellGrid {
    int step_x = 1;
    int step_y = 1;
    int columns = 0;
    int rows = 0;
};
CellGrid satBriCells(int width, int height);

} // namespace velmo::dialogs
