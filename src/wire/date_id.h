#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// The seven-character code of a canvas's creation time that share links carry, made from the
// last 17 digits of the canvas ID ("yyyyMMddHHmmssSSS", every month counted as 31 days, base
// 62). Nothing for an ID that does not end in 17 digits or whose time lies before 2010: such
// a canvas has no share link.
std::optional<std::string> dateIdOf(std::string_view canvas_id);

} // namespace velmo::wire
