#include "faked_canvas.h"
#include "mwcanvas/mw_canvas.h"

#include "canvas/stroke_text.h"
#include "png/png_encoder.h"
#include "wire/command_text.h"
#include "wire/key_header.h"

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
    EXPECT_EQ(outlets.info_text, "Normal layer");
    canvas.canvas_id = "anna@20100704123456789";
    canvas.setLayerIndex(1);
    EXPECT_EQ(outlets.info_text, "Multiply layer · anna@20100704123456789");
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
        canvas.strokes_history.store({s.server_time, s.client_time}, s);
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
    MWCanvas next{outlets2, {clock, http, scheduler2, settings, random}, ServerURL, UploadURL};
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

// The user ID and key that a request proves, empty when it carries no key header.
std::pair<std::string, std::string> keyOf(const platform::HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
        if (name == wire::KeyHeaderName) {
            const auto header = wire::parseKeyHeader(value);
            EXPECT_TRUE(header) << value;
            return header ? std::make_pair(header->user_id, header->key)
                          : std::make_pair(std::string("?"), std::string());
        }
    }
    return {};
}

TEST_F(MWCanvasIdentityTest, EachUserIDGetsOneKeyWhichEveryCommandForItCarries) {
    setUpScreen(320, 480);
    canvas.canvas_id = "anna@20101201095959123";
    EXPECT_EQ(random.calls, 0);
    const std::string first = canvas.userID();
    EXPECT_EQ(canvas.userID(), first);
    EXPECT_EQ(random.calls, 1); // made with the ID, once

    // A stroke, the poll, an undo, the pictures and a fetch all carry it, one at a time.
    canvas.touchPressedAtX(10, 10);
    canvas.touchDraggedAtX(20, 20);
    canvas.touchReleasedAtX(20, 20);
    http.answer(0, "");
    canvas.polling();
    http.answer(1, "");
    canvas.undoOneStroke();
    http.answer(2, "");
    canvas.sync_agent.update_thumbnail("http://i.example/t.png");
    http.answer(3, "");
    canvas.sync_agent.update_fullimage("http://i.example/f.png");
    http.answer(4, "");
    http.scriptSync("");
    canvas.sync_agent.get_strokes();
    ASSERT_EQ(http.async_requests.size(), 5u);
    ASSERT_EQ(http.sync_requests.size(), 1u);
    std::vector<platform::HttpRequest> sent = {http.sync_requests[0]};
    for (const auto& pending : http.async_requests) {
        sent.push_back(pending.request);
    }
    const auto key = keyOf(sent[0]);
    EXPECT_EQ(key.first, first);
    EXPECT_EQ(key.second.size(), 16u);
    for (const platform::HttpRequest& request : sent) {
        EXPECT_EQ(keyOf(request), key) << request.body;
    }

    // A new nickname makes a new user ID with a key of its own; a stroke still queued under
    // the old ID when it changed goes with the old key.
    canvas.polling();
    canvas.touchPressedAtX(30, 30);
    canvas.touchReleasedAtX(30, 30);
    canvas.setNickname("bob");
    const std::string second = canvas.userID();
    http.answer(5, "");
    http.answer(6, "");
    canvas.polling();
    ASSERT_EQ(http.async_requests.size(), 8u);
    EXPECT_NE(http.async_requests[6].request.body.find("append"), std::string::npos);
    EXPECT_EQ(keyOf(http.async_requests[6].request), key);
    EXPECT_EQ(keyOf(http.async_requests[7].request).first, second);
    EXPECT_NE(keyOf(http.async_requests[7].request).second, key.second);
    EXPECT_EQ(random.calls, 2);
}

TEST_F(MWCanvasIdentityTest, KeysNeverGoToTheImageHost) {
    setUpScreen(320, 480);
    canvas.userID();
    http.scriptSync("http://i.example/t.png");
    canvas.generateThumbnail();
    ASSERT_EQ(http.sync_requests.size(), 1u);
    EXPECT_EQ(keyOf(http.sync_requests[0]), (std::pair<std::string, std::string>{}));
    ASSERT_EQ(http.async_requests.size(), 1u); // the registration goes to the canvas server
    EXPECT_EQ(keyOf(http.async_requests[0].request).first, canvas.userID());
}

