#include "canvas/canvas_geometry.h"

namespace velmo::canvas {

void CanvasGeometry::setScreenSize(float width, float height) {
    canvas_width = static_cast<int>(width);
    canvas_height = static_cast<int>(height);
    const float by_width = width / LogicalWidth;
    const float by_height = height / LogicalHeight;
    pixel_scale = by_width < by_height ? by_height : by_width;
}

} // namespace velmo::canvas
