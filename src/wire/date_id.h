#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// The seven-character date code of a canvas ID, which share links carry ("?v:<date ID>"): the
// time stamp in the ID's last 17 characters ("yyyyMMddHHmmssSSS"), every month counted as 31
// days, as milliseconds since 2010 in base 62 (0-9, a-z, A-Z), higher digits dropped. Month
// 00 and day 00 are read as written. Nothing when the ID carries no such stamp: shorter than
// 17 characters, not all ASCII digits there, or a time before 2010; such a canvas has no
// share link.
std::optional<std::string> dateID(std::string_view canvas_id);

} // namespace velmo::wire
