#pragma once

#include "canvas/mw_stroke.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <utility>
#include <vector>

namespace velmo::canvas {

// (server time, client time), ascending.
using StrokeKey = std::pair<int64_t, int64_t>;
// Strokes by key, as the saved state and the journal hold them.
using StrokeMap = std::map<StrokeKey, MWStroke>;

// Where a stroke lies, in canvas units: the box of its points grown by half its pen width.
// What the pixels it may change are worked out from (StrokePainter::extentOf).
struct UnitBox {
    int64_t left = 0;
    int64_t top = 0;
    int64_t right = -1;
    int64_t bottom = -1;
    // False for a stroke that paints nothing (fewer than two points, no width).
    bool paints = false;

    bool operator==(const UnitBox&) const = default;
};
UnitBox unitBoxOf(const MWStroke& stroke);

// A fingerprint of what a stroke paints (points, pen, layer), not of who drew it or when: the
// same stroke under another key, an echo, has the same one.
uint64_t paintPrint(const MWStroke& stroke);

// One change of the history that may change pixels: a stroke that came under `key` or left
// it. A replacement is a removal and an arrival.
struct StrokeChange {
    StrokeKey key;
    bool arrived = false;
    int32_t layer = 0;
    UnitBox box;
    uint64_t print = 0;
};

// The changes since they were last taken. `whole` says they are too many to list (or the
// history was replaced): everything must be painted again.
struct HistoryChanges {
    std::vector<StrokeChange> changes;
    bool whole = false;
    // The history was emptied before the listed changes: the layers start from nothing.
    bool cleared = false;

    bool empty() const { return changes.empty() && !whole && !cleared; }
};

// The history of a canvas: every stroke by key, and, beside it, a record of what changed
// since the layers were last painted, so a repaint can cost what changed and not what the
// history holds. Reads are those of a std::map; every write goes through store, erase, clear
// or replaceWith, which note the change. A stroke stored again with what it paints unchanged is
// no change. Not thread-safe; many readers at once are fine while nobody writes.
class StrokeHistory {
public:
    using const_iterator = StrokeMap::const_iterator;
    using const_reverse_iterator = StrokeMap::const_reverse_iterator;
    using value_type = StrokeMap::value_type;
    // Past this many listed changes the record gives up and says "whole".
    static constexpr size_t MaxListedChanges = 100000;

    StrokeHistory() = default;
    explicit StrokeHistory(StrokeMap strokes);
    StrokeHistory(const StrokeHistory&) = default;
    StrokeHistory(StrokeHistory&&) = default;
    // Replacing the whole history is a change of everything.
    StrokeHistory& operator=(const StrokeHistory& other);
    StrokeHistory& operator=(StrokeHistory&& other) noexcept;

    const_iterator begin() const { return strokes.begin(); }
    const_iterator end() const { return strokes.end(); }
    const_reverse_iterator rbegin() const { return strokes.rbegin(); }
    const_reverse_iterator rend() const { return strokes.rend(); }
    const_iterator find(const StrokeKey& key) const { return strokes.find(key); }
    const_iterator lower_bound(const StrokeKey& key) const { return strokes.lower_bound(key); }
    const_iterator upper_bound(const StrokeKey& key) const { return strokes.upper_bound(key); }
    bool contains(const StrokeKey& key) const { return strokes.contains(key); }
    size_t count(const StrokeKey& key) const { return strokes.count(key); }
    const MWStroke& at(const StrokeKey& key) const { return strokes.at(key); }
    size_t size() const { return strokes.size(); }
    bool empty() const { return strokes.empty(); }
    const StrokeMap& map() const { return strokes; }

    // Stores `stroke` under `key`, replacing what is there.
    void store(const StrokeKey& key, MWStroke stroke);
    // Removes the stroke under `key`; false when there is none.
    bool erase(const StrokeKey& key);
    // Removes the entry and gives the one after it.
    const_iterator erase(const_iterator at);
    // Takes the stroke out of the history (the entry must exist).
    MWStroke take(const_iterator at);
    void clear();
    // Becomes `strokes`, noting only what differs (a refetched canvas usually differs from
    // what was shown by a few strokes).
    void replaceWith(StrokeMap strokes);

    // Notes every stroke from `from` on as newly arrived (their pixels are to be painted again).
    void noteArrivalsFrom(const_iterator from);

    // What changed since the last call; the record starts afresh.
    HistoryChanges takeChanges();
    bool hasChanges() const { return !pending.empty(); }
    // What changed since the last takeChanges, left in place.
    const HistoryChanges& pendingChanges() const { return pending; }

    bool operator==(const StrokeHistory& other) const { return strokes == other.strokes; }
    bool operator==(const StrokeMap& other) const { return strokes == other; }

private:
    void note(const StrokeKey& key, const MWStroke& stroke, bool arrived);
    void noteWhole();

    StrokeMap strokes;
    HistoryChanges pending;
};

} // namespace velmo::canvas
