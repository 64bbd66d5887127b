#include "store/stroke_pages.h"

#include <algorithm>
#include <limits>

namespace velmo::server {
namespace {

constexpr size_t MaxStrokesPerPage = 4096;

} // namespace

StrokePages::StrokePages(Store& store, std::string canvas_id, size_t page_bytes)
    : store_(store), canvas_id_(std::move(canvas_id)), page_bytes_(std::max<size_t>(page_bytes, 1)),
      after_(std::numeric_limits<int64_t>::min()) {}

std::optional<std::vector<StoredStroke>> StrokePages::next() {
    if (done_) {
        return std::vector<StoredStroke>{};
    }
    auto page = store_.strokesAfter(canvas_id_, after_, count_);
    if (!page) {
        return std::nullopt;
    }
    if (page->size() < count_) {
        done_ = true;
    }
    if (page->empty()) {
        return page;
    }
    // Stamps are unique within a canvas, so the next page starts right after this one.
    after_ = page->back().server_time;
    size_t bytes = 0;
    for (const StoredStroke& stroke : *page) {
        bytes += stroke.text.size();
    }
    const size_t average = std::max<size_t>(bytes / page->size(), 1);
    count_ = std::clamp<size_t>(page_bytes_ / average, 1, std::min(MaxStrokesPerPage, count_ * 2));
    return page;
}

} // namespace velmo::server
