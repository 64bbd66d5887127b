#pragma once

#include "store/store.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace velmo::server {

// Every stroke of a canvas, read a page at a time, each page about `page_bytes` of stroke text
// (never less than one stroke), so that a reply or a render of a canvas of any size holds only
// a page of it at once. Strokes appended while the pages are read come at the end.
class StrokePages {
public:
    StrokePages(Store& store, std::string canvas_id, size_t page_bytes);

    // The next page in stamp order: empty once every stroke was read, nothing when the store
    // failed.
    std::optional<std::vector<StoredStroke>> next();
    // True once a page came back short: nothing is left.
    bool done() const { return done_; }

private:
    Store& store_;
    std::string canvas_id_;
    size_t page_bytes_;
    int64_t after_;
    // Strokes asked for per page: starts small, as strokes may be large, and follows the size
    // of the strokes read so far.
    size_t count_ = 16;
    bool done_ = false;
};

} // namespace velmo::server
