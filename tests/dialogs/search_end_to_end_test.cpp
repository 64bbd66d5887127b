// Two canvases against the real canvas server on the loopback address: one publishes its
// pictures through the share menu, the other finds it by nickname, shows its thumbnail from
// the server's image host and opens it with its strokes.

#include "dialogs/alerts.h"
#include "dialogs/dialog_presenter.h"
#include "dialogs/gyazo_image_view.h"
#include "dialogs/nickname_view.h"
#include "dialogs/url_opener.h"
#include "mwcanvas/mw_canvas.h"
#include "platform/qt/qt_clock.h"
#include "platform/qt/qt_http_exchange.h"
#include "platform/qt/qt_scheduler.h"
#include "support/counting_random.h"
#include "support/memory_settings.h"
#include "support/recording_outlets.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <unistd.h>

#ifdef VELMO_SERVER_BINARY
#include "support/server_process.h"
#endif

namespace velmo::dialogs {
namespace {

#ifdef VELMO_SERVER_BINARY

class RecordingOpener : public UrlOpener {
public:
    void openURL(const QString& url) override { opened.append(url); }
    bool canOpenScheme(const QString&) override { return false; }
    QStringList opened;
};

class RecordingAlerts : public Alerts {
public:
    void showAlert(const QString& title, const QString&) override { titles.append(title); }
    QStringList titles;
};

// One client: a canvas on the Qt edges with the nickname view over it.
struct Client {
    Client(const std::string& base_url, const std::string& nickname)
        : canvas(outlets, {clock, http, scheduler, settings, random}, base_url,
                 base_url + "upload.cgi"),
          presenter(main_view, Idiom::Phone), button(new QPushButton("nickname", &main_view)),
          view(new NicknameView(canvas, presenter, main_view,
                                {opener, alerts, http, scheduler, clock})) {
        canvas.setScreenSize(320, 480);
        canvas.clear_canvas();
        canvas.setNickname(nickname);
        main_view.resize(320, 480);
        main_view.show();
    }

    testing::RecordingOutlets outlets;
    platform::qt::QtClock clock;
    platform::qt::QtHttpExchange http;
    platform::qt::QtScheduler scheduler;
    testing::MemorySettings settings;
    testing::CountingRandom random;
    mwcanvas::MWCanvas canvas;
    RecordingOpener opener;
    RecordingAlerts alerts;
    QWidget main_view;
    DialogPresenter presenter;
    QPushButton* button;
    NicknameView* view;
};

bool waitFor(const std::function<bool()>& done, int milliseconds = 10000) {
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.elapsed() > milliseconds) {
            return false;
        }
        QTest::qWait(20);
    }
    return true;
}

TEST(SearchEndToEnd, PublishedCanvasIsFoundShownAndOpened) {
    testing::TempDir dir;
    testing::ServerProcess server(dir.file("canvas.db"), dir.file("server.log"));
    ASSERT_TRUE(server.start()) << server.log();
    const std::string base = "http://127.0.0.1:" + std::to_string(server.port()) + "/";
    const std::string nickname = "finder" + std::to_string(getpid());

    Client author(base, nickname);
    author.canvas.pen_properties = {static_cast<int32_t>(0xFFCC2222u), 20000, 255};
    author.canvas.touchPressedAtX(40, 60);
    author.canvas.touchDraggedAtX(280, 420);
    author.canvas.touchReleasedAtX(280, 420);
    const std::string canvas_id = author.canvas.canvasID();
    ASSERT_TRUE(waitFor([&] { return author.canvas.sync_agent.queued_commands.empty(); }))
        << "the stroke never reached the server";

    author.view->showNicknameView(author.button);
    author.view->canvasIDBtnPressed();
    const std::string images = base + "images/";
    EXPECT_EQ(author.canvas.thumbnailUrl().rfind(images, 0), 0u) << author.canvas.thumbnailUrl();
    EXPECT_EQ(author.canvas.fullImageUrl().rfind(images, 0), 0u) << author.canvas.fullImageUrl();
    ASSERT_TRUE(author.view->sharing.action_sheet);
    ASSERT_TRUE(waitFor([&] { return author.canvas.sync_agent.queued_commands.empty(); }))
        << "the picture URLs never reached the server";

    Client finder(base, "someone" + std::to_string(getpid()));
    finder.view->showNicknameView(finder.button);
    finder.view->search_bar->setFocus();
    QTest::keyClicks(finder.view->search_bar, QString::fromStdString(" " + nickname + " "));
    QTest::keyClick(finder.view->search_bar, Qt::Key_Return);
    EXPECT_TRUE(finder.alerts.titles.isEmpty());
    ASSERT_EQ(finder.view->search.canvas_list, std::vector<std::string>{canvas_id});
    EXPECT_EQ(finder.view->search.thumbnail_list[canvas_id], author.canvas.thumbnailUrl());

    auto* table = finder.view->search.search_result_table;
    ASSERT_EQ(table->rowCount(), 1);
    auto* thumbnail = table->cellWidget(0, 0)->findChild<GyazoImageView*>("thumbnail");
    ASSERT_NE(thumbnail, nullptr);
    ASSERT_TRUE(waitFor([&] { return !thumbnail->image().isNull(); }))
        << "the thumbnail never arrived";
    EXPECT_EQ(thumbnail->image().size(), QSize(64, 96));
    // The red line crosses the middle of the thumbnail.
    const QRgb middle = thumbnail->image().pixel(32, 48);
    EXPECT_GT(qRed(middle), 150);
    EXPECT_LT(qGreen(middle), 100);

    const QRect row = table->visualRect(table->model()->index(0, 0));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, row.center());
    EXPECT_EQ(finder.canvas.canvas_id, canvas_id);
    // The fetched strokes are merged when the UI thread is next idle.
    ASSERT_TRUE(waitFor([&] { return !finder.canvas.strokes_history.empty(); }))
        << "the opened canvas has no strokes";
    EXPECT_EQ(finder.canvas.strokes_history.size(), 1u);
    EXPECT_EQ(
        static_cast<uint32_t>(finder.canvas.strokes_history.begin()->second.pen_properties.color),
        0xFFCC2222u);
    EXPECT_EQ(finder.presenter.presentedDialog(), nullptr);
}

#else

TEST(SearchEndToEnd, PublishedCanvasIsFoundShownAndOpened) {
    GTEST_SKIP() << "velmorastra-server is not part of this build; the end-to-end search test "
                    "needs it";
}

#endif

} // namespace
} // namespace velmo::dialogs
