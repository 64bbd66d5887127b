#include "wire/key_header.h"

#include "wire/canvas_id.h"
#include "wire/percent_codec.h"

namespace velmo::wire {

std::optional<KeyHeader> parseKeyHeader(std::string_view value) {
    // The key has no space; a user name may hold one.
    const size_t space = value.rfind(' ');
    if (space == std::string_view::npos || space == 0) {
        return std::nullopt;
    }
    const std::string_view user_id = value.substr(0, space);
    const std::string_view hex = value.substr(space + 1);
    if (!isValidUserName(user_id)) {
        return std::nullopt;
    }
    if (hex.size() % 2 != 0 || hex.size() < 2 * MinKeyBytes || hex.size() > 2 * MaxKeyBytes) {
        return std::nullopt;
    }
    KeyHeader header;
    header.user_id = std::string(user_id);
    header.key.reserve(hex.size() / 2);
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hexDigitValue(hex[i]);
        const int low = hexDigitValue(hex[i + 1]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        header.key += static_cast<char>(high * 16 + low);
    }
    return header;
}

std::string keyHeaderValue(std::string_view user_id, std::string_view key) {
    static constexpr char Hex[] = "0123456789abcdef";
    std::string value(user_id);
    value += ' ';
    for (const char c : key) {
        const auto byte = static_cast<unsigned char>(c);
        value += Hex[byte >> 4];
        value += Hex[byte & 15];
    }
    return value;
}

} // namespace velmo::wire
