#include "app/canvas_resizer.h"

#include "app/mw_canvas_display.h"
#include "app/velmorastra_view_controller.h"
#include "canvas/canvas_engine.h"

#include <QElapsedTimer>
#include <QEvent>
#include <QWidget>

#include <cmath>
#include <limits>

namespace velmo::app {

CanvasResizer::CanvasResizer(const Parts& parts_) : parts(parts_) {
    settle_timer.setSingleShot(true);
    settle_timer.setInterval(SettleMilliseconds);
    QObject::connect(&settle_timer, &QTimer::timeout, this, [this] { settle(); });
    slice_timer.setInterval(0);
    QObject::connect(&slice_timer, &QTimer::timeout, this, [this] { paintSlice(); });
    parts.view.installEventFilter(this);
    parts.display.setDeviceScale(deviceScale());
    parts.controller.view_scale = deviceScale();
}

double CanvasResizer::deviceScale() const {
    return scale_for_testing > 0.0 ? scale_for_testing : parts.view.devicePixelRatioF();
}

void CanvasResizer::setDeviceScaleForTesting(double scale) {
    scale_for_testing = scale;
    viewChanged();
}

QSize CanvasResizer::canvasPixels() const {
    const double scale = deviceScale();
    return {static_cast<int>(std::lround(parts.view.width() * scale)),
            static_cast<int>(std::lround(parts.view.height() * scale))};
}

bool CanvasResizer::eventFilter(QObject* watched, QEvent* event) {
    if (watched == &parts.view &&
        (event->type() == QEvent::Resize || event->type() == QEvent::ScreenChangeInternal)) {
        viewChanged();
    }
    return QObject::eventFilter(watched, event);
}

void CanvasResizer::viewChanged() {
    parts.display.setGeometry(parts.view.rect());
    if (parts.lay_out) {
        parts.lay_out(parts.view.size());
    }
    const double scale = deviceScale();
    parts.display.setDeviceScale(scale);
    const QSize pixels = canvasPixels();
    const canvas::CanvasGeometry& now = parts.canvas.geometry;
    // Before the launch makes the surfaces there is nothing to repaint: the launch takes the
    // size the view has then.
    if (parts.canvas.display_bitmap.empty() ||
        (pixels.width() == now.canvas_width && pixels.height() == now.canvas_height)) {
        settle_timer.stop();
        slice_timer.stop();
        // Drops a repaint for another size under way.
        parts.canvas.resizeCanvas(pixels.width(), pixels.height());
        parts.display.setPreviewScale(1.0);
        parts.controller.view_scale = scale;
        return;
    }
    // The picture of the old size stands stretched as the new size will show the canvas.
    canvas::CanvasGeometry next;
    next.setScreenSize(static_cast<float>(pixels.width()), static_cast<float>(pixels.height()));
    const double preview = next.pixel_scale / now.pixel_scale;
    parts.display.setPreviewScale(preview);
    parts.controller.view_scale = scale / preview;
    settle_timer.start();
}

bool CanvasResizer::pending() const {
    return settle_timer.isActive() || parts.canvas.resizing();
}

void CanvasResizer::settle() {
    settle_timer.stop();
    const QSize pixels = canvasPixels();
    parts.canvas.beginResize(pixels.width(), pixels.height());
    if (parts.canvas.resizing()) {
        slice_timer.start();
    } else {
        resized();
    }
}

void CanvasResizer::finish() {
    if (settle_timer.isActive()) {
        settle();
    }
    while (parts.canvas.stepResize(std::numeric_limits<size_t>::max())) {
    }
    slice_timer.stop();
    resized();
}

void CanvasResizer::paintSlice() {
    QElapsedTimer took;
    took.start();
    const bool more = parts.canvas.stepResize(slice_size.strokes());
    slice_size.took(static_cast<double>(took.nsecsElapsed()) / 1e6);
    if (!more) {
        slice_timer.stop();
        resized();
    }
}

void CanvasResizer::resized() {
    parts.display.setPreviewScale(1.0);
    parts.controller.view_scale = deviceScale();
}

} // namespace velmo::app
