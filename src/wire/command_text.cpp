#include "wire/command_text.h"

#include "canvas/stroke_text.h"
#include "wire/command_words.h"

namespace velmo::wire {
namespace {

std::string joined(std::string_view canvas_id, std::string_view after_id, std::string_view key,
                   std::string_view argument) {
    std::string command;
    command.reserve(canvas_id.size() + after_id.size() + key.size() + argument.size());
    command.append(canvas_id).append(after_id).append(key).append(argument);
    return command;
}

} // namespace

std::string appendCommand(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    return joined(canvas_id, AppendAfterID, {}, canvas::stroke_to_text(stroke));
}

std::string deleteCommand(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    canvas::MWStroke without_points = stroke;
    without_points.points_x.clear();
    without_points.points_y.clear();
    return joined(canvas_id, DeleteAfterID, {}, canvas::stroke_to_text(without_points));
}

std::string updateThumbnailCommand(std::string_view canvas_id, std::string_view url) {
    return joined(canvas_id, UpdateThumbnailAfterID, UrlKey, url);
}

std::string updateFullimageCommand(std::string_view canvas_id, std::string_view url) {
    return joined(canvas_id, UpdateFullimageAfterID, UrlKey, url);
}

std::string getStrokesCommand(std::string_view canvas_id) {
    return joined(canvas_id, GetStrokesAfterID, {}, {});
}

std::string searchCanvasListCommand(std::string_view canvas_id, std::string_view nickname) {
    return joined(canvas_id, SearchCanvasListAfterID, NicknameKey, nickname);
}

std::string_view commandCanvasID(std::string_view command) {
    return command.substr(0, command.find(AfterCanvasID));
}

} // namespace velmo::wire
