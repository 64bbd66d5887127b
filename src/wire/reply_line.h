#pragma once

#include "wire/command_words.h"

#include <string>
#include <string_view>
#include <vector>

namespace velmo::wire {

enum class ReplyLineKind {
    Stroke,          // holds " append: ": a stroke text, read from the whole line
    Delete,          // holds " delete: ": the canvas must be fetched again
    CanvasListEntry, // "<nickname>@<17 digits> <thumbnail URL>": a canvas found by a search
    Nothing,         // empty or unknown: ignored
};

// One classified line. For a canvas-list entry, `canvas_id` is the line up to its first space
// and `thumbnail_url` the rest after that space (possibly empty); both view the line.
struct ReplyLine {
    ReplyLineKind kind = ReplyLineKind::Nothing;
    std::string_view canvas_id;
    std::string_view thumbnail_url;
};

// Cuts a reply at each line feed; the text after the last one is a line too (possibly
// empty). Carriage returns stay in the lines.
std::vector<std::string_view> splitReplyLines(std::string_view reply);

// Total: any bytes give a kind. The first rule that applies wins, in the order of the kinds.
ReplyLine classifyReplyLine(std::string_view line);

// The whole-line search pattern: one or more non-space characters, "@", exactly 17 ASCII
// digits, a space, then anything but a line terminator. The line must be valid UTF-8.
bool isCanvasListLine(std::string_view line);

// The server's side: each writer appends one line to `reply`, after a line feed unless
// `reply` is empty (lines are separated, not ended). Nothing is checked or escaped; the
// canvas ID, stroke text and URL have passed the command parser's limits. Inline, since a
// reply can carry thousands of lines.

// "<canvas ID>: append: <stroke text>"
inline void appendStrokeLine(std::string& reply, std::string_view canvas_id,
                             std::string_view stroke_text) {
    if (!reply.empty()) {
        reply += '\n';
    }
    reply += canvas_id;
    reply += AppendAfterID;
    reply += stroke_text;
}

// The bytes appendStrokeLine adds to a non-empty reply, for reserving a whole reply at once.
constexpr size_t strokeLineSize(std::string_view canvas_id, std::string_view stroke_text) {
    return 1 + canvas_id.size() + AppendAfterID.size() + stroke_text.size();
}

// "<canvas ID>: delete: ": the canvas lost a stroke and must be fetched again.
inline void appendDeleteNotice(std::string& reply, std::string_view canvas_id) {
    if (!reply.empty()) {
        reply += '\n';
    }
    reply += canvas_id;
    reply += DeleteAfterID;
}

// "<canvas ID> <thumbnail URL>", a canvas found by a search.
inline void appendCanvasListLine(std::string& reply, std::string_view canvas_id,
                                 std::string_view thumbnail_url) {
    if (!reply.empty()) {
        reply += '\n';
    }
    reply += canvas_id;
    reply += ' ';
    reply += thumbnail_url;
}

} // namespace velmo::wire
