#include "wire/date_id.h"

#include <cstdint>

namespace velmo::wire {
namespace {

constexpr size_t StampDigits = 17;
constexpr size_t DateIdLength = 7;
constexpr std::string_view Digits62 =
    "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ";

int64_t number(std::string_view digits) {
    int64_t value = 0;
    for (const char c : digits) {
        value = value * 10 + (c - '0');
    }
    return value;
}

} // namespace

std::optional<std::string> dateID(std::string_view canvas_id) {
    if (canvas_id.size() < StampDigits) {
        return std::nullopt;
    }
    const std::string_view stamp = canvas_id.substr(canvas_id.size() - StampDigits);
    for (const char c : stamp) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
    }
    // At most 9999 years of 12 x 31 x 24 x 60 x 60 x 1000 ms: far inside 64 bits.
    int64_t t = number(stamp.substr(0, 4)) - 2010;
    t = t * 12 + (number(stamp.substr(4, 2)) - 1);
    t = t * 31 + (number(stamp.substr(6, 2)) - 1);
    t = t * 24 + number(stamp.substr(8, 2));
    t = t * 60 + number(stamp.substr(10, 2));
    t = t * 60 + number(stamp.substr(12, 2));
    t = t * 1000 + number(stamp.substr(14, 3));
    if (t < 0) {
        return std::nullopt;
    }
    std::string code(DateIdLength, '0');
    for (size_t i = DateIdLength; i-- > 0;) {
        code[i] = Digits62[static_cast<size_t>(t % 62)];
        t /= 62;
    }
    return code;
}

} // namespace velmo::wire
