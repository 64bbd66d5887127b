// The engine's hot paths against Cairo, measured in one run on a 2048 x 1536 canvas.
//   BM_DragSegment: one drag of the default pen (segment into the scratch surface, blend onto
//                   the layer and compose the display, in the dirty rectangle only).
//   BM_Rebuild:     10,000 seeded random strokes replayed onto three layers, then composed;
//                   ours on one core and on every core (bands of rows), Cairo on one.
//   BM_ComposeAll:  the three layers composed over the whole canvas, against a plain memcpy
//                   of one surface (the bandwidth reference).
//   BM_AbsurdStroke: one stroke of the most points and the widest pen a client may send,
//                   replayed onto the server's default 320 x 480 picture (no peer: the case
//                   is ours to bound).
// After the runs the ratios are printed.

#include "canvas/band_split.h"
#include "canvas/canvas_engine.h"
#include "canvas/compositing.h"
#include "canvas/stroke_painter.h"
#include "canvas/stroke_replay.h"
#include "platform/clock.h"
#include "platform/null_outlets.h"

#include <benchmark/benchmark.h>
#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace velmo::canvas;

constexpr int Width = 2048;
constexpr int Height = 1536;

class FixedClock : public velmo::platform::Clock {
public:
    double now() const override { return 1291201234.567; }
};

CanvasGeometry benchGeometry() {
    CanvasGeometry g;
    g.setScreenSize(Width, Height);
    return g;
}

// A finger's path: a random walk of steps up to 30 pixels, in pixels.
struct Path {
    std::vector<float> xs, ys;
};

Path randomWalk(std::mt19937& rng, int points) {
    std::uniform_real_distribution<float> start_x(0.0f, Width);
    std::uniform_real_distribution<float> start_y(0.0f, Height);
    std::uniform_real_distribution<float> step(-30.0f, 30.0f);
    Path p;
    float x = start_x(rng);
    float y = start_y(rng);
    for (int i = 0; i < points; ++i) {
        p.xs.push_back(x);
        p.ys.push_back(y);
        x += step(rng);
        y += step(rng);
    }
    return p;
}

std::vector<MWStroke> randomStrokes(const CanvasGeometry& g, int count) {
    std::mt19937 rng(20261207);
    std::uniform_int_distribution<int> width_px(1, 25);
    std::uniform_int_distribution<int> density(1, 255);
    std::uniform_int_distribution<int> layer(0, 2);
    std::uniform_int_distribution<uint32_t> rgb(0, 0xFFFFFF);
    std::vector<MWStroke> strokes;
    for (int i = 0; i < count; ++i) {
        const Path p = randomWalk(rng, 20);
        MWStroke s;
        s.client_time = i;
        s.pen_properties.color = static_cast<int32_t>(0xFF000000u | rgb(rng));
        s.pen_properties.width =
            static_cast<int32_t>(static_cast<float>(width_px(rng)) / g.pixel_scale);
        s.pen_properties.density = density(rng);
        s.layer = layer(rng);
        for (size_t k = 0; k < p.xs.size(); ++k) {
            s.points_x.push_back(g.toUnits(p.xs[k]));
            s.points_y.push_back(g.toUnits(p.ys[k]));
        }
        strokes.push_back(std::move(s));
    }
    return strokes;
}

const std::vector<MWStroke>& rebuildStrokes() {
    static const std::vector<MWStroke> strokes = randomStrokes(benchGeometry(), 10000);
    return strokes;
}

// ---- drag ----

void BM_DragSegment_ours(benchmark::State& state) {
    velmo::platform::NullOutlets outlets;
    FixedClock clock;
    CanvasEngine engine(outlets, clock);
    engine.setScreenSize(Width, Height);
    engine.clear_canvas();
    std::mt19937 rng(7);
    const Path path = randomWalk(rng, 4096);
    size_t i = 0;
    engine.touchPressedAtX(static_cast<int>(path.xs[0]), static_cast<int>(path.ys[0]));
    for (auto _ : state) {
        i = (i + 1) % path.xs.size();
        engine.touchDraggedAtX(static_cast<int>(path.xs[i]), static_cast<int>(path.ys[i]));
    }
    benchmark::DoNotOptimize(engine.display_bitmap.data());
}

struct CairoCanvas {
    cairo_surface_t* layer[3];
    cairo_surface_t* stroke;
    cairo_surface_t* prev;
    cairo_surface_t* display;

