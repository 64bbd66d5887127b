#pragma once

#include "canvas/pen_properties.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::wire {

// What the live channel carries besides news of stored strokes: the strokes being drawn and
// who is on the canvas. None of it is ever stored; finished strokes still travel only as
// appends and poll replies.
//
// A stroke in progress, sent by its drawer as a command (POST /, one in flight at a time, each
// carrying the points drawn since the last) and passed by the server to every other event
// stream of the canvas as a "progress" event whose data is the same argument:
//   "<canvas ID>: progress: user_name:<id> stroke:<n> from:<n> at:<n>
//        pen_properties:<pen> layer:<n> points: x-y x-y ..."   (one line)
//   "<canvas ID>: progress: user_name:<id> stroke:<n> cancel"
// `stroke` is the drawer's name for the stroke (the time it began, ms since 1970), `from` the
// index in the stroke of the first point carried, `at` the drawer's clock when the newest point
// was drawn (ms since 1970). The server answers 204 and stores nothing.
//
// Presence: GET /events/<canvas ID>?user=<percent-encoded user ID>, with the key header for
// that user ID, names the stream's user. The stream then hears "join" and "leave" events, data:
// a user ID, for every user who comes and goes, and right after "ready" one "join" for each
// user present (itself included). A user is present while one of its streams is open.
inline constexpr std::string_view ProgressAfterID = ": progress: ";
inline constexpr std::string_view ProgressEvent = "progress";
inline constexpr std::string_view JoinEvent = "join";
inline constexpr std::string_view LeaveEvent = "leave";
inline constexpr std::string_view PresenceUserParameter = "user=";

// What one progress command may carry: each fits a PostgreSQL notification with its canvas ID
// (hex-encoded, both) beside it.
inline constexpr size_t MaxProgressPoints = 200;
inline constexpr size_t MaxProgressText = 3600;

struct StrokeProgress {
    std::string user_name;
    int64_t stroke = 0;
    bool cancel = false;
    uint32_t from = 0;
    int64_t at = 0;
    canvas::PenProperties pen;
    int32_t layer = 0;
    std::vector<int32_t> points_x;
    std::vector<int32_t> points_y;

    bool operator==(const StrokeProgress&) const = default;
};

// The argument (the event's data) for `progress`; one line, at most MaxProgressText bytes when
// it carries at most MaxProgressPoints points and a user name of at most 256 bytes.
std::string progressText(const StrokeProgress& progress);
// The whole command body.
std::string progressCommand(std::string_view canvas_id, const StrokeProgress& progress);

// Reads an argument or an event's data. Total: nothing unless the text is at most
// MaxProgressText bytes, names a user (1 to 256 bytes, no space or control byte) and a stroke,
// and, unless it cancels, its from and at, a layer 0 to 2 and 1 to MaxProgressPoints points.
// A missing pen keeps the default pen of `pixel_scale`.
std::optional<StrokeProgress> parseProgress(std::string_view text, float pixel_scale);

// True for a user ID a stream may name: what a progress may name.
bool isPresenceUser(std::string_view user_id);

// The event stream's URL naming `user_id` (eventStreamURL plus the parameter).
std::string presenceStreamURL(std::string_view server_base_url, std::string_view canvas_id,
                              std::string_view user_id);
// The user ID a stream's target names, if any (percent-decoded; not checked).
std::optional<std::string> presenceUserOf(std::string_view target);

} // namespace velmo::wire
