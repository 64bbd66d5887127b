#pragma once

#include "canvas/resize_repaint.h"

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
// history is painted at the new size in slices of about SliceMilliseconds, one an event-loop
// turn, so the window keeps drawing and answering meanwhile, and the new size takes over when
// the last is painted. Everything runs on the UI thread.
class CanvasResizer : public QObject {
public:
    static constexpr int SettleMilliseconds = 150;
    static constexpr int SliceMilliseconds = 12;

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

    // Whether a size waits to be painted or is being painted; settle begins painting it now,
    // finish paints it all now.
    bool pending() const;
    void settle();
    void finish();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The view's size or scale changed: lay out, stretch the picture, wait for the size to
    // settle.
    void viewChanged();

    // Paints one slice; the next waits for the next turn of the event loop.
    void paintSlice();
    // The new size has taken over.
    void resized();

    Parts parts;
    QTimer settle_timer;
    QTimer slice_timer;
    canvas::SliceSize slice_size{SliceMilliseconds};
    double scale_for_testing = 0.0;
};

} // namespace velmo::app
