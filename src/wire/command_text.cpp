#include "wire/command_text.h"

#include "canvas/stroke_text.h"

namespace velmo::wire {
namespace {

std::string joined(std::string_view canvas_id, std::string_view literal, std::string_view arg) {
    std::string command;
    command.reserve(canvas_id.size() + literal.size() + arg.size());
    command.append(canvas_id).append(literal).append(arg);
    return command;
}

} // namespace

std::string appendCommand(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    return joined(canvas_id, ": append: ", canvas::stroke_to_text(stroke));
}

std::string deleteCommand(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    canvas::MWStroke without_points = stroke;
    without_points.points_x.clear();
    without_points.points_y.clear();
    return joined(canvas_id, ": delete: ", canvas::stroke_to_text(without_points));
}

std::string updateThumbnailCommand(std::string_view canvas_id, std::string_view url) {
    return joined(canvas_id, ": update_thumbnail: url:", url);
}

std::string updateFullimageCommand(std::string_view canvas_id, std::string_view url) {
    return joined(canvas_id, ": update_fullimage: url:", url);
}

std::string getStrokesCommand(std::string_view canvas_id) {
    return joined(canvas_id, ": get_strokes: ", {});
}

std::string searchCanvasListCommand(std::string_view canvas_id, std::string_view nickname) {
    return joined(canvas_id, ": search_canvas_list: nickname:", nickname);
}

std::string_view commandCanvasID(std::string_view command) {
    return command.substr(0, command.find(": "));
}

} // namespace velmo::wire
