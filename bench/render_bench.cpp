// Server renders of a big canvas: 200,000 hand-drawn strokes (HandStrokes: 30 to 60 points, 2 to
// 40 px wide at 600 x 800, all layers) in a SQLite store, through the request handler.
//   BM_Render/today:         the render as it was before the cache: every stroke read a page at
//                            a time and replayed on one thread, composed, encoded by
//                            png::encodePng (RGBA, zlib's default level). The peer.
//   BM_Render/first:         GET /render/<canvas>.png (320 x 480) with an empty cache: every
//                            stroke painted in bands on every core, the file encoded in bands.
//   BM_Render/first_as_drawn: the first render of a canvas whose strokes the server heard
//                            of as they came: the render keeper painted them meanwhile.
//   BM_Render/first_after_start: the first render after a start, the canvas's layers kept on
//                            disk 999 strokes before (the most a kept file lags behind).
//   BM_Render/repeated:      the same again, nothing changed: from the cache.
//   BM_Render/one_more:      one stroke appended before each render (the append not timed).
//   BM_Render/after_undo:    a stroke appended and rendered, then deleted, before each render
//                            (none of it timed): painted from the entry's save point.
//   BM_Layers/...:           the same four for GET /layers/<canvas>.png?w=1920&h=1080, the file
//                            of 1920 x 3240 a client at that size opens the canvas with.
//   BM_LayersFile/encode:    encodeLayersPng of those layers (what a first render and every
//                            repaint pays); peer BM_LayersFile/encodePng: the same 1920 x 3240
//                            pixels through png::encodePng. BM_LayersFile/decode: the client's
//                            decodeLayersPng of the file.
// Times are wall-clock (the paints run on every core). The strokes are seeded once, into a
// temporary folder, before the runs (a minute or so). After the runs the ratios are printed.
//   build/bench/render_bench [--benchmark_filter=...]
// VELMO_RENDER_BENCH_STROKES sets the canvas's strokes (default 200000);
// VELMO_RENDER_BENCH_KEEP=FILE seeds the database FILE instead of a temporary one and keeps it,
// for a server to be started on (canvas bench@20101201100000000), e.g. with
// --benchmark_filter=none to seed only.

#include "canvas/compositing.h"
#include "canvas/stroke_replay.h"
#include "canvas/stroke_text.h"
#include "handler/render_keeper.h"
#include "handler/request_handler.h"
#include "png/layers_png.h"
#include "png/png_encoder.h"
#include "store/delivery_marks.h"
#include "store/sqlite/sqlite_store.h"
#include "store/stroke_pages.h"
#include "support/random_strokes.h"
#include "support/temp_dir.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace {

using namespace velmo;
using namespace velmo::server;

constexpr const char* Canvas = "bench@20101201100000000";
constexpr int64_t Now = 1291201234567;
const std::string RenderTarget = std::string("/render/") + Canvas + ".png";
const std::string LayersTarget = std::string("/layers/") + Canvas + ".png?w=1920&h=1080";

// The store with its canvas, made once for every benchmark.
struct Seeded {
    testing::TempDir dir;
    std::unique_ptr<SqliteStore> store;
    DeliveryMarks marks;
    testing::HandStrokes hand{20101201};
    int64_t client_time = 0;
    std::unique_ptr<HandlerContext> context;
    // Told of the strokes as they are seeded, as the server's news tells it.
    RenderCache kept{DefaultRenderCacheBytes};
    std::unique_ptr<RenderKeeper> keeper;
    double keeper_seconds = 0;

    canvas::MWStroke nextStroke() {
        canvas::MWStroke s = hand.next();
        s.client_time = ++client_time;
        return s;
    }
};

int strokeCount() {
    const char* set = std::getenv("VELMO_RENDER_BENCH_STROKES");
    return set != nullptr ? std::atoi(set) : 200'000;
}

