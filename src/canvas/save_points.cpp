#include "canvas/save_points.h"

#include "canvas/band_split.h"
#include "canvas/stroke_painter.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <unordered_map>
#include <utility>

namespace velmo::canvas {
namespace {

// Strokes looked at, at most, to find whether a moved stroke passes one that overlaps it.
constexpr size_t MaxStrokesPassed = 4096;
// Below this a repaint is not worth a second thread.
constexpr size_t ParallelStrokes = 16;
constexpr long long ParallelPixels = 256 * 256;

Pixel neutralOf(size_t layer) {
    return layer == 2 ? OpaqueBlack : OpaqueWhite;
}

void copyRect(const Surface& from, Surface& to, PixelRect rect) {
    for (int y = rect.y; y < rect.bottom(); ++y) {
        std::memcpy(to.row(y) + rect.x, from.row(y) + rect.x,
                    static_cast<size_t>(rect.width) * sizeof(Pixel));
    }
}

void fillRect(Surface& surface, PixelRect rect, Pixel value) {
    for (int y = rect.y; y < rect.bottom(); ++y) {
        std::fill_n(surface.row(y) + rect.x, rect.width, value);
    }
}

bool sameSize(const LayerSurfaces& a, int width, int height) {
    return a[0].width() == width && a[0].height() == height;
}

} // namespace

PixelRect unionOf(const LayerRects& rects) {
    return rects[0].united(rects[1]).united(rects[2]);
}

// One repaint: from a base (a point's layers, or the neutral ones) through the strokes after
// it, inside `rects`, copying the state into points on the way.
struct SavePoints::Walk {
    float pixel_scale = 1.0f;
    LayerRects rects;
    const LayerSurfaces* base = nullptr; // none: the neutral layers
    struct Entry {
        const MWStroke* stroke;
        PixelRect extent; // within the walk's rectangle of its layer
    };
    std::vector<Entry> entries;
    struct Copy {
        StrokeKey after; // the state holding every stroke up to this key
        Point* point;
        size_t index = 0; // the entries before it
    };
    std::vector<Copy> copies;

