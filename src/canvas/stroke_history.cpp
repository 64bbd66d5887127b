#include "canvas/stroke_history.h"

#include <algorithm>

namespace velmo::canvas {

UnitBox unitBoxOf(const MWStroke& stroke) {
    const size_t count = std::min(stroke.points_x.size(), stroke.points_y.size());
    UnitBox box;
    if (count < 2 || stroke.pen_properties.width <= 0) {
        return box;
    }
    const auto [min_x, max_x] =
        std::minmax_element(stroke.points_x.begin(), stroke.points_x.begin() + count);
    const auto [min_y, max_y] =
        std::minmax_element(stroke.points_y.begin(), stroke.points_y.begin() + count);
    const int64_t half = stroke.pen_properties.width / 2 + 1;
    box.left = *min_x - half;
    box.right = *max_x + half;
    box.top = *min_y - half;
    box.bottom = *max_y + half;
    box.paints = true;
    return box;
}

uint64_t paintPrint(const MWStroke& stroke) {
    // FNV-1a over the numbers that decide the pixels.
    uint64_t hash = 14695981039346656037ull;
    auto mix = [&hash](int64_t value) {
        for (int i = 0; i < 8; ++i) {
            hash ^= static_cast<uint64_t>(value >> (8 * i)) & 0xFF;
            hash *= 1099511628211ull;
        }
    };
    const size_t count = std::min(stroke.points_x.size(), stroke.points_y.size());
    mix(stroke.layer);
    mix(stroke.pen_properties.color);
    mix(stroke.pen_properties.width);
    mix(stroke.pen_properties.density);
    mix(static_cast<int64_t>(count));
    for (size_t i = 0; i < count; ++i) {
        mix(int64_t{stroke.points_x[i]} << 32 | static_cast<uint32_t>(stroke.points_y[i]));
    }
    return hash;
}

StrokeHistory::StrokeHistory(StrokeMap map) : strokes(std::move(map)) {
    noteWhole();
}

StrokeHistory& StrokeHistory::operator=(const StrokeHistory& other) {
    if (this != &other) {
        strokes = other.strokes;
        noteWhole();
    }
    return *this;
}

StrokeHistory& StrokeHistory::operator=(StrokeHistory&& other) noexcept {
    if (this != &other) {
        strokes = std::move(other.strokes);
        other.strokes.clear();
        noteWhole();
    }
    return *this;
}

void StrokeHistory::note(const StrokeKey& key, const MWStroke& stroke, bool arrived) {
    if (pending.whole) {
        return;
    }
    if (pending.changes.size() >= MaxListedChanges) {
        noteWhole();
        return;
    }
    const UnitBox box = unitBoxOf(stroke);
    if (!box.paints || stroke.layer < 0 || stroke.layer > 2) {
        return; // changes no pixel
    }
    pending.changes.push_back({key, arrived, stroke.layer, box, paintPrint(stroke)});
}

void StrokeHistory::noteWhole() {
    pending.changes.clear();
    pending.changes.shrink_to_fit();
    pending.whole = true;
    pending.cleared = false;
}

void StrokeHistory::store(const StrokeKey& key, MWStroke stroke) {
    const auto [at, inserted] = strokes.try_emplace(key);
    if (!inserted) {
        if (paintPrint(at->second) == paintPrint(stroke)) {
            at->second = std::move(stroke);
            return;
        }
        note(key, at->second, false);
    }
    at->second = std::move(stroke);
    note(key, at->second, true);
}

bool StrokeHistory::erase(const StrokeKey& key) {
    const auto at = strokes.find(key);
    if (at == strokes.end()) {
        return false;
    }
    erase(at);
    return true;
}

StrokeHistory::const_iterator StrokeHistory::erase(const_iterator at) {
    note(at->first, at->second, false);
    return strokes.erase(at);
}

MWStroke StrokeHistory::take(const_iterator at) {
    note(at->first, at->second, false);
    auto node = strokes.extract(at);
    return std::move(node.mapped());
}

void StrokeHistory::clear() {
    strokes.clear();
    pending.changes.clear();
    pending.changes.shrink_to_fit();
    pending.whole = false;
    pending.cleared = true;
}

void StrokeHistory::replaceWith(StrokeMap replacement) {
    if (strokes.empty()) {
        strokes = std::move(replacement);
        for (const auto& [key, stroke] : strokes) {
            note(key, stroke, true);
        }
        return;
    }
    // One walk of both in key order notes what left, what came and what changed.
    auto old_at = strokes.begin();
    auto new_at = replacement.begin();
    while (old_at != strokes.end() || new_at != replacement.end()) {
        if (new_at == replacement.end() ||
            (old_at != strokes.end() && old_at->first < new_at->first)) {
            note(old_at->first, old_at->second, false);
            ++old_at;
        } else if (old_at == strokes.end() || new_at->first < old_at->first) {
            note(new_at->first, new_at->second, true);
            ++new_at;
        } else {
            if (paintPrint(old_at->second) != paintPrint(new_at->second)) {
                note(old_at->first, old_at->second, false);
                note(new_at->first, new_at->second, true);
            }
            ++old_at;
            ++new_at;
        }
    }
    strokes = std::move(replacement);
}

void StrokeHistory::noteArrivalsFrom(const_iterator from) {
    for (auto it = from; it != strokes.end(); ++it) {
        note(it->first, it->second, true);
    }
}

HistoryChanges StrokeHistory::takeChanges() {
    HistoryChanges taken = std::move(pending);
    pending = HistoryChanges{};
    return taken;
}

} // namespace velmo::canvas
