#pragma once

#include "canvas/mw_stroke.h"
#include "canvas/pen_properties.h"

#include <string>
#include <string_view>

namespace velmo::canvas {

// The one text form of pens and strokes, used in server commands, server replies and the
// saved history. Encoders are byte-exact; decoders are total: any bytes give a defined
// record, unknown parts are ignored and missing fields keep the default pen of `pixel_scale`.

// "color=<hex>,width=<dec>,density=<dec>"
std::string pen_to_text(const PenProperties& pen);
PenProperties pen_from_text(std::string_view text, float pixel_scale);

// " client_time:<n> server_time:<n> user_name:<id> pen_properties:<pen> layer:<n> points: x-y ..."
std::string stroke_to_text(const MWStroke& stroke);
// Accepts a bare stroke text or any line that contains one (a server reply line starts with
// the canvas ID and the command word, which are ignored).
MWStroke stroke_from_text(std::string_view text, float pixel_scale);

} // namespace velmo::canvas
