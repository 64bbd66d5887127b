#include "canvas/band_split.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace velmo::canvas {
namespace {

// Below this a band's strokes cost more to walk again than its rows save.
constexpr int MinBandRows = 32;
// Bands a thread: enough to even out strokes that cluster, few enough that a stroke seldom
// spans several.
constexpr unsigned BandsPerThread = 3;
// A WebAssembly build without threads has none to start, and there a failed start would abort
// rather than throw: such a build paints every band on the calling thread.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
constexpr bool CanStartThreads = false;
#else
constexpr bool CanStartThreads = true;
#endif

} // namespace

unsigned paintThreads() {
    return std::max(1u, std::thread::hardware_concurrency());
}

void forEachBand(PixelRect rect, unsigned threads,
                 const std::function<void(PixelRect band, StrokePainter& painter)>& work) {
    if (rect.empty()) {
        return;
    }
    const int most_bands = std::max(1, rect.height / MinBandRows);
    const int bands =
        std::min<long long>(most_bands, static_cast<long long>(threads) * BandsPerThread);
    if (!CanStartThreads || threads <= 1 || bands <= 1) {
        StrokePainter painter;
        work(rect, painter);
        return;
    }
    std::atomic<int> next{0};
    auto run = [&] {
        StrokePainter painter;
        for (int band = next++; band < bands; band = next++) {
            const int top =
                rect.y + static_cast<int>(static_cast<long long>(rect.height) * band / bands);
            const int bottom =
                rect.y + static_cast<int>(static_cast<long long>(rect.height) * (band + 1) / bands);
            work({rect.x, top, rect.width, bottom - top}, painter);
        }
    };
    std::vector<std::thread> helpers;
    const unsigned extra = std::min<unsigned>(threads, static_cast<unsigned>(bands)) - 1;
    helpers.reserve(extra);
    for (unsigned i = 0; i < extra; ++i) {
        try {
            helpers.emplace_back(run);
        } catch (const std::system_error&) {
            break; // no thread to be had: the ones there are take the remaining bands
        }
    }
    run();
    for (std::thread& helper : helpers) {
        helper.join();
    }
}

} // namespace velmo::canvas
