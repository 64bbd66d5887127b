#pragma once

#include "store/store.h"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace velmo::server {

// Every stroke of a canvas (or every one stamped after `after`), read a page at a time, each
// page about `page_bytes` of stroke text (never less than one stroke), so that a reply or a
// render of a canvas of any size holds only a page of it at once. Strokes appended while the
// pages are read come at the end.
//
// A page is read in several asks of the store, each for as many strokes as the rest of the
// page holds if they are as large as the largest stroke seen so far (at most MaxStrokesPerAsk):
// a run of large strokes after many tiny ones overshoots a page by one ask at most.
class StrokePages {
public:
    StrokePages(Store& store, std::string canvas_id, size_t page_bytes,
                int64_t after = std::numeric_limits<int64_t>::min());

    // The next page in stamp order: empty once every stroke was read, nothing when the store
    // failed.
    std::optional<std::vector<StoredStroke>> next();
    // True once an ask came back short: nothing is left.
    bool done() const { return done_; }

    static constexpr size_t MaxStrokesPerAsk = 256;

private:
    Store& store_;
    std::string canvas_id_;
    size_t page_bytes_;
    int64_t after_;
    // Strokes in the next ask: starts small, as strokes may be large.
    size_t count_ = 16;
    size_t largest_ = 1;
    bool done_ = false;
};

} // namespace velmo::server
