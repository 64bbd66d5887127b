// The sync path's costs, each beside a peer measured in the same run.
//   BM_EncodeStroke / BM_DecodeStroke: the stroke text codec on strokes of 20 and of 1,000
//       points, in MB of text a second; the peer writes and reads the same text with the C
//       library's formatted I/O (snprintf, sscanf "%d%c%d").
//   BM_MergeAndRebuild: a 5,000-stroke reply merged into a 10,000-stroke history and the
//       canvas rebuilt at 2048 x 1536; the peer is the rebuild of the same 15,000 strokes
//       alone, so the ratio is what the merge adds.
// After the runs the ratios are printed.

#include "canvas/stroke_text.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/null_outlets.h"
#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/scripted_http.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace velmo;
using canvas::MWStroke;

constexpr int Width = 2048;
constexpr int Height = 1536;
constexpr float Scale = 2048.0f / 320000.0f;

std::map<std::string, double> figures;

MWStroke randomStroke(std::mt19937& random, int points, int64_t server_time, int64_t client_time) {
    std::uniform_int_distribution<int> x(0, 319999);
    std::uniform_int_distribution<int> y(0, 479999);
    std::uniform_int_distribution<int> step(-3000, 3000);
    MWStroke s;
    s.server_time = server_time;
    s.client_time = client_time;
    s.user_name = "bob@20101201095959123";
    s.pen_properties = {static_cast<int32_t>(0xFF000000u | random() % 0xFFFFFF),
                        static_cast<int32_t>(1000 + random() % 4000),
                        static_cast<int32_t>(random() % 256)};
    s.layer = static_cast<int32_t>(random() % 3);
    int px = x(random);
    int py = y(random);
    for (int i = 0; i < points; ++i) {
        s.points_x.push_back(px);
        s.points_y.push_back(py);
        px += step(random);
        py += step(random);
    }
    return s;
}

// The peer codec: the same text through snprintf and sscanf.
std::string printfEncode(const MWStroke& s) {
    char head[512];
    std::snprintf(head, sizeof head,
                  " client_time:%" PRId64 " server_time:%" PRId64
                  " user_name:%s pen_properties:color=%x,width=%d,density=%d layer:%d points:",
                  s.client_time, s.server_time, s.user_name.c_str(),
                  static_cast<unsigned>(s.pen_properties.color), s.pen_properties.width,
                  s.pen_properties.density, s.layer);
    std::string text = head;
    char point[32];
    for (size_t i = 0; i < s.points_x.size(); ++i) {
        std::snprintf(point, sizeof point, " %d-%d", s.points_x[i], s.points_y[i]);
        text += point;
    }
    return text;
}

MWStroke scanfDecode(const std::string& text) {
    MWStroke s;
    char user[256] = {};
    unsigned color = 0;
    int consumed = 0;
    std::sscanf(text.c_str(),
                " client_time:%" SCNd64 " server_time:%" SCNd64
                " user_name:%255s pen_properties:color=%x,width=%d,density=%d layer:%d points:%n",
                &s.client_time, &s.server_time, user, &color, &s.pen_properties.width,
                &s.pen_properties.density, &s.layer, &consumed);
    s.user_name = user;
    s.pen_properties.color = static_cast<int32_t>(color);
    const char* p = text.c_str() + consumed;
    int x = 0;
    int y = 0;
    char sep = 0;
    int used = 0;
    while (std::sscanf(p, " %d%c%d%n", &x, &sep, &y, &used) == 3) {
        s.points_x.push_back(x);
        s.points_y.push_back(y);
        p += used;
    }
    return s;
}

// Reports MB of text a second and keeps the figure of the final run for the summary.
void setMegabytes(benchmark::State& state, size_t bytes_per_iteration, double seconds,
                  const std::string& key) {
    const double megabytes =
        static_cast<double>(state.iterations()) * static_cast<double>(bytes_per_iteration) / 1e6;
    state.SetBytesProcessed(static_cast<int64_t>(megabytes * 1e6));
    if (seconds > 0) {
        state.counters["MB/s"] = megabytes / seconds;
        figures[key] = megabytes / seconds;
    }
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_EncodeStroke(benchmark::State& state) {
    std::mt19937 random(7);
    const MWStroke stroke = randomStroke(random, static_cast<int>(state.range(0)), 1, 2);
    const bool peer = state.range(1) != 0;
    size_t bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const std::string text = peer ? printfEncode(stroke) : canvas::stroke_to_text(stroke);
        bytes = text.size();
        benchmark::DoNotOptimize(text.data());
    }
    setMegabytes(state, bytes, secondsSince(start),
                 (peer ? "encode-peer-" : "encode-") + std::to_string(state.range(0)));
}
BENCHMARK(BM_EncodeStroke)->ArgsProduct({{20, 1000}, {0, 1}});

