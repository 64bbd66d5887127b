#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::identity {

// A canvas or user ID: the nickname, "@", and the GMT time of `seconds` since 1970 as
// "yyyyMMddHHmmssSSS".
std::string makeID(std::string_view nickname, double seconds);

// The seven-character date code of a canvas ID, used in share links: the time stamp in its
// last 17 characters, every month counted as 31 days, as milliseconds since 2010 in base 62
// (0-9, a-z, A-Z), higher digits dropped. Nothing when the ID carries no such time stamp:
// shorter than 17 characters, not all ASCII digits there, or a time before 2010.
std::optional<std::string> dateID(std::string_view canvas_id);

// The canvas ID named by a link of the application's scheme: every percent escape decoded,
// then the 14 characters of "velmorastra://" dropped (the scheme itself is not compared).
// Nothing when an escape is malformed, the decoded text is not UTF-8, or it is shorter than
// the prefix.
std::optional<std::string> canvasIDFromLink(std::string_view link);

} // namespace velmo::identity
