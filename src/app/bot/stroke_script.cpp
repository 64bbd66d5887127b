#include "app/bot/stroke_script.h"

#include <algorithm>
#include <charconv>
#include <sstream>

namespace velmo::bot {
namespace {

std::optional<int> readInt(std::string_view text) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

} // namespace

ScriptResult parseStrokeScript(const std::string& text) {
    ScriptResult result;
    std::istringstream lines(text);
    std::string line;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word[0] == '#') {
            continue;
        }
        ScriptedStroke stroke;
        const auto layer = readInt(word);
        if (!layer || *layer < 0 || *layer > 2) {
            result.bad_line = number;
            return result;
        }
        stroke.layer = *layer;
        while (words >> word) {
            const size_t comma = word.find(',');
            const auto x = comma == std::string::npos
                               ? std::nullopt
                               : readInt(std::string_view(word).substr(0, comma));
            const auto y = comma == std::string::npos
                               ? std::nullopt
                               : readInt(std::string_view(word).substr(comma + 1));
            if (!x || !y) {
                result.bad_line = number;
                return result;
            }
            stroke.points.emplace_back(*x, *y);
        }
        if (stroke.points.empty()) {
            result.bad_line = number;
            return result;
        }
        result.strokes.push_back(std::move(stroke));
    }
    return result;
}

RandomStrokes::RandomStrokes(uint32_t seed, int width_, int height_, int points_)
    : random(seed), width(std::max(width_, 1)), height(std::max(height_, 1)),
      points(std::max(points_, 1)) {}

ScriptedStroke RandomStrokes::next() {
    std::uniform_int_distribution<int> x_at(0, width - 1);
    std::uniform_int_distribution<int> y_at(0, height - 1);
    const int reach = std::max(2, std::min(width, height) / 20);
    std::uniform_int_distribution<int> step(-reach, reach);
    ScriptedStroke stroke;
    stroke.layer = 0;
    int x = x_at(random);
    int y = y_at(random);
    for (int i = 0; i < points; ++i) {
        stroke.points.emplace_back(x, y);
        x = std::clamp(x + step(random), 0, width - 1);
        y = std::clamp(y + step(random), 0, height - 1);
    }
    return stroke;
}

} // namespace velmo::bot