Seeded& seeded() {
    static Seeded* made = [] {
        auto* s = new Seeded;
        std::string error;
        const char* keep = std::getenv("VELMO_RENDER_BENCH_KEEP");
        s->store = SqliteStore::open(keep != nullptr ? keep : s->dir.file("bench.sqlite"), &error);
        if (!s->store) {
            std::fprintf(stderr, "render_bench: %s\n", error.c_str());
            std::exit(1);
        }
        RenderKeeper::Options keeping;
        s->keeper = std::make_unique<RenderKeeper>(*s->store, s->kept, nullptr, keeping);
        const auto started = std::chrono::steady_clock::now();
        // Appends in waves that share their flushes; each waits for the one before.
        const int total = strokeCount();
        constexpr int Wave = 2000;
        for (int done = 0; done < total; done += Wave) {
            const int count = std::min(Wave, total - done);
            std::mutex mutex;
            std::condition_variable all_done;
            int left = count;
            for (int i = 0; i < count; ++i) {
                s->store->appendStrokeAsync(Canvas, s->nextStroke(), Now, 0, [&](Appended) {
                    std::lock_guard lock(mutex);
                    if (--left == 0) {
                        all_done.notify_one();
                    }
                });
            }
            std::unique_lock lock(mutex);
            all_done.wait(lock, [&] { return left == 0; });
            s->keeper->touched(Canvas);
        }
        const auto seeded_at = std::chrono::steady_clock::now();
        s->keeper->waitIdle();
        s->keeper_seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        s->store->findCanvases("", 1); // copies the journal into the database
        const auto size = s->store->canvasSize(Canvas);
        std::fprintf(stderr,
                     "render_bench: %lld strokes, %.1f MB of stroke text, seeded in %.1f s\n",
                     static_cast<long long>(size->strokes), static_cast<double>(size->bytes) / 1e6,
                     std::chrono::duration<double>(seeded_at - started).count());
        std::fprintf(stderr, "render_bench: the render keeper done %.1f s after the first append\n",
                     s->keeper_seconds);
        s->context = std::make_unique<HandlerContext>(
            HandlerContext{*s->store, s->marks, "http://bench.test/"});
        return s;
    }();
    return *made;
}

// The render route as it was before the cache.
std::string todaysRender(Store& store, int width, int height, size_t page_bytes) {
    canvas::CanvasGeometry geometry;
    geometry.setScreenSize(static_cast<float>(width), static_cast<float>(height));
    const int w = geometry.canvas_width;
    const int h = geometry.canvas_height;
    canvas::LayerSurfaces layers{canvas::Surface(w, h), canvas::Surface(w, h),
                                 canvas::Surface(w, h)};
    canvas::resetLayers(layers);
    canvas::StrokePainter painter;
    const auto decoded = [&geometry](const StoredStroke& stored) {
        return canvas::stroke_from_text(stored.text, geometry.pixel_scale);
    };
    StrokePages pages(store, Canvas, page_bytes);
    while (!pages.done()) {
        const auto page = pages.next();
        canvas::replayStrokes(painter, layers, geometry, *page, decoded);
    }
    canvas::Surface picture(w, h);
    canvas::composeAllLayers(layers, picture, picture.bounds());
    return *png::encodePng(picture);
}

Response get(HandlerContext& context, const std::string& target) {
    Response response = handleRequest({"GET", target, "", ""}, context, Now);
    if (response.status != 200) {
        std::fprintf(stderr, "render_bench: %s answered %d\n", target.c_str(), response.status);
        std::exit(1);
    }
    return response;
}

void BM_RenderToday(benchmark::State& state) {
    Seeded& s = seeded();
    for (auto _ : state) {
        benchmark::DoNotOptimize(todaysRender(*s.store, 320, 480, s.context->page_bytes));
    }
}

// A fresh cache each time: the first render of the canvas.
void firstRender(benchmark::State& state, const std::string& target) {
    Seeded& s = seeded();
    for (auto _ : state) {
        state.PauseTiming();
        auto cache = std::make_unique<RenderCache>(DefaultRenderCacheBytes);
        s.context->renders = cache.get();
        state.ResumeTiming();
        benchmark::DoNotOptimize(get(*s.context, target));
        state.PauseTiming();
        s.context->renders = nullptr;
        cache.reset();
        state.ResumeTiming();
    }
}

