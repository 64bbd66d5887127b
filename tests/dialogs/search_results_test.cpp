#include "dialogs/search_results.h"

#include "canvas_fixture.h"
#include "dialogs/gyazo_image_view.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QHeaderView>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QScrollBar>
#include <QTableWidget>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>

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

TEST(SearchResults, ARowWithoutAThumbnailShowsTheServersRenderOfItsCanvas) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    // The published thumbnail for the first row, the server's picture for the second.
    ASSERT_EQ(f.http.async_requests.size(), 2u);
    const auto& load = f.http.async_requests[0].request;
    EXPECT_EQ(load.url, "http://127.0.0.1:8640/images/a.png");
    EXPECT_EQ(load.method, "GET");
    EXPECT_DOUBLE_EQ(load.timeout_seconds, 5.0);
    EXPECT_TRUE(load.headers.empty());
    EXPECT_EQ(f.http.async_requests[1].request.url,
              "http://127.0.0.1:8640/render/taro@20101130090000000.png?w=64&h=96");
    EXPECT_EQ(SearchResults::renderURL("http://h:1/canvas/", "a b@1"),
              "http://h:1/canvas/render/a%20b@1.png?w=64&h=96");

    const auto* rendered = f.cell(1)->findChild<GyazoImageView*>("thumbnail");
    ASSERT_NE(rendered, nullptr);
    EXPECT_EQ(rendered->geometry(), QRect(0, 0, 64, 96));
    EXPECT_TRUE(rendered->loading());
    EXPECT_TRUE(f.cell(0)->findChild<GyazoImageView*>("thumbnail")->loading());
}

TEST(SearchResults, ALinkOpensItsCanvasWithoutASearch) {
    SearchFixture f;
    f.searchFor("taro", TwoCanvases);
    const auto requests_before = f.http.sync_requests.size();
    const auto fetches_before = f.http.async_requests.size();
    f.bar->setText(" velmorastra://hanako@20101201110034567 ");
    f.search.searchBarSearchButtonClicked(f.bar);
    EXPECT_EQ(f.canvas.canvas_id, "hanako@20101201110034567");
    EXPECT_EQ(f.searchRequests(), 1);
    // The only new request asks for the opened canvas's picture, then its strokes, without
    // blocking.
    EXPECT_EQ(f.http.sync_requests.size(), requests_before);
    ASSERT_EQ(f.http.async_requests.size(), fetches_before + 1);
    EXPECT_NE(f.http.async_requests.back().request.url.find("/layers/hanako@20101201110034567.png"),
              std::string::npos);
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
    ASSERT_EQ(f.http.async_requests.size(), 2u);
    f.searchFor("nobody", "");
    // The old rows' views are gone; their answers must reach nothing.
    f.http.answer(0, "not a picture");
    f.http.fail(0);
    f.http.answer(1, "not a picture");
    EXPECT_EQ(f.search.search_result_table->rowCount(), 0);
}

// `count` canvases of taro, each with the thumbnail ".../images/<row>.png".
std::string manyCanvases(int count) {
    std::string reply;
    for (int row = 0; row < count; ++row) {
        reply += "taro@201012011100" + std::to_string(10000 + row).substr(1) +
                 "0 http://127.0.0.1:8640/images/" + std::to_string(row) + ".png\n";
    }
    return reply;
}

// The row whose thumbnail asynchronous request `index` fetches.
int rowOfLoad(const testing::ScriptedHttp& http, size_t index) {
    const std::string& url = http.async_requests.at(index).request.url;
    const auto slash = url.rfind('/');
    return std::stoi(url.substr(slash + 1));
}

bool cancelled(const testing::ScriptedHttp& http, size_t index) {
    const auto& token = http.async_requests.at(index).callbacks.cancellation;
    return token && token->cancelled();
}

// The rows the table shows, wholly or in part.
std::pair<int, int> rowsInSight(const QTableWidget& table) {
    const int last = table.rowAt(table.viewport()->height() - 1);
    return {table.rowAt(0), last < 0 ? table.rowCount() - 1 : last};
}

std::string aPicture() {
    QImage image(64, 96, QImage::Format_RGB32);
    image.fill(qRgb(10, 200, 10));
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes.toStdString();
}

