// A large canvas opening in a real window: the event loop keeps turning while its strokes come
// in page by page and are painted, the info line says how far it is, and a switch in the middle
// leaves only the new canvas.

#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_interface.h"
#include "canvas/stroke_replay.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_scheduler.h"
#include "platform/qt/qt_wait.h"
#include "support/counting_random.h"
#include "support/memory_settings.h"
#include "support/random_strokes.h"
#include "support/scripted_http.h"
#include "wire/command_text.h"

#include <QApplication>
#include <QLabel>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace velmo {
namespace {

const char* const CanvasA = "anna@20101201095959123";
const char* const CanvasB = "bob@20101201095959123";

// The window with real timers, idle posts and clock; the server is scripted.
struct Window {
    platform::qt::QtClock clock;
    testing::ScriptedHttp http;
    platform::qt::QtScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    app::VelmorastraInterface ui{app::ClientEdges{clock, http, scheduler, settings, random},
                                 app::InterfaceOptions{"http://127.0.0.1:9/",
                                                       "http://127.0.0.1:9/upload.cgi",
                                                       QSize(320, 480), app::Idiom::Phone}};

    Window() {
        ui.delegate->applicationDidFinishLaunching();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(ui.window.get()));
    }
    mwcanvas::MWCanvas& canvas() { return *ui.canvas; }

    // Opens `id` by its link; the server has no picture of its layers. The fetch's index.
    size_t open(const char* id) {
        EXPECT_TRUE(ui.delegate->application_handleOpenURL(std::string("velmorastra://") + id));
        const auto picture = http.open("/layers/");
        EXPECT_TRUE(picture.has_value());
        http.answer(*picture, "", {404, std::nullopt});
        const auto fetch = http.newest(": get_strokes: ");
        EXPECT_TRUE(fetch.has_value());
        return *fetch;
    }
};

std::vector<canvas::MWStroke> strokesOf(int count, int64_t first_stamp, uint32_t seed) {
    testing::HandStrokes hand(seed);
    std::vector<canvas::MWStroke> strokes;
    for (int i = 0; i < count; ++i) {
        strokes.push_back(hand.next());
        strokes.back().server_time = first_stamp + i;
        strokes.back().client_time = first_stamp + i;
    }
    return strokes;
}

// The reply's pages, as the server sends them: lines separated by line feeds, a later page
// starting with one.
std::vector<std::string> pagesOf(const char* id, const std::vector<canvas::MWStroke>& strokes,
                                 size_t per_page) {
    std::vector<std::string> pages;
    for (size_t i = 0; i < strokes.size(); ++i) {
        if (i % per_page == 0) {
            pages.emplace_back(i == 0 ? "" : "\n");
        } else {
            pages.back() += "\n";
        }
        pages.back() += wire::appendCommand(id, strokes[i]);
    }
    return pages;
}

TEST(CanvasOpen, TheWindowAnswersWhileALargeCanvasComesInAndASwitchLeavesOnlyTheNewOne) {
    Window window;
    const std::vector<canvas::MWStroke> a = strokesOf(4000, 1000, 1);
    const std::vector<canvas::MWStroke> b = strokesOf(1500, 90000, 2);

    // Something else the window does meanwhile: a timer, and what the info line says.
    int ticks = 0;
    std::set<std::string> lines;
    std::set<size_t> sizes_between; // history sizes a tick saw while strokes came in
    QTimer other;
    other.setInterval(1);
    QObject::connect(&other, &QTimer::timeout, [&] {
        ++ticks;
        lines.insert(window.ui.info_label->text().toStdString());
        if (window.canvas().isLoading()) {
            sizes_between.insert(window.canvas().strokes_history.size());
        }
    });
    other.start();

    // Canvas A: half of its pages come, a page a few milliseconds; then B is opened.
    const size_t fetch_a = window.open(CanvasA);
    const std::vector<std::string> pages_a = pagesOf(CanvasA, a, 250);
    size_t sent = 0;
    QTimer pager;
    pager.setInterval(3);
    QObject::connect(&pager, &QTimer::timeout, [&] {
        if (sent < pages_a.size() / 2) {
            window.http.deliver(fetch_a, pages_a[sent++]);
        }
    });
    pager.start();
    ASSERT_TRUE(testing::spinUntil(
        [&] { return sent == pages_a.size() / 2 && window.canvas().strokes_history.size() > 1000; },
        60000));
    const int ticks_during_a = ticks;
    // The timer fired between the slices of the load, not only before and after it.
    EXPECT_GE(sizes_between.size(), 3u) << "the event loop kept turning";
    bool progress_shown = false;
    for (const std::string& line : lines) {
        progress_shown = progress_shown || line.find("(loading: ") != std::string::npos;
    }
    EXPECT_TRUE(progress_shown);

    const size_t fetch_b = window.open(CanvasB);
    EXPECT_TRUE(window.http.cancelled(fetch_a));
    // The rest of A, should it still come, goes nowhere.
    for (size_t i = sent; i < pages_a.size(); ++i) {
        window.http.deliver(fetch_a, pages_a[i]);
    }
    window.http.finish(fetch_a);
    for (const std::string& page : pagesOf(CanvasB, b, 300)) {
        window.http.deliver(fetch_b, page);
        QApplication::processEvents();
    }
    window.http.finish(fetch_b);
    ASSERT_TRUE(testing::spinUntil([&] { return !window.canvas().isLoading(); }, 60000));
    EXPECT_GT(ticks, ticks_during_a);

    EXPECT_EQ(window.canvas().strokes_history.size(), b.size());
    for (const auto& [key, stroke] : window.canvas().strokes_history) {
        ASSERT_GE(key.first, 90000) << "a stroke of the canvas left";
    }
    EXPECT_EQ(window.canvas().display_bitmap, canvas::renderPicture(b, window.canvas().geometry));
    EXPECT_EQ(window.ui.info_label->text().toStdString(), std::string("Normal layer · ") + CanvasB);
}

} // namespace
} // namespace velmo