void BM_RenderFirstAsDrawn(benchmark::State& state) {
    Seeded& s = seeded();
    s.context->renders = &s.kept;
    for (auto _ : state) {
        benchmark::DoNotOptimize(get(*s.context, RenderTarget));
    }
    s.context->renders = nullptr;
}

// A fresh cache each time, over a folder whose file holds all but the newest 999 strokes.
void BM_RenderFirstAfterStart(benchmark::State& state) {
    Seeded& s = seeded();
    const RenderFolder folder(s.dir.file("renders"));
    {
        RenderCache cache(DefaultRenderCacheBytes);
        s.context->renders = &cache;
        s.context->render_folder = &folder;
        get(*s.context, RenderTarget); // painted from the first stroke: kept on disk
        for (int i = 0; i < 999; ++i) {
            s.store->appendStroke(Canvas, s.nextStroke(), Now);
        }
    }
    firstRender(state, RenderTarget);
    s.context->render_folder = nullptr;
}

void repeatedRender(benchmark::State& state, const std::string& target) {
    Seeded& s = seeded();
    RenderCache cache(DefaultRenderCacheBytes);
    s.context->renders = &cache;
    get(*s.context, target);
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = get(*s.context, target).body.size();
    }
    state.counters["file_kB"] = static_cast<double>(bytes) / 1e3;
    s.context->renders = nullptr;
}

// One stroke appended before each render (not timed). With `undo`, it is rendered and then
// deleted (an undo) before the render, which paints from the entry's save point.
void renderAfterOneMore(benchmark::State& state, const std::string& target, bool undo = false) {
    Seeded& s = seeded();
    RenderCache cache(DefaultRenderCacheBytes);
    s.context->renders = &cache;
    get(*s.context, target);
    for (auto _ : state) {
        state.PauseTiming();
        const canvas::MWStroke stroke = s.nextStroke();
        s.store->appendStroke(Canvas, stroke, Now);
        if (undo) {
            get(*s.context, target);
            s.store->deleteStrokes(Canvas, stroke.user_name, stroke.client_time, Now);
        }
        state.ResumeTiming();
        benchmark::DoNotOptimize(get(*s.context, target));
    }
    s.context->renders = nullptr;
}

void BM_RenderFirst(benchmark::State& state) {
    firstRender(state, RenderTarget);
}
void BM_RenderRepeated(benchmark::State& state) {
    repeatedRender(state, RenderTarget);
}
void BM_RenderOneMore(benchmark::State& state) {
    renderAfterOneMore(state, RenderTarget);
}
void BM_RenderAfterUndo(benchmark::State& state) {
    renderAfterOneMore(state, RenderTarget, true);
}
void BM_LayersAfterUndo(benchmark::State& state) {
    renderAfterOneMore(state, LayersTarget, true);
}
void BM_LayersFirst(benchmark::State& state) {
    firstRender(state, LayersTarget);
}
void BM_LayersRepeated(benchmark::State& state) {
    repeatedRender(state, LayersTarget);
}
void BM_LayersOneMore(benchmark::State& state) {
    renderAfterOneMore(state, LayersTarget);
}

// The canvas's layers at 1920 x 1080, from a render.
const png::LayersPicture& layersAt1080() {
    static const png::LayersPicture picture = [] {
        Seeded& s = seeded();
        s.context->renders = nullptr;
        return *png::decodeLayersPng(get(*s.context, LayersTarget).body);
    }();
    return picture;
}

void BM_LayersEncode(benchmark::State& state) {
    const png::LayersPicture& picture = layersAt1080();
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = png::encodeLayersPng(picture.layers, picture.through, picture.strokes)->size();
    }
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_LayersEncodePng(benchmark::State& state) {
    const png::LayersPicture& picture = layersAt1080();
    const int w = picture.layers[0].width();
    const int h = picture.layers[0].height();
    canvas::Surface stacked(w, 3 * h);
    for (int layer = 0; layer < 3; ++layer) {
        for (int y = 0; y < h; ++y) {
            std::copy_n(picture.layers[static_cast<size_t>(layer)].row(y), w,
                        stacked.row(layer * h + y));
        }
    }
    size_t bytes = 0;
    for (auto _ : state) {
        bytes = png::encodePng(stacked)->size();
    }
    state.counters["file_MB"] = static_cast<double>(bytes) / 1e6;
}

