// Client figures: the time from a mouse-move event to the repaint of its dirty rectangle,
// the start-up with a long saved history, the resident memory against the surfaces, and a
// lifecycle save of a long history (VELMO_SAVE_BENCH_STROKES strokes, 200000 by default)
// with the journal against the full save without it.
// It measures and prints; it asserts nothing. Run offscreen:
//   QT_QPA_PLATFORM=offscreen build/bench/client_bench
#include "app/canvas_view.h"
#include "app/mw_canvas_display.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_interface.h"
#include "canvas/stroke_text.h"
#include "identity/background_settings.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_journal_file.h"
#include "platform/qt/qt_scheduler.h"
#include "platform/qt/qt_settings_store.h"
#include "support/counting_random.h"
#include "support/memory_settings.h"
#include "support/random_strokes.h"
#include "support/recording_outlets.h"
#include "support/scripted_http.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPaintEvent>
#include <QTemporaryDir>
#include <QTest>

#include <QFileInfo>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <vector>

using namespace velmo;

namespace {

constexpr int Width = 2048;
constexpr int Height = 1536;

// Counts the display's finished paints.
class PaintCounter : public QObject {
public:
    int paints = 0;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        const bool result = QObject::eventFilter(watched, event);
        if (event->type() == QEvent::Paint) {
            ++paints;
        }
        return result;
    }
};

struct Stats {
    double median = 0;
    double p95 = 0;
    double mean = 0;
};

Stats stats(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    Stats s;
    s.median = v[v.size() / 2];
    s.p95 = v[v.size() * 95 / 100];
    for (double x : v) {
        s.mean += x;
    }
    s.mean /= static_cast<double>(v.size());
    return s;
}

// Each sample: one mouse move, then the event loop until the display has painted.
std::vector<double> moveToPaint(app::VelmorastraInterface& ui, PaintCounter& counter,
                                bool whole_window, int samples) {
    QWidget* view = ui.canvas_view;
    std::vector<double> micros;
    int x = 100;
    int y = 300;
    QTest::mousePress(view, Qt::LeftButton, {}, QPoint(x, y));
    QApplication::processEvents();
    for (int i = 0; i < samples; ++i) {
        x += 5;
        if (x > Width - 100) {
            x = 100;
            y += 9;
        }
        const int before = counter.paints;
        QElapsedTimer clock;
        clock.start();
        QTest::mouseMove(view, QPoint(x, y));
        if (whole_window) {
            ui.display->update();
        }
        while (counter.paints == before) {
            QApplication::processEvents();
        }
        micros.push_back(static_cast<double>(clock.nsecsElapsed()) / 1000.0);
    }
    QTest::mouseRelease(view, Qt::LeftButton, {}, QPoint(x, y));
    QApplication::processEvents();
    return micros;
}

std::vector<std::string> savedHistory(int count, float pixel_scale) {
    std::mt19937 random(42);
    std::uniform_int_distribution<int> x_at(0, Width - 1);
    std::uniform_int_distribution<int> y_at(0, Height - 1);
    std::uniform_int_distribution<int> step(-20, 20);
    std::vector<std::string> texts;
    texts.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        canvas::MWStroke stroke;
        stroke.client_time = 1765000000000 + i;
        stroke.server_time = 1765000000000 + i;
        stroke.user_name = "bench@20261207000000000";
        stroke.pen_properties = canvas::defaultPen(pixel_scale);
        stroke.layer = i % 3;
        int x = x_at(random);
        int y = y_at(random);
        for (int p = 0; p < 20; ++p) {
            stroke.points_x.push_back(static_cast<int32_t>(x / pixel_scale));
            stroke.points_y.push_back(static_cast<int32_t>(y / pixel_scale));
            x = std::clamp(x + step(random), 0, Width - 1);
            y = std::clamp(y + step(random), 0, Height - 1);
        }
        texts.push_back(canvas::stroke_to_text(stroke));
    }
    return texts;
}

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) {
            return std::stol(line.substr(6));
        }
    }
    return -1;
}

double millisSince(const QElapsedTimer& timer) {
    return static_cast<double>(timer.nsecsElapsed()) / 1e6;
}