    CairoCanvas() {
        for (auto*& l : layer) {
            l = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, Width, Height);
        }
        stroke = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, Width, Height);
        prev = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, Width, Height);
        display = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, Width, Height);
        fill(layer[0], 1.0);
        fill(layer[1], 1.0);
        fill(layer[2], 0.0);
        fill(prev, 1.0);
        fill(display, 1.0);
    }
    ~CairoCanvas() {
        for (auto* l : layer) {
            cairo_surface_destroy(l);
        }
        cairo_surface_destroy(stroke);
        cairo_surface_destroy(prev);
        cairo_surface_destroy(display);
    }
    CairoCanvas(const CairoCanvas&) = delete;
    CairoCanvas& operator=(const CairoCanvas&) = delete;

    static void fill(cairo_surface_t* s, double grey) {
        cairo_t* cr = cairo_create(s);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_rgba(cr, grey, grey, grey, 1.0);
        cairo_paint(cr);
        cairo_destroy(cr);
    }

    void compose(cairo_t* cr, const PixelRect* rect) {
        if (rect != nullptr) {
            cairo_rectangle(cr, rect->x, rect->y, rect->width, rect->height);
            cairo_clip(cr);
        }
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_surface(cr, layer[0], 0, 0);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_MULTIPLY);
        cairo_set_source_surface(cr, layer[1], 0, 0);
        cairo_paint(cr);
        cairo_set_operator(cr, CAIRO_OPERATOR_SCREEN);
        cairo_set_source_surface(cr, layer[2], 0, 0);
        cairo_paint(cr);
        cairo_reset_clip(cr);
    }
};

void BM_DragSegment_cairo(benchmark::State& state) {
    CairoCanvas canvas;
    const CanvasGeometry g = benchGeometry();
    const PenProperties pen = defaultPen(g.pixel_scale);
    const float width = static_cast<float>(pen.width) * g.pixel_scale;
    const float alpha = static_cast<float>(pen.density / 255.0);
    cairo_t* stroke_cr = cairo_create(canvas.stroke);
    cairo_t* layer_cr = cairo_create(canvas.layer[0]);
    cairo_t* display_cr = cairo_create(canvas.display);
    cairo_set_source_rgba(stroke_cr, 0, 0, 0, 1);
    cairo_set_line_width(stroke_cr, width);
    cairo_set_line_cap(stroke_cr, CAIRO_LINE_CAP_ROUND);
    std::mt19937 rng(7);
    const Path path = randomWalk(rng, 4096);
    size_t i = 0;
    int last_x = static_cast<int>(path.xs[0]);
    int last_y = static_cast<int>(path.ys[0]);
    const int half = static_cast<int>(width * 0.5f + 1.0f);
    for (auto _ : state) {
        i = (i + 1) % path.xs.size();
        const int x = static_cast<int>(path.xs[i]);
        const int y = static_cast<int>(path.ys[i]);
        cairo_move_to(stroke_cr, last_x, last_y);
        cairo_line_to(stroke_cr, x, y);
        cairo_stroke(stroke_cr);
        const int left = std::min(last_x, x) - half;
        const int top = std::min(last_y, y) - half;
        const PixelRect rect{left, top, std::max(last_x, x) - left + half + 1,
                             std::max(last_y, y) - top + half + 1};
        cairo_rectangle(layer_cr, rect.x, rect.y, rect.width, rect.height);
        cairo_clip(layer_cr);
        cairo_set_operator(layer_cr, CAIRO_OPERATOR_SOURCE);
        cairo_set_source_surface(layer_cr, canvas.prev, 0, 0);
        cairo_paint(layer_cr);
        cairo_set_operator(layer_cr, CAIRO_OPERATOR_OVER);
        cairo_set_source_surface(layer_cr, canvas.stroke, 0, 0);
        cairo_paint_with_alpha(layer_cr, alpha);
        cairo_reset_clip(layer_cr);
        canvas.compose(display_cr, &rect);
        last_x = x;
        last_y = y;
    }
    cairo_surface_flush(canvas.display);
    benchmark::DoNotOptimize(cairo_image_surface_get_data(canvas.display));
    cairo_destroy(stroke_cr);
    cairo_destroy(layer_cr);
    cairo_destroy(display_cr);
}

// ---- rebuild ----