TEST_F(MWCanvasIdentityTest, KeysOfQueuedCommandsAndOwnStrokesAreKeptAcrossARestart) {
    setUpScreen(320, 480);
    canvas.canvas_id = "anna@20101201095959123";
    // The server is away: the stroke stays queued when the client quits.
    canvas.touchPressedAtX(10, 10);
    canvas.touchReleasedAtX(10, 10);
    http.fail(0);
    const std::string user = canvas.userID();
    const auto key = keyOf(http.async_requests[0].request);
    ASSERT_EQ(key.first, user);
    canvas.saveDefaults();
    const auto saved = settings.stringList("UserKeys");
    ASSERT_TRUE(saved);
    EXPECT_EQ(saved->size(), 1u); // the current ID, which the queued stroke speaks for

    testing::RecordingOutlets outlets2;
    testing::ManualScheduler scheduler2;
    testing::ScriptedHttp http2;
    MWCanvas next{outlets2, {clock, http2, scheduler2, settings, random}, ServerURL, UploadURL};
    next.setScreenSize(320, 480);
    next.clear_canvas();
    next.loadDefaults();
    clock.advance(60);
    next.polling(); // sends the restored head
    ASSERT_EQ(http2.async_requests.size(), 1u);
    EXPECT_EQ(http2.async_requests[0].request.body, http.async_requests[0].request.body);
    EXPECT_EQ(keyOf(http2.async_requests[0].request), key);
    // The new run's user ID is another, with another key; the canvas's pictures go under the
    // earlier ID, which drew on it.
    EXPECT_NE(next.userID(), user);
    http2.answer(0, "");
    next.sync_agent.update_thumbnail("http://i.example/t.png");
    ASSERT_EQ(http2.async_requests.size(), 2u);
    EXPECT_EQ(keyOf(http2.async_requests[1].request), key);
    http2.answer(1, "");
    next.saveDefaults();
    EXPECT_EQ(settings.stringList("UserKeys")->size(), 2u);
    // On another canvas neither is needed any more.
    http2.scriptSync("");
    next.setCanvasID("bob@20101201095959123");
    next.saveDefaults();
    EXPECT_TRUE(settings.stringList("UserKeys")->empty());
}

TEST_F(MWCanvasIdentityTest, SettingsFromBeforeKeysLoadAndTheNextUserIDGetsOne) {
    setUpScreen(320, 480);
    // A file written before keys: a queued stroke of an earlier run, no "UserKeys".
    MWStroke old = strokeAt(0, 5, "anna@20101201000000001");
    settings.setString("CanvasID", "anna@20101201095959123");
    settings.setStringList("QueuedCommands", {wire::appendCommand("anna@20101201095959123", old)});
    canvas.loadDefaults();
    EXPECT_EQ(canvas.user_keys.size(), 0u);
    canvas.polling();
    ASSERT_EQ(http.async_requests.size(), 1u);
    EXPECT_EQ(keyOf(http.async_requests[0].request), (std::pair<std::string, std::string>{}));
    http.answer(0, "");
    canvas.polling(); // the poll of the new user ID, which has a key
    ASSERT_EQ(http.async_requests.size(), 2u);
    EXPECT_EQ(keyOf(http.async_requests[1].request).first, canvas.userID());
    EXPECT_EQ(canvas.user_keys.size(), 1u);
}

TEST_F(MWCanvasIdentityTest, AnUnconfirmedStrokeIsSavedWithServerTimeZero) {
    setUpScreen(320, 480);
    const MWStroke s = strokeAt(0, 77, "anna@2");
    canvas.strokes_history.store({canvas.InitServerTime, 77}, s);
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
    canvas.strokes_history.store({1, 1}, MWStroke{});
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
