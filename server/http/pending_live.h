#pragma once

#include "handler/live_drawing.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmo::server {

// The live news an event stream owes its client, newest state only: per stroke being drawn
// (user and stroke) one progress, a later one merged into the one not yet written when it goes
// on from where that one ends (its points after the other's, its time, pen and layer), and
// otherwise, a cancel too, in its place; per user one presence change, the newest. Bounded:
// beyond `max_bytes` of progress or `max_strokes` strokes, or `max_users` presence changes, new
// news is dropped, so a stream whose client reads slowly or not at all never grows.
//
// Filled by publishers on any thread, emptied by the stream on its own.
class PendingLive {
public:
    struct Limits {
        size_t max_bytes = 16 * 1024;
        size_t max_strokes = 64;
        size_t max_users = 1024;
    };
    PendingLive() = default;
    explicit PendingLive(Limits limits) : limits_(limits) {}

    // Each: true when nothing was owed before, so the stream must be woken to send it.
    bool addProgress(const std::shared_ptr<const LiveProgress>& progress);
    bool addPresence(const std::string& user, bool joined);
    // The events owed now, presence first, as one text; empty when none. Nothing is owed
    // afterwards.
    std::string take();

    // What is held (for tests).
    size_t progressBytes() const;
    size_t strokes() const;
    size_t dropped() const;

private:
    struct Stroke {
        std::shared_ptr<const LiveProgress> as_sent; // the progress as it came, when unmerged
        std::optional<wire::StrokeProgress> merged;  // else what it came to
        size_t bytes = 0;
        const wire::StrokeProgress& progress() const {
            return merged ? *merged : as_sent->progress;
        }
    };
    bool owedBefore() const { return !strokes_.empty() || !presence_.empty(); }

    const Limits limits_{};
    mutable std::mutex mutex_;
    std::vector<Stroke> strokes_;
    std::vector<std::pair<std::string, bool>> presence_;
    size_t bytes_ = 0;
    size_t dropped_ = 0;
};

// The points a merged progress may carry and stay readable (wire::parseProgress): its oldest
// are cut off, `from` moving on with them. For tests.
void mergeProgress(wire::StrokeProgress& pending, const wire::StrokeProgress& next);

} // namespace velmo::server
