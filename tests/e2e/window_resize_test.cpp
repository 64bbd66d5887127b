#include "live_client.h"
#include "stored_strokes.h"

#include "app/canvas_resizer.h"
#include "platform/qt/qt_wait.h"
#include "support/server_process.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <algorithm>

using velmo::testing::Client;
using velmo::testing::memoryTempTemplate;
using velmo::testing::spinUntil;

// A window made wider than it started draws where its canvas did not reach before, and the
// stroke is stored by the real server and shows in a window of the old size.
TEST(WindowResize, AStrokeWhereTheCanvasEndedBeforeReachesTheServer) {
    QTemporaryDir dir(memoryTempTemplate());
    velmo::testing::ServerProcess server(dir.filePath("canvas.db").toStdString(),
                                         dir.filePath("server.log").toStdString());
    ASSERT_TRUE(server.start()) << server.log();
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/";

    Client wide(dir.filePath("wide.ini"), url);
    Client narrow(dir.filePath("narrow.ini"), url);
    wide.canvas().setNickname("wide");
    narrow.canvas().setNickname("narrow");
    wide.canvas().setCanvasID("");
    const std::string canvas_id = wide.canvas().canvasID();
    ASSERT_TRUE(narrow.ui.delegate->application_handleOpenURL("velmorastra://" + canvas_id));
    const int old_width = wide.canvas().geometry.canvas_width;

    // Twice as wide, the height as it was: the canvas's scale now follows the width.
    QWidget& window = *wide.ui.window;
    window.resize(window.width() * 5 / 2, window.height());
    ASSERT_TRUE(spinUntil(
        [&] {
            return !wide.ui.resizer->pending() &&
                   wide.canvas().geometry.canvas_width == wide.ui.canvas_view->width();
        },
        2000));
    const int far_x = wide.ui.canvas_view->width() - 20;
    ASSERT_GT(far_x, old_width + 100);
    wide.drawLine(QPoint(old_width + 40, 200), QPoint(far_x, 200));
    const std::string author = wide.canvas().userID();
    ASSERT_TRUE(spinUntil(
        [&] { return velmo::testing::storedStrokes(server.port(), canvas_id, author).size() == 1; },
        10000))
        << server.log();

    // The other window has the stroke in canvas units, as the wide one drew it, and paints it
    // at its own scale.
    ASSERT_TRUE(spinUntil([&] { return narrow.hasStrokeOf(author); }, 10000)) << server.log();
    const velmo::canvas::MWStroke& drawn = wide.canvas().strokes_history.begin()->second;
    const velmo::canvas::MWStroke& arrived = narrow.canvas().strokes_history.begin()->second;
    EXPECT_EQ(arrived.points_x, drawn.points_x);
    EXPECT_EQ(drawn.points_x.back(), wide.canvas().geometry.toUnits(static_cast<float>(far_x)));
    const velmo::canvas::CanvasGeometry& small = narrow.canvas().geometry;
    const int shown_x = static_cast<int>(small.toPixels(drawn.points_x.back())) - 2;
    const int shown_y = static_cast<int>(small.toPixels(drawn.points_y.back()));
    EXPECT_TRUE(narrow.paintedAt(std::min(shown_x, small.canvas_width - 1), shown_y));
}
