#pragma once

// A client window as the program builds it, for the end-to-end tests against the real server.

#include "app/canvas_view.h"
#include "app/velmorastra_app_delegate.h"
#include "app/velmorastra_interface.h"
#include "canvas/surface.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_event_stream.h"
#include "platform/qt/qt_http_exchange.h"
#include "platform/qt/qt_random_source.h"
#include "platform/qt/qt_scheduler.h"
#include "platform/qt/qt_settings_store.h"

#include <QDir>
#include <QPoint>
#include <QStorageInfo>
#include <QString>
#include <QTest>
#include <QWidget>

#include <gtest/gtest.h>

#include <string>

namespace velmo::testing {

constexpr int Width = 320;
constexpr int Height = 480;

// The test's files (the server's database, the windows' settings) in memory where the machine
// has it: these tests time the live path, and on a disk a flush may wait a second behind the
// writes of a build, while a stroke between two new users passes three of them.
inline QString memoryTempTemplate() {
    const QString memory = QStringLiteral("/dev/shm");
    constexpr qint64 Needed = qint64{512} << 20; // a seeded canvas, journals, settings
    const bool roomy = QDir(memory).exists() && QStorageInfo(memory).bytesAvailable() > Needed;
    return (roomy ? memory : QDir::tempPath()) + QStringLiteral("/velmo-e2e-XXXXXX");
}

// One client as the program builds it: real HTTP, event stream, timers and settings file, its
// own window.
class Client {
public:
    Client(const QString& settings_file, const std::string& server_url)
        : settings(settings_file),
          ui(app::ClientEdges{clock, http, scheduler, settings, random, &events},
             app::InterfaceOptions{server_url, server_url + "upload.cgi", QSize(Width, Height),
                                   app::Idiom::Phone}) {
        ui.delegate->applicationDidFinishLaunching();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(ui.window.get()));
    }
    ~Client() { ui.delegate->applicationWillTerminate(); }

    mwcanvas::MWCanvas& canvas() { return *ui.canvas; }

    void drawLine(QPoint from, QPoint to) {
        QWidget* view = ui.canvas_view;
        QTest::mousePress(view, Qt::LeftButton, {}, from);
        for (int i = 1; i <= 8; ++i) {
            QTest::mouseMove(view, from + (to - from) * i / 8);
        }
        QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    }

    bool hasStrokeOf(const std::string& user) { return strokesOf(user) > 0; }
    size_t strokesOf(const std::string& user) {
        size_t count = 0;
        for (const auto& [key, stroke] : canvas().strokes_history) {
            count += stroke.user_name == user ? 1 : 0;
        }
        return count;
    }
    bool paintedAt(int x, int y) { return canvas().display_bitmap.at(x, y) != canvas::OpaqueWhite; }

    platform::qt::QtClock clock;
    platform::qt::QtHttpExchange http;
    platform::qt::QtScheduler scheduler;
    platform::qt::QtEventStream events;
    platform::qt::QtSettingsStore settings;
    platform::qt::QtRandomSource random;
    app::VelmorastraInterface ui;
};

} // namespace velmo::testing