void BM_DecodeStroke(benchmark::State& state) {
    std::mt19937 random(7);
    const MWStroke stroke = randomStroke(random, static_cast<int>(state.range(0)), 1, 2);
    const std::string text = canvas::stroke_to_text(stroke);
    const bool peer = state.range(1) != 0;
    if (scanfDecode(text) != canvas::stroke_from_text(text, Scale)) {
        state.SkipWithError("the peer decodes differently");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        const MWStroke s = peer ? scanfDecode(text) : canvas::stroke_from_text(text, Scale);
        benchmark::DoNotOptimize(s.points_x.data());
    }
    setMegabytes(state, text.size(), secondsSince(start),
                 (peer ? "decode-peer-" : "decode-") + std::to_string(state.range(0)));
}
BENCHMARK(BM_DecodeStroke)->ArgsProduct({{20, 1000}, {0, 1}});

struct Rig {
    platform::NullOutlets outlets;
    testing::FakeClock clock;
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    mwcanvas::MWCanvas mw{outlets,
                          {clock, http, scheduler, settings, random},
                          "http://127.0.0.1:8640/",
                          "http://127.0.0.1:8640/upload.cgi"};
    Rig() {
        mw.setScreenSize(Width, Height);
        mw.clear_canvas();
        mw.canvas_id = "bob@20101201095959123";
    }
};

void BM_MergeAndRebuild(benchmark::State& state) {
    const bool peer = state.range(0) != 0;
    std::mt19937 random(11);
    canvas::StrokeHistory history;
    std::vector<MWStroke> reply;
    for (int i = 0; i < 15000; ++i) {
        MWStroke s = randomStroke(random, 20, 1291201234567 + 2 * i, 1291201200000 + i);
        if (i % 3 == 2) {
            reply.push_back(s);
        } else {
            history.store({s.server_time, s.client_time}, s);
        }
    }
    Rig rig;
    double total_ms = 0;
    for (auto _ : state) {
        rig.mw.strokes_history = history;
        if (peer) {
            for (const MWStroke& s : reply) {
                rig.mw.strokes_history.store({s.server_time, s.client_time}, s);
            }
        } else {
            rig.mw.sync_agent.returned_strokes = reply;
        }
        const auto start = std::chrono::steady_clock::now();
        if (peer) {
            rig.mw.redrawStrokes();
        } else {
            rig.mw.get_response();
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        state.SetIterationTime(took.count());
        total_ms += took.count() * 1000.0;
    }
    if (rig.mw.strokes_history.size() != 15000) {
        state.SkipWithError("the merge lost strokes");
        return;
    }
    figures[peer ? "rebuild" : "merge+rebuild"] =
        total_ms / static_cast<double>(state.iterations());
}
BENCHMARK(BM_MergeAndRebuild)
    ->Arg(0)
    ->Arg(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(5);

} // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (const char* op : {"encode", "decode"}) {
        for (const char* points : {"20", "1000"}) {
            const std::string ours = std::string(op) + "-" + points;
            const std::string peer = std::string(op) + "-peer-" + points;
            if (figures.count(ours) && figures.count(peer) && figures[peer] > 0) {
                std::printf("%s %s points: %.1f MB/s, printf/scanf %.1f MB/s, ratio %.2f\n", op,
                            points, figures[ours], figures[peer], figures[ours] / figures[peer]);
            }
        }
    }
    if (figures.count("merge+rebuild") && figures.count("rebuild") && figures["rebuild"] > 0) {
        std::printf("merge of 5,000 into 10,000 + rebuild: %.1f ms, rebuild alone %.1f ms, "
                    "ratio %.2f\n",
                    figures["merge+rebuild"], figures["rebuild"],
                    figures["merge+rebuild"] / figures["rebuild"]);
    }
    return 0;
}
