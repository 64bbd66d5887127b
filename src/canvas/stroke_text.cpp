#include "canvas/stroke_text.h"

#include "canvas/number_reader.h"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace velmo::canvas {
namespace {

// Cuts the next item up to `separator` off the front of `text`; the separator is dropped.
std::string_view cutItem(std::string_view& text, char separator) {
    const size_t at = text.find(separator);
    if (at == std::string_view::npos) {
        const std::string_view item = text;
        text = {};
        return item;
    }
    const std::string_view item = text.substr(0, at);
    text.remove_prefix(at + 1);
    return item;
}

template <typename Int> void appendDecimal(std::string& out, Int value) {
    char buffer[24];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, result.ptr);
}

void appendPen(std::string& out, const PenProperties& pen) {
    out += "color=";
    char buffer[16];
    const auto hex =
        std::to_chars(buffer, buffer + sizeof buffer, static_cast<uint32_t>(pen.color), 16);
    out.append(buffer, hex.ptr);
    out += ",width=";
    appendDecimal(out, pen.width);
    out += ",density=";
    appendDecimal(out, pen.density);
}

// Eight bytes at a time: a byte-wise loop over a long stroke cost more than the reallocations
// the count saves.
size_t countBlanks(std::string_view text) {
    constexpr uint64_t Blanks = 0x2020202020202020ULL;
    constexpr uint64_t Low7 = 0x7f7f7f7f7f7f7f7fULL;
    size_t count = 0;
    size_t i = 0;
    for (; i + 8 <= text.size(); i += 8) {
        uint64_t word = 0;
        std::memcpy(&word, text.data() + i, 8);
        const uint64_t x = word ^ Blanks; // a zero byte where the text has a blank
        // High bit of each byte set exactly where that byte of x is not zero.
        const uint64_t nonzero = ((x & Low7) + Low7) | x;
        const uint64_t ones = (~nonzero & ~Low7) >> 7; // 0x01 in each byte that was a blank
        count += static_cast<size_t>((ones * 0x0101010101010101ULL) >> 56);
    }
    for (; i < text.size(); ++i) {
        count += text[i] == ' ' ? 1 : 0;
    }
    return count;
}

void assignIf(int32_t& field, std::optional<int32_t> value) {
    if (value) {
        field = *value;
    }
}

// A point token is "<int><any one byte><int>", as scanf("%d%c%d") reads it. Anything else is
// never written by the encoder and is skipped rather than guessed at.
void readPoint(std::string_view token, MWStroke& stroke) {
    size_t used = 0;
    const auto x = readDecimal32(token, &used);
    if (!x || used >= token.size()) {
        return;
    }
    const auto y = readDecimal32(token.substr(used + 1));
    if (!y) {
        return;
    }
    stroke.points_x.push_back(*x);
    stroke.points_y.push_back(*y);
}

} // namespace

PenProperties defaultPen(float pixel_scale) {
    PenProperties pen;
    // Single precision on purpose: 3 / 0.001f is 2999.99976f, which truncates to 2999.
    pen.width = static_cast<int32_t>(3.0f / pixel_scale);
    return pen;
}

std::string pen_to_text(const PenProperties& pen) {
    std::string out;
    appendPen(out, pen);
    return out;
}

PenProperties pen_from_text(std::string_view text, float pixel_scale) {
    PenProperties pen = defaultPen(pixel_scale);
    while (!text.empty()) {
        const std::string_view item = cutItem(text, ',');
        const size_t equals = item.find('=');
        if (equals == std::string_view::npos || equals == 0) {
            continue;
        }
        const std::string_view key = item.substr(0, equals);
        const std::string_view value = item.substr(equals + 1);
        if (key == "color") {
            if (const auto color = readHex32(value)) {
                pen.color = static_cast<int32_t>(*color);
            }
        } else if (key == "width") {
            assignIf(pen.width, readDecimal32(value));
        } else if (key == "density") {
            assignIf(pen.density, readDecimal32(value));
        }
    }
    return pen;
}

std::string stroke_to_text(const MWStroke& stroke) {
    std::string out;
    out.reserve(96 + stroke.user_name.size() + stroke.points_x.size() * 16);
    out += " client_time:";
    appendDecimal(out, stroke.client_time);
    out += " server_time:";
    appendDecimal(out, stroke.server_time);
    out += " user_name:";
    out += stroke.user_name;
    out += " pen_properties:";
    appendPen(out, stroke.pen_properties);
    out += " layer:";
    appendDecimal(out, stroke.layer);
    out += " points:";
    // One pair per entry of points_x; a shorter points_y (never made by this program) is cut
    // rather than read past its end.
    const size_t count = std::min(stroke.points_x.size(), stroke.points_y.size());
    for (size_t i = 0; i < count; ++i) {
        out += ' ';
        appendDecimal(out, stroke.points_x[i]);
        out += '-';
        appendDecimal(out, stroke.points_y[i]);
    }
    return out;
}

MWStroke stroke_from_text(std::string_view text, float pixel_scale) {
    MWStroke stroke;
    stroke.pen_properties = defaultPen(pixel_scale);
    bool point_mode = false;
    while (!text.empty()) {
        const std::string_view token = cutItem(text, ' ');
        if (token == "points:") {
            point_mode = true;
            // One allocation instead of a doubling series. A point takes at least four bytes
            // with its separator, which bounds what a text of blanks can make us reserve.
            const size_t tokens = std::min(countBlanks(text) + 1, text.size() / 4 + 1);
            stroke.points_x.reserve(stroke.points_x.size() + tokens);
            stroke.points_y.reserve(stroke.points_y.size() + tokens);
            continue;
        }
        if (point_mode) {
            readPoint(token, stroke);
            continue;
        }
        const size_t colon = token.find(':');
        const std::string_view key =
            colon == std::string_view::npos ? token : token.substr(0, colon);
        const std::string_view value =
            colon == std::string_view::npos ? token : token.substr(colon + 1);
        if (key == "client_time") {
            if (const auto time = readDecimal64(value)) {
                stroke.client_time = *time;
            }
        } else if (key == "server_time") {
            if (const auto time = readDecimal64(value)) {
                stroke.server_time = *time;
            }
        } else if (key == "layer") {
            assignIf(stroke.layer, readDecimal32(value));
        } else if (key == "user_name") {
            stroke.user_name = std::string(value);
        } else if (key == "pen_properties") {
            stroke.pen_properties = pen_from_text(value, pixel_scale);
        }
    }
    return stroke;
}

} // namespace velmo::canvas
