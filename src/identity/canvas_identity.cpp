#include "identity/canvas_identity.h"

#include "text/gmt_stamp.h"
#include "text/utf8_text.h"

#include <cstdint>

namespace velmo::identity {
namespace {

constexpr size_t StampLength = 17;
constexpr size_t SchemePrefixLength = 14; // "velmorastra://"

int64_t decimal(std::string_view digits) {
    int64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) {
            return std::nullopt;
        }
        const int high = hexValue(text[i + 1]);
        const int low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) {
            return std::nullopt;
        }
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    return out;
}

} // namespace

std::string makeID(std::string_view nickname, double seconds) {
    std::string id(nickname);
    id += '@';
    id += text::gmtStampMillis(seconds);
    return id;
}

std::optional<std::string> dateID(std::string_view canvas_id) {
    if (canvas_id.size() < StampLength) {
        return std::nullopt;
    }
    const std::string_view stamp = canvas_id.substr(canvas_id.size() - StampLength);
    for (const char c : stamp) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    const int64_t year = decimal(stamp.substr(0, 4));
    const int64_t month = decimal(stamp.substr(4, 2));
    const int64_t day = decimal(stamp.substr(6, 2));
    const int64_t hour = decimal(stamp.substr(8, 2));
    const int64_t minute = decimal(stamp.substr(10, 2));
    const int64_t second = decimal(stamp.substr(12, 2));
    const int64_t millis = decimal(stamp.substr(14, 3));
    int64_t t =
        (((((year - 2010) * 12 + (month - 1)) * 31 + (day - 1)) * 24 + hour) * 60 + minute) * 60 +
        second;
    t = t * 1000 + millis;
    if (t < 0) {
        return std::nullopt;
    }
    static constexpr char Digits[] =
        "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";
    std::string code(7, '0');
    for (size_t i = code.size(); i-- > 0;) {
        code[i] = Digits[t % 62];
        t /= 62;
    }
    return code;
}

std::optional<std::string> canvasIDFromLink(std::string_view link) {
    auto decoded = percentDecoded(link);
    if (!decoded || !text::isValidUtf8(*decoded) || decoded->size() < SchemePrefixLength) {
        return std::nullopt;
    }
    for (size_t i = 0; i < SchemePrefixLength; ++i) {
        // A prefix of other than single-byte characters is not the scheme's; cutting its
        // bytes could split a character.
        if (static_cast<unsigned char>((*decoded)[i]) >= 0x80) {
            return std::nullopt;
        }
    }
    return decoded->substr(SchemePrefixLength);
}

} // namespace velmo::identity