void BM_Rebuild_ours(benchmark::State& state) {
    const CanvasGeometry g = benchGeometry();
    const auto& strokes = rebuildStrokes();
    LayerSurfaces layers{Surface(Width, Height), Surface(Width, Height), Surface(Width, Height)};
    Surface display(Width, Height);
    StrokePainter painter;
    for (auto _ : state) {
        resetLayers(layers);
        replayStrokes(painter, layers, g, strokes);
        composeAllLayers(layers, display, display.bounds());
        benchmark::DoNotOptimize(display.data());
    }
}

// The same on every core: bands of rows painted at once.
void BM_Rebuild_all_cores(benchmark::State& state) {
    const CanvasGeometry g = benchGeometry();
    const auto& strokes = rebuildStrokes();
    LayerSurfaces layers{Surface(Width, Height), Surface(Width, Height), Surface(Width, Height)};
    Surface display(Width, Height);
    for (auto _ : state) {
        resetLayers(layers);
        replayInBands(layers, g, strokes, display.bounds(), paintThreads());
        composeAllLayers(layers, display, display.bounds());
        benchmark::DoNotOptimize(display.data());
    }
    state.counters["threads"] = paintThreads();
}

void BM_Rebuild_cairo(benchmark::State& state) {
    const CanvasGeometry g = benchGeometry();
    const auto& strokes = rebuildStrokes();
    CairoCanvas canvas;
    for (auto _ : state) {
        CairoCanvas::fill(canvas.layer[0], 1.0);
        CairoCanvas::fill(canvas.layer[1], 1.0);
        CairoCanvas::fill(canvas.layer[2], 0.0);
        cairo_t* cr[3] = {cairo_create(canvas.layer[0]), cairo_create(canvas.layer[1]),
                          cairo_create(canvas.layer[2])};
        for (cairo_t* c : cr) {
            cairo_set_line_cap(c, CAIRO_LINE_CAP_ROUND);
            cairo_set_line_join(c, CAIRO_LINE_JOIN_ROUND);
        }
        for (const MWStroke& s : strokes) {
            cairo_t* c = cr[s.layer];
            const auto color = static_cast<uint32_t>(s.pen_properties.color);
            auto channel = [&](int shift) {
                return static_cast<float>(((color >> shift) & 0xFF) / 255.0);
            };
            cairo_set_source_rgba(c, channel(16), channel(8), channel(0),
                                  static_cast<float>(s.pen_properties.density / 255.0));
            cairo_set_line_width(c, static_cast<float>(s.pen_properties.width) * g.pixel_scale);
            cairo_move_to(c, static_cast<float>(s.points_x[0]) * g.pixel_scale,
                          static_cast<float>(s.points_y[0]) * g.pixel_scale);
            for (size_t k = 1; k < s.points_x.size(); ++k) {
                cairo_line_to(c, static_cast<float>(s.points_x[k]) * g.pixel_scale,
                              static_cast<float>(s.points_y[k]) * g.pixel_scale);
            }
            cairo_stroke(c);
        }
        for (cairo_t* c : cr) {
            cairo_destroy(c);
        }
        cairo_t* d = cairo_create(canvas.display);
        canvas.compose(d, nullptr);
        cairo_destroy(d);
        cairo_surface_flush(canvas.display);
        benchmark::DoNotOptimize(cairo_image_surface_get_data(canvas.display));
    }
}

// ---- absurd stroke ----

void BM_AbsurdStroke_ours(benchmark::State& state) {
    CanvasGeometry g;
    g.setScreenSize(320, 480);
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<int32_t> x(0, 320000);
    std::uniform_int_distribution<int32_t> y(0, 480000);
    std::vector<MWStroke> strokes(1);
    MWStroke& s = strokes.front();
    s.pen_properties.width = std::numeric_limits<int32_t>::max();
    for (int i = 0; i < 100000; ++i) {
        s.points_x.push_back(x(rng));
        s.points_y.push_back(y(rng));
    }
    for (auto _ : state) {
        benchmark::DoNotOptimize(renderPicture(strokes, g).data());
    }
}

// ---- composition bandwidth ----

