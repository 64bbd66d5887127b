#include "app/pen_feedback.h"

#include "app/mw_canvas_display.h"
#include "canvas/canvas_engine.h"

#include <QEvent>
#include <QMouseEvent>
#include <QPainter>

#include <algorithm>
#include <cmath>

namespace velmo::app {

PenSwatch::PenSwatch(QWidget& button, const canvas::CanvasEngine& canvas_)
    : QWidget(&button), canvas(canvas_) {
    setObjectName("pen_swatch");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    button.installEventFilter(this);
    place();
    refresh();
}

void PenSwatch::refresh() {
    const uint32_t color = static_cast<uint32_t>(canvas.pen_properties.color) | 0xFF000000u;
    if (color != shown) {
        shown = color;
        update();
    }
}

void PenSwatch::refreshWhenHidden(QWidget& dialog) {
    dialog.installEventFilter(this);
}

bool PenSwatch::eventFilter(QObject* watched, QEvent* event) {
    if (watched == parent() && event->type() == QEvent::Resize) {
        place();
    } else if (watched != parent() && event->type() == QEvent::Hide) {
        refresh();
    }
    return QWidget::eventFilter(watched, event);
}

void PenSwatch::place() {
    const QWidget* button = parentWidget();
    setGeometry(4, button->height() - StripHeight - 2, std::max(button->width() - 8, 0),
                StripHeight);
}

void PenSwatch::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), QColor::fromRgb(shown));
    // A thin edge, so white shows on a light button too.
    painter.setPen(palette().color(QPalette::Mid));
    painter.drawRect(rect().adjusted(0, 0, -1, -1));
}

BrushOutline::BrushOutline(QWidget& view, const MWCanvasDisplay& display_,
                           const canvas::CanvasEngine& canvas_, std::function<bool()> drawing_)
    : QWidget(&view), display(display_), canvas(canvas_), drawing(std::move(drawing_)) {
    setObjectName("brush_outline");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    // The controller ignores moves without a pressed button, so hovering draws nothing.
    view.setMouseTracking(true);
    view.installEventFilter(this);
    setGeometry(view.rect());
}

double BrushOutline::diameter() const {
    const double pixels =
        static_cast<double>(canvas.pen_properties.width) * canvas.geometry.pixel_scale;
    return pixels * display.surfaceToView().m11();
}

QRectF BrushOutline::circleAt(QPointF point) const {
    const double d = std::max(diameter(), 1.0);
    return {point.x() - d / 2.0, point.y() - d / 2.0, d, d};
}

bool BrushOutline::eventFilter(QObject* watched, QEvent* event) {
    if (watched != parent()) {
        return false;
    }
    switch (event->type()) {
    case QEvent::Resize:
        setGeometry(parentWidget()->rect());
        break;
    case QEvent::MouseMove:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
        moveTo(static_cast<QMouseEvent*>(event)->position());
        break;
    case QEvent::Leave:
        moveTo(std::nullopt);
        break;
    default:
        break;
    }
    return false;
}

void BrushOutline::moveTo(std::optional<QPointF> point) {
    if (point && !drawing()) {
        point.reset();
    }
    // Only where the circle was and is now is painted again.
    QRect dirty;
    if (at) {
        dirty = circleAt(*at).toAlignedRect().adjusted(-2, -2, 2, 2);
    }
    at = point;
    if (at) {
        dirty = dirty.united(circleAt(*at).toAlignedRect().adjusted(-2, -2, 2, 2));
    }
    if (!dirty.isEmpty()) {
        update(dirty);
    }
}

void BrushOutline::paintEvent(QPaintEvent*) {
    if (!at) {
        return;
    }
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const QRectF circle = circleAt(*at);
    // Dark inside light, so it shows on any picture.
    painter.setBrush(Qt::NoBrush);
    painter.setPen(QPen(QColor(255, 255, 255, 200), 3.0));
    painter.drawEllipse(circle);
    painter.setPen(QPen(QColor(0, 0, 0, 220), 1.0));
    painter.drawEllipse(circle);
}

} // namespace velmo::app