void BM_LayersDecode(benchmark::State& state) {
    const png::LayersPicture& picture = layersAt1080();
    const std::string file =
        *png::encodeLayersPng(picture.layers, picture.through, picture.strokes);
    for (auto _ : state) {
        benchmark::DoNotOptimize(png::decodeLayersPng(file));
    }
}

BENCHMARK(BM_RenderToday)
    ->Name("BM_Render/today")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_RenderFirst)
    ->Name("BM_Render/first")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_RenderFirstAsDrawn)
    ->Name("BM_Render/first_as_drawn")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_RenderFirstAfterStart)
    ->Name("BM_Render/first_after_start")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(3);
BENCHMARK(BM_RenderRepeated)
    ->Name("BM_Render/repeated")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_RenderOneMore)
    ->Name("BM_Render/one_more")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(200);
BENCHMARK(BM_RenderAfterUndo)
    ->Name("BM_Render/after_undo")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(20);
BENCHMARK(BM_LayersFirst)
    ->Name("BM_Layers/first")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(1);
BENCHMARK(BM_LayersRepeated)
    ->Name("BM_Layers/repeated")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_LayersOneMore)
    ->Name("BM_Layers/one_more")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(100);
BENCHMARK(BM_LayersAfterUndo)
    ->Name("BM_Layers/after_undo")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(10);
BENCHMARK(BM_LayersEncode)
    ->Name("BM_LayersFile/encode")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);
BENCHMARK(BM_LayersEncodePng)
    ->Name("BM_LayersFile/encodePng")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(2);
BENCHMARK(BM_LayersDecode)
    ->Name("BM_LayersFile/decode")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Iterations(5);

// Keeps each run's wall time per iteration, to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    static std::string baseName(const std::string& name) {
        for (const char* option : {"/iterations:", "/real_time"}) {
            const size_t at = name.find(option);
            if (at != std::string::npos) {
                return baseName(name.substr(0, at));
            }
        }
        return name;
    }

    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && run.iterations > 0) {
                seconds[baseName(run.benchmark_name())] =
                    run.real_accumulated_time / static_cast<double>(run.iterations);
            }
        }
    }
    std::map<std::string, double> seconds;
};

void printRatio(const RatioReporter& r, const char* label, const std::string& ours,
                const std::string& peer) {
    const auto a = r.seconds.find(ours);
    const auto b = r.seconds.find(peer);
    if (a == r.seconds.end() || b == r.seconds.end()) {
        return;
    }
    std::printf("%-34s %10.3f ms against %10.3f ms (%s): %8.1fx as fast\n", label, a->second * 1e3,
                b->second * 1e3, peer.c_str(), b->second / a->second);
}

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    seeded(); // seeded even when no benchmark runs
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    std::printf("\n");
    printRatio(reporter, "render, first", "BM_Render/first", "BM_Render/today");
    printRatio(reporter, "render, first as drawn", "BM_Render/first_as_drawn", "BM_Render/today");
    printRatio(reporter, "render, first after a start", "BM_Render/first_after_start",
               "BM_Render/today");
    printRatio(reporter, "render, repeated", "BM_Render/repeated", "BM_Render/today");
    printRatio(reporter, "render, after one more stroke", "BM_Render/one_more", "BM_Render/today");
    printRatio(reporter, "render, after an undo", "BM_Render/after_undo", "BM_Render/today");
    printRatio(reporter, "layers 1920x1080, after an undo", "BM_Layers/after_undo",
               "BM_Layers/first");
    printRatio(reporter, "layers 1920x1080, repeated", "BM_Layers/repeated", "BM_Layers/first");
    printRatio(reporter, "layers 1920x1080, one more stroke", "BM_Layers/one_more",
               "BM_Layers/first");
    printRatio(reporter, "layers file encode", "BM_LayersFile/encode", "BM_LayersFile/encodePng");
    benchmark::Shutdown();
    seeded().keeper.reset();
    seeded().store.reset(); // closed cleanly: a kept database is whole
    return 0;
}
