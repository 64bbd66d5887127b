#include "sync/stroke_progress_sender.h"

#include "wire/key_header.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace velmo::sync {

StrokeProgressSender::StrokeProgressSender(platform::HttpExchange& http_,
                                           platform::Scheduler& scheduler_,
                                           const platform::Clock& clock_,
                                           std::string server_base_url_)
    : http(http_), scheduler(scheduler_), clock(clock_),
      server_base_url(std::move(server_base_url_)),
      self(std::make_shared<StrokeProgressSender*>(this)) {}

StrokeProgressSender::~StrokeProgressSender() {
    self.reset();
    if (cancellation) {
        cancellation->cancel();
    }
}

int64_t StrokeProgressSender::nowMs() const {
    return static_cast<int64_t>(clock.now() * 1000.0);
}

void StrokeProgressSender::canvasOpened() {
    is_refused = false;
    stroke.reset();
    cancel.reset();
    timer.reset();
}

void StrokeProgressSender::strokeBegun(const std::string& canvas_id, const std::string& user_name,
                                       std::optional<std::string> key_header, int64_t press_time,
                                       const canvas::PenProperties& pen, int32_t layer, int32_t x,
                                       int32_t y) {
    stroke.reset();
    if (!enabled || is_refused || canvas_id.empty() || !wire::isPresenceUser(user_name)) {
        return;
    }
    Stroke next;
    next.canvas_id = canvas_id;
    next.key_header = std::move(key_header);
    next.head.user_name = user_name;
    next.head.stroke = press_time;
    next.head.pen = pen;
    next.head.layer = layer;
    stroke = std::move(next);
    pointAdded(x, y);
}

void StrokeProgressSender::strokeExtended(int32_t x, int32_t y) {
    if (stroke) {
        pointAdded(x, y);
    }
}

void StrokeProgressSender::pointAdded(int32_t x, int32_t y) {
    stroke->xs.push_back(x);
    stroke->ys.push_back(y);
    stroke->times.push_back(nowMs());
    trySend();
}

void StrokeProgressSender::strokeCancelled() {
    if (!stroke) {
        return;
    }
    // Receivers that saw none of it have nothing to take back.
    if (stroke->sent > 0) {
        cancel = std::move(stroke);
    }
    stroke.reset();
    trySend();
}

void StrokeProgressSender::strokeFinished() {
    stroke.reset();
    if (!owesRequest()) {
        timer.reset();
    }
}

bool StrokeProgressSender::owesRequest() const {
    return !is_refused && (cancel || (stroke && stroke->sent < stroke->xs.size()));
}

void StrokeProgressSender::trySend(bool from_timer) {
    if (!owesRequest()) {
        // A timer is not destroyed from inside its own action; the next call outside does it.
        if (!from_timer) {
            timer.reset();
        }
        return;
    }
    const double now = clock.now();
    if (!in_flight && now >= not_before && now - last_sent >= MinInterval) {
        if (cancel) {
            wire::StrokeProgress progress;
            progress.user_name = cancel->head.user_name;
            progress.stroke = cancel->head.stroke;
            progress.cancel = true;
            const Stroke gone = std::move(*cancel);
            cancel.reset();
            send(gone.canvas_id, gone.key_header, progress);
        } else {
            wire::StrokeProgress progress = stroke->head;
            const size_t first = stroke->sent;
            const size_t end = std::min(stroke->xs.size(), first + wire::MaxProgressPoints);
            progress.from = static_cast<uint32_t>(first);
            progress.at = stroke->times[end - 1];
            const auto begin_at = static_cast<std::ptrdiff_t>(first);
            const auto end_at = static_cast<std::ptrdiff_t>(end);
            progress.points_x.assign(stroke->xs.begin() + begin_at, stroke->xs.begin() + end_at);
            progress.points_y.assign(stroke->ys.begin() + begin_at, stroke->ys.begin() + end_at);
            stroke->sent = end;
            send(stroke->canvas_id, stroke->key_header, progress);
        }
    }
    if (owesRequest() && !timer) {
        // The pacing's own clock: what is owed goes at the first tick it may.
        timer = scheduler.scheduleRepeating(MinInterval, [this] { trySend(true); });
    } else if (!owesRequest() && !from_timer) {
        timer.reset();
    }
}

void StrokeProgressSender::send(const std::string& canvas_id,
                                const std::optional<std::string>& key_header,
                                const wire::StrokeProgress& progress) {
    platform::HttpRequest request;
    request.url = server_base_url;
    request.method = "POST";
    request.body = wire::progressCommand(canvas_id, progress);
    request.timeout_seconds = Timeout;
    if (key_header) {
        request.headers.emplace_back(wire::KeyHeaderName, *key_header);
    }
    in_flight = true;
    last_sent = clock.now();
    ++sent_requests;
    const uint64_t mine = ++serial;
    cancellation = std::make_shared<platform::HttpCancellation>();
    const std::weak_ptr<StrokeProgressSender*> weak = self;
    platform::HttpCallbacks callbacks;
    callbacks.cancellation = cancellation;
    callbacks.finished = [weak, mine](const platform::HttpStatus& status) {
        if (const auto sender = weak.lock()) {
            (*sender)->answered(mine, status);
        }
    };
    callbacks.failed = [weak, mine] {
        if (const auto sender = weak.lock()) {
            (*sender)->answered(mine, std::nullopt);
        }
    };
    http.send(request, std::move(callbacks));
}

void StrokeProgressSender::answered(uint64_t answered_serial,
                                    std::optional<platform::HttpStatus> status) {
    if (answered_serial != serial || !in_flight) {
        return;
    }
    in_flight = false;
    cancellation.reset();
    const double now = clock.now();
    if (!status) {
        not_before = now + FailureWait;
    } else {
        switch (platform::meaningOf(status->code)) {
        case platform::AnswerMeaning::Delivered:
            break;
        case platform::AnswerMeaning::TryAgain:
            if (status->retry_after && std::isfinite(*status->retry_after)) {
                not_before = now + std::clamp(*status->retry_after, 0.0, 3600.0);
            } else if (status->code >= 500) {
                not_before = now + FailureWait;
            }
            break;
        case platform::AnswerMeaning::Refused:
            is_refused = true;
            stroke.reset();
            cancel.reset();
            break;
        }
    }
    trySend();
}

} // namespace velmo::sync
