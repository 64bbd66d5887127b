#include "app/pen_markers.h"

#include <QFont>
#include <QFontMetricsF>
#include <QPainter>
#include <QPainterPath>

namespace velmo::app {
namespace {

constexpr qreal DotRadius = 4.5;
// The dot's white ring, so that a dark pen shows on a dark picture and a light one on white.
constexpr qreal RingRadius = 6.5;
constexpr qreal LabelGap = 4;
constexpr qreal LabelPaddingX = 5;
constexpr qreal LabelPaddingY = 2;
constexpr qreal LabelRadius = 5;
constexpr qreal MaxLabelTextWidth = 160;

// Dark text on a light pen, light on a dark one (the pen's luma, ITU-R BT.601).
QColor textColorOn(const QColor& background) {
    const double luma =
        0.299 * background.redF() + 0.587 * background.greenF() + 0.114 * background.blueF();
    return luma > 0.6 ? QColor(0x20, 0x20, 0x20) : QColor(Qt::white);
}

} // namespace

QRectF PenMarkerShape::bounds() const {
    return dot.united(label).adjusted(-2, -2, 2, 2);
}

PenMarkerShape penMarkerShape(const platform::CanvasOutlets::PenMarker& marker, QPointF at,
                              const QFont& font, const QRectF& area) {
    PenMarkerShape shape;
    shape.at = at;
    // The marker shows where the pen is, whatever the stroke's transparency.
    shape.color = QColor::fromRgb(marker.color | 0xFF000000u);
    shape.dot = QRectF(at.x() - RingRadius, at.y() - RingRadius, 2 * RingRadius, 2 * RingRadius);
    const QFontMetricsF metrics(font);
    shape.text = metrics.elidedText(QString::fromStdString(marker.nickname).simplified(),
                                    Qt::ElideRight, MaxLabelTextWidth);
    const QSizeF size(metrics.horizontalAdvance(shape.text) + 2 * LabelPaddingX,
                      metrics.height() + 2 * LabelPaddingY);
    // Below and to the right of the pen, as a pointer's tip; to the left near the right edge,
    // above near the bottom.
    QPointF corner(shape.dot.right() + LabelGap, at.y());
    if (corner.x() + size.width() > area.right() && at.x() - area.left() > size.width()) {
        corner.setX(shape.dot.left() - LabelGap - size.width());
    }
    if (corner.y() + size.height() > area.bottom() && at.y() - area.top() > size.height()) {
        corner.setY(at.y() - size.height());
    }
    shape.label = QRectF(corner, size);
    return shape;
}

void paintPenMarker(QPainter& painter, const PenMarkerShape& shape, const QFont& font) {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor outline(0, 0, 0, 110);

    if (!shape.text.isEmpty()) {
        QPainterPath label;
        label.addRoundedRect(shape.label, LabelRadius, LabelRadius);
        painter.setPen(QPen(outline, 1));
        painter.setBrush(shape.color);
        painter.drawPath(label);
        painter.setFont(font);
        painter.setPen(textColorOn(shape.color));
        painter.drawText(shape.label, Qt::AlignCenter | Qt::TextSingleLine, shape.text);
    }

    painter.setPen(QPen(outline, 1));
    painter.setBrush(Qt::white);
    painter.drawEllipse(shape.at, RingRadius, RingRadius);
    painter.setPen(Qt::NoPen);
    painter.setBrush(shape.color);
    painter.drawEllipse(shape.at, DotRadius, DotRadius);
    painter.restore();
}

} // namespace velmo::app
