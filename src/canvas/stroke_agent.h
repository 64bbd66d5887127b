#pragma once

#include "canvas/mw_stroke.h"

namespace velmo::canvas {

// Where finished strokes and undos go to reach the server. The sync agent implements it.
class StrokeAgent {
public:
    virtual ~StrokeAgent() = default;
    virtual void append_stroke(const MWStroke& stroke) = 0;
    // Sends the delete of `stroke` (the agent drops its points from the command).
    virtual void delete_stroke(const MWStroke& stroke) = 0;
};

} // namespace velmo::canvas
