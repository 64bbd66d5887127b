#include "sync/progress_board.h"

#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/recording_outlets.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace velmo::sync {
namespace {

using Marker = platform::CanvasOutlets::PenMarker;

const char* const Ann = "ann@20101201095959123";
const char* const Bob = "bob@home@20101201095959456";
const char* const Me = "me@20101201095959789";

class ProgressBoardTest : public ::testing::Test {
protected:
    ProgressBoardTest() {
        board.setOwnUser(Me);
        board.setPixelScale(0.5f);
    }

    static wire::StrokeProgress progress(const std::string& user, int64_t stroke, uint32_t from,
                                         std::vector<int32_t> xs) {
        wire::StrokeProgress p;
        p.user_name = user;
        p.stroke = stroke;
        p.from = from;
        p.at = stroke + 100;
        p.pen = canvas::defaultPen(0.5f);
        p.pen.color = static_cast<int32_t>(0xFF102030u);
        p.layer = 1;
        p.points_y.assign(xs.size(), 7);
        p.points_x = std::move(xs);
        return p;
    }
    static wire::StrokeProgress cancelOf(const std::string& user, int64_t stroke) {
        wire::StrokeProgress p;
        p.user_name = user;
        p.stroke = stroke;
        p.cancel = true;
        return p;
    }
    std::vector<int32_t> shownPoints(const std::string& user, int64_t stroke) const {
        const auto it = shown.find({user, stroke});
        return it == shown.end() ? std::vector<int32_t>{} : it->second.points_x;
    }

