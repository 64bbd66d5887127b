#include "dialogs/search_results.h"

#include "canvas_fixture.h"
#include "dialogs/gyazo_image_view.h"

#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>

namespace velmo::dialogs {
namespace {

const std::string OwnCanvas = "me@20101201110034567";

struct SearchFixture : testing::CanvasWithView {
    SearchFixture()
        : search(canvas, {http, scheduler, clock, alerts}, &main_view),
          bar(new QLineEdit(&main_view)) {
        canvas.canvas_id = OwnCanvas;
        search.dismissNicknameView = [this] { ++dismissals; };
        search.search_result_table->setGeometry(0, 40, 320, 440);
        main_view.show();
    }

    // Types `text` and presses the search button, the server answering `reply`.
    void searchFor(const QString& text, std::optional<std::string> reply) {
        http.scriptSync(std::move(reply));
        bar->setText(text);
        search.searchBarSearchButtonClicked(bar);
    }
    std::string searchBody(const std::string& nickname) const {
        return OwnCanvas + ": search_canvas_list: nickname:" + nickname;
    }
    int searchRequests() const {
        return static_cast<int>(std::count_if(
            http.sync_requests.begin(), http.sync_requests.end(), [](const auto& request) {
                return request.body.find(": search_canvas_list: ") != std::string::npos;
            }));
    }
    QWidget* cell(int row) const { return search.search_result_table->cellWidget(row, 0); }

    SearchResults search;
    QLineEdit* bar;
    int dismissals = 0;
};

const std::string TwoCanvases = "taro@20101201110034567 http://127.0.0.1:8640/images/a.png\n"
                                "taro@20101130090000000 \n";

TEST(SearchResults, SearchTextLosesItsSpaces) {
    const struct {
        const char* typed;
        std::string sent;
    } cases[] = {
        {" taro ", "taro"},
        {"ta ro", "taro"},
        {"", ""},
        {"ta\tro", "ta\tro"},
    };
    for (const auto& c : cases) {
        SearchFixture f;
        f.searchFor(QString::fromUtf8(c.typed), "");
        ASSERT_EQ(f.http.sync_requests.size(), 1u) << c.typed;
        EXPECT_EQ(f.http.sync_requests[0].body, f.searchBody(c.sent)) << c.typed;
        EXPECT_EQ(f.http.sync_requests[0].url, testing::TestServer);
    }
}

TEST(SearchResults, ResultsFillTheTable) {
    SearchFixture f;
    f.searchFor(" taro ", TwoCanvases);
    ASSERT_EQ(f.search.canvas_list,
              (std::vector<std::string>{"taro@20101201110034567", "taro@20101130090000000"}));
    EXPECT_EQ(f.search.search_result_table->rowCount(), 2);
    EXPECT_TRUE(f.alerts.shown.empty());
    EXPECT_EQ(f.dismissals, 0) << "the nickname view stays open";
    EXPECT_EQ(f.canvas.search_nickname, " taro ");
    const auto* label = f.cell(1)->findChild<QLabel*>("canvas_id");
    ASSERT_NE(label, nullptr);
    EXPECT_EQ(label->text(), "taro@20101130090000000");
    EXPECT_EQ(label->geometry(), QRect(84, 0, 250, 96));
}

TEST(SearchResults, RowHeightIsTheThumbnailHeightPlusOne) {
    for (const std::string& reply :
         {std::string(), std::string("a@20101201110034567 \n"), TwoCanvases + TwoCanvases}) {
        SearchFixture f;
        f.searchFor("taro", reply);
        EXPECT_EQ(f.search.numberOfRows(), static_cast<int>(f.search.canvas_list.size()));
        EXPECT_EQ(f.search.search_result_table->verticalHeader()->defaultSectionSize(), 97);
        for (int row = 0; row < f.search.search_result_table->rowCount(); ++row) {
            EXPECT_EQ(f.search.search_result_table->rowHeight(row), 97);
        }
    }
}

TEST(SearchResults, RowWithoutThumbnailShowsAnEmptyPictureAndItsID) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    // Only the first row has a thumbnail to load.
    ASSERT_EQ(f.http.async_requests.size(), 1u);
    const auto& load = f.http.async_requests[0].request;
    EXPECT_EQ(load.url, "http://127.0.0.1:8640/images/a.png");
    EXPECT_EQ(load.method, "GET");
    EXPECT_DOUBLE_EQ(load.timeout_seconds, 5.0);
    EXPECT_TRUE(load.headers.empty());

