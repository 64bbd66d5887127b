#include "canvas/resize_repaint.h"

#include "canvas/stroke_replay.h"

#include <algorithm>

namespace velmo::canvas {

ResizeRepaint::ResizeRepaint(int width, int height, size_t confirmed, SavePoints::Spacing spacing) {
    geometry_.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    for (Surface& layer : layers_) {
        layer = Surface(width, height);
    }
    resetLayers(layers_);
    // Where the rebuild of a SavePoints would put its followers: their lag behind the newest.
    for (size_t i = SavePoints::Count; i-- > 1;) {
        if (spacing.lags[i] < confirmed) {
            snapshot_at_.push_back(confirmed - spacing.lags[i]);
        }
    }
}

bool ResizeRepaint::step(const StrokeHistory& history, const StrokeKey& unconfirmed_from,
                         size_t max_strokes, unsigned threads) {
    const auto end = history.lower_bound(unconfirmed_from);
    auto it = through_ ? history.upper_bound(*through_) : history.begin();
    size_t left = std::max<size_t>(max_strokes, 1);
    while (it != end && left > 0) {
        // A batch stops where a snapshot is due, so the snapshot holds exactly its strokes.
        size_t room = left;
        const auto due = std::upper_bound(snapshot_at_.begin(), snapshot_at_.end(), painted_);
        if (due != snapshot_at_.end()) {
            room = std::min(room, *due - painted_);
        }
        batch_.clear();
        for (; it != end && batch_.size() < room; ++it) {
            batch_.push_back(it->second);
            through_ = it->first;
        }
        replayInBands(layers_, geometry_, batch_, layers_[0].bounds(), threads);
        painted_ += batch_.size();
        left -= batch_.size();
        if (due != snapshot_at_.end() && painted_ == *due) {
            snapshots_.push_back({layers_, *through_, painted_});
        }
    }
    return it == end;
}

void ResizeRepaint::noteChanges(const HistoryChanges& changes) {
    if (changes.whole || changes.cleared) {
        spoiled_ = true;
        return;
    }
    if (!through_) {
        return;
    }
    for (const StrokeChange& change : changes.changes) {
        if (!(*through_ < change.key)) {
            spoiled_ = true;
            return;
        }
    }
}

void SliceSize::took(double ms) {
    constexpr size_t Most = size_t{1} << 20;
    if (ms * 2 < target_ms_) {
        strokes_ = std::min(strokes_ * 2, Most);
    } else if (ms > target_ms_ * 2) {
        strokes_ = std::max<size_t>(strokes_ / 2, 1);
    }
}

} // namespace velmo::canvas