    testing::ManualScheduler scheduler;
    testing::FakeClock clock;
    testing::RecordingOutlets outlets;
    std::map<canvas::ProgressKey, canvas::MWStroke> shown;
    ProgressBoard board{scheduler,
                        clock,
                        outlets,
                        {[this](const canvas::ProgressKey& key, const canvas::MWStroke& stroke) {
                             shown[key] = stroke;
                         },
                         [this](const canvas::ProgressKey& key) { shown.erase(key); }}};
};

TEST_F(ProgressBoardTest, BatchesJoinReplaceFromTheirStartAndBridgeGaps) {
    board.progressArrived(progress(Ann, 1000, 0, {1, 2, 3}));
    ASSERT_EQ(shown.size(), 1u);
    const canvas::MWStroke& stroke = shown.at({Ann, 1000});
    EXPECT_EQ(stroke.user_name, Ann);
    EXPECT_EQ(stroke.layer, 1);
    EXPECT_EQ(stroke.pen_properties.color, static_cast<int32_t>(0xFF102030u));
    EXPECT_EQ(stroke.points_y, (std::vector<int32_t>{7, 7, 7}));
    const struct {
        uint32_t from;
        std::vector<int32_t> points;
        std::vector<int32_t> held;
    } cases[] = {
        {3, {4, 5}, {1, 2, 3, 4, 5}},                // the next batch
        {4, {40, 50, 60}, {1, 2, 3, 4, 40, 50, 60}}, // a batch sent again from further back
        {0, {9}, {9}},                               // from the start
        {5, {6, 7}, {9, 6, 7}},                      // a batch lost on the way: joined on
    };
    for (const auto& c : cases) {
        board.progressArrived(progress(Ann, 1000, c.from, c.points));
        EXPECT_EQ(shownPoints(Ann, 1000), c.held) << c.from;
        EXPECT_EQ(shown.at({Ann, 1000}).points_y.size(), c.held.size());
    }
    // A marker at the newest point, in pixels, named by the nickname, in the pen's colour.
    ASSERT_FALSE(outlets.pen_markers.empty());
    EXPECT_EQ(outlets.pen_markers.back(), (std::vector<Marker>{{"ann", 3.5f, 3.5f, 0xFF102030u}}));
    // Another stroke of the same drawer, and another drawer, are held beside it.
    board.progressArrived(progress(Ann, 2000, 0, {1}));
    board.progressArrived(progress(Bob, 1000, 0, {8, 10}));
    EXPECT_EQ(board.strokesInProgress(), 3u);
    EXPECT_EQ(outlets.pen_markers.back().size(), 3u);
    EXPECT_EQ(outlets.pen_markers.back()[2].nickname, "bob@home");
}

TEST_F(ProgressBoardTest, StrokesGoOnCancelFinishedStrokeLeaveAndSilence) {
    board.progressArrived(progress(Ann, 1000, 0, {1, 2}));
    board.progressArrived(progress(Ann, 3000, 0, {1, 2}));
    board.progressArrived(progress(Bob, 1000, 0, {1, 2}));
    board.progressArrived(progress(Bob, 2000, 0, {1, 2}));
    ASSERT_EQ(shown.size(), 4u);

    // A cancel.
    board.progressArrived(cancelOf(Bob, 2000));
    EXPECT_FALSE(shown.contains({Bob, 2000}));
    board.progressArrived(cancelOf(Bob, 7777)); // unknown: nothing
    EXPECT_EQ(shown.size(), 3u);

    // The finished stroke, released after it began: the strokes of that drawer up to then go.
    canvas::MWStroke finished;
    finished.user_name = Ann;
    finished.client_time = 1500;
    board.strokeArrived(finished);
    EXPECT_FALSE(shown.contains({Ann, 1000}));
    EXPECT_TRUE(shown.contains({Ann, 3000}));
    // A late batch of the finished stroke does not bring it back.
    board.progressArrived(progress(Ann, 1000, 2, {3}));
    EXPECT_FALSE(shown.contains({Ann, 1000}));
    // Another drawer's stroke of the same time stays.
    EXPECT_TRUE(shown.contains({Bob, 1000}));

    // The drawer leaves.
    board.userJoined(Bob);
    board.userLeft(Bob);
    EXPECT_FALSE(shown.contains({Bob, 1000}));
    EXPECT_EQ(shown.size(), 1u);

    // Silence: 3 s without a word.
    clock.advance(2.0);
    board.progressArrived(progress(Bob, 5000, 0, {1, 2}));
    clock.advance(1.2);
    scheduler.tick();
    EXPECT_FALSE(shown.contains({Ann, 3000}));
    EXPECT_TRUE(shown.contains({Bob, 5000}));
    clock.advance(1.0);
    scheduler.tick();
    EXPECT_TRUE(shown.contains({Bob, 5000}));
    clock.advance(0.9);
    scheduler.tick();
    EXPECT_TRUE(shown.empty());
    EXPECT_TRUE(outlets.pen_markers.back().empty());

    // Another canvas: nothing stays.
    board.progressArrived(progress(Bob, 6000, 0, {1, 2}));
    board.clear();
    EXPECT_TRUE(shown.empty());
    EXPECT_EQ(board.strokesInProgress(), 0u);
    EXPECT_TRUE(scheduler.timers.empty());
}

TEST_F(ProgressBoardTest, PresentUsersAreShownByNicknameInOrderWithoutThisClient) {
    board.userJoined(Ann);
    board.userJoined(Me);
    board.userJoined(Bob);
    board.userJoined(Ann); // again: no change
    using Lists = std::vector<std::vector<std::string>>;
    EXPECT_EQ(outlets.present_users, (Lists{{"ann"}, {"ann", "bob@home"}}));
    board.userLeft(Ann);
    board.userLeft("nobody@1");
    EXPECT_EQ(outlets.present_users.back(), std::vector<std::string>{"bob@home"});
    board.userJoined(Ann);
    EXPECT_EQ(outlets.present_users.back(), (std::vector<std::string>{"bob@home", "ann"}));
    // The stream failed: nobody is known to be there.
    board.presenceLost();
    EXPECT_TRUE(outlets.present_users.back().empty());
    EXPECT_TRUE(board.presentUsers().empty());
    // Own joins alone show nobody.
    const size_t shown_lists = outlets.present_users.size();
    board.userJoined(Me);
    EXPECT_EQ(outlets.present_users.size(), shown_lists);
    board.userJoined(Bob);
    board.clear();
    EXPECT_TRUE(outlets.present_users.back().empty());
}

} // namespace
} // namespace velmo::sync
