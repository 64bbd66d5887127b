// What a change of the history costs against how long the history is, at 1920 x 1080, on
// strokes of hand-drawn size drawn in such a window (30 to 60 points, 2 to 40 px wide, all
// layers),
// beside the full repaint that every change cost before save points (the peer).
//   BM_Merge/N:   another user's stroke arrives (stored after every confirmed stroke and
//                 before two own strokes not yet echoed) and is shown: the layers repainted
//                 where it lies, the display recomposed there.
//   BM_Echo/N:    the echo of an own stroke moves it to its server place.
//   BM_Undo/N:    the own newest confirmed stroke is undone with 1,000 strokes of others
//                 above it.
//   BM_FullRepaint/N: the peer, the whole history repainted (redrawStrokes).
//   BM_Resize/N:  the window's new size settled: everything painted again at that size.
//   BM_ResizeInSlices/N: the same painted as the window paints it, in slices of about 12 ms
//                 one an event-loop turn; counters: the slices and the longest one (ms),
//                 which is how long the window stops answering at most.
// N is the history's length: 0 (an empty canvas, for Merge), 1,000, 10,000, 100,000.
// Afterwards the ratios and the save points' memory are printed.
//
//   build/bench/history_bench [--benchmark_filter=...]

#include "canvas/canvas_engine.h"
#include "platform/clock.h"
#include "platform/null_outlets.h"
#include "support/random_strokes.h"

#include <benchmark/benchmark.h>

#include <algorithm>

#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

namespace {

using namespace velmo::canvas;

constexpr int Width = 1920;
constexpr int Height = 1080;
constexpr int64_t Init = DefaultInitServerTime;

class FixedClock : public velmo::platform::Clock {
public:
    double now() const override { return 1291201234.567; }
};

// An engine showing a history of `length` strokes of others, the last `own_at` strokes back
// one of the user's own (0: none), and two own strokes not yet echoed.
struct Canvas {
    velmo::platform::NullOutlets outlets;
    FixedClock clock;
    CanvasEngine engine{outlets, clock};
    velmo::testing::HandStrokes hand{20261209, Width, Height};
    int64_t stamp = 0;
    StrokeKey own_key{};

    Canvas(int length, int own_at) {
        engine.setScreenSize(Width, Height);
        engine.clear_canvas();
        engine.user_id = "me@20101201100000000";
        for (int i = 0; i < length; ++i) {
            MWStroke s = hand.next();
            s.server_time = ++stamp;
            s.client_time = stamp;
            if (i == length - 1 - own_at && own_at > 0) {
                s.user_name = engine.user_id;
                own_key = {s.server_time, s.client_time};
            }
            engine.strokes_history.store({s.server_time, s.client_time}, s);
        }
        for (int k = 0; k < 2; ++k) {
            MWStroke s = hand.next();
            s.user_name = engine.user_id;
            s.client_time = 9000000000000 + k;
            engine.strokes_history.store({Init, s.client_time}, s);
        }
        engine.redrawStrokes();
    }

    void arrive() {
        MWStroke s = hand.next();
        s.server_time = ++stamp;
        s.client_time = stamp;
        engine.strokes_history.store({s.server_time, s.client_time}, std::move(s));
        engine.paintChanges();
    }
};

std::map<std::pair<int, int>, std::unique_ptr<Canvas>>& canvases() {
    static std::map<std::pair<int, int>, std::unique_ptr<Canvas>> made;
    return made;
}

// One canvas per length and place of the own stroke, made once: a history of 100,000 strokes
// takes seconds to paint.
Canvas& canvasOf(int length, int own_at = 0) {
    auto& canvas = canvases()[{length, own_at}];
    if (!canvas) {
        canvas = std::make_unique<Canvas>(length, own_at);
    }
    return *canvas;
}

void BM_Merge(benchmark::State& state) {
    Canvas& canvas = canvasOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        canvas.arrive();
    }
    state.counters["save_point_MB"] = static_cast<double>(canvas.engine.savePointBytes()) / 1e6;
}

void BM_Echo(benchmark::State& state) {
    Canvas& canvas = canvasOf(static_cast<int>(state.range(0)));
    int64_t client = 9100000000000;
    for (auto _ : state) {
        state.PauseTiming();
        MWStroke own = canvas.hand.next();
        own.user_name = canvas.engine.user_id;
        own.client_time = ++client;
        canvas.engine.strokes_history.store({Init, own.client_time}, own);
        canvas.engine.paintChanges();
        state.ResumeTiming();
        canvas.engine.strokes_history.take(canvas.engine.strokes_history.find({Init, client}));
        canvas.engine.strokes_history.store({++canvas.stamp, client}, own);
        canvas.engine.paintChanges();
    }
}

