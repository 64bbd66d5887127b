#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// The value of a hex digit of either case, -1 for any other byte.
int hexDigitValue(char c);

// Percent-encodes every byte but ASCII letters, digits and - . _ ~ @ (as "%XX", upper-case
// hex), so that a canvas ID can stand in a URL path or a link.
std::string percentEncode(std::string_view bytes);

// Every "%XX" (hex digits in either case) becomes its byte; every other byte stays, '+'
// included. Nothing when a '%' is not followed by two hex digits: a malformed text names
// nothing rather than something close to it. The result may be any bytes, not only UTF-8.
std::optional<std::string> percentDecode(std::string_view text);

} // namespace velmo::wire
