#pragma once

#include "mwcanvas/mw_canvas.h"
#include "platform/clock.h"

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <utility>

namespace velmo::bot {

// Watches the canvas for strokes of other users and prints a line for each as it arrives:
// how long after its drawing (the stroke's client time) the canvas took it in. Both times
// come from clocks on one machine when the drawer runs there too. Only strokes drawn after
// the watch began count, each once.
//
// Each stroke in progress that the stream brings prints "progress <ms behind> <stroke> <from>
// <points> <arrival ms>": how long after its newest point was drawn (the drawer's clock) it
// came, and which points it brought when, to be set against the drawer's --print-strokes.
//
// It takes the canvas's response listener, and hands every reply on to the canvas.
class StrokeWatch {
public:
    StrokeWatch(mwcanvas::MWCanvas& canvas, const platform::Clock& clock, std::FILE* out);
    ~StrokeWatch();
    StrokeWatch(const StrokeWatch&) = delete;
    StrokeWatch& operator=(const StrokeWatch&) = delete;

    // Strokes of others seen so far, and progress events.
    int seen() const { return static_cast<int>(arrived.size()); }
    int progressSeen() const { return progress_seen; }

private:
    void noteArrivals();

    mwcanvas::MWCanvas& canvas;
    const platform::Clock& clock;
    std::FILE* out;
    int64_t start_ms;
    std::set<std::pair<std::string, int64_t>> arrived;
    int progress_seen = 0;
};

} // namespace velmo::bot
