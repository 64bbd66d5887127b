#include "wire/stroke_progress.h"

#include "canvas/number_reader.h"
#include "canvas/stroke_text.h"
#include "wire/canvas_id.h"
#include "wire/percent_codec.h"
#include "wire/server_events.h"

#include <algorithm>

namespace velmo::wire {
namespace {

void appendField(std::string& out, std::string_view key, int64_t value) {
    out += ' ';
    out += key;
    out += std::to_string(value);
}

std::string_view cutToken(std::string_view& text) {
    const size_t start = text.find_first_not_of(' ');
    if (start == std::string_view::npos) {
        text = {};
        return {};
    }
    text.remove_prefix(start);
    const size_t end = std::min(text.find(' '), text.size());
    const std::string_view token = text.substr(0, end);
    text.remove_prefix(end);
    return token;
}

std::optional<int64_t> wholeDecimal(std::string_view text) {
    size_t used = 0;
    const auto value = canvas::readDecimal64(text, &used);
    if (!value || used != text.size()) {
        return std::nullopt;
    }
    return value;
}

// "<int>-<int>", the second possibly negative ("3--5"), as the stroke text writes points.
bool readPoint(std::string_view token, StrokeProgress& out) {
    size_t used = 0;
    const auto x = canvas::readDecimal32(token, &used);
    if (!x || used + 1 >= token.size() || token[used] != '-') {
        return false;
    }
    size_t rest = 0;
    const auto y = canvas::readDecimal32(token.substr(used + 1), &rest);
    if (!y || used + 1 + rest != token.size()) {
        return false;
    }
    out.points_x.push_back(*x);
    out.points_y.push_back(*y);
    return true;
}

} // namespace

std::string progressText(const StrokeProgress& progress) {
    std::string out;
    out.reserve(96 + progress.user_name.size() + progress.points_x.size() * 14);
    out += "user_name:";
    out += progress.user_name;
    appendField(out, "stroke:", progress.stroke);
    if (progress.cancel) {
        out += " cancel";
        return out;
    }
    appendField(out, "from:", progress.from);
    appendField(out, "at:", progress.at);
    out += " pen_properties:";
    out += canvas::pen_to_text(progress.pen);
    appendField(out, "layer:", progress.layer);
    out += " points:";
    const size_t count = std::min(progress.points_x.size(), progress.points_y.size());
    for (size_t i = 0; i < count; ++i) {
        out += ' ';
        out += std::to_string(progress.points_x[i]);
        out += '-';
        out += std::to_string(progress.points_y[i]);
    }
    return out;
}

std::string progressCommand(std::string_view canvas_id, const StrokeProgress& progress) {
    std::string out(canvas_id);
    out += ProgressAfterID;
    out += progressText(progress);
    return out;
}

bool isPresenceUser(std::string_view user_id) {
    return !user_id.empty() && isValidUserName(user_id) &&
           user_id.find(' ') == std::string_view::npos;
}

std::optional<StrokeProgress> parseProgress(std::string_view text, float pixel_scale) {
    if (text.size() > MaxProgressText) {
        return std::nullopt;
    }
    StrokeProgress out;
    out.pen = canvas::defaultPen(pixel_scale);
    bool has_user = false, has_stroke = false, has_from = false, has_at = false;
    bool in_points = false;
    while (true) {
        const std::string_view token = cutToken(text);
        if (token.empty()) {
            break;
        }
        if (in_points) {
            if (out.points_x.size() >= MaxProgressPoints || !readPoint(token, out)) {
                return std::nullopt;
            }
            continue;
        }
        const size_t colon = token.find(':');
        const std::string_view key =
            token.substr(0, colon == std::string_view::npos ? 0 : colon + 1);
        const std::string_view value = token.substr(key.size());
        if (token == "cancel") {
            out.cancel = true;
        } else if (key == "user_name:") {
            out.user_name = std::string(value);
            has_user = isPresenceUser(out.user_name);
        } else if (key == "stroke:") {
            const auto v = wholeDecimal(value);
            has_stroke = v.has_value();
            out.stroke = v.value_or(0);
        } else if (key == "from:") {
            const auto v = wholeDecimal(value);
            has_from = v && *v >= 0 && *v <= int64_t{100000};
            out.from = has_from ? static_cast<uint32_t>(*v) : 0;
        } else if (key == "at:") {
            const auto v = wholeDecimal(value);
            has_at = v.has_value();
            out.at = v.value_or(0);
        } else if (key == "pen_properties:") {
            out.pen = canvas::pen_from_text(value, pixel_scale);
        } else if (key == "layer:") {
            const auto v = wholeDecimal(value);
            if (!v || *v < 0 || *v > 2) {
                return std::nullopt;
            }
            out.layer = static_cast<int32_t>(*v);
        } else if (token == "points:") {
            in_points = true;
        }
        // Anything else is a field of a later version, ignored.
    }
    if (!has_user || !has_stroke) {
        return std::nullopt;
    }
    if (out.cancel) {
        out.points_x.clear();
        out.points_y.clear();
        return out;
    }
    if (!has_from || !has_at || out.points_x.empty()) {
        return std::nullopt;
    }
    return out;
}

std::string presenceStreamURL(std::string_view server_base_url, std::string_view canvas_id,
                              std::string_view user_id) {
    std::string url = eventStreamURL(server_base_url, canvas_id);
    url += '?';
    url += PresenceUserParameter;
    url += percentEncode(user_id);
    return url;
}

std::optional<std::string> presenceUserOf(std::string_view target) {
    const size_t question = target.find('?');
    if (question == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        const size_t amp = std::min(query.find('&'), query.size());
        const std::string_view item = query.substr(0, amp);
        query.remove_prefix(std::min(amp + 1, query.size()));
        if (item.substr(0, PresenceUserParameter.size()) == PresenceUserParameter) {
            auto user = percentDecode(item.substr(PresenceUserParameter.size()));
            if (user) {
                return std::move(*user);
            }
            return std::nullopt;
        }
    }
    return std::nullopt;
}

} // namespace velmo::wire