void BM_ComposeAll_ours(benchmark::State& state) {
    LayerSurfaces layers{Surface(Width, Height, OpaqueWhite), Surface(Width, Height, OpaqueWhite),
                         Surface(Width, Height, OpaqueBlack)};
    std::mt19937 rng(3);
    for (Surface& s : layers) {
        for (int i = 0; i < Width * Height; ++i) {
            const auto v = static_cast<uint32_t>(rng());
            s.data()[i] = makePixel(255, static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                                    static_cast<uint8_t>(v >> 16));
        }
    }
    Surface display(Width, Height);
    for (auto _ : state) {
        composeAllLayers(layers, display, display.bounds());
        benchmark::DoNotOptimize(display.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{Width} * Height * 16);
}

void BM_Memcpy(benchmark::State& state) {
    Surface from(Width, Height, OpaqueWhite);
    Surface to(Width, Height);
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), size_t{Width} * Height * sizeof(Pixel));
        benchmark::DoNotOptimize(to.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * int64_t{Width} * Height * 8);
}

BENCHMARK(BM_DragSegment_ours)->Name("BM_DragSegment/ours");
BENCHMARK(BM_DragSegment_cairo)->Name("BM_DragSegment/cairo");
BENCHMARK(BM_Rebuild_ours)->Name("BM_Rebuild/ours")->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_Rebuild_all_cores)
    ->Name("BM_Rebuild/ours_all_cores")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->UseRealTime();
BENCHMARK(BM_Rebuild_cairo)->Name("BM_Rebuild/cairo")->Unit(benchmark::kMillisecond)->Iterations(2);
BENCHMARK(BM_AbsurdStroke_ours)
    ->Name("BM_AbsurdStroke/ours")
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);
BENCHMARK(BM_ComposeAll_ours)->Name("BM_ComposeAll/ours")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Memcpy)->Name("BM_Memcpy")->Unit(benchmark::kMillisecond);

// Keeps each run's time per iteration and bandwidth, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    // "BM_Rebuild/ours/iterations:3" is "BM_Rebuild/ours".
    static std::string baseName(const std::string& name) {
        const size_t options = name.find("/iterations:");
        return options == std::string::npos ? name : name.substr(0, options);
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.iterations == 0) {
                continue;
            }
            // CPU time: the machine is shared, and waiting for a core is not the kernel's cost.
            seconds[baseName(run.benchmark_name())] =
                run.cpu_accumulated_time / static_cast<double>(run.iterations);
            wall[baseName(run.benchmark_name())] =
                run.real_accumulated_time / static_cast<double>(run.iterations);
            const auto bytes = run.counters.find("bytes_per_second");
            if (bytes != run.counters.end()) {
                bandwidth[baseName(run.benchmark_name())] = bytes->second.value;
            }
        }
    }
    std::map<std::string, double> seconds, wall, bandwidth;
};

void printRatio(const RatioReporter& r, const char* label, const std::string& ours,
                const std::string& peer, double target) {
    const auto a = r.seconds.find(ours);
    const auto b = r.seconds.find(peer);
    if (a == r.seconds.end() || b == r.seconds.end()) {
        return;
    }
    std::printf("%-14s ours %.4f ms, Cairo %.4f ms (CPU time): %.2fx as fast (target %.1fx)\n",
                label, a->second * 1e3, b->second * 1e3, b->second / a->second, target);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    printRatio(reporter, "drag segment", "BM_DragSegment/ours", "BM_DragSegment/cairo", 2.0);
    printRatio(reporter, "rebuild", "BM_Rebuild/ours", "BM_Rebuild/cairo", 2.5);
    const auto all = reporter.wall.find("BM_Rebuild/ours_all_cores");
    const auto cairo = reporter.wall.find("BM_Rebuild/cairo");
    if (all != reporter.wall.end() && cairo != reporter.wall.end()) {
        std::printf("rebuild, all %u cores, against Cairo on one (wall time): ours %.1f ms, Cairo "
                    "%.1f ms: %.2fx as fast (target 4.0x)\n",
                    paintThreads(), all->second * 1e3, cairo->second * 1e3,
                    cairo->second / all->second);
    }
    const auto compose = reporter.bandwidth.find("BM_ComposeAll/ours");
    const auto copy = reporter.bandwidth.find("BM_Memcpy");
    if (compose != reporter.bandwidth.end() && copy != reporter.bandwidth.end()) {
        std::printf("compose all    %.2f GB/s against memcpy %.2f GB/s: %.2f of the copy "
                    "bandwidth (target 0.5)\n",
                    compose->second / 1e9, copy->second / 1e9, compose->second / copy->second);
    }
    benchmark::Shutdown();
    return 0;
}
