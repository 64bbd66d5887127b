#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// The prefix of the application's links: "velmorastra://<canvas ID>".
inline constexpr std::string_view LinkPrefix = "velmorastra://";

// The canvas ID a link names. Every percent escape is decoded first, then the 14 bytes of
// the prefix are dropped without comparing the scheme (so an escaped prefix counts too); a
// query part stays in the ID. Nothing, so that the link opens no canvas, when an escape is
// malformed (a '%' not followed by two hex digits), the decoded text is not UTF-8, it is
// shorter than the prefix, or its first 14 bytes are not all ASCII (cutting them could split
// a character). Total: any bytes in, a UTF-8 ID or nothing out.
std::optional<std::string> canvasIDFromLink(std::string_view link);

// Whether a command-line argument is a link of the scheme: it begins with the prefix, its
// letters in any case. Nothing is decoded.
bool isCanvasLink(std::string_view argument);

} // namespace velmo::wire
