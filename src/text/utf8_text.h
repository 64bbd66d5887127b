#pragma once

#include <string_view>

namespace velmo::text {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool isValidUtf8(std::string_view text);

// Whether valid UTF-8 text holds a character that a regular expression's "." refuses: LF,
// VT, FF, CR, NEL, LINE SEPARATOR or PARAGRAPH SEPARATOR. Whole-line patterns ending in ".*"
// match exactly the texts without one.
bool holdsLineTerminator(std::string_view text);

} // namespace velmo::text
