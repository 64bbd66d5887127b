#pragma once

#include "canvas/surface.h"
#include "platform/affine_transform.h"
#include "platform/canvas_outlets.h"

#include <QTransform>
#include <QWidget>

#include <vector>

namespace velmo::app {

// The on-screen view of the canvas picture. It shows `display_bitmap` one pixel per device
// pixel under its transform, which applies about the picture's centre (W / 2, H / 2): a
// surface point p appears at (centre + T(p - centre)) / device_scale in the canvas view's
// points, so at a display scale of 2 the picture has twice the pixels of the view's points
// and none is doubled. Zoom and pan change only the transform; a repaint converts just the
// pixels of the invalid rectangle.
//
// While the window's size settles, the picture of the old size is shown stretched by the
// preview scale (about the view's corner, as the canvas's new size will place it), until
// the picture of the new size replaces it.
//
// Over the picture it shows other people's pen markers, placed by the same transform; they are
// painted on the screen only and never reach the picture.
//
// It takes no input: touches and clicks fall through to the canvas view beneath.
class MWCanvasDisplay : public QWidget {
public:
    explicit MWCanvasDisplay(QWidget* parent);

    // The picture is read at every paint and must outlive the display (or be replaced first).
    // None, or an empty surface (before the canvas reset), shows only the background.
    void setPicture(const canvas::Surface* surface);

    // Asks for a repaint of a rectangle of surface pixels (it may reach beyond the picture).
    void invalidateRect(int x, int y, int width, int height);
    void invalidateAll();

    void setTransform(const platform::AffineTransform& transform);
    const platform::AffineTransform& transform() const { return display_transform; }
    // Surface pixels to canvas-view points.
    QTransform surfaceToView() const;

    // Device pixels a view point holds (the screen's scale, 1 or more).
    void setDeviceScale(double scale);
    double deviceScale() const { return device_scale; }
    // 1 but while the picture shown is of a size the window has left.
    void setPreviewScale(double scale);
    double previewScale() const { return preview_scale; }

    // Replaces the markers shown; none removes them. Positions are in surface pixels.
    void setPenMarkers(const std::vector<platform::CanvasOutlets::PenMarker>& markers);
    const std::vector<platform::CanvasOutlets::PenMarker>& penMarkers() const {
        return pen_markers;
    }

    // Pixels converted by paints since the last reset, for tests and measurements.
    qint64 convertedPixels() const { return converted_pixels; }
    void resetConvertedPixels() { converted_pixels = 0; }

    static QColor backgroundColor() { return QColor(0x60, 0x60, 0x60); }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    // The area the markers cover under the current transform, in canvas-view points.
    QRect penMarkersRect() const;
    void paintPenMarkers(QPainter& painter) const;

    const canvas::Surface* picture = nullptr;
    std::vector<platform::CanvasOutlets::PenMarker> pen_markers;
    platform::AffineTransform display_transform;
    double device_scale = 1.0;
    double preview_scale = 1.0;
    qint64 converted_pixels = 0;
};

} // namespace velmo::app
