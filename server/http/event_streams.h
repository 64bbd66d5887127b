#pragma once

#include "handler/request_handler.h"
#include "http/access_log.h"
#include "http/pending_live.h"
#include "http/session_types.h"

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

namespace velmo::server {

class StreamSession;

struct EventStreamOptions {
    // A comment this often keeps proxies from closing a stream that has no news.
    std::chrono::milliseconds keepalive{20'000};
    // A write the client does not take within this time ends the stream.
    std::chrono::milliseconds write_timeout{20'000};
    // At most one news event this often on a stream; the first after a quiet spell goes at once.
    std::chrono::milliseconds event_spacing{100};
    // What a stream holds of live news (strokes in progress, joins and leaves) not yet written;
    // live news is written as soon as the stream is not writing, without the spacing.
    PendingLive::Limits live_limits;
    size_t max_streams = 10'000;
    size_t max_streams_per_address = 64;
    bool access_log = true;
    LogFormat log_format = LogFormat::Text;
};

// The event streams the server holds open (GET /events/<canvas ID>), each on the socket of
// the connection that asked for it. A stream costs no thread: it waits on its socket and one
// timer, and owes its client at most one event however much news it has not sent
// (PendingNews). It ends when the client closes, when a write stalls past the time-out, or at
// shutdown; a stream is logged when it ends.
//
// Thread-safe. Must outlive every stream, so it outlives the io_context they run on.
class EventStreams {
public:
    // `drained` is called, on whatever thread closed it, when the last stream has gone after
    // closeAll.
    EventStreams(EventStreamOptions options, HandlerContext& context,
                 std::function<void()> drained);
    ~EventStreams();
    EventStreams(const EventStreams&) = delete;
    EventStreams& operator=(const EventStreams&) = delete;

    enum class Admission { Admitted, AddressFull, ServerFull };
    // Takes a place for a stream of `client` (its address) if the limits allow; an admitted
    // place must be filled by start at once.
    Admission admit(const std::string& client);
    // Streams the news of `canvas_id` to the client on `socket`, whose request has been read.
    // `target` and `started` are for the access log; `chunked` for HTTP/1.1 clients. `user`
    // (empty: none) is the user the stream names, its key checked: present while it is open,
    // and deaf to its own strokes in progress.
    void start(SessionSocket socket, const std::string& client, std::string canvas_id,
               std::string target, bool chunked, std::chrono::steady_clock::time_point started,
               std::string user = {});

    // Closes every stream and refuses new ones (shutdown).
    void closeAll();
    size_t openCount() const;

private:
    friend class StreamSession;
    void release(StreamSession* session, const std::string& client);

    EventStreamOptions options_;
    HandlerContext& context_;
    std::function<void()> drained_;
    mutable std::mutex mutex_;
    std::unordered_map<StreamSession*, std::weak_ptr<StreamSession>> open_;
    std::unordered_map<std::string, size_t> per_address_;
    size_t admitted_ = 0;
    bool closing_ = false;
};

} // namespace velmo::server
