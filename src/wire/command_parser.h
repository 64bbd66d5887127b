#pragma once

#include "canvas/mw_stroke.h"
#include "wire/stroke_progress.h"

#include <string>
#include <string_view>
#include <variant>

namespace velmo::wire {

// The pixel scale stroke texts are read with on the server: the one of the 320 x 480
// reference render. It only decides the pen width a text without one gets.
inline constexpr float ServerPixelScale = 320.0f / 320000.0f;

enum class CommandKind {
    Append, // with points: a stroke to store; without: the poll
    Delete,
    GetStrokes,
    SearchCanvasList,
    UpdateThumbnail,
    UpdateFullimage,
    Progress, // a stroke being drawn (wire/stroke_progress.h), passed on and never stored
};

struct Command {
    CommandKind kind = CommandKind::GetStrokes;
    std::string canvas_id;
    canvas::MWStroke stroke; // append and delete
    std::string text;        // the URL or the searched nickname
    StrokeProgress progress; // progress
};

// Why a body is not a command, with the HTTP status to answer.
struct CommandError {
    int status = 400;
    std::string message;
};

// Reads one command body "<canvas ID>: <word>:<argument>". Total: any bytes give either a
// command that passed every limit (canvas ID, user name, points, nickname, URL) or an error.
std::variant<Command, CommandError> parseCommand(std::string_view body);

// The user an append or a delete speaks for, its stroke's author as parseCommand reads it;
// empty for any other body.
std::string commandUserName(std::string_view body);

// http:// or https://, at most 2048 bytes, no space or control byte (a reply line must not be
// split by it).
bool isValidImageUrl(std::string_view url);

} // namespace velmo::wire
