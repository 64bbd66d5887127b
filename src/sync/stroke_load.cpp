#include "sync/stroke_load.h"

#include "canvas/stroke_text.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/reply_line.h"

#include <algorithm>

namespace velmo::sync {

// What the exchange's callbacks reach: the load, while it lives.
struct StrokeLoad::Shared {
    StrokeLoad* load = nullptr;
};

StrokeLoad::StrokeLoad(platform::HttpExchange& http_, std::string server_base_url_,
                       std::string canvas_id_, std::optional<std::string> key_header_,
                       float pixel_scale_, double timeout_, Listener listener_)
    : http(http_), server_base_url(std::move(server_base_url_)), canvas_id(std::move(canvas_id_)),
      key_header(std::move(key_header_)), pixel_scale(pixel_scale_), timeout(timeout_),
      listener(std::move(listener_)), shared(std::make_shared<Shared>()),
      cancellation(std::make_shared<platform::HttpCancellation>()) {
    shared->load = this;
}

StrokeLoad::~StrokeLoad() {
    shared->load = nullptr;
    cancellation->cancel();
}

void StrokeLoad::start() {
    platform::HttpRequest request;
    request.url = server_base_url;
    request.method = "POST";
    request.body = wire::getStrokesCommand(canvas_id);
    request.timeout_seconds = timeout;
    if (key_header) {
        request.headers.emplace_back(wire::KeyHeaderName, *key_header);
    }
    const std::weak_ptr<Shared> weak = shared;
    platform::HttpCallbacks callbacks;
    callbacks.head = [weak](const platform::HttpStatus& status) {
        if (const auto s = weak.lock(); s && s->load != nullptr) {
            s->load->head(status);
        }
    };
    callbacks.received = [weak](std::string_view data) {
        if (const auto s = weak.lock(); s && s->load != nullptr) {
            s->load->bytes(data);
        }
    };
    callbacks.finished = [weak](const platform::HttpStatus& status) {
        if (const auto s = weak.lock(); s && s->load != nullptr) {
            s->load->finished(status);
        }
    };
    callbacks.failed = [weak] {
        if (const auto s = weak.lock(); s && s->load != nullptr) {
            s->load->failed();
        }
    };
    callbacks.cancellation = cancellation;
    http.send(request, std::move(callbacks));
}

std::vector<canvas::MWStroke> StrokeLoad::take(size_t most) {
    std::vector<canvas::MWStroke> taken;
    while (taken.size() < most && read_at < whole_up_to) {
        const size_t feed = pending.find('\n', read_at);
        const size_t end = feed == std::string::npos || feed > whole_up_to ? whole_up_to : feed;
        const std::string_view line(pending.data() + read_at, end - read_at);
        read_at = end < whole_up_to ? end + 1 : end;
        if (wire::classifyReplyLine(line).kind == wire::ReplyLineKind::Stroke) {
            taken.push_back(canvas::stroke_from_text(line, pixel_scale));
            ++decoded_count;
        }
    }
    // What was read goes once it is most of what is kept, so the answer is not copied often.
    if (read_at > 0 && read_at * 2 >= pending.size()) {
        pending.erase(0, read_at);
        whole_up_to -= read_at;
        read_at = 0;
    }
    return taken;
}

void StrokeLoad::head(const platform::HttpStatus& status) {
    delivered = platform::meaningOf(status.code) == platform::AnswerMeaning::Delivered;
}

void StrokeLoad::bytes(std::string_view data) {
    if (is_ended || !delivered) {
        return; // an error page is no list of strokes
    }
    pending.append(data);
    // Lines are separated, not ended, by line feeds: the text after the last one may not be
    // whole yet.
    const size_t last_feed = pending.rfind('\n');
    if (last_feed != std::string::npos && last_feed > whole_up_to) {
        whole_up_to = last_feed;
        if (listener.arrived) {
            listener.arrived();
        }
    }
}

void StrokeLoad::finished(const platform::HttpStatus& status) {
    if (is_ended) {
        return;
    }
    head(status);
    is_ended = true;
    is_complete = delivered;
    if (delivered) {
        whole_up_to = pending.size(); // the last line is whole now
    } else {
        pending.clear();
        read_at = whole_up_to = 0;
    }
    if (listener.ended) {
        listener.ended(is_complete);
    }
}

void StrokeLoad::failed() {
    if (is_ended) {
        return;
    }
    is_ended = true;
    pending.clear();
    read_at = whole_up_to = 0;
    if (listener.ended) {
        listener.ended(false);
    }
}

} // namespace velmo::sync
