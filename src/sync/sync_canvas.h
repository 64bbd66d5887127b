#pragma once

#include <string>

namespace velmo::sync {

// What a sync agent needs of the canvas it speaks for.
class SyncCanvas {
public:
    virtual ~SyncCanvas() = default;
    // The ID of the open canvas, made at this moment if the canvas has none yet; every
    // command starts with it.
    virtual std::string canvasID() = 0;
    // Pixels per canvas unit: decoded strokes take their default pen from it.
    virtual float pixelScale() const = 0;
};

} // namespace velmo::sync
