#include "store/stroke_pages.h"

#include <algorithm>

namespace velmo::server {

StrokePages::StrokePages(Store& store, std::string canvas_id, size_t page_bytes, int64_t after)
    : store_(store), canvas_id_(std::move(canvas_id)), page_bytes_(std::max<size_t>(page_bytes, 1)),
      after_(after) {}

std::optional<std::vector<StoredStroke>> StrokePages::next() {
    std::vector<StoredStroke> page;
    size_t bytes = 0;
    while (!done_ && bytes < page_bytes_) {
        auto asked = store_.strokesAfter(canvas_id_, after_, count_);
        if (!asked) {
            return std::nullopt;
        }
        if (asked->size() < count_) {
            done_ = true;
        }
        if (asked->empty()) {
            break;
        }
        // Stamps are unique within a canvas, so the next ask starts right after this one.
        after_ = asked->back().server_time;
        for (StoredStroke& stroke : *asked) {
            bytes += stroke.text.size();
            largest_ = std::max(largest_, stroke.text.size());
            page.push_back(std::move(stroke));
        }
        // The largest stroke, not the average, sizes the next ask: strokes of any size may come.
        const size_t room = bytes < page_bytes_ ? page_bytes_ - bytes : page_bytes_;
        count_ = std::clamp<size_t>(room / largest_, 1, std::min(MaxStrokesPerAsk, count_ * 2));
    }
    return page;
}

} // namespace velmo::server