TEST(SearchResults, ThumbnailsLoadForTheRowsInSightFourAtATime) {
    SearchFixture f;
    f.searchFor("taro", manyCanvases(30));
    QTableWidget& table = *f.search.search_result_table;
    ASSERT_EQ(table.rowCount(), 30);
    const auto [first, last] = rowsInSight(table);
    ASSERT_EQ(first, 0);
    ASSERT_GE(last, 4) << "more rows in sight than loads allowed";
    ASSERT_LT(last, 10);

    // Four start, for the top rows; the rest wait.
    ASSERT_EQ(f.http.async_requests.size(), 4u);
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(rowOfLoad(f.http, i), static_cast<int>(i));
    }
    EXPECT_EQ(f.search.thumbnailsLoading(), 4);

    // Each load that ends, with a picture or without, lets the next row in sight start.
    f.http.answer(0, aPicture());
    EXPECT_FALSE(f.cell(0)->findChild<GyazoImageView*>("thumbnail")->image().isNull());
    ASSERT_EQ(f.http.async_requests.size(), 5u);
    EXPECT_EQ(rowOfLoad(f.http, 4), 4);
    size_t done = 1;
    while (static_cast<int>(f.http.async_requests.size()) < last + 1) {
        f.http.fail(done++);
        EXPECT_LE(f.search.thumbnailsLoading(), SearchResults::MaxThumbnailLoads);
    }
    // Every row in sight has its load; the rows below wait while the last ones run.
    const size_t in_sight = f.http.async_requests.size();
    while (done < in_sight) {
        f.http.fail(done++);
    }
    EXPECT_EQ(f.http.async_requests.size(), in_sight);
    EXPECT_EQ(f.search.thumbnailsLoading(), 0);

    // Scrolling to the end starts the rows that come into sight there, four at most. (The
    // table lays out its scroll range from the event loop.)
    QCoreApplication::processEvents();
    table.verticalScrollBar()->setValue(table.verticalScrollBar()->maximum());
    const auto [top, bottom] = rowsInSight(table);
    ASSERT_GT(top, last);
    EXPECT_EQ(bottom, 29);
    ASSERT_EQ(f.http.async_requests.size(), in_sight + 4);
    for (size_t i = in_sight; i < f.http.async_requests.size(); ++i) {
        EXPECT_GE(rowOfLoad(f.http, i), top);
        EXPECT_LE(rowOfLoad(f.http, i), bottom);
    }
    EXPECT_EQ(f.search.thumbnailsLoading(), 4);
    // Scrolling back starts nothing again: those rows have loaded.
    table.verticalScrollBar()->setValue(0);
    EXPECT_EQ(f.http.async_requests.size(), in_sight + 4);
}

TEST(SearchResults, AClosedListAbortsItsLoadsAndLateAnswersReachNothing) {
    SearchFixture f;
    f.searchFor("taro", manyCanvases(8));
    ASSERT_EQ(f.http.async_requests.size(), 4u);

    // The list goes out of sight (the nickname view closes): every load is aborted.
    f.main_view.hide();
    for (size_t i = 0; i < 4; ++i) {
        EXPECT_TRUE(cancelled(f.http, i)) << i;
    }
    EXPECT_EQ(f.search.thumbnailsLoading(), 0);
    // An answer that comes all the same shows nothing and starts nothing.
    f.http.answer(0, aPicture());
    f.http.fail(1);
    EXPECT_TRUE(f.cell(0)->findChild<GyazoImageView*>("thumbnail")->image().isNull());
    EXPECT_EQ(f.http.async_requests.size(), 4u);

    // Back in sight, the rows that did not load start again.
    f.main_view.show();
    ASSERT_EQ(f.http.async_requests.size(), 8u);
    EXPECT_EQ(rowOfLoad(f.http, 4), 0);
    EXPECT_FALSE(cancelled(f.http, 4));

    // New results replace the rows: the old loads are aborted with their views, and their
    // late answers reach no view that is gone.
    f.searchFor("jiro", manyCanvases(2));
    for (size_t i = 4; i < 8; ++i) {
        EXPECT_TRUE(cancelled(f.http, i)) << i;
    }
    ASSERT_EQ(f.http.async_requests.size(), 10u);
    for (size_t i = 4; i < 8; ++i) {
        f.http.answer(i, aPicture());
    }
    EXPECT_EQ(f.http.async_requests.size(), 10u);
    EXPECT_EQ(f.search.thumbnailsLoading(), 2);
}

TEST(SearchResults, AHiddenListLoadsNothingUntilItIsShown) {
    SearchFixture f;
    f.main_view.hide();
    f.searchFor("taro", manyCanvases(3));
    EXPECT_TRUE(f.http.async_requests.empty());
    f.main_view.show();
    EXPECT_EQ(f.http.async_requests.size(), 3u);
}

} // namespace
} // namespace velmo::dialogs
