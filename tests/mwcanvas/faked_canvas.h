#pragma once

#include "mwcanvas/mw_canvas.h"
#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/recording_outlets.h"
#include "support/scripted_http.h"

namespace velmo::testing {

inline constexpr const char* CanvasServerURL = "http://127.0.0.1:8640/";
inline constexpr const char* CanvasUploadURL = "http://127.0.0.1:8640/upload.cgi";

// A canvas with every edge faked, its clock at `start` seconds since 1970. Fixtures derive
// from it to reach the fakes and the canvas by name.
struct FakedCanvas {
    explicit FakedCanvas(double start) : clock(start) {}

    RecordingOutlets outlets;
    FakeClock clock;
    ScriptedHttp http;
    ManualScheduler scheduler;
    MemorySettings settings;
    CountingRandom random;
    mwcanvas::MWCanvas canvas{
        outlets, {clock, http, scheduler, settings, random}, CanvasServerURL, CanvasUploadURL};

    // The newest fetch of a canvas's strokes (a get_strokes command); -1 when none was sent.
    int fetchIndex() const {
        const auto index = http.newest(": get_strokes: ");
        return index ? static_cast<int>(*index) : -1;
    }
    // An opening canvas asks for the server's picture of its layers first: this server has
    // none (an older one).
    void declinePicture() {
        if (const auto picture = http.open("/layers/")) {
            http.answer(*picture, "not found\n", {404, std::nullopt});
        }
    }
    // Answers the newest fetch with `body` (declining a picture asked for first) and lets the
    // canvas take in all of it.
    void answerFetch(const std::string& body, platform::HttpStatus status = {}) {
        declinePicture();
        http.answer(static_cast<size_t>(fetchIndex()), body, status);
        settle();
    }
    // Runs the waiting notices, and those they post, until none is left (at most `rounds`).
    void settle(int rounds = 1000) {
        while (rounds-- > 0 && scheduler.runIdle() > 0) {
        }
    }
};

} // namespace velmo::testing
