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
// It takes the canvas's response listener, and hands every reply on to the canvas.
class StrokeWatch {
public:
    StrokeWatch(mwcanvas::MWCanvas& canvas, const platform::Clock& clock, std::FILE* out);
    StrokeWatch(const StrokeWatch&) = delete;
    StrokeWatch& operator=(const StrokeWatch&) = delete;

    // Strokes of others seen so far.
    int seen() const { return static_cast<int>(arrived.size()); }

private:
    void noteArrivals();

    mwcanvas::MWCanvas& canvas;
    const platform::Clock& clock;
    std::FILE* out;
    int64_t start_ms;
    std::set<std::pair<std::string, int64_t>> arrived;
};

} // namespace velmo::bot
