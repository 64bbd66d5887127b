#include "app/mw_canvas_display.h"

#include "app/pen_markers.h"

#include <QImage>
#include <QPaintEvent>
#include <QPainter>

#include <bit>
#include <cmath>
#include <cstring>

namespace velmo::app {
namespace {

// Surface pixels are bytes A, R, G, B; QImage's premultiplied ARGB32 holds native words
// 0xAARRGGBB. On a little-endian host that is a byte swap, on a big-endian one a copy.
void convertRow(const canvas::Pixel* from, uint32_t* to, int count) {
    if constexpr (std::endian::native == std::endian::little) {
        for (int i = 0; i < count; ++i) {
            const uint32_t p = from[i];
            to[i] = (p >> 24) | ((p >> 8) & 0xFF00u) | ((p << 8) & 0xFF0000u) | (p << 24);
        }
    } else {
        std::memcpy(to, from, static_cast<size_t>(count) * sizeof(uint32_t));
    }
}

} // namespace

MWCanvasDisplay::MWCanvasDisplay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
}

void MWCanvasDisplay::setPicture(const canvas::Surface* surface) {
    picture = surface;
    update();
}

QTransform MWCanvasDisplay::surfaceToView() const {
    const platform::AffineTransform& t = display_transform;
    const qreal cx = picture != nullptr ? picture->width() / 2.0 : 0.0;
    const qreal cy = picture != nullptr ? picture->height() / 2.0 : 0.0;
    const qreal to_points = preview_scale / device_scale;
    return QTransform::fromTranslate(-cx, -cy) * QTransform(t.a, t.b, t.c, t.d, t.tx, t.ty) *
           QTransform::fromTranslate(cx, cy) * QTransform::fromScale(to_points, to_points);
}

void MWCanvasDisplay::setDeviceScale(double scale) {
    if (!(scale > 0.0) || scale == device_scale) {
        return;
    }
    device_scale = scale;
    update();
}

void MWCanvasDisplay::setPreviewScale(double scale) {
    if (!(scale > 0.0) || scale == preview_scale) {
        return;
    }
    preview_scale = scale;
    update();
}

void MWCanvasDisplay::invalidateRect(int x, int y, int width, int height) {
    if (width <= 0 || height <= 0) {
        return;
    }
    const QRectF onView = surfaceToView().mapRect(QRectF(x, y, width, height));
    // One point of margin for the edge pixels that a scaled, unaligned picture touches.
    update(onView.toAlignedRect().adjusted(-1, -1, 1, 1).intersected(rect()));
}

void MWCanvasDisplay::setPenMarkers(
    const std::vector<platform::CanvasOutlets::PenMarker>& markers) {
    if (markers == pen_markers) {
        return;
    }
    // Where the old ones were shows the picture again.
    update(penMarkersRect());
    pen_markers = markers;
    update(penMarkersRect());
}

QRect MWCanvasDisplay::penMarkersRect() const {
    const QTransform toView = surfaceToView();
    QRectF covered;
    for (const auto& marker : pen_markers) {
        covered |=
            penMarkerShape(marker, toView.map(QPointF(marker.x, marker.y)), font(), QRectF(rect()))
                .bounds();
    }
    return covered.toAlignedRect().intersected(rect());
}

void MWCanvasDisplay::paintPenMarkers(QPainter& painter) const {
    const QTransform toView = surfaceToView();
    const QRectF area(rect());
    for (const auto& marker : pen_markers) {
        const QPointF at = toView.map(QPointF(marker.x, marker.y));
        const PenMarkerShape shape = penMarkerShape(marker, at, font(), area);
        if (shape.bounds().intersects(area)) {
            paintPenMarker(painter, shape, font());
        }
    }
}

void MWCanvasDisplay::invalidateAll() {
    update();
}

void MWCanvasDisplay::setTransform(const platform::AffineTransform& transform) {
    if (transform == display_transform) {
        return;
    }
    display_transform = transform;
    update();
}

void MWCanvasDisplay::paintEvent(QPaintEvent* event) {
    QPainter painter(this);
    const QRect dirty = event->rect();
    const QTransform toView = surfaceToView();
    bool invertible = false;
    const QTransform toSurface = toView.inverted(&invertible);
    const bool showing = picture != nullptr && !picture->empty();
    const QRect bounds = showing ? QRect(0, 0, picture->width(), picture->height()) : QRect();
    const QRect source = invertible && showing ? toSurface.mapRect(QRectF(dirty))
                                                     .toAlignedRect()
                                                     .adjusted(-1, -1, 1, 1)
                                                     .intersected(bounds)
                                               : QRect();
    // Whatever of the dirty area the opaque picture does not cover shows the background.
    QRegion uncovered(dirty);
    if (!source.isEmpty() && toView.type() <= QTransform::TxScale) {
        const QRectF covered = toView.mapRect(QRectF(source));
        uncovered -= QRect(QPoint(static_cast<int>(std::ceil(covered.left())),
                                  static_cast<int>(std::ceil(covered.top()))),
                           QPoint(static_cast<int>(std::floor(covered.right())) - 1,
                                  static_cast<int>(std::floor(covered.bottom())) - 1));
    }
    for (const QRect& r : uncovered) {
        painter.fillRect(r, backgroundColor());
    }
    painter.setClipRegion(event->region());
    if (!source.isEmpty()) {
        QImage image(source.size(), QImage::Format_ARGB32_Premultiplied);
        for (int row = 0; row < source.height(); ++row) {
            convertRow(picture->row(source.y() + row) + source.x(),
                       reinterpret_cast<uint32_t*>(image.scanLine(row)), source.width());
        }
        converted_pixels += static_cast<qint64>(source.width()) * source.height();
        painter.setTransform(QTransform::fromTranslate(source.x(), source.y()) * toView);
        painter.drawImage(0, 0, image);
        painter.resetTransform();
    }
    if (showing) {
        paintPenMarkers(painter);
    }
}

} // namespace velmo::app
