#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::imagehost {

// The image URL in an image host's answer. The answer must be valid UTF-8; it is cut into
// lines at every CR LF, and a line is a URL when the whole line begins with "http://" or "https://"
// and holds no further line terminator. When several lines are, the last one wins. Total: any bytes
// give a URL or nothing.
std::optional<std::string> readUploadAnswer(std::string_view answer);

} // namespace velmo::imagehost
