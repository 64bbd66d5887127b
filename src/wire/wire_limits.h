#pragma once

#include <cstddef>

namespace velmo::wire {

// What one command may carry. The server refuses anything beyond with a 4xx status before it
// stores anything.
inline constexpr size_t MaxCanvasId = 256;
inline constexpr size_t MaxUserName = 256;
inline constexpr size_t MaxNickname = 256;
inline constexpr size_t MaxStrokePoints = 100000;
inline constexpr size_t MaxImageUrl = 2048;

} // namespace velmo::wire
