#pragma once

#include "canvas/mw_stroke.h"
#include "canvas/stroke_agent.h"
#include "platform/clock.h"
#include "platform/http_exchange.h"
#include "platform/scheduler.h"
#include "sync/one_shot.h"
#include "sync/queue_listener.h"
#include "sync/retry_wait.h"
#include "sync/sync_canvas.h"

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::sync {

class StrokeSyncAgent;

// Receives the exchange's callbacks for its agent and collects the reply bytes. The agent
// owns it; callbacks hold it only weakly, so none reaches an agent that is gone.
struct StrokeSyncDelegate {
    StrokeSyncAgent* agent = nullptr;
    std::string response;
};

// The one talker to the canvas server. Commands wait in `queued_commands` and go out one
// request at a time, the head first; it is retired only when a 2xx reply has been handled, so
// a command the server never took is never lost. A redirect (not followed), 408, 429, 5xx, a
// broken connection or a time-out keep the head, which goes again when its wait is over, at
// that moment (RetryWait): the wait a Retry-After asks for, up to ten minutes; else, after an
// answer, a jittered doubling up to a minute; after no answer at all, about a second. The
// moment the server is seen again (a 2xx to any request, or its live stream speaks:
// serverSeen) a wait of our own choosing is over and the head goes at once. Any other 4xx
// means the server will never take the head: it is dropped, the refusal listener hears of
// it, and the next command goes. Replies are sorted into the inboxes (`returned_strokes`,
// `canvas_should_be_refreshed`, `canvas_list`, `thumbnail_list`) and a notice is posted to
// the response listener when the UI thread is idle, one at a time.
//
// Everything runs on the UI thread. The lock is recursive because the canvas holds it while
// a synchronous exchange handles its reply. Without `canvas` no command is built: the
// operations that need one do nothing.
class StrokeSyncAgent : public canvas::StrokeAgent {
public:
    // The exchange, scheduler and clock must outlive the agent. Requests go to
    // `server_base_url` exactly as given.
    StrokeSyncAgent(platform::HttpExchange& http, platform::Scheduler& scheduler,
                    const platform::Clock& clock, std::string server_base_url);
    ~StrokeSyncAgent() override;
    StrokeSyncAgent(const StrokeSyncAgent&) = delete;
    StrokeSyncAgent& operator=(const StrokeSyncAgent&) = delete;

    // Queued commands.
    void append_stroke(const canvas::MWStroke& stroke) override;
    void delete_stroke(const canvas::MWStroke& stroke) override;
    void update_thumbnail(std::string_view url);
    void update_fullimage(std::string_view url);
    // Synchronous commands: they block until the reply or the time-out. A failure, or an
    // answer with a status other than 2xx, sets `error_occcured`. The request in flight and the
    // queue are left alone.
    void get_strokes();
    void search_canvas_list(std::string_view nickname);

    // 2 when the canvas must be fetched again, else 1 when strokes wait, else 0.
    int response_status() const;

    // Called by the polling timer: forgets a request older than `timeout`, then, when none is
    // in flight and the wait after a failure is over, sends the head again. So a restored queue
    // drains by itself, one request at a time; a failed request goes again at the end of its
    // wait without it.
    void resumeQueue();
    // The server answered another request of this client with a 2xx, or its live stream
    // spoke: a wait of our own choosing is over (one the server asked for is kept) and the head
    // goes now, unless a request is in flight.
    void serverSeen();
    // The latest request came back without delivering its command: the server cannot be
    // reached, or turned it away for now. Cleared by the next delivery, or a refusal for good.
    bool offline() const { return failures > 0; }
    // The queued commands that change a canvas (polls are no change of the user's).
    size_t waitingChanges() const;
    // Called when `offline()` changes, and when `waitingChanges()` changes while offline.
    void setOfflineListener(std::function<void()> listener) {
        offline_listener = std::move(listener);
    }
    // Spreads the waits after failures; tests give a fixed one.
    void setJitter(Jitter source) { jitter = std::move(source); }
    // Replaces the queue (restored settings). A request in flight is forgotten, since the
    // command it carried is no longer the head.
    void restoreQueue(std::vector<std::string> commands);
    // Drops what arrived for the canvas that was open before, and what was known of its news.
    void clearInbox();

    // News of the open canvas from its live stream: a stroke stamped `stamp` was stored, or,
    // without a stamp, something changed that only a poll tells. News the agent already holds
    // (a stroke stamped at or after `stamp` came in a reply) is dropped. Otherwise a poll goes
    // now, or, with a request in flight, once its reply is handled: one request at a time, and
    // any burst of news during a request makes one poll after it.
    void newsArrived(std::optional<int64_t> stamp);
    // What sends a poll: the canvas builds it (an append without points of its user).
    void setPollSource(std::function<void()> source) { poll_source = std::move(source); }

    // Called, through the scheduler, after a reply has been handled.
    void setResponseListener(std::function<void()> listener) {
        response_listener = std::move(listener);
    }
    // Called with the command the server refused for good, and the status it answered.
    void setRefusalListener(std::function<void(const std::string& command, int status)> listener) {
        refusal_listener = std::move(listener);
    }
    // Told of every change of `queued_commands` from now on; none: nobody (non-owning).
    void setQueueListener(QueueListener* listener) { queue_listener = listener; }
    std::recursive_mutex& lock() { return mutex; }
    // The sender of this agent's notices.
    const void* noticeSender() const { return delegate.get(); }
    const std::string& serverBaseURL() const { return server_base_url; }

    std::shared_ptr<StrokeSyncDelegate> delegate;
    double timeout = 10.0;
    // Serial of the asynchronous request in flight; 0 when none.
    uint64_t connection = 0;
    bool requesting = false;
    double last_request_time = 0.0;
    bool error_occcured = false;
    std::deque<std::string> queued_commands;
    std::vector<canvas::MWStroke> returned_strokes;
    bool canvas_should_be_refreshed = false;
    std::vector<std::string> canvas_list;
    std::map<std::string, std::string> thumbnail_list;
    SyncCanvas* canvas = nullptr;
    // The newest server stamp among the strokes received for the open canvas.
    int64_t newest_stamp = 0;
    // Requests in a row that came back without delivering the head, and the clock time before
    // which it does not go again.
    int failures = 0;
    double retry_time = 0.0;
    // Of those failures, the answers in a row that said "not now" without a Retry-After: they
    // set the doubling.
    int turned_away = 0;

private:
    // Sends what news is owed, when no request is in flight.
    void pollForNews();
    bool owesNews() const;

    void enqueue_command(std::string command);
    void send_next_command();
    void send_request(const std::string& body, bool synchronous);
    // The reply to the asynchronous request in flight: retires the head, sends the next.
    void handle_response(const std::string& reply);
    // Sorts a reply into the inboxes and posts the notice. Stroke lines and delete notices
    // count only when the reply answers a command for the canvas open now.
    void dispatchReply(std::string_view reply, bool for_open_canvas);
    void reset_connection();
    void pop_sent_command();
    void postNotice();
    void deliverNotice();

    void connectionReceived(uint64_t serial, std::string_view bytes);
    void connectionFinished(uint64_t serial, const platform::HttpStatus& status);
    // The server will never take the head: drops it and goes on with the next.
    void handle_refusal(int status);
    bool backingOff() const;
    // `answered`: a status came back; without, nobody answered.
    void noteFailure(bool answered, std::optional<double> retry_after);
    // The command went through (or was refused for good): no wait and no failures are left.
    void clearFailures();
    void retryDue();
    void reportOfflineState();
    void connectionFailed(uint64_t serial);

    platform::HttpExchange& http;
    platform::Scheduler& scheduler;
    const platform::Clock& clock;
    std::string server_base_url;
    std::recursive_mutex mutex;
    std::function<void()> response_listener;
    std::function<void(const std::string&, int)> refusal_listener;
    QueueListener* queue_listener = nullptr;
    std::function<void()> offline_listener;
    // What the offline listener last heard: offline, and the changes waiting then.
    bool reported_offline = false;
    size_t reported_waiting = 0;
    Jitter jitter = defaultJitter();
    // Sends the head when the wait is over.
    OneShot retry_timer;
    // The wait in force was asked for by the server, so news does not cut it short.
    bool server_asked_wait = false;
    uint64_t last_serial = 0;
    // The canvas the request in flight speaks for.
    std::string in_flight_canvas_id;
    std::function<void()> poll_source;
    // News of the open canvas, counted as it arrives. A handled reply to an append (a poll
    // included) or a delete covers all news that came before its request was sent.
    struct News {
        uint64_t arrived = 0;
        uint64_t covered = 0;
        int64_t stamp = 0;        // the newest stamp among the news not covered
        bool poll_needed = false; // news without a stamp among them
    } news;
    // The news count when the request in flight was sent, if its reply carries strokes.
    uint64_t in_flight_news = 0;
};

} // namespace velmo::sync
