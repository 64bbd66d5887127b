#include "wire/canvas_id.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"
#include "wire/wire_limits.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Any body gives a command or an error; a command has passed every limit, and the client's
// writer, given what was read, writes a command that reads back the same.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::wire;
    const std::string_view body(reinterpret_cast<const char*>(data), size);
    const auto parsed = parseCommand(body);
    if (const auto* error = std::get_if<CommandError>(&parsed)) {
        if (error->status < 400 || error->status > 499) {
            std::abort();
        }
        return 0;
    }
    const Command& command = std::get<Command>(parsed);
    if (!isValidCanvasId(command.canvas_id) ||
        body.substr(0, command.canvas_id.size()) != command.canvas_id) {
        std::abort();
    }
    if (!isValidUserName(command.stroke.user_name) ||
        command.stroke.points_x.size() > MaxStrokePoints ||
        command.stroke.points_x.size() != command.stroke.points_y.size()) {
        std::abort();
    }
    if ((command.kind == CommandKind::UpdateThumbnail ||
         command.kind == CommandKind::UpdateFullimage) &&
        !isValidImageUrl(command.text)) {
        std::abort();
    }
    if (command.kind == CommandKind::SearchCanvasList && command.text.size() > MaxNickname) {
        std::abort();
    }

    // Stroke texts are not escaped: a user name with a space reads back cut at it.
    if (command.stroke.user_name.find(' ') != std::string::npos) {
        return 0;
    }
    velmo::canvas::MWStroke expected_stroke = command.stroke;
    std::string written;
    switch (command.kind) {
    case CommandKind::Append:
        written = appendCommand(command.canvas_id, command.stroke);
        break;
    case CommandKind::Delete:
        written = deleteCommand(command.canvas_id, command.stroke);
        expected_stroke.points_x.clear();
        expected_stroke.points_y.clear();
        break;
    case CommandKind::GetStrokes:
        written = getStrokesCommand(command.canvas_id);
        break;
    case CommandKind::SearchCanvasList:
        written = searchCanvasListCommand(command.canvas_id, command.text);
        break;
    case CommandKind::UpdateThumbnail:
        written = updateThumbnailCommand(command.canvas_id, command.text);
        break;
    case CommandKind::UpdateFullimage:
        written = updateFullimageCommand(command.canvas_id, command.text);
        break;
    case CommandKind::Progress:
        // What the server passes on is what it wrote of what it read: it must read back alike.
        written = progressCommand(command.canvas_id, command.progress);
        break;
    }
    const auto again = parseCommand(written);
    const Command* read = std::get_if<Command>(&again);
    if (read == nullptr || read->kind != command.kind || read->canvas_id != command.canvas_id ||
        read->text != command.text || commandCanvasID(written) != command.canvas_id) {
        std::abort();
    }
    if ((command.kind == CommandKind::Append || command.kind == CommandKind::Delete) &&
        !(read->stroke == expected_stroke)) {
        std::abort();
    }
    if (command.kind == CommandKind::Progress && !(read->progress == command.progress)) {
        std::abort();
    }
    return 0;
}
