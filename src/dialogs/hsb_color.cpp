#include "dialogs/hsb_color.h"

#include <algorithm>
#include <cmath>

namespace velmo::dialogs {

namespace {

double clamp01(double v) {
    if (std::isnan(v)) {
        return 0.0;
    }
    return std::clamp(v, 0.0, 1.0);
}

int cellCount(int extent, int step) {
    return extent <= 0 ? 0 : (extent + step - 1) / step;
}

} // namespace

RgbColor hsbToRgb(double hue, double saturation, double brightness) {
    const double h = clamp01(hue);
    const double s = clamp01(saturation);
    const double v = clamp01(brightness);
    if (s == 0.0) {
        return {v, v, v};
    }
    // Six sectors of the hue circle; hue 1 wraps round to red.
    double sector = h * 6.0;
    if (sector >= 6.0) {
        sector = 0.0;
    }
    const int i = static_cast<int>(sector);
    const double f = sector - i;
    const double p = v * (1.0 - s);
    const double q = v * (1.0 - s * f);
    const double t = v * (1.0 - s * (1.0 - f));
    switch (i) {
    case 0:
        return {v, t, p};
    case 1:
        return {q, v, p};
    case 2:
        return {p, v, t};
    case 3:
        return {p, q, v};
    case 4:
        return {t, p, v};
    default:
        return {v, p, q};
    }
}

RgbColor rgbOfPenColor(int32_t color) {
    const auto bits = static_cast<uint32_t>(color);
    auto channel = [&](int shift) {
        return static_cast<double>(static_cast<float>(((bits >> shift) & 0xFFu) / 255.0));
    };
    return {channel(16), channel(8), channel(0)};
}

std::optional<float> hueOfPenColor(int32_t color) {
    const auto bits = static_cast<uint32_t>(color);
    const auto r = static_cast<float>((bits & 0xFF0000u) / 16711680.0);
    const auto g = static_cast<float>((bits & 0xFF00u) / 65280.0);
    const auto b = static_cast<float>((bits & 0xFFu) / 255.0);
    const float max = std::max({r, g, b});
    const float min = std::min({r, g, b});
    if (!(max > min)) {
        return std::nullopt;
    }
    float h = 0.0f;
    if (r == max) {
        h = (g - b) / (max - min);
    } else if (g == max) {
        h = (b - r) / (max - min) + 2.0f;
    } else {
        h = (r - g) / (max - min) + 4.0f;
    }
    if (h < 0.0f) {
        h += 6.0f;
    }
    return h / 6.0f;
}

int32_t penColorOfRgb(const RgbColor& color) {
    auto channel = [](double v) {
        return static_cast<uint32_t>(std::clamp(static_cast<int>(clamp01(v) * 255.0), 0, 255));
    };
    const uint32_t bits =
        0xFF000000u | channel(color.red) << 16 | channel(color.green) << 8 | channel(color.blue);
    return static_cast<int32_t>(bits);
}

CellGrid satBriCells(int width, int height) {
    CellGrid grid;
    grid.step_x = std::max(1, cellCount(width, 50));
    grid.step_y = std::max(1, cellCount(height, 50));
    grid.columns = cellCount(width, grid.step_x);
    grid.rows = cellCount(height, grid.step_y);
    return grid;
}

} // namespace velmo::dialogs
