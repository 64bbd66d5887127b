#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace velmo::canvas {

// Reads a number at the start of `text` the way C's scanf does (leading white space skipped,
// an optional sign for decimals), stopping at the first byte that is not part of it. Gives
// nothing when no digit is found. Out-of-range decimals saturate; hexadecimals keep their low
// 32 bits. `consumed` receives the number of bytes read.
std::optional<int64_t> readDecimal64(std::string_view text, size_t* consumed = nullptr);
std::optional<int32_t> readDecimal32(std::string_view text, size_t* consumed = nullptr);
std::optional<uint32_t> readHex32(std::string_view text, size_t* consumed = nullptr);

} // namespace velmo::canvas
