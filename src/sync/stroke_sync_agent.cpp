#include "sync/stroke_sync_agent.h"

#include "canvas/stroke_text.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"
#include "wire/key_header.h"
#include "wire/reply_line.h"

#include <algorithm>
#include <utility>

namespace velmo::sync {
namespace {

// Replies to appends (polls included) and deletes carry the user's strokes; the others do not.
bool repliesWithStrokes(std::string_view command) {
    const size_t word = std::min(command.size(), wire::commandCanvasID(command).size() + 2);
    const std::string_view rest = command.substr(word);
    return rest.starts_with("append:") || rest.starts_with("delete:");
}

} // namespace

StrokeSyncAgent::StrokeSyncAgent(platform::HttpExchange& http_, platform::Scheduler& scheduler_,
                                 const platform::Clock& clock_, std::string server_base_url_)
    : delegate(std::make_shared<StrokeSyncDelegate>()), http(http_), scheduler(scheduler_),
      clock(clock_), server_base_url(std::move(server_base_url_)), retry_timer(scheduler_) {
    delegate->agent = this;
}

StrokeSyncAgent::~StrokeSyncAgent() {
    delegate->agent = nullptr;
    scheduler.cancelPosts(delegate.get());
}

void StrokeSyncAgent::append_stroke(const canvas::MWStroke& stroke) {
    if (canvas != nullptr) {
        enqueue_command(wire::appendCommand(canvas->canvasID(), stroke));
    }
}

void StrokeSyncAgent::delete_stroke(const canvas::MWStroke& stroke) {
    if (canvas != nullptr) {
        enqueue_command(wire::deleteCommand(canvas->canvasID(), stroke));
    }
}

void StrokeSyncAgent::update_thumbnail(std::string_view url) {
    if (canvas != nullptr) {
        enqueue_command(wire::updateThumbnailCommand(canvas->canvasID(), url));
    }
}

void StrokeSyncAgent::update_fullimage(std::string_view url) {
    if (canvas != nullptr) {
        enqueue_command(wire::updateFullimageCommand(canvas->canvasID(), url));
    }
}

void StrokeSyncAgent::get_strokes() {
    if (canvas != nullptr) {
        send_request(wire::getStrokesCommand(canvas->canvasID()), true);
    }
}

void StrokeSyncAgent::search_canvas_list(std::string_view nickname) {
    if (canvas != nullptr) {
        send_request(wire::searchCanvasListCommand(canvas->canvasID(), nickname), true);
    }
}

int StrokeSyncAgent::response_status() const {
    if (canvas_should_be_refreshed) {
        return 2;
    }
    return returned_strokes.empty() ? 0 : 1;
}

void StrokeSyncAgent::enqueue_command(std::string command) {
    {
        std::lock_guard guard(mutex);
        queued_commands.push_back(std::move(command));
        if (queue_listener != nullptr) {
            queue_listener->commandQueued(queued_commands.back());
        }
    }
    reportOfflineState();
    if (requesting) {
        if (last_request_time + timeout < clock.now()) {
            // Abandoned: its reply, should it still come, is ignored; the head goes again.
            reset_connection();
        } else {
            return;
        }
    }
    if (backingOff()) {
        return;
    }
    send_next_command();
}

bool StrokeSyncAgent::backingOff() const {
    return clock.now() < retry_time;
}

void StrokeSyncAgent::noteFailure(bool answered, std::optional<double> retry_after) {
    ++failures;
    double wait = 0.0;
    if (!answered) {
        turned_away = 0;
        wait = RetryWait::afterNoAnswer(jitter);
    } else {
        turned_away = retry_after ? 0 : turned_away + 1;
        wait = RetryWait::afterAnswer(turned_away, retry_after, jitter);
    }
    retry_time = clock.now() + wait;
    server_asked_wait = retry_after.has_value();
    retry_timer.start(wait, [this] { retryDue(); });
    reportOfflineState();
}

void StrokeSyncAgent::clearFailures() {
    failures = 0;
    turned_away = 0;
    retry_time = 0.0;
    server_asked_wait = false;
    retry_timer.stop();
}

void StrokeSyncAgent::retryDue() {
    std::lock_guard guard(mutex);
    // A timer may fire a hair early; so little left of the wait is no reason to wait again.
    constexpr double Slack = 0.01;
    const double left = retry_time - clock.now();
    if (left > Slack) {
        retry_timer.start(left, [this] { retryDue(); });
        return;
    }
    retry_time = 0.0;
    if (requesting && last_request_time + timeout < clock.now()) {
        reset_connection();
    }
    if (!requesting) {
        send_next_command();
    }
}

void StrokeSyncAgent::serverSeen() {
    std::lock_guard guard(mutex);
    if (failures == 0 || (server_asked_wait && backingOff())) {
        return;
    }
    turned_away = 0;
    retry_time = 0.0;
    server_asked_wait = false;
    retry_timer.stop();
    if (!requesting) {
        send_next_command();
    }
}

size_t StrokeSyncAgent::waitingChanges() const {
    return static_cast<size_t>(
        std::count_if(queued_commands.begin(), queued_commands.end(), [](const std::string& c) {
            const size_t word = std::min(c.size(), wire::commandCanvasID(c).size() + 2);
            const std::string_view rest = std::string_view(c).substr(word);
            // A poll is an append whose points are empty.
            return !(rest.starts_with("append:") && rest.ends_with("points:"));
        }));
}

void StrokeSyncAgent::reportOfflineState() {
    const bool now_offline = offline();
    const size_t waiting = now_offline ? waitingChanges() : 0;
    if (now_offline == reported_offline && waiting == reported_waiting) {
        return;
    }
    reported_offline = now_offline;
    reported_waiting = waiting;
    if (offline_listener) {
        offline_listener();
    }
}

void StrokeSyncAgent::resumeQueue() {
    std::lock_guard guard(mutex);
    if (requesting && last_request_time + timeout < clock.now()) {
        reset_connection();
    }
    if (!requesting && !backingOff()) {
        send_next_command();
    }
}

void StrokeSyncAgent::restoreQueue(std::vector<std::string> commands) {
    std::lock_guard guard(mutex);
    reset_connection();
    clearFailures();
    queued_commands.assign(std::make_move_iterator(commands.begin()),
                           std::make_move_iterator(commands.end()));
    if (queue_listener != nullptr) {
        queue_listener->queueReplaced(queued_commands);
    }
    reportOfflineState();
}

void StrokeSyncAgent::clearInbox() {
    std::lock_guard guard(mutex);
    returned_strokes.clear();
    canvas_should_be_refreshed = false;
    newest_stamp = 0;
    news = {};
    in_flight_news = 0;
}

void StrokeSyncAgent::newsArrived(std::optional<int64_t> stamp) {
    std::lock_guard guard(mutex);
    if (stamp && *stamp <= newest_stamp) {
        return;
    }
    ++news.arrived;
    if (stamp) {
        news.stamp = std::max(news.stamp, *stamp);
    } else {
        news.poll_needed = true;
    }
    pollForNews();
}

bool StrokeSyncAgent::owesNews() const {
    return news.arrived > news.covered && (news.poll_needed || news.stamp > newest_stamp);
}

void StrokeSyncAgent::pollForNews() {
    if (requesting || !owesNews()) {
        return;
    }
    if (queued_commands.empty()) {
        if (poll_source) {
            poll_source();
        }
    } else if (!server_asked_wait || !backingOff()) {
        // The head waits for the timer after a failed request; news means the server is there,
        // unless it asked for a wait.
        send_next_command();
    }
}

void StrokeSyncAgent::send_next_command() {
    std::lock_guard guard(mutex);
    if (!queued_commands.empty()) {
        send_request(queued_commands.front(), false);
    }
}

void StrokeSyncAgent::send_request(const std::string& body, bool synchronous) {
    platform::HttpRequest request;
    request.url = server_base_url;
    request.method = "POST";
    request.body = body;
    request.timeout_seconds = timeout;
    if (canvas != nullptr) {
        if (auto key = canvas->keyHeader(wire::commandUserName(body))) {
            request.headers.emplace_back(wire::KeyHeaderName, std::move(*key));
        }
    }

    if (synchronous) {
        error_occcured = false;
        const auto answer = http.sendSynchronously(request);
        // An error page is no list of strokes or canvases: it must not read as an empty one.
        if (!answer ||
            platform::meaningOf(answer->status.code) != platform::AnswerMeaning::Delivered) {
            error_occcured = true;
            return;
        }
        // A synchronous reply answers only its own command: the head of the queue and the
        // request in flight are none of its business, but it shows the server is there.
        dispatchReply(answer->body, true);
        serverSeen();
        return;
    }

    const uint64_t serial = ++last_serial;
    connection = serial;
    requesting = true;
    last_request_time = clock.now();
    in_flight_canvas_id = std::string(wire::commandCanvasID(body));
    in_flight_news = repliesWithStrokes(body) ? news.arrived : news.covered;
    // Bytes of an earlier, forgotten request are no part of this reply.
    delegate->response.clear();

    const std::weak_ptr<StrokeSyncDelegate> weak = delegate;
    platform::HttpCallbacks callbacks;
    callbacks.received = [weak, serial](std::string_view bytes) {
        if (const auto d = weak.lock(); d && d->agent != nullptr) {
            d->agent->connectionReceived(serial, bytes);
        }
    };
    callbacks.finished = [weak, serial](const platform::HttpStatus& status) {
        if (const auto d = weak.lock(); d && d->agent != nullptr) {
            d->agent->connectionFinished(serial, status);
        }
    };
    callbacks.failed = [weak, serial] {
        if (const auto d = weak.lock(); d && d->agent != nullptr) {
            d->agent->connectionFailed(serial);
        }
    };
    http.send(request, std::move(callbacks));
}

void StrokeSyncAgent::connectionReceived(uint64_t serial, std::string_view bytes) {
    if (serial == connection) {
        delegate->response.append(bytes);
    }
}

void StrokeSyncAgent::connectionFinished(uint64_t serial, const platform::HttpStatus& status) {
    if (serial != connection) {
        return;
    }
    const std::string reply = std::move(delegate->response);
    delegate->response.clear();
    switch (platform::meaningOf(status.code)) {
    case platform::AnswerMeaning::Delivered:
        handle_response(reply);
        break;
    case platform::AnswerMeaning::TryAgain:
        reset_connection();
        noteFailure(true, status.retry_after);
        break;
    case platform::AnswerMeaning::Refused:
        handle_refusal(status.code);
        break;
    }
}

void StrokeSyncAgent::connectionFailed(uint64_t serial) {
    if (serial != connection) {
        return;
    }
    reset_connection();
    delegate->response.clear();
    noteFailure(false, std::nullopt);
}

void StrokeSyncAgent::handle_refusal(int status) {
    reset_connection();
    clearFailures();
    std::string command;
    {
        std::lock_guard guard(mutex);
        if (!queued_commands.empty()) {
            command = std::move(queued_commands.front());
            queued_commands.pop_front();
            if (queue_listener != nullptr) {
                queue_listener->commandRetired();
            }
        }
    }
    reportOfflineState();
    if (refusal_listener) {
        refusal_listener(command, status);
    }
    send_next_command();
    pollForNews();
}

void StrokeSyncAgent::handle_response(const std::string& reply) {
    const bool for_open_canvas = canvas == nullptr || in_flight_canvas_id == canvas->canvasID();
    const uint64_t covers = in_flight_news;
    reset_connection();
    clearFailures();
    const size_t strokes_before = returned_strokes.size();
    dispatchReply(reply, for_open_canvas);
    const bool brought_strokes = returned_strokes.size() > strokes_before;
    if (for_open_canvas && covers > news.covered) {
        if (brought_strokes && news.stamp > newest_stamp) {
            // The reply stopped short of the newest stroke announced (a reply holds a page at
            // most; a new user of a big canvas is owed all of it): the rest is asked for at
            // once. A reply without strokes ends it, so a stroke deleted since never keeps
            // the polls going.
            news.poll_needed = false;
        } else {
            news.covered = covers;
            if (news.covered == news.arrived) {
                news.stamp = 0;
                news.poll_needed = false;
            }
        }
    }
    pop_sent_command();
    reportOfflineState();
    send_next_command();
    pollForNews();
}

void StrokeSyncAgent::dispatchReply(std::string_view reply, bool for_open_canvas) {
    {
        std::lock_guard guard(mutex);
        const float pixel_scale = canvas != nullptr ? canvas->pixelScale() : 0.1f;
        for (const std::string_view line : wire::splitReplyLines(reply)) {
            const wire::ReplyLine read = wire::classifyReplyLine(line);
            switch (read.kind) {
            case wire::ReplyLineKind::Stroke:
                // A reply to a command of a canvas closed since then carries that canvas's
                // strokes; they must not be painted into this one.
                if (for_open_canvas) {
                    returned_strokes.push_back(canvas::stroke_from_text(line, pixel_scale));
                    newest_stamp = std::max(newest_stamp, returned_strokes.back().server_time);
                }
                break;
            case wire::ReplyLineKind::Delete:
                if (for_open_canvas) {
                    canvas_should_be_refreshed = true;
                }
                break;
            case wire::ReplyLineKind::CanvasListEntry:
                canvas_list.emplace_back(read.canvas_id);
                thumbnail_list[std::string(read.canvas_id)] = std::string(read.thumbnail_url);
                break;
            case wire::ReplyLineKind::Nothing:
                break;
            }
        }
    }
    postNotice();
}

void StrokeSyncAgent::reset_connection() {
    connection = 0;
    requesting = false;
    last_request_time = 0.0;
    in_flight_canvas_id.clear();
    in_flight_news = 0;
}

void StrokeSyncAgent::pop_sent_command() {
    std::lock_guard guard(mutex);
    if (!queued_commands.empty()) {
        queued_commands.pop_front();
        if (queue_listener != nullptr) {
            queue_listener->commandRetired();
        }
    }
}

void StrokeSyncAgent::postNotice() {
    const std::weak_ptr<StrokeSyncDelegate> weak = delegate;
    scheduler.postWhenIdle(delegate.get(), [weak] {
        if (const auto d = weak.lock(); d && d->agent != nullptr) {
            d->agent->deliverNotice();
        }
    });
}

void StrokeSyncAgent::deliverNotice() {
    if (response_listener) {
        response_listener();
    }
}

} // namespace velmo::sync
