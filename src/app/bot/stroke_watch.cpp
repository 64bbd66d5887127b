#include "app/bot/stroke_watch.h"

#include <cinttypes>

namespace velmo::bot {

StrokeWatch::StrokeWatch(mwcanvas::MWCanvas& canvas_, const platform::Clock& clock_,
                         std::FILE* out_)
    : canvas(canvas_), clock(clock_), out(out_),
      start_ms(static_cast<int64_t>(clock_.now() * 1000.0)) {
    canvas.sync_agent.setResponseListener([this] {
        noteArrivals();
        this->canvas.get_response();
    });
    canvas.progress_board.setProgressObserver([this](const wire::StrokeProgress& progress) {
        if (progress.cancel) {
            return;
        }
        ++progress_seen;
        const double now_ms = clock.now() * 1000.0;
        std::fprintf(out, "progress %.1f %lld %u %zu %.1f\n",
                     now_ms - static_cast<double>(progress.at),
                     static_cast<long long>(progress.stroke), progress.from,
                     progress.points_x.size(), now_ms);
        std::fflush(out);
    });
}

StrokeWatch::~StrokeWatch() {
    canvas.progress_board.setProgressObserver(nullptr);
}

void StrokeWatch::noteArrivals() {
    const double now_ms = clock.now() * 1000.0;
    const std::string me = canvas.userID();
    for (const canvas::MWStroke& stroke : canvas.sync_agent.returned_strokes) {
        if (stroke.user_name == me || stroke.client_time < start_ms ||
            !arrived.emplace(stroke.user_name, stroke.client_time).second) {
            continue;
        }
        std::fprintf(out, "stroke of %s drawn at %" PRId64 " arrived after %.1f ms\n",
                     stroke.user_name.c_str(), stroke.client_time,
                     now_ms - static_cast<double>(stroke.client_time));
    }
    std::fflush(out);
}

} // namespace velmo::bot