    const auto* empty = f.cell(1)->findChild<GyazoImageView*>("thumbnail");
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->geometry(), QRect(0, 0, 64, 96));
    EXPECT_FALSE(empty->loading());
    EXPECT_TRUE(empty->image().isNull());
    EXPECT_TRUE(f.cell(0)->findChild<GyazoImageView*>("thumbnail")->loading());
}

TEST(SearchResults, ALinkOpensItsCanvasWithoutASearch) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    const auto requests_before = f.http.sync_requests.size();
    f.http.scriptSync("");
    f.bar->setText(" velmorastra://hanako@20101201110034567 ");
    f.search.searchBarSearchButtonClicked(f.bar);
    EXPECT_EQ(f.canvas.canvas_id, "hanako@20101201110034567");
    EXPECT_EQ(f.searchRequests(), 1);
    // The only new request fetches the opened canvas's strokes.
    ASSERT_EQ(f.http.sync_requests.size(), requests_before + 1);
    EXPECT_EQ(f.http.sync_requests.back().body.rfind("hanako@20101201110034567: ", 0), 0u);
    EXPECT_EQ(f.dismissals, 1);
    EXPECT_EQ(f.search.search_result_table->rowCount(), 2) << "the list is left as it was";
}

TEST(SearchResults, PrefixInCapitalsOrAloneIsSearchedAsANickname) {
    for (const char* typed :
         {"VELMORASTRA://hanako@20101201110034567", "velmorastra://", "Velmorastra://x"}) {
        const std::string text = typed;
        SearchFixture f;
        f.searchFor(QString::fromStdString(text), "");
        ASSERT_EQ(f.http.sync_requests.size(), 1u) << text;
        EXPECT_EQ(f.http.sync_requests[0].body, f.searchBody(text));
        EXPECT_EQ(f.canvas.canvas_id, OwnCanvas);
        EXPECT_EQ(f.dismissals, 0);
    }
}

TEST(SearchResults, ALinkToAnIDTheServerRefusesIsNotOpened) {
    SearchFixture f;
    const std::string text = "velmorastra://" + std::string(300, 'x');
    f.searchFor(QString::fromStdString(text), "");
    EXPECT_EQ(f.canvas.canvas_id, OwnCanvas);
    EXPECT_EQ(f.searchRequests(), 1);
    EXPECT_EQ(f.dismissals, 0);
}

TEST(SearchResults, FailedSearchAlertsAndKeepsTheRows) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    f.searchFor("jiro", std::nullopt);
    ASSERT_EQ(f.alerts.shown.size(), 1u);
    EXPECT_EQ(f.alerts.shown[0].first, "connection error");
    EXPECT_EQ(f.alerts.shown[0].second, "An error occured while communication with the server.  "
                                        "Please check the internet connection.");
    EXPECT_EQ(f.search.canvas_list.size(), 2u);
    EXPECT_EQ(f.search.thumbnail_list.size(), 2u);
    EXPECT_EQ(f.search.search_result_table->rowCount(), 2);
    EXPECT_EQ(f.dismissals, 0);
}

TEST(SearchResults, EmptyAnswerEmptiesTheTable) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    f.searchFor("nobody", "");
    EXPECT_TRUE(f.search.canvas_list.empty());
    EXPECT_EQ(f.search.search_result_table->rowCount(), 0);
    EXPECT_TRUE(f.alerts.shown.empty());
}

TEST(SearchResults, ChoosingARowOpensItsCanvas) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    f.http.scriptSync("");
    auto* table = f.search.search_result_table;
    const QRect second = table->visualRect(table->model()->index(1, 0));
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, second.center());
    EXPECT_EQ(f.canvas.canvas_id, "taro@20101130090000000");
    EXPECT_EQ(f.dismissals, 1);
}

TEST(SearchResults, ThumbnailArrivingAfterTheRowsWereReplacedIsDropped) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    ASSERT_EQ(f.http.async_requests.size(), 1u);
    f.searchFor("nobody", "");
    // The old row's view is gone; its answer must reach nothing.
    f.http.answer(0, "not a picture");
    f.http.fail(0);
    EXPECT_EQ(f.search.search_result_table->rowCount(), 0);
}

} // namespace
} // namespace velmo::dialogs