// A canvas of `strokes` hand-drawn strokes saved in an INI file: the lifecycle save with the
// journal (the settings written on their own thread), the full save that folds the journal in
// (its part on the UI thread and its whole time), and the full save without a journal.
void benchLifecycleSave(const QTemporaryDir& dir, int strokes) {
    const QString file = dir.filePath("long.ini");
    QElapsedTimer seeding;
    seeding.start();
    {
        velmo::testing::HandStrokes hand(7);
        std::vector<std::string> texts;
        for (int i = 0; i < strokes; ++i) {
            canvas::MWStroke stroke = hand.next();
            stroke.server_time = stroke.client_time = 1765000000000 + i;
            stroke.user_name = "bench@20261207000000000";
            texts.push_back(canvas::stroke_to_text(stroke));
        }
        platform::qt::QtSettingsStore settings(file);
        settings.setString("CanvasID", "bench@20261207000000000");
        settings.setStringList("StrokesHistory", texts);
        settings.synchronize();
    }
    const double seed_ms = millisSince(seeding);

    platform::qt::QtClock clock;
    platform::qt::QtScheduler scheduler;
    testing::ScriptedHttp http;
    testing::CountingRandom random;
    testing::RecordingOutlets outlets;
    std::vector<double> lifecycle;
    double fold_ui_ms = 0;
    double fold_all_ms = 0;
    double load_ms = 0;
    {
        platform::qt::QtSettingsStore ini(file);
        identity::BackgroundSettings settings(ini);
        platform::qt::QtJournalFile journal(platform::qt::QtJournalFile::besideSettings(file));
        QElapsedTimer loading;
        loading.start();
        mwcanvas::MWCanvas canvas(outlets,
                                  {clock, http, scheduler, settings, random, nullptr, &journal},
                                  "http://127.0.0.1:9/", "http://127.0.0.1:9/upload.cgi");
        canvas.loadDefaults();
        settings.flush();
        load_ms = millisSince(loading);
        for (int i = 0; i < 20; ++i) {
            // A change of the nickname between saves makes each one write the file.
            canvas.setSearchNickname("search " + std::to_string(i));
            QElapsedTimer save;
            save.start();
            canvas.saveDefaults();
            lifecycle.push_back(millisSince(save));
        }
        settings.flush();
        QElapsedTimer fold;
        fold.start();
        canvas.saveAll();
        fold_ui_ms = millisSince(fold);
        settings.flush();
        fold_all_ms = millisSince(fold);
    }
    double full_ms = 0;
    {
        platform::qt::QtSettingsStore settings(file);
        mwcanvas::MWCanvas canvas(outlets, {clock, http, scheduler, settings, random},
                                  "http://127.0.0.1:9/", "http://127.0.0.1:9/upload.cgi");
        canvas.loadDefaults();
        QElapsedTimer save;
        save.start();
        canvas.saveDefaults();
        full_ms = millisSince(save);
    }
    const Stats saves = stats(lifecycle);
    std::printf("long history: %d hand-drawn strokes, %.0f MB settings file (written in %.0f ms), "
                "loaded with its journal in %.0f ms\n",
                strokes, static_cast<double>(QFileInfo(file).size()) / 1e6, seed_ms, load_ms);
    std::printf("lifecycle save with the journal, on the UI thread: median %.3f ms, p95 %.3f ms "
                "(%zu saves, each with a setting changed)\n",
                saves.median, saves.p95, lifecycle.size());
    std::printf("full save folding the journal in: %.2f ms on the UI thread, %.0f ms in all\n",
                fold_ui_ms, fold_all_ms);
    std::printf("peer, the full save without a journal (all on the UI thread): %.0f ms\n", full_ms);
}

} // namespace

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM",
            qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    QApplication application(argc, argv);
    const long rss_at_start = residentKiB();
    QTemporaryDir dir;
    const float pixel_scale = std::max(Width / 320000.0f, Height / 480000.0f);
    constexpr int Strokes = 10000;
    {
        platform::qt::QtSettingsStore settings(dir.filePath("bench.ini"));
        settings.setString("CanvasID", "bench@20261207000000000");
        settings.setStringList("StrokesHistory", savedHistory(Strokes, pixel_scale));
        settings.synchronize();
    }

    platform::qt::QtClock clock;
    testing::ScriptedHttp http;
    platform::qt::QtScheduler scheduler;
    QElapsedTimer startup;
    startup.start();
    platform::qt::QtSettingsStore settings(dir.filePath("bench.ini"));
    testing::CountingRandom random;
    app::VelmorastraInterface ui(app::ClientEdges{clock, http, scheduler, settings, random},
                                 app::InterfaceOptions{"http://127.0.0.1:9/",
                                                       "http://127.0.0.1:9/upload.cgi",
                                                       QSize(Width, Height), app::Idiom::Tablet});
    PaintCounter counter;
    ui.display->installEventFilter(&counter);
    ui.delegate->applicationDidFinishLaunching();
    while (counter.paints == 0) {
        QApplication::processEvents();
    }
    const double startup_ms = static_cast<double>(startup.nsecsElapsed()) / 1e6;
    const long rss_after_launch = residentKiB();

    // The same launch steps with the history already in memory: what reading the file costs.
    double memory_launch_ms = 0;
    {
        testing::MemorySettings memory;
        memory.values["StrokesHistory"] = savedHistory(Strokes, pixel_scale);
        testing::ScriptedHttp other_http;
        QElapsedTimer t;
        t.start();
        app::VelmorastraInterface other(
            app::ClientEdges{clock, other_http, scheduler, memory, random},
            app::InterfaceOptions{"http://127.0.0.1:9/", "http://127.0.0.1:9/upload.cgi",
                                  QSize(Width, Height), app::Idiom::Tablet});
        other.canvas->setScreenSize(Width, Height);
        other.canvas->clear_canvas();
        other.canvas->loadDefaults();
        other.canvas->redrawStrokes();
        memory_launch_ms = static_cast<double>(t.nsecsElapsed()) / 1e6;
    }

    QElapsedTimer save;
    save.start();
    ui.canvas->saveDefaults();
    const double save_ms = static_cast<double>(save.nsecsElapsed()) / 1e6;

    constexpr int Samples = 400;
    ui.display->resetConvertedPixels();
    const Stats dirty = stats(moveToPaint(ui, counter, false, Samples));
    const double dirty_pixels = static_cast<double>(ui.display->convertedPixels()) / Samples;
    ui.display->resetConvertedPixels();
    const Stats whole = stats(moveToPaint(ui, counter, true, Samples / 4));
    const double whole_pixels = static_cast<double>(ui.display->convertedPixels()) / (Samples / 4);

    const double surfaces_mib = 6.0 * 4.0 * Width * Height / (1024.0 * 1024.0);
    std::printf("canvas %d x %d, %d saved strokes of 20 points\n", Width, Height, Strokes);
    std::printf("mouse move -> dirty-rectangle repaint: median %.1f us, p95 %.1f us, mean %.1f us "
                "(%.0f pixels converted a paint)\n",
                dirty.median, dirty.p95, dirty.mean, dirty_pixels);
    std::printf("peer, mouse move -> whole-display repaint: median %.1f us, p95 %.1f us "
                "(%.0f pixels a paint); ratio %.1fx\n",
                whole.median, whole.p95, whole_pixels, whole.median / dirty.median);
    std::printf("start-up to first paint (settings file read, 10000 strokes parsed and "
                "painted): %.0f ms\n",
                startup_ms);
    std::printf("peer, the same launch steps from settings in memory: %.0f ms\n", memory_launch_ms);
    std::printf("saving the state (saveDefaults, %d strokes, atomic file write): %.0f ms\n",
                Strokes, save_ms);
    std::printf("resident memory after launch: %.1f MiB (%.1f MiB before the window); six "
                "surfaces: %.1f MiB; ratio %.2f\n",
                rss_after_launch / 1024.0, rss_at_start / 1024.0, surfaces_mib,
                rss_after_launch / 1024.0 / surfaces_mib);
    const char* long_strokes = std::getenv("VELMO_SAVE_BENCH_STROKES");
    benchLifecycleSave(dir, long_strokes != nullptr ? std::atoi(long_strokes) : 200000);
    return 0;
}