void BM_Undo(benchmark::State& state) {
    Canvas& canvas = canvasOf(static_cast<int>(state.range(0)), 1000);
    CanvasEngine& engine = canvas.engine;
    // The two unconfirmed own strokes would be undone first: confirmed they go below.
    for (auto it = engine.strokes_history.lower_bound({Init, 0});
         it != engine.strokes_history.end();) {
        MWStroke s = engine.strokes_history.take(it);
        it = engine.strokes_history.lower_bound({Init, 0});
        s.user_name = "other@20101201100000000";
        engine.strokes_history.store({++canvas.stamp, s.client_time}, s);
    }
    engine.paintChanges();
    const MWStroke own = engine.strokes_history.at(canvas.own_key);
    for (auto _ : state) {
        const auto start = std::chrono::steady_clock::now();
        engine.undoOneStroke();
        const auto end = std::chrono::steady_clock::now();
        state.SetIterationTime(std::chrono::duration<double>(end - start).count());
        engine.strokes_history.store(canvas.own_key, own);
        engine.paintChanges();
    }
}

void BM_FullRepaint(benchmark::State& state) {
    Canvas& canvas = canvasOf(static_cast<int>(state.range(0)));
    for (auto _ : state) {
        canvas.engine.redrawStrokes();
    }
}

// The window resized from 1920 x 1080 to 1600 x 1000 and back: the layers and the save points
// are painted again at the new size from the whole history, once the size has settled.
void BM_Resize(benchmark::State& state) {
    Canvas& canvas = canvasOf(static_cast<int>(state.range(0)));
    bool smaller = true;
    for (auto _ : state) {
        canvas.engine.resizeCanvas(smaller ? 1600 : Width, smaller ? 1000 : Height);
        smaller = !smaller;
    }
    canvas.engine.resizeCanvas(Width, Height);
}

void BM_ResizeInSlices(benchmark::State& state) {
    Canvas& canvas = canvasOf(static_cast<int>(state.range(0)));
    bool smaller = true;
    double longest = 0.0;
    size_t slices = 0;
    for (auto _ : state) {
        SliceSize size(12.0);
        canvas.engine.beginResize(smaller ? 1600 : Width, smaller ? 1000 : Height);
        for (bool more = true; more;) {
            const auto start = std::chrono::steady_clock::now();
            more = canvas.engine.stepResize(size.strokes());
            const double ms =
                std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                    .count();
            size.took(ms);
            longest = std::max(longest, ms);
            ++slices;
        }
        smaller = !smaller;
    }
    state.counters["longest_slice_ms"] = longest;
    state.counters["slices"] =
        benchmark::Counter(static_cast<double>(slices), benchmark::Counter::kAvgIterations);
    canvas.engine.resizeCanvas(Width, Height);
}

BENCHMARK(BM_Merge)->Arg(0)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Echo)->Arg(1000)->Arg(10000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Undo)
    ->Arg(2000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->UseManualTime();
BENCHMARK(BM_FullRepaint)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

BENCHMARK(BM_Resize)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();
BENCHMARK(BM_ResizeInSlices)
    ->Arg(1000)
    ->Arg(10000)
    ->Arg(100000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(2)
    ->UseRealTime();

class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                std::string name = run.benchmark_name();
                name = name.substr(0, name.find("/iterations"));
                name = name.substr(0, name.find("/manual_time"));
                name = name.substr(0, name.find("/real_time"));
                wall[name] = run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
    }
    std::map<std::string, double> wall;
};

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    auto ms = [&](const std::string& name) {
        const auto it = reporter.wall.find(name);
        return it == reporter.wall.end() ? -1.0 : it->second * 1e3;
    };
    std::printf("\nwall time, ms        merge   echo    undo    full repaint\n");
    for (const int n : {0, 1000, 2000, 10000, 100000}) {
        const std::string arg = "/" + std::to_string(n);
        std::printf("%7d strokes  %7.3f %7.3f %7.3f %9.1f\n", n, ms("BM_Merge" + arg),
                    ms("BM_Echo" + arg), ms("BM_Undo" + arg), ms("BM_FullRepaint" + arg));
    }
    const double empty = ms("BM_Merge/0");
    const double big = ms("BM_Merge/100000");
    if (empty > 0 && big > 0) {
        std::printf("merge at 100,000 strokes against an empty canvas: %.2fx (target at most "
                    "2x, and at most 5 ms)\n",
                    big / empty);
    }
    for (const auto& [shape, canvas] : canvases()) {
        std::printf("save points at %zu strokes: %.1f MB\n", canvas->engine.strokes_history.size(),
                    static_cast<double>(canvas->engine.savePointBytes()) / 1e6);
    }
    benchmark::Shutdown();
    return 0;
}