    // Takes the strokes from `from` on that touch the rectangles, and finds where each copy
    // falls among them.
    void collect(StrokeHistory::const_iterator from, StrokeHistory::const_iterator to, int width,
                 int height) {
        std::stable_sort(copies.begin(), copies.end(),
                         [](const Copy& a, const Copy& b) { return a.after < b.after; });
        size_t next_copy = 0;
        for (auto it = from; it != to; ++it) {
            while (next_copy < copies.size() && copies[next_copy].after < it->first) {
                copies[next_copy++].index = entries.size();
            }
            const MWStroke& stroke = it->second;
            if (stroke.layer < 0 || stroke.layer > 2) {
                continue;
            }
            const PixelRect extent = StrokePainter::extentOf(stroke, pixel_scale, width, height)
                                         .intersected(rects[static_cast<size_t>(stroke.layer)]);
            if (!extent.empty()) {
                entries.push_back({&stroke, extent});
            }
        }
        while (next_copy < copies.size()) {
            copies[next_copy++].index = entries.size();
        }
    }
};

SavePoints::SavePoints(unsigned threads) : SavePoints(threads, Spacing{}) {}

SavePoints::SavePoints(unsigned threads, Spacing spacing)
    : threads_(std::max(1u, threads)), spacing_(spacing) {}

void SavePoints::reset() {
    points_ = {};
    confirmed_ = 0;
    floor_.reset();
}

void SavePoints::adopt(const LayerSurfaces& layers, const StrokeKey& through, size_t confirmed,
                       bool keep_placed) {
    for (size_t i = 0; i < Count; ++i) {
        Point& point = points_[i];
        if (keep_placed && i > 0 && point.placed) {
            continue;
        }
        point.layers = layers;
        point.placed = true;
        point.through = through;
        point.lag = 0;
    }
    confirmed_ = confirmed;
    floor_ = through;
}

void SavePoints::place(size_t index, LayerSurfaces layers, const StrokeKey& through, size_t lag) {
    if (index == 0 || index >= Count) {
        return;
    }
    Point& point = points_[index];
    point.layers = std::move(layers);
    point.placed = true;
    point.through = through;
    point.lag = lag;
}

size_t SavePoints::memoryBytes() const {
    size_t bytes = 0;
    for (const Point& point : points_) {
        for (const Surface& layer : point.layers) {
            bytes += static_cast<size_t>(layer.width()) * layer.height() * sizeof(Pixel);
        }
    }
    return bytes;
}

std::optional<std::optional<StrokeKey>> SavePoints::placeOf(size_t index) const {
    if (index >= Count || !points_[index].placed) {
        return std::nullopt;
    }
    return points_[index].through;
}

void SavePoints::allocate(Point& point, int width, int height) {
    if (!sameSize(point.layers, width, height)) {
        for (Surface& layer : point.layers) {
            layer = Surface(width, height);
        }
    }
}

void SavePoints::runWalk(Walk& walk, LayerSurfaces& live) {
    const PixelRect all = unionOf(walk.rects);
    const bool parallel = walk.entries.size() >= ParallelStrokes && all.area() >= ParallelPixels;
    forEachBand(all, parallel ? threads_ : 1u, [&](PixelRect band, StrokePainter& painter) {
        LayerRects mine;
        for (size_t l = 0; l < 3; ++l) {
            mine[l] = walk.rects[l].intersected(band);
            if (mine[l].empty()) {
                continue;
            }
            if (walk.base != nullptr) {
                copyRect((*walk.base)[l], live[l], mine[l]);
            } else {
                fillRect(live[l], mine[l], neutralOf(l));
            }
        }
        size_t next_copy = 0;
        auto copyUpTo = [&](size_t index) {
            for (; next_copy < walk.copies.size() && walk.copies[next_copy].index <= index;
                 ++next_copy) {
                for (size_t l = 0; l < 3; ++l) {
                    if (!mine[l].empty()) {
                        copyRect(live[l], walk.copies[next_copy].point->layers[l], mine[l]);
                    }
                }
            }
        };
        for (size_t i = 0; i < walk.entries.size(); ++i) {
            copyUpTo(i);
            const Walk::Entry& entry = walk.entries[i];
            const PixelRect clip = entry.extent.intersected(band);
            if (!clip.empty()) {
                painter.drawStroke(live[static_cast<size_t>(entry.stroke->layer)], *entry.stroke,
                                   walk.pixel_scale, clip);
            }
        }
        copyUpTo(walk.entries.size());
    });
}

void SavePoints::rebuild(const StrokeHistory& history, LayerSurfaces& live, float pixel_scale,
                         const StrokeKey& unconfirmed_from) {
    const int width = live[0].width();
    const int height = live[0].height();
    floor_.reset();
    const auto confirmed_end = history.lower_bound(unconfirmed_from);
    confirmed_ = static_cast<size_t>(std::distance(history.begin(), confirmed_end));
    Walk walk;
    walk.pixel_scale = pixel_scale;
    walk.rects.fill(live[0].bounds());
    for (Point& point : points_) {
        point.placed = false;
        point.through.reset();
    }
    if (confirmed_ > 0) {
        // Each point where it belongs: its lag in confirmed strokes behind the newest one.
        auto at = std::prev(confirmed_end);
        size_t back = 0;
        for (size_t i = 0; i < Count; ++i) {
            if (spacing_.lags[i] >= confirmed_) {
                continue;
            }
            for (; back < spacing_.lags[i]; ++back) {
                --at;
            }
            Point& point = points_[i];
            allocate(point, width, height);
            point.placed = true;
            point.through = at->first;
            point.lag = spacing_.lags[i];
            walk.copies.push_back({at->first, &point});
        }
    }
    walk.collect(history.begin(), history.end(), width, height);
    runWalk(walk, live);
}

void SavePoints::applyQuietMoves(const StrokeHistory& history, std::vector<StrokeChange>& changes,
                                 float pixel_scale, int width, int height) {
    // An echo takes an own stroke from its provisional key to the server's, earlier. When no
    // stroke it passes on its way overlaps it on its layer, every pixel stays as it is: only the
    // points it now lies behind need it painted on.
    std::unordered_multimap<uint64_t, size_t> arrivals;
    for (size_t i = 0; i < changes.size(); ++i) {
        if (changes[i].arrived) {
            arrivals.emplace(changes[i].print, i);
        }
    }
    struct Move {
        StrokeKey from, to;
        size_t removal, arrival;
    };
    std::vector<Move> moves;
    std::vector<bool> paired(changes.size(), false);
    for (size_t r = 0; r < changes.size(); ++r) {
        const StrokeChange& removal = changes[r];
        if (removal.arrived) {
            continue;
        }
        auto [first, last] = arrivals.equal_range(removal.print);
        for (auto it = first; it != last; ++it) {
            const StrokeChange& arrival = changes[it->second];
            if (!paired[it->second] && arrival.layer == removal.layer &&
                arrival.key < removal.key && history.contains(arrival.key)) {
                paired[it->second] = true;
                paired[r] = true;
                moves.push_back({removal.key, arrival.key, r, it->second});
                break;
            }
        }
    }
    std::sort(moves.begin(), moves.end(), [](const Move& a, const Move& b) { return a.to < b.to; });
    std::vector<bool> quiet(changes.size(), false);
    StrokePainter painter;
    for (const Move& move : moves) {
        const MWStroke& stroke = history.at(move.to);
        const PixelRect extent = StrokePainter::extentOf(stroke, pixel_scale, width, height);
        bool passes_overlap = false;
        size_t looked = 0;
        for (auto it = history.upper_bound(move.to); it != history.end() && it->first < move.from;
             ++it) {
            if (++looked > MaxStrokesPassed) {
                passes_overlap = true;
                break;
            }
            if (it->second.layer == stroke.layer &&
                StrokePainter::extentOf(it->second, pixel_scale, width, height)
                    .intersects(extent)) {
                passes_overlap = true;
                break;
            }
        }
        if (passes_overlap) {
            continue;
        }
        quiet[move.removal] = true;
        quiet[move.arrival] = true;
        for (Point& point : points_) {
            if (point.placed && point.through && move.to <= *point.through &&
                *point.through < move.from) {
                painter.drawStroke(point.layers[static_cast<size_t>(stroke.layer)], stroke,
                                   pixel_scale, extent);
            }
        }
    }
    size_t kept = 0;
    for (size_t i = 0; i < changes.size(); ++i) {
        if (!quiet[i]) {
            changes[kept++] = changes[i];
        }
    }
    changes.resize(kept);
}

size_t SavePoints::paintForward(Point& point, const StrokeHistory& history, const StrokeKey& last,
                                size_t limit, float pixel_scale) {
    size_t painted = 0;
    StrokePainter painter;
    for (auto it = point.through ? history.upper_bound(*point.through) : history.begin();
         it != history.end() && it->first <= last && painted < limit; ++it, ++painted) {
        const MWStroke& stroke = it->second;
        if (stroke.layer >= 0 && stroke.layer <= 2) {
            painter.drawStroke(point.layers[static_cast<size_t>(stroke.layer)], stroke,
                               pixel_scale);
        }
        point.through = it->first;
    }
    return painted;
}

LayerRects SavePoints::update(const StrokeHistory& history, const HistoryChanges& changes,
                              LayerSurfaces& live, float pixel_scale,
                              const StrokeKey& unconfirmed_from) {
    const int width = live[0].width();
    const int height = live[0].height();
    LayerRects whole;
    whole.fill(live[0].bounds());
    bool sizes_match = true;
    for (const Point& point : points_) {
        sizes_match = sizes_match && (!point.placed || sameSize(point.layers, width, height));
    }
    if (changes.whole || changes.cleared || !sizes_match) {
        if (changes.cleared || !sizes_match) {
            reset();
        }
        rebuild(history, live, pixel_scale, unconfirmed_from);
        return whole;
    }
    for (const StrokeChange& change : changes.changes) {
        if (change.key < unconfirmed_from) {
            confirmed_ =
                change.arrived ? confirmed_ + 1 : confirmed_ - std::min<size_t>(confirmed_, 1);
        }
    }
    std::vector<StrokeChange> general = changes.changes;
    applyQuietMoves(history, general, pixel_scale, width, height);

    LayerRects rects;
    StrokeKey first_change{std::numeric_limits<int64_t>::max(),
                           std::numeric_limits<int64_t>::max()};
    for (const StrokeChange& change : general) {
        const PixelRect extent = StrokePainter::extentOf(change.box, pixel_scale, width, height);
        if (!extent.empty()) {
            rects[static_cast<size_t>(change.layer)] =
                rects[static_cast<size_t>(change.layer)].united(extent);
            first_change = std::min(first_change, change.key);
        }
    }
    const bool big = general.size() >= spacing_.whole_surface_changes;
    if (big) {
        rects = whole;
    }
    const auto confirmed_end = history.lower_bound(unconfirmed_from);
    bool has_confirmed = confirmed_end != history.begin();
    StrokeKey newest_confirmed = has_confirmed ? std::prev(confirmed_end)->first : StrokeKey{};
    if (floor_ && (!has_confirmed || newest_confirmed < *floor_)) {
        // The adopted picture holds strokes the history does not yet.
        has_confirmed = true;
        newest_confirmed = *floor_;
    }
    Point& zero = points_[0];
    bool zero_rides = false;
    std::array<bool, Count> placed_by_walk{};

    if (!unionOf(rects).empty()) {
        Walk walk;
        walk.pixel_scale = pixel_scale;
        walk.rects = rects;
        // The base: the point nearest before the first change.
        Point* base = nullptr;
        for (Point& point : points_) {
            if (point.placed && before(point, first_change) &&
                (base == nullptr ||
                 (point.through && (!base->through || *base->through < *point.through)))) {
                base = &point;
            }
        }
        if (base != nullptr && base->through) {
            walk.base = &base->layers;
        } else if (base != nullptr) {
            walk.base = nullptr; // a point before every stroke is the neutral picture
        }
        const auto from = base != nullptr && base->through ? history.upper_bound(*base->through)
                                                           : history.begin();
        // Points behind the first change are repaired inside the rectangles as the walk passes
        // them.
        for (Point& point : points_) {
            if (point.placed && &point != base && !before(point, first_change)) {
                walk.copies.push_back({*point.through, &point});
            }
        }
        const bool walk_reaches_newest =
            has_confirmed && (from == history.end() || !(newest_confirmed < from->first)) &&
            (base == nullptr || !base->through || *base->through < newest_confirmed);
        if (walk_reaches_newest && (!zero.placed || before(zero, newest_confirmed))) {
            // Point 0 moves up to the newest confirmed stroke by a copy of the rectangles, when
            // every stroke it passes lies inside them: outside, nothing changes on the way.
            zero_rides = true;
            size_t looked = 0;
            for (auto it = zero.placed && zero.through ? history.upper_bound(*zero.through)
                                                       : history.begin();
                 it != confirmed_end; ++it) {
                const MWStroke& stroke = it->second;
                if (++looked > MaxStrokesPassed) {
                    zero_rides = big;
                    break;
                }
                if (stroke.layer < 0 || stroke.layer > 2) {
                    continue;
                }
                const PixelRect extent =
                    StrokePainter::extentOf(stroke, pixel_scale, width, height);
                if (!rects[static_cast<size_t>(stroke.layer)].contains(extent)) {
                    zero_rides = false;
                    break;
                }
            }
            if (zero_rides) {
                if (!zero.placed || !zero.through) {
                    allocate(zero, width, height);
                    if (!big) {
                        for (size_t l = 0; l < 3; ++l) {
                            zero.layers[l].fill(neutralOf(l));
                        }
                    }
                }
                walk.copies.push_back({newest_confirmed, &zero});
            }
        }
        if (big && has_confirmed) {
            // A whole-surface walk holds every state on its way: the followers go to their
            // places by copies.
            auto at = std::prev(confirmed_end);
            size_t back = 0;
            for (size_t i = 1; i < Count; ++i) {
                if (spacing_.lags[i] >= confirmed_) {
                    break;
                }
                // Not past the walk's start: a point that far back is not placed by it, and a
                // page of strokes would walk the history back by the largest distance.
                for (; back < spacing_.lags[i] && at != history.begin() &&
                       !(from != history.end() && at->first < from->first);
                     ++back) {
                    --at;
                }
                Point& point = points_[i];
                const bool in_walk = from != history.end() && !(at->first < from->first);
                if (!in_walk || (point.placed && point.through && !(*point.through < at->first))) {
                    continue;
                }
                if (&point == base) {
                    continue; // its layers are the walk's source
                }
                std::erase_if(walk.copies, [&](const Walk::Copy& c) { return c.point == &point; });
                allocate(point, width, height);
                walk.copies.push_back({at->first, &point});
                point.through = at->first;
                point.lag = spacing_.lags[i];
                placed_by_walk[i] = true;
            }
        }
        walk.collect(from, history.end(), width, height);
        runWalk(walk, live);
        for (size_t i = 1; i < Count; ++i) {
            if (placed_by_walk[i]) {
                points_[i].placed = true;
            }
        }
    }

    // Point 0 at the newest confirmed stroke, by the walk's copy or by painting.
    size_t advanced = 0;
    if (zero_rides) {
        if (zero.placed && zero.through) {
            advanced = static_cast<size_t>(
                std::distance(history.upper_bound(*zero.through), confirmed_end));
        } else {
            advanced = confirmed_;
        }
        zero.placed = true;
        zero.through = newest_confirmed;
    } else if (has_confirmed) {
        if (!zero.placed) {
            allocate(zero, width, height);
            for (size_t l = 0; l < 3; ++l) {
                zero.layers[l].fill(neutralOf(l));
            }
            zero.placed = true;
            zero.through.reset();
        }
        if (zero.through && newest_confirmed < *zero.through) {
            zero.through = newest_confirmed; // the strokes it held past there are gone
        } else {
            advanced = paintForward(zero, history, newest_confirmed,
                                    std::numeric_limits<size_t>::max(), pixel_scale);
        }
    } else if (zero.placed) {
        zero.through.reset(); // no confirmed stroke is left: it holds the neutral picture
    }

    // The followers keep their distance behind point 0, painting a few strokes at a time.
    // While pages of strokes come in, painting behind them would paint every stroke once more
    // for each follower: then a follower left twice its distance behind jumps to point 0 by a
    // copy, and waits there until the strokes coming after it put it at its place again.
    for (size_t i = 1; i < Count; ++i) {
        Point& point = points_[i];
        if (placed_by_walk[i] || !has_confirmed) {
            continue;
        }
        if (big && zero.placed && zero.through) {
            const size_t lag = point.placed ? point.lag + advanced : confirmed_;
            if (lag > 2 * spacing_.lags[i]) {
                point.layers = zero.layers;
                point.placed = true;
                point.through = zero.through;
                point.lag = 0;
            } else if (point.placed) {
                point.lag = lag;
            }
            continue;
        }
        if (!point.placed) {
            if (confirmed_ <= spacing_.lags[i]) {
                continue;
            }
            allocate(point, width, height);
            for (size_t l = 0; l < 3; ++l) {
                point.layers[l].fill(neutralOf(l));
            }
            point.placed = true;
            point.through.reset();
            point.lag = confirmed_;
        } else {
            point.lag += advanced;
        }
        if (point.lag > spacing_.lags[i]) {
            point.lag -= paintForward(point, history, newest_confirmed,
                                      std::min(point.lag - spacing_.lags[i], spacing_.follow_step),
                                      pixel_scale);
        }
    }
    return rects;
}

} // namespace velmo::canvas
