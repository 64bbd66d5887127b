#include "faked_canvas.h"
#include "mwcanvas/mw_canvas.h"

#include "canvas/stroke_text.h"
#include "png/png_encoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmo::canvas {
namespace {

using mwcanvas::MWCanvas;
using mwcanvas::MWCanvasPlatform;

const char* const ServerURL = testing::CanvasServerURL;
const char* const UploadURL = testing::CanvasUploadURL;
constexpr double July4th2010 = 1278246896.789; // 2010-07-04 12:34:56.789 GMT

using StringList = std::vector<std::string>;

class MWCanvasIdentityTest : public ::testing::Test, protected testing::FakedCanvas {
protected:
    MWCanvasIdentityTest() : FakedCanvas(July4th2010) {}
    void setUpScreen(float width, float height) {
        canvas.setScreenSize(width, height);
        canvas.clear_canvas();
    }

    MWStroke strokeAt(int64_t server_time, int64_t client_time, const std::string& user) const {
        MWStroke s;
        s.server_time = server_time;
        s.client_time = client_time;
        s.user_name = user;
        s.pen_properties = defaultPen(canvas.geometry.pixel_scale);
        s.layer = static_cast<int32_t>(client_time % 3);
        s.points_x = {1000, 2000};
        s.points_y = {3000, static_cast<int32_t>(client_time)};
        return s;
    }
};

TEST_F(MWCanvasIdentityTest, MakesTheCanvasIDOnceAndKeepsIt) {
    EXPECT_EQ(canvas.user_nickname, "public");
    EXPECT_TRUE(canvas.canvas_id.empty());
    EXPECT_EQ(canvas.canvasID(), "public@20100704123456789");
    clock.advance(1);
    EXPECT_EQ(canvas.canvasID(), "public@20100704123456789");
    EXPECT_EQ(canvas.userID(), "public@20100704123457789");
}

TEST_F(MWCanvasIdentityTest, TheOutletsLearnEveryNewCanvasID) {
    EXPECT_EQ(canvas.canvasID(), "public@20100704123456789");
    EXPECT_EQ(outlets.shown_canvas_id, "public@20100704123456789");
    setUpScreen(320, 480);
    canvas.setCanvasID("anna@20100704123456789");
    EXPECT_EQ(outlets.shown_canvas_id, "anna@20100704123456789");
    // A new canvas gets its fresh ID at once (its strokes are fetched under it).
    clock.advance(1);
    canvas.setCanvasID("");
    EXPECT_EQ(canvas.canvas_id, "public@20100704123457789");
    EXPECT_EQ(outlets.shown_canvas_id, "public@20100704123457789");
    settings.values["CanvasID"] = std::string("bob@20100704123456789");
    canvas.loadDefaults();
    EXPECT_EQ(outlets.shown_canvas_id, "bob@20100704123456789");
}

TEST_F(MWCanvasIdentityTest, ANewNicknameRenewsTheUserIDButNotTheCanvasID) {
    const std::string canvas_id = canvas.canvasID();
    const std::string user_id = canvas.userID();
    clock.advance(1);
    canvas.setNickname("public");
    EXPECT_EQ(canvas.userID(), user_id);

    canvas.setNickname("anna");
    EXPECT_EQ(canvas.userID(), "anna@20100704123457789");
    EXPECT_EQ(canvas.canvasID(), canvas_id);
}

TEST_F(MWCanvasIdentityTest, TheInfoLineShowsTheLayerAndTheCanvasID) {
    setUpScreen(320, 480);
    canvas.setInfoLabel();
    EXPECT_EQ(outlets.info_text, "layer:0 ");
    canvas.canvas_id = "anna@20100704123456789";
    canvas.setLayerIndex(1);
    EXPECT_EQ(outlets.info_text, "layer:1 anna@20100704123456789");
}

TEST_F(MWCanvasIdentityTest, TheDateCodeComesFromTheCanvasID) {
    EXPECT_EQ(canvas.dateID(), "0hSboGx"); // names the canvas first
    EXPECT_EQ(canvas.canvas_id, "public@20100704123456789");
    canvas.canvas_id = "typed by hand";
    EXPECT_EQ(canvas.dateID(), std::nullopt);
}

TEST_F(MWCanvasIdentityTest, SavingThenLoadingGivesBackTheSameState) {
    setUpScreen(320, 480);
    canvas.setNickname("anna");
    canvas.canvas_id = "anna@20101201095959123";
    canvas.setSearchNickname("bob");
    for (int i = 0; i < 5; ++i) {
        const MWStroke s = strokeAt(1291201300000 + i, 100 + i, i % 2 ? "bob@1" : "anna@2");
        canvas.strokes_history[{s.server_time, s.client_time}] = s;
    }
    canvas.sync_agent.queued_commands = {"anna@20101201095959123: append:  client_time:1",
                                         "anna@20101201095959123: update_thumbnail: url:u"};
    const StrokeHistory history = canvas.strokes_history;
    canvas.saveDefaults();
    EXPECT_EQ(settings.synchronizations, 1);
    EXPECT_EQ(std::get<std::string>(settings.values.at("UserNickname")), "anna");
    EXPECT_EQ(std::get<std::string>(settings.values.at("SearchNickname")), "bob");
    EXPECT_EQ(std::get<StringList>(settings.values.at("StrokesHistory")).size(), 5u);
    EXPECT_EQ(std::get<StringList>(settings.values.at("StrokesHistory"))[0],
              stroke_to_text(history.begin()->second));

    testing::RecordingOutlets outlets2;
    testing::ManualScheduler scheduler2;
    MWCanvas next{{outlets2, clock, http, scheduler2, settings}, ServerURL, UploadURL};
    next.setScreenSize(320, 480);
    next.clear_canvas();
    next.loadDefaults();
    EXPECT_EQ(next.user_nickname, "anna");
    EXPECT_EQ(next.canvas_id, "anna@20101201095959123");
    EXPECT_EQ(next.search_nickname, "bob");
    EXPECT_EQ(outlets2.search_text, "bob");
    EXPECT_EQ(next.strokes_history, history);
    EXPECT_EQ(next.sync_agent.queued_commands, canvas.sync_agent.queued_commands);
    EXPECT_TRUE(next.user_id.empty());
    EXPECT_TRUE(http.async_requests.empty()); // nothing is sent by loading
}

TEST_F(MWCanvasIdentityTest, AnUnconfirmedStrokeIsSavedWithServerTimeZero) {
    setUpScreen(320, 480);
    const MWStroke s = strokeAt(0, 77, "anna@2");
    canvas.strokes_history[{canvas.InitServerTime, 77}] = s;
    canvas.saveDefaults();
    canvas.strokes_history.clear();
    canvas.loadDefaults();
    ASSERT_EQ(canvas.strokes_history.size(), 1u);
    EXPECT_EQ(canvas.strokes_history.begin()->first, (StrokeKey{0, 77}));
    EXPECT_EQ(canvas.strokes_history.begin()->second, s);
}

TEST_F(MWCanvasIdentityTest, TwoSavedStrokesWithOneKeyLoadAsTheLaterOne) {
    setUpScreen(320, 480);
    MWStroke first = strokeAt(5, 6, "a@1");
    MWStroke second = strokeAt(5, 6, "b@1");
    settings.setStringList("StrokesHistory",
                           {stroke_to_text(first), stroke_to_text(second), "not a stroke at all"});
    canvas.loadDefaults();
    ASSERT_EQ(canvas.strokes_history.size(), 2u);
    EXPECT_EQ(canvas.strokes_history.at({5, 6}).user_name, "b@1");
    EXPECT_EQ(canvas.strokes_history.count({0, 0}), 1u); // the undecodable text, as decoded
}

TEST_F(MWCanvasIdentityTest, AbsentKeysKeepTheFieldsOrEmptyTheContents) {
    canvas.setNickname("anna");
    canvas.canvas_id = "anna@20101201095959123";
    canvas.strokes_history[{1, 1}] = MWStroke{};
    canvas.sync_agent.queued_commands = {"x"};
    outlets.search_text = "old";
    canvas.loadDefaults();
    EXPECT_EQ(canvas.user_nickname, "anna");
    EXPECT_EQ(canvas.canvas_id, "anna@20101201095959123");
    EXPECT_TRUE(canvas.strokes_history.empty());
    EXPECT_TRUE(canvas.sync_agent.queued_commands.empty());
    EXPECT_EQ(outlets.search_text, "");
}

TEST_F(MWCanvasIdentityTest, AnEmptyCanvasIDIsSavedAndMakesANewOneAfterLoading) {
    canvas.saveDefaults();
    EXPECT_EQ(std::get<std::string>(settings.values.at("CanvasID")), "");
    canvas.canvas_id = "x@1";
    canvas.loadDefaults();
    EXPECT_TRUE(canvas.canvas_id.empty());
    EXPECT_EQ(canvas.canvasID(), "public@20100704123456789");
}

TEST_F(MWCanvasIdentityTest, PublishesBothPicturesAndRegistersThemOnSuccessOnly) {
    setUpScreen(320, 480);
    canvas.canvas_id = "anna@20101201095959123";
    http.scriptSync("http://i.example/full.png");
    http.scriptSync("http://i.example/thumb.png");
    canvas.generateFullImage();
    canvas.generateThumbnail();

    ASSERT_EQ(http.sync_requests.size(), 2u);
    const std::string full_png = *png::encodePng(canvas.display_bitmap);
    EXPECT_NE(http.sync_requests[0].body.find(full_png), std::string::npos);
    EXPECT_EQ(canvas.fullImageUrl(), "http://i.example/full.png");
    EXPECT_EQ(canvas.thumbnailUrl(), "http://i.example/thumb.png");
    ASSERT_EQ(canvas.sync_agent.queued_commands.size(), 2u);
    EXPECT_EQ(canvas.sync_agent.queued_commands[0],
              "anna@20101201095959123: update_fullimage: url:http://i.example/full.png");
    EXPECT_EQ(canvas.sync_agent.queued_commands[1],
              "anna@20101201095959123: update_thumbnail: url:http://i.example/thumb.png");

    // No network: both uploads fail, nothing changes and nothing is queued.
    canvas.generateFullImage();
    canvas.generateThumbnail();
    EXPECT_EQ(canvas.fullImageUrl(), "http://i.example/full.png");
    EXPECT_EQ(canvas.thumbnailUrl(), "http://i.example/thumb.png");
    EXPECT_EQ(canvas.sync_agent.queued_commands.size(), 2u);

    // Only the thumbnail succeeds.
    http.scriptSync("nothing here");
    http.scriptSync("http://i.example/thumb2.png");
    canvas.generateFullImage();
    canvas.generateThumbnail();
    EXPECT_EQ(canvas.fullImageUrl(), "http://i.example/full.png");
    EXPECT_EQ(canvas.thumbnailUrl(), "http://i.example/thumb2.png");
    ASSERT_EQ(canvas.sync_agent.queued_commands.size(), 3u);
    EXPECT_EQ(canvas.sync_agent.queued_commands[2],
              "anna@20101201095959123: update_thumbnail: url:http://i.example/thumb2.png");
}

TEST_F(MWCanvasIdentityTest, APictureOfACanvasWithoutAnIDNamesTheCanvas) {
    setUpScreen(768, 1024);
    http.scriptSync("http://i.example/t.png");
    canvas.generateThumbnail();
    EXPECT_EQ(canvas.canvas_id, "public@20100704123456789");
    ASSERT_EQ(canvas.sync_agent.queued_commands.size(), 1u);
    EXPECT_EQ(canvas.sync_agent.queued_commands[0],
              "public@20100704123456789: update_thumbnail: url:http://i.example/t.png");
    // The picture sent is the stretched display: 64 x 96 pixels.
    const std::string& body = http.sync_requests[0].body;
    const size_t ihdr = body.find("IHDR");
    ASSERT_NE(ihdr, std::string::npos);
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(body[ihdr + 4 + i]); };
    EXPECT_EQ(byte(3), 64);
    EXPECT_EQ(byte(7), 96);
}

} // namespace
} // namespace velmo::canvas
