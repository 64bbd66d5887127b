#include "live_client.h"

#include "app/mw_canvas_display.h"
#include "app/present_users_label.h"
#include "platform/qt/qt_wait.h"
#include "support/server_process.h"

#include <QTemporaryDir>
#include <QTest>

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>

using namespace velmo;
using velmo::testing::Client;
using velmo::testing::memoryTempTemplate;
using velmo::testing::spinFor;
using velmo::testing::spinUntil;

namespace {

// The marker named `nickname` within `distance` canvas pixels of (x, y).
bool markerNear(Client& client, const std::string& nickname, float x, float y, float distance) {
    for (const auto& marker : client.ui.display->penMarkers()) {
        if (marker.nickname == nickname && std::hypot(marker.x - x, marker.y - y) <= distance) {
            return true;
        }
    }
    return false;
}

} // namespace

TEST(TwoClients, TheSecondSeesWhoIsThereAndTheFirstsStrokeBeforeItsRelease) {
    QTemporaryDir dir(memoryTempTemplate());
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    auto first = std::make_unique<Client>(dir.filePath("first.ini"), url);
    Client second(dir.filePath("second.ini"), url);
    first->canvas().setNickname("ann");
    second.canvas().setNickname("bob");
    first->canvas().setCanvasID("");
    const std::string canvas_id = first->canvas().canvasID();
    ASSERT_TRUE(second.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    ASSERT_TRUE(spinUntil(
        [&] { return first->canvas().news_feed->live() && second.canvas().news_feed->live(); },
        5000))
        << server.log();

    // Each window names the other, and only the other.
    ASSERT_TRUE(spinUntil(
        [&] {
            return second.ui.present_users->fullText() == "here: ann" &&
                   first->ui.present_users->fullText() == "here: bob";
        },
        5000))
        << "second: " << second.ui.present_users->fullText().toStdString()
        << "; first: " << first->ui.present_users->fullText().toStdString() << "; server log:\n"
        << server.log();

    // The first presses and drags, and holds the pen down.
    const std::string author = first->canvas().userID();
    const canvas::LayerSurfaces layers_before = second.canvas().layer_bitmap;
    QWidget* view = first->ui.canvas_view;
    const QPoint from(40, 200);
    const QPoint to(280, 200);
    QTest::mousePress(view, Qt::LeftButton, {}, from);
    for (int i = 1; i <= 12; ++i) {
        QTest::mouseMove(view, from + (to - from) * i / 12);
        spinFor(15);
    }
    ASSERT_TRUE(
        spinUntil([&] { return second.paintedAt(160, 200) && second.paintedAt(270, 200); }, 3000))
        << "the stroke in progress did not show; server log:\n"
        << server.log();
    EXPECT_FALSE(second.hasStrokeOf(author)) << "the stroke is not finished";
    EXPECT_EQ(second.canvas().layer_bitmap, layers_before)
        << "a stroke in progress is only on the display";
    EXPECT_FALSE(second.paintedAt(160, 300));
    // Its drawer's marker is at the pen.
    EXPECT_TRUE(spinUntil([&] { return markerNear(second, "ann", 280, 200, 3); }, 3000));

    // Released: the stroke comes as any finished one, and the display is its history's.
    QTest::mouseRelease(view, Qt::LeftButton, {}, to);
    ASSERT_TRUE(spinUntil([&] { return second.hasStrokeOf(author); }, 6000)) << server.log();
    EXPECT_TRUE(spinUntil([&] { return second.ui.display->penMarkers().empty(); }, 3000));
    EXPECT_TRUE(second.paintedAt(160, 200));
    spinFor(200);
    const canvas::Surface shown = second.canvas().display_bitmap;
    second.canvas().redrawStrokes();
    EXPECT_EQ(second.canvas().display_bitmap, shown) << "the display is a replay of the history";

    // The first leaves: the second is alone.
    first.reset();
    EXPECT_TRUE(spinUntil([&] { return second.ui.present_users->fullText().isEmpty(); }, 5000))
        << second.ui.present_users->fullText().toStdString();
}
