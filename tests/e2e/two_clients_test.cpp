#include "live_client.h"

#include "platform/qt/qt_wait.h"
#include "support/random_strokes.h"
#include "support/seeded_store.h"
#include "support/server_process.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <vector>

using namespace velmo;
using velmo::testing::Client;
using velmo::testing::Height;
using velmo::testing::memoryTempTemplate;
using velmo::testing::spinFor;
using velmo::testing::spinUntil;
using velmo::testing::Width;

TEST(TwoClients, StrokesTravelUndoFollowsAndAnOfflineStrokeArrivesLater) {
    QTemporaryDir dir(memoryTempTemplate());
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const int port = server.port();
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";

    auto first = std::make_unique<Client>(dir.filePath("first.ini"), url);
    Client second(dir.filePath("second.ini"), url);
    // User IDs are made of the nickname and the millisecond: two windows opening at once in
    // one process must not make the same one.
    first->canvas().setNickname("first");
    second.canvas().setNickname("second");
    first->canvas().setCanvasID("");
    const std::string canvas_id = first->canvas().canvasID();
    ASSERT_FALSE(canvas_id.empty());
    ASSERT_TRUE(second.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    ASSERT_EQ(second.canvas().canvas_id, canvas_id);
    const std::string author = first->canvas().userID();

    // A stroke drawn in the first window shows in the second within six seconds.
    first->drawLine(QPoint(40, 100), QPoint(280, 100));
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(
        spinUntil([&] { return second.hasStrokeOf(author) && second.paintedAt(160, 100); }, 6000))
        << "the stroke did not arrive; server log:\n"
        << server.log();
    std::printf("stroke arrived after %lld ms\n", static_cast<long long>(clock.elapsed()));

    // Undo in the first removes it from the second.
    QTest::mouseClick(first->ui.undo_button, Qt::LeftButton);
    EXPECT_TRUE(first->canvas().strokes_history.empty());
    ASSERT_TRUE(spinUntil(
        [&] { return !second.hasStrokeOf(author) && !second.paintedAt(160, 100); }, 12000))
        << server.log();

    // Offline: the server goes away, the first client draws, quits and starts again.
    ASSERT_EQ(server.stop(), 0) << server.log();
    first->drawLine(QPoint(40, 300), QPoint(280, 300));
    QApplication::processEvents();
    EXPECT_EQ(first->canvas().strokes_history.size(), 1u);
    first.reset();
    first = std::make_unique<Client>(dir.filePath("first.ini"), url);
    ASSERT_EQ(first->canvas().strokes_history.size(), 1u) << "the unsent stroke was kept";
    EXPECT_TRUE(first->paintedAt(160, 300));
    EXPECT_FALSE(first->canvas().sync_agent.queued_commands.empty());

    // Back online: the stroke is delivered and reaches the second client.
    ASSERT_TRUE(server.start("127.0.0.1:" + std::to_string(port))) << server.log();
    ASSERT_TRUE(
        spinUntil([&] { return second.hasStrokeOf(author) && second.paintedAt(160, 300); }, 20000))
        << server.log();
    // And the first client learns the server's place for it from the echo.
    EXPECT_TRUE(spinUntil(
        [&] {
            const auto& history = first->canvas().strokes_history;
            return history.size() == 1 &&
                   history.begin()->first.first != first->canvas().InitServerTime &&
                   history.begin()->first.first != 0;
        },
        12000));
}

TEST(TwoClients, ALiveStrokeArrivesInUnderASecond) {
    QTemporaryDir dir(memoryTempTemplate());
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    Client first(dir.filePath("first.ini"), url);
    Client second(dir.filePath("second.ini"), url);
    first.canvas().setNickname("first");
    second.canvas().setNickname("second");
    first.canvas().setCanvasID("");
    const std::string canvas_id = first.canvas().canvasID();
    ASSERT_TRUE(second.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    ASSERT_TRUE(spinUntil(
        [&] { return first.canvas().news_feed->live() && second.canvas().news_feed->live(); },
        5000))
        << server.log();

    // Polling alone, a stroke waits for the next tick of the five-second timer: five strokes
    // drawn at odd moments would all come within a second once in thousands of runs.
    for (int i = 0; i < 5; ++i) {
        spinFor(300 + 370 * i);
        const int y = 80 + 60 * i;
        const std::string author = first.canvas().userID();
        const size_t before = second.strokesOf(author);
        first.drawLine(QPoint(40, y), QPoint(280, y));
        QElapsedTimer clock;
        clock.start();
        // The finished stroke, not only its progress (which may show it sooner).
        ASSERT_TRUE(spinUntil(
            [&] { return second.strokesOf(author) > before && second.paintedAt(160, y); }, 1000))
            << "stroke " << i << " took longer than a second; server log:\n"
            << server.log();
        std::printf("live stroke %d arrived after %lld ms\n", i,
                    static_cast<long long>(clock.elapsed()));
    }
}

TEST(TwoClients, OnACanvasOfTwentyThousandStrokesAStrokeShowsInTheOtherAtOnce) {
#ifdef VELMO_SANITIZED
    GTEST_SKIP() << "a figure of speed: measured in the release build";
#endif
    QTemporaryDir dir(memoryTempTemplate());
    const std::string db = dir.filePath("canvas.db").toStdString();
    const std::string canvas_id = "busy@20101201100000000";
    velmo::testing::HandStrokes hand(2026, Width, Height);
    std::vector<canvas::MWStroke> strokes;
    for (int i = 0; i < 20000; ++i) {
        strokes.push_back(hand.next());
        strokes.back().client_time = 1291201000000 + i;
    }
    std::string error;
    ASSERT_TRUE(velmo::testing::seedStore(db, canvas_id, strokes, 1291201200000, &error)) << error;
    velmo::testing::ServerProcess server(db, dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    Client first(dir.filePath("first.ini"), url);
    Client second(dir.filePath("second.ini"), url);
    // User IDs are made of the nickname and the millisecond: two windows opening at once in
    // one process must not make the same one.
    first.canvas().setNickname("first");
    second.canvas().setNickname("second");
    // The drawer's window is on the canvas before the watcher's opens, as in a busy room:
    // the server has made its picture of the canvas by then.
    ASSERT_TRUE(first.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    ASSERT_TRUE(spinUntil([&] { return !first.canvas().isLoading(); }, 30000)) << server.log();
    ASSERT_TRUE(second.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    ASSERT_TRUE(spinUntil(
        [&] { return first.canvas().news_feed->live() && second.canvas().news_feed->live(); },
        10000))
        << server.log();

    // The first stroke comes while the watcher's window may still be taking the canvas in.
    std::vector<qint64> took;
    for (int i = 0; i < 7; ++i) {
        spinFor(i == 0 ? 0 : 300 + 170 * i);
        const int y = 60 + 50 * i;
        first.drawLine(QPoint(40, y), QPoint(280, y));
        const std::string author = first.canvas().userID();
        const size_t own = [&] {
            size_t n = 0;
            for (const auto& [key, stroke] : second.canvas().strokes_history) {
                n += stroke.user_name == author ? 1 : 0;
            }
            return n;
        }();
        QElapsedTimer clock;
        clock.start();
        ASSERT_TRUE(spinUntil(
            [&] {
                size_t n = 0;
                for (auto it = second.canvas().strokes_history.rbegin();
                     it != second.canvas().strokes_history.rend() && n <= own; ++it) {
                    n += it->second.user_name == author ? 1 : 0;
                }
                return n > own;
            },
            10000))
            << "stroke " << i << " never came; server log:\n"
            << server.log();
        took.push_back(clock.elapsed());
        std::printf("stroke %d on a canvas of 20,000 shown after %lld ms\n", i,
                    static_cast<long long>(took.back()));
    }
    EXPECT_EQ(second.canvas().strokes_history.size(), 20007u);
    // Once both windows have the canvas, a stroke takes what a stroke takes on an empty one.
    std::vector<qint64> settled(took.begin() + 1, took.end());
    std::sort(settled.begin(), settled.end());
    EXPECT_LE(settled[settled.size() / 2], 200) << "median of the strokes after the first";
    const canvas::LayerSurfaces shown = second.canvas().layer_bitmap;
    second.canvas().redrawStrokes();
    EXPECT_EQ(second.canvas().layer_bitmap, shown) << "the picture is a replay of the history";
}

TEST(TwoClients, TheBotsStrokesReachAClientThatOpensItsCanvas) {
    QTemporaryDir dir(memoryTempTemplate());
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    const std::string canvas_id = "botcanvas@20261207120000000";

    QProcess bot;
    bot.setProcessChannelMode(QProcess::MergedChannels);
    bot.start(VELMO_BOT_BINARY, {"--server", QString::fromStdString(url), "--canvas",
                                 QString::fromStdString("velmorastra://" + canvas_id), "--nickname",
                                 "bot", "--strokes", "3", "--rate", "20"});
    ASSERT_TRUE(bot.waitForFinished(60000));
    const QString output = QString::fromUtf8(bot.readAll());
    EXPECT_EQ(bot.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("drawn 3 delivered yes")) << output.toStdString();

    Client client(dir.filePath("client.ini"), url);
    ASSERT_TRUE(client.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    // The fetched strokes are merged once the event loop is idle.
    EXPECT_TRUE(spinUntil([&] { return client.canvas().strokes_history.size() == 3; }, 5000))
        << server.log();
    for (const auto& [key, stroke] : client.canvas().strokes_history) {
        EXPECT_EQ(stroke.user_name.rfind("bot@", 0), 0u) << stroke.user_name;
        EXPECT_GT(key.first, 0);
    }
}
