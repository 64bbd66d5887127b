#include "test_client.h"

#include "canvas/stroke_text.h"
#include "canvas/surface.h"

#include <QEvent>
#include <QLabel>

#include <gtest/gtest.h>

using velmo::canvas::OpaqueWhite;
using velmo::testing::TestClient;

namespace {

std::vector<std::string> savedHistory(const TestClient& client) {
    const auto it = client.settings.values.find("StrokesHistory");
    if (it == client.settings.values.end()) {
        return {};
    }
    return std::get<std::vector<std::string>>(it->second);
}

} // namespace

TEST(VelmorastraAppDelegate, LaunchWithoutSavedStateShowsAWhiteCanvas) {
    TestClient client;
    client.launch();
    EXPECT_TRUE(client.ui.window->isVisible());
    EXPECT_EQ(client.canvas().geometry.canvas_width, 400);
    EXPECT_EQ(client.canvas().geometry.canvas_height, 600);
    EXPECT_EQ(client.canvas().display_bitmap.width(), 400);
    EXPECT_EQ(client.canvas().user_nickname, "public");
    EXPECT_TRUE(client.canvas().canvas_id.empty());
    EXPECT_TRUE(client.canvas().strokes_history.empty());
    EXPECT_EQ(client.canvas().display_bitmap.at(200, 300), OpaqueWhite);
    EXPECT_TRUE(client.http.async_requests.empty()) << "launch sends nothing";
}

TEST(VelmorastraAppDelegate, LaunchRestoresAndPaintsTheSavedState) {
    std::vector<std::string> history;
    {
        TestClient first;
        first.launch();
        first.canvas().canvas_id = "anna@20100704123456789";
        QTest::mousePress(first.view(), Qt::LeftButton, {}, QPoint(100, 300));
        QTest::mouseMove(first.view(), QPoint(200, 300));
        QTest::mouseRelease(first.view(), Qt::LeftButton, {}, QPoint(200, 300));
        first.ui.delegate->applicationWillTerminate();
        history = savedHistory(first);
    }
    ASSERT_EQ(history.size(), 1u);
    TestClient second;
    second.settings.values["CanvasID"] = std::string("anna@20100704123456789");
    second.settings.values["UserNickname"] = std::string("anna");
    second.settings.values["StrokesHistory"] = history;
    second.launch();
    EXPECT_EQ(second.canvas().canvas_id, "anna@20100704123456789");
    EXPECT_EQ(second.canvas().user_nickname, "anna");
    EXPECT_EQ(second.canvas().strokes_history.size(), 1u);
    EXPECT_NE(second.canvas().display_bitmap.at(150, 300), OpaqueWhite);
    // Loading does not refresh the info line; the next stroke or layer change does.
    EXPECT_EQ(second.ui.info_label->text(), "Normal layer");
}

TEST(VelmorastraAppDelegate, LosingFocusHidingAndQuittingEachSave) {
    TestClient client;
    client.launch();
    client.ui.delegate->observeApplicationEvents();
    const int before = client.settings.synchronizations;
    QEvent deactivate(QEvent::WindowDeactivate);
    QApplication::sendEvent(client.ui.window.get(), &deactivate);
    EXPECT_EQ(client.settings.synchronizations, before + 1);
    // Hidden, the window is also no longer active: both events save, the same state.
    client.ui.window->hide();
    const int after_hide = client.settings.synchronizations;
    EXPECT_GE(after_hide, before + 2);
    client.ui.delegate->applicationWillTerminate();
    EXPECT_EQ(client.settings.synchronizations, after_hide + 1);
    EXPECT_TRUE(client.settings.values.count("CanvasID"));
    EXPECT_TRUE(client.settings.values.count("QueuedCommands"));
}

TEST(VelmorastraAppDelegate, NothingIsSavedBeforeTheStateWasLoaded) {
    TestClient client;
    client.settings.values["CanvasID"] = std::string("keep@20100704123456789");
    client.ui.delegate->applicationWillResignActive();
    client.ui.delegate->applicationWillTerminate();
    EXPECT_EQ(client.settings.synchronizations, 0);
    EXPECT_EQ(std::get<std::string>(client.settings.values["CanvasID"]), "keep@20100704123456789");
}

TEST(VelmorastraAppDelegate, ALinkOpensItsCanvas) {
    TestClient client;
    client.launch();
    const size_t sent = client.http.async_requests.size();
    EXPECT_TRUE(client.ui.delegate->application_handleOpenURL(
        std::string("velmorastra://anna%4020100704123456789")));
    EXPECT_EQ(client.canvas().canvas_id, "anna@20100704123456789");
    ASSERT_EQ(client.http.async_requests.size(), sent + 1);
    client.http.answer(sent, "", {404, std::nullopt}); // no picture of its layers
    ASSERT_EQ(client.http.async_requests.size(), sent + 2);
    EXPECT_EQ(client.http.lastBody(), "anna@20100704123456789: get_strokes: ");
    client.http.answer(sent + 1, "");
    while (client.scheduler.runIdle() > 0) {
    }
    EXPECT_EQ(client.ui.info_label->text(), "Normal layer · anna@20100704123456789");

    EXPECT_FALSE(client.ui.delegate->application_handleOpenURL(std::nullopt));
    // Too short, or not UTF-8 once decoded: handled, but no canvas changes.
    EXPECT_TRUE(client.ui.delegate->application_handleOpenURL(std::string("velmo")));
    EXPECT_TRUE(client.ui.delegate->application_handleOpenURL(std::string("velmorastra://%FF")));
    EXPECT_EQ(client.canvas().canvas_id, "anna@20100704123456789");
    EXPECT_EQ(client.http.async_requests.size(), sent + 2);
}
