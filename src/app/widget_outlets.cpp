#include "app/widget_outlets.h"

#include "app/mw_canvas_display.h"
#include "app/present_users_label.h"
#include "dialogs/segmented_control.h"

#include <QLabel>
#include <QLineEdit>
#include <QSignalBlocker>
#include <QSlider>
#include <QTimer>
#include <QVariant>

#include <algorithm>
#include <cmath>

namespace velmo::app {

int WidgetOutlets::drawMode() const {
    return w.draw_mode_button->selectedSegmentIndex();
}

void WidgetOutlets::selectDrawMode(int index) {
    w.draw_mode_button->setSelectedSegmentIndex(index);
}

// The info text a message covers for a while, kept on the label itself so that the message's
// timer needs nothing but the label.
constexpr const char* InfoTextProperty = "velmo_info_text";

void WidgetOutlets::setInfoText(const std::string& text) {
    const QString info = QString::fromStdString(text);
    w.info_label->setProperty(InfoTextProperty, info);
    w.info_label->setText(info);
    if (info_shown) {
        info_shown();
    }
}

QString WidgetOutlets::windowTitle(const std::string& canvas_id) {
    const QString program = QStringLiteral("Velmorastra");
    if (canvas_id.empty()) {
        return program;
    }
    return QString::fromStdString(canvas_id) + QStringLiteral(" \u2014 ") + program;
}

void WidgetOutlets::showCanvasID(const std::string& canvas_id) {
    w.info_label->window()->setWindowTitle(windowTitle(canvas_id));
}

void WidgetOutlets::showMessage(const std::string& text) {
    const QString message = QString::fromStdString(text);
    w.info_label->setText(message);
    // The label is the timer's context, so a window closed meanwhile cancels it.
    QLabel* label = w.info_label;
    QTimer::singleShot(message_milliseconds, label, [label, message] {
        // A newer message or info text since then stays.
        if (label->text() == message) {
            label->setText(label->property(InfoTextProperty).toString());
        }
    });
}

void WidgetOutlets::showSwatch(float red, float green, float blue, float center_x, float center_y) {
    QPalette palette = w.spuit_view->palette();
    palette.setColor(QPalette::Window, QColor::fromRgbF(red, green, blue));
    w.spuit_view->setPalette(palette);
    const QSize size = w.spuit_view->size();
    // The canvas places it in its own pixels; the swatch lives among the view's points.
    const double to_points = w.display->previewScale() / w.display->deviceScale();
    w.spuit_view->move(static_cast<int>(std::lround(center_x * to_points - size.width() / 2.0)),
                       static_cast<int>(std::lround(center_y * to_points - size.height() / 2.0)));
    w.spuit_view->show();
    w.spuit_view->raise();
}

void WidgetOutlets::hideSwatch() {
    w.spuit_view->hide();
}

float WidgetOutlets::swatchHeight() const {
    return static_cast<float>(w.spuit_view->height() * w.display->deviceScale() /
                              w.display->previewScale());
}

void WidgetOutlets::setZoomSliderValue(float value) {
    const QSignalBlocker quiet(w.zoom_slider);
    const float steps = value * ZoomSliderSteps;
    const float bounded = std::isfinite(steps) ? steps : 0.0f;
    w.zoom_slider->setValue(static_cast<int>(
        std::lround(std::clamp(bounded, static_cast<float>(w.zoom_slider->minimum()),
                               static_cast<float>(w.zoom_slider->maximum())))));
}

float WidgetOutlets::zoomSliderValue() const {
    return static_cast<float>(w.zoom_slider->value()) / ZoomSliderSteps;
}

void WidgetOutlets::setZoomSliderVisible(bool visible) {
    w.zoom_slider->setVisible(visible);
}

void WidgetOutlets::setSearchText(const std::string& text) {
    if (search_bar == nullptr) {
        return;
    }
    // The text comes from the canvas; echoing it back as a user's edit would be circular.
    const QSignalBlocker quiet(search_bar);
    search_bar->setText(QString::fromStdString(text));
}

void WidgetOutlets::invalidateDisplayRect(int x, int y, int width, int height) {
    w.display->invalidateRect(x, y, width, height);
}

void WidgetOutlets::invalidateDisplay() {
    w.display->invalidateAll();
}

void WidgetOutlets::setDisplayTransform(const platform::AffineTransform& transform) {
    w.display->setTransform(transform);
    if (zoom_label != nullptr) {
        zoom_label->setText(zoomPercentText(transform.a));
    }
}

void WidgetOutlets::setZoomLabel(QLabel* label) {
    zoom_label = label;
    zoom_label->setText(zoomPercentText(displayTransform().a));
}

QString WidgetOutlets::zoomPercentText(float zoom) {
    // Whole percents but below 10 %, where a step of the slider is less than one.
    const double percent = static_cast<double>(zoom) * 100.0;
    return QStringLiteral("%1 %").arg(percent < 10.0 ? QString::number(percent, 'f', 1)
                                                     : QString::number(std::lround(percent)));
}

platform::AffineTransform WidgetOutlets::displayTransform() const {
    return w.display->transform();
}

void WidgetOutlets::showPresentUsers(const std::vector<std::string>& nicknames) {
    w.present_users->setNicknames(nicknames);
}

void WidgetOutlets::showPenMarkers(const std::vector<PenMarker>& markers) {
    w.display->setPenMarkers(markers);
}

} // namespace velmo::app
