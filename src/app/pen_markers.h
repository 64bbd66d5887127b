#pragma once

#include "platform/canvas_outlets.h"

#include <QColor>
#include <QPointF>
#include <QRectF>
#include <QString>

class QFont;
class QPainter;

namespace velmo::app {

// Where another person's pen is: a dot in the pen's colour on the pen and the drawer's
// nickname in a rounded label beside it. Painted on the screen over the picture, never into
// it. Positions are canvas-view points.
struct PenMarkerShape {
    QPointF at;
    QRectF dot;
    QRectF label;
    // The nickname as the label shows it (cut short when long).
    QString text;
    QColor color;

    // Everything the marker may touch, antialiasing included.
    QRectF bounds() const;
};

// The marker for `marker` with its pen at `at`, inside `area` (the label goes left of the dot
// where the right has no room), in `font`.
PenMarkerShape penMarkerShape(const platform::CanvasOutlets::PenMarker& marker, QPointF at,
                              const QFont& font, const QRectF& area);

void paintPenMarker(QPainter& painter, const PenMarkerShape& shape, const QFont& font);

} // namespace velmo::app
