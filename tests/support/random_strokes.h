#pragma once

#include "canvas/canvas_geometry.h"
#include "canvas/mw_stroke.h"

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

namespace velmo::testing {

// Strokes of hand-drawn size as a window of 600 x 800 (or another size) makes them: 30 to 60
// points a stroke along a smooth random path a few pixels a point, starting anywhere in the
// window, pens 2 to 40 px wide, random colours and densities, on all three layers.
// Deterministic for a seed. Server and client times are left 0 for the caller to set.
class HandStrokes {
public:
    explicit HandStrokes(uint32_t seed, int window_width = 600, int window_height = 800)
        : rng(seed), step(-15.0f, 15.0f), width(static_cast<float>(window_width)),
          height(static_cast<float>(window_height)) {
        window.setScreenSize(width, height);
    }

    canvas::MWStroke next() {
        std::uniform_real_distribution<float> start_x(0.0f, width);
        std::uniform_real_distribution<float> start_y(0.0f, height);
        std::uniform_int_distribution<int> points(30, 60);
        std::uniform_int_distribution<int> width_px(2, 40);
        std::uniform_int_distribution<int> layer(0, 2);
        std::uniform_int_distribution<int> density(32, 255);
        std::uniform_int_distribution<uint32_t> rgb(0, 0xFFFFFF);
        canvas::MWStroke s;
        s.user_name = "hand@20101201100000000";
        s.pen_properties.color = static_cast<int32_t>(0xFF000000u | rgb(rng));
        s.pen_properties.width =
            static_cast<int32_t>(static_cast<float>(width_px(rng)) / window.pixel_scale);
        s.pen_properties.density = density(rng);
        s.layer = layer(rng);
        float x = start_x(rng);
        float y = start_y(rng);
        float dx = step(rng);
        float dy = step(rng);
        const int count = points(rng);
        for (int k = 0; k < count; ++k) {
            s.points_x.push_back(window.toUnits(x));
            s.points_y.push_back(window.toUnits(y));
            dx = 0.7f * dx + 0.3f * step(rng);
            dy = 0.7f * dy + 0.3f * step(rng);
            x += dx;
            y += dy;
        }
        return s;
    }

    // `count` strokes stamped 1, 2, ... (server and client time alike).
    std::vector<canvas::MWStroke> stamped(int count) {
        std::vector<canvas::MWStroke> strokes;
        strokes.reserve(static_cast<size_t>(count));
        for (int i = 0; i < count; ++i) {
            strokes.push_back(next());
            strokes.back().server_time = i + 1;
            strokes.back().client_time = i + 1;
        }
        return strokes;
    }

private:
    std::mt19937 rng;
    std::uniform_real_distribution<float> step;
    float width, height;
    canvas::CanvasGeometry window;
};

} // namespace velmo::testing
