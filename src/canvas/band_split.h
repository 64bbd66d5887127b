#pragma once

#include "canvas/pixel_rect.h"
#include "canvas/stroke_painter.h"

#include <functional>

namespace velmo::canvas {

// The threads a repaint of many strokes may use: one a core.
unsigned paintThreads();

// Calls `work(band, painter)` for disjoint bands of rows that together make up `rect`, on up
// to `threads` threads at once (the calling one among them), each with a painter of its own,
// and returns when every band is done. So `work` must write only pixels of its band; it may
// read anything nobody writes meanwhile. With one thread, or a rectangle too low to split, it
// is one call on the calling thread. Bands are handed out as threads come free, so a band full
// of strokes does not hold the others up.
void forEachBand(PixelRect rect, unsigned threads,
                 const std::function<void(PixelRect band, StrokePainter& painter)>& work);

} // namespace velmo::canvas
