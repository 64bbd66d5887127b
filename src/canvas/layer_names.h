#pragma once

#include <string>
#include <string_view>

namespace velmo::canvas {

// The three layers by the blend each applies to the ones beneath: what the user sees them
// called in the pen dialog, the toolbar and the info line.
inline constexpr unsigned LayerCount = 3;

// "Normal", "Multiply" or "Screen"; an index past the layers has no name (empty).
constexpr std::string_view layerName(unsigned index) {
    constexpr std::string_view names[LayerCount] = {"Normal", "Multiply", "Screen"};
    return index < LayerCount ? names[index] : std::string_view();
}

// The info line's start: the current layer by name, then the canvas ID when there is one
// ("Multiply layer · anna@20100704123456789").
inline std::string layerInfo(unsigned layer, const std::string& canvas_id) {
    std::string text = std::string(layerName(layer)) + " layer";
    if (!canvas_id.empty()) {
        text += " · " + canvas_id;
    }
    return text;
}

} // namespace velmo::canvas
