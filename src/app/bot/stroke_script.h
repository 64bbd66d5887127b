#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace velmo::bot {

// One stroke for the bot to draw: a layer and its points in canvas-view pixels.
struct ScriptedStroke {
    int layer = 0;
    std::vector<std::pair<int, int>> points;
    bool operator==(const ScriptedStroke&) const = default;
};

// A script: one stroke a line, "LAYER X,Y X,Y ...". Empty lines and lines starting with '#'
// are skipped; a line that does not read as a stroke is an error (its number is returned).
struct ScriptResult {
    std::vector<ScriptedStroke> strokes;
    int bad_line = 0;
};
ScriptResult parseStrokeScript(const std::string& text);

// Random scribbles inside a width x height canvas: each a short random walk.
class RandomStrokes {
public:
    RandomStrokes(uint32_t seed, int width, int height, int points);
    ScriptedStroke next();

private:
    std::mt19937 random;
    int width;
    int height;
    int points;
};

} // namespace velmo::bot
