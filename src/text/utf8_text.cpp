#include "text/utf8_text.h"

#include <cstdint>

namespace velmo::text {

bool isValidUtf8(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte < 0x80) {
            ++i;
            continue;
        }
        size_t length = 0;
        uint8_t low = 0x80;
        uint8_t high = 0xBF;
        if (byte >= 0xC2 && byte <= 0xDF) {
            length = 2;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            length = 3;
            low = byte == 0xE0 ? 0xA0 : 0x80;
            high = byte == 0xED ? 0x9F : 0xBF;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            length = 4;
            low = byte == 0xF0 ? 0x90 : 0x80;
            high = byte == 0xF4 ? 0x8F : 0xBF;
        } else {
            return false;
        }
        if (text.size() - i < length) {
            return false;
        }
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<uint8_t>(text[i + k]);
            const uint8_t lo = k == 1 ? low : 0x80;
            const uint8_t hi = k == 1 ? high : 0xBF;
            if (next < lo || next > hi) {
                return false;
            }
        }
        i += length;
    }
    return true;
}

bool holdsLineTerminator(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<uint8_t>(text[i]);
        if (byte >= 0x0A && byte <= 0x0D) {
            return true;
        }
        if (byte == 0xC2 && i + 1 < text.size() && static_cast<uint8_t>(text[i + 1]) == 0x85) {
            return true;
        }
        if (byte == 0xE2 && i + 2 < text.size() && static_cast<uint8_t>(text[i + 1]) == 0x80 &&
            (static_cast<uint8_t>(text[i + 2]) == 0xA8 ||
             static_cast<uint8_t>(text[i + 2]) == 0xA9)) {
            return true;
        }
    }
    return false;
}

} // namespace velmo::text
