#include "canvas/number_reader.h"

#include <algorithm>
#include <limits>

namespace velmo::canvas {
namespace {

bool isCSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

size_t skipSpace(std::string_view text) {
    size_t i = 0;
    while (i < text.size() && isCSpace(text[i])) {
        ++i;
    }
    return i;
}

} // namespace

std::optional<int64_t> readDecimal64(std::string_view text, size_t* consumed) {
    size_t i = skipSpace(text);
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const size_t first_digit = i;
    // Accumulate the magnitude as unsigned so that INT64_MIN is representable.
    constexpr uint64_t limit = static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1;
    uint64_t magnitude = 0;
    bool overflow = false;
    // Eighteen digits cannot pass the limit: no check needed while reading them.
    const size_t unchecked_end = std::min(text.size(), i + 18);
    while (i < unchecked_end && text[i] >= '0' && text[i] <= '9') {
        magnitude = magnitude * 10 + static_cast<uint64_t>(text[i] - '0');
        ++i;
    }
    while (i < text.size() && text[i] >= '0' && text[i] <= '9') {
        const auto digit = static_cast<uint64_t>(text[i] - '0');
        if (magnitude > (limit - digit) / 10) {
            overflow = true;
        } else {
            magnitude = magnitude * 10 + digit;
        }
        ++i;
    }
    if (i == first_digit) {
        return std::nullopt;
    }
    if (consumed != nullptr) {
        *consumed = i;
    }
    if (negative) {
        if (overflow) {
            return std::numeric_limits<int64_t>::min();
        }
        return magnitude == limit ? std::numeric_limits<int64_t>::min()
                                  : -static_cast<int64_t>(magnitude);
    }
    if (overflow || magnitude == limit) {
        return std::numeric_limits<int64_t>::max();
    }
    return static_cast<int64_t>(magnitude);
}

std::optional<int32_t> readDecimal32(std::string_view text, size_t* consumed) {
    const auto wide = readDecimal64(text, consumed);
    if (!wide) {
        return std::nullopt;
    }
    if (*wide > std::numeric_limits<int32_t>::max()) {
        return std::numeric_limits<int32_t>::max();
    }
    if (*wide < std::numeric_limits<int32_t>::min()) {
        return std::numeric_limits<int32_t>::min();
    }
    return static_cast<int32_t>(*wide);
}

std::optional<uint32_t> readHex32(std::string_view text, size_t* consumed) {
    size_t i = skipSpace(text);
    const size_t first_digit = i;
    uint32_t value = 0;
    while (i < text.size()) {
        const char c = text[i];
        uint32_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = static_cast<uint32_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            digit = static_cast<uint32_t>(c - 'a' + 10);
        } else if (c >= 'A' && c <= 'F') {
            digit = static_cast<uint32_t>(c - 'A' + 10);
        } else {
            break;
        }
        value = (value << 4) | digit;
        ++i;
    }
    if (i == first_digit) {
        return std::nullopt;
    }
    if (consumed != nullptr) {
        *consumed = i;
    }
    return value;
}

} // namespace velmo::canvas
