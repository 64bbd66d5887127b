#pragma once

#include <QObject>
#include <QSize>
#include <QTimer>

#include <functional>

class QWidget;

namespace velmo::canvas {
class CanvasEngine;
}

namespace velmo::app {

class MWCanvasDisplay;
class VelmorastraViewController;

// Keeps the canvas the size of its view, in the screen's device pixels. While the view's
// size changes (a drag of the window's edge), the display stretches the picture it has and
// input is mapped onto that picture; once the size has stood still for SettleMilliseconds the
// canvas is painted again at the new size from its history. Everything runs on the UI thread.
class CanvasResizer : public QObject {
public:
    static constexpr int SettleMilliseconds = 150;

    struct Parts {
        QWidget& view;
        MWCanvasDisplay& display;
        VelmorastraViewController& controller;
        canvas::CanvasEngine& canvas;
        // Places the controls over the canvas for a view of this size (in points).
        std::function<void(QSize)> lay_out;
    };
    // Every part must outlive the resizer.
    explicit CanvasResizer(const Parts& parts);

    // The canvas's pixels for the view's size and the screen's scale now.
    QSize canvasPixels() const;
    // The screen's scale; a test sets one in place of the screen's (0: the screen's again).
    double deviceScale() const;
    void setDeviceScaleForTesting(double scale);

    // Whether a size waits to be painted; settle paints it now.
    bool pending() const { return settle_timer.isActive(); }
    void settle();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The view's size or scale changed: lay out, stretch the picture, wait for the size to
    // settle.
    void viewChanged();

    Parts parts;
    QTimer settle_timer;
    double scale_for_testing = 0.0;
};

} // namespace velmo::app
