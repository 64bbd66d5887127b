#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::app {

// The link prefix of the application's URL scheme.
inline constexpr std::string_view LinkPrefix = "velmorastra://";

// The canvas ID a link names: every percent escape decoded first, then the 14-character
// prefix dropped; a query part stays in the ID. Nothing when the link is shorter than the
// prefix or its escapes do not decode to UTF-8, so such a link opens no canvas.
std::optional<std::string> canvasIDFromLink(std::string_view link);

// Whether a command-line argument is a link of the scheme (its name in any case).
bool isCanvasLink(std::string_view argument);

} // namespace velmo::app
