#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::wire {

// The live channel of a canvas. `GET /events/<percent-encoded canvas ID>` answers a stream of
// server-sent events (text/event-stream) that tell the client when a poll would bring news;
// strokes themselves still travel only in poll replies.
//   ready   sent once the stream is open; data: the canvas's newest stamp (0 for none), so a
//           client learns of what it missed while it had no stream
//   append  a stroke of the canvas was stored; data: its stamp
//   delete  a stroke of the canvas was removed; no data
// A client that already holds a stroke stamped at or after an event's stamp has that news.
inline constexpr std::string_view EventsRoute = "/events/";
inline constexpr std::string_view ReadyEvent = "ready";
inline constexpr std::string_view AppendEvent = "append";
inline constexpr std::string_view DeleteEvent = "delete";
// A comment line: it keeps proxies from closing an idle stream and dispatches nothing.
inline constexpr std::string_view KeepAliveComment = ":\n";

// The stream's URL under a server base URL ("http://host:port/" or without the final slash).
std::string eventStreamURL(std::string_view server_base_url, std::string_view canvas_id);

// One event as it goes on the wire. `type` and `data` must hold no line break.
std::string serverEventText(std::string_view type, std::string_view data);

// The stamp an event's data names: 1 to 18 ASCII digits; nothing for anything else.
std::optional<int64_t> eventStamp(std::string_view data);

struct ServerEvent {
    std::string type = "message"; // the stream's default when an event names none
    std::string data;             // its data lines joined with "\n"
    std::string id;               // the last event ID seen on the stream

    bool operator==(const ServerEvent&) const = default;
};

// Reads a text/event-stream as its bytes arrive, in pieces of any size: the same bytes cut
// anywhere give the same events. Lines end with CR LF, LF or CR; a leading byte-order mark is
// skipped; comments and unknown fields are ignored. Total: any bytes are read without an
// exception or a read past them. Memory is bounded for a hostile stream: a line longer than
// MaxLine is dropped whole, and an event's data stops growing at MaxData.
class ServerEventParser {
public:
    static constexpr size_t MaxLine = 64 * 1024;
    static constexpr size_t MaxData = 64 * 1024;

    // Reads `bytes`; `dispatch` gets each event they complete, in order.
    void feed(std::string_view bytes, const std::function<void(const ServerEvent&)>& dispatch);

private:
    void takeLine(const std::function<void(const ServerEvent&)>& dispatch);
    void takeField(std::string_view field, std::string_view value);

    std::string line_;
    bool line_too_long_ = false;
    // A CR ended the last line: an LF right after it ends nothing more.
    bool after_cr_ = false;
    // How many bytes of a leading byte-order mark have been seen; 3 once past the start.
    int bom_seen_ = 0;
    std::string type_;
    std::string data_;
    bool has_data_ = false;
    std::string id_;
};

} // namespace velmo::wire
