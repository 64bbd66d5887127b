#pragma once

#include "canvas/pen_properties.h"

#include <cstdint>
#include <string>
#include <vector>

namespace velmo::canvas {

// One finished stroke: who drew it, when, with which pen, on which layer, through which
// points (canvas units). Times are milliseconds since 1970; `server_time` is 0 until the
// server stamps the stroke. `points_x` and `points_y` are kept equally long by every writer,
// but a decoded stroke from outside is only trusted for the length of `points_x` where the
// renderer checks both.
struct MWStroke {
    int64_t client_time = 0;
    int64_t server_time = 0;
    std::string user_name;
    PenProperties pen_properties;
    int32_t layer = 0;
    std::vector<int32_t> points_x;
    std::vector<int32_t> points_y;

    bool operator==(const MWStroke&) const = default;
};

} // namespace velmo::canvas
