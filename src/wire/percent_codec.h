#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// Percent-encodes every byte but letters, digits and - . _ ~ @ so that a canvas ID can stand
// in a URL path (the server's render and event-stream routes, share pages).
std::string percentEncode(std::string_view bytes);
// The reverse; nothing when a "%" is not followed by two hexadecimal digits.
std::optional<std::string> percentDecode(std::string_view text);

} // namespace velmo::wire
