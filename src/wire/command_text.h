#pragma once

#include "canvas/mw_stroke.h"

#include <string>
#include <string_view>

namespace velmo::wire {

// The six commands the canvas server understands, byte for byte: the canvas ID, the command
// word and its argument, with no line feed and nothing escaped. Stroke texts begin with a
// space, so append and delete have two spaces after the command word.
std::string appendCommand(std::string_view canvas_id, const canvas::MWStroke& stroke);
// The stroke goes without its points; every other field is sent as it is.
std::string deleteCommand(std::string_view canvas_id, const canvas::MWStroke& stroke);
std::string updateThumbnailCommand(std::string_view canvas_id, std::string_view url);
std::string updateFullimageCommand(std::string_view canvas_id, std::string_view url);
std::string getStrokesCommand(std::string_view canvas_id);
std::string searchCanvasListCommand(std::string_view canvas_id, std::string_view nickname);

// The canvas ID a command was built for: the text before its first ": " (the whole text if
// there is none).
std::string_view commandCanvasID(std::string_view command);

} // namespace velmo::wire
