#include "handler/limits.h"
#include "wire/canvas_id.h"
#include "wire/command_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any body gives a command or an error; a command has passed every limit.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::server;
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
    return 0;
}
