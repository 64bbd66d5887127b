#pragma once

#include "canvas/canvas_engine.h"
#include "support/fake_clock.h"
#include "support/recording_outlets.h"

#include <QWidget>

namespace velmo::testing {

// A canvas engine of a given screen size, ready to draw, with the main view the dialogs
// are shown over.
struct EngineWithView {
    explicit EngineWithView(int width = 320, int height = 480) : engine(outlets, clock) {
        engine.setScreenSize(static_cast<float>(width), static_cast<float>(height));
        engine.clear_canvas();
        main_view.resize(width, height);
    }

    RecordingOutlets outlets;
    FakeClock clock;
    canvas::CanvasEngine engine;
    QWidget main_view;
};

} // namespace velmo::testing
