#include "app/bot/stroke_watch.h"

#include "app/bot/bot_options.h"
#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_settings.h"
#include "support/recording_outlets.h"
#include "support/scripted_http.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using namespace velmo;

namespace {

const char* const CanvasA = "anna@20101201095959123";

// Everything written to a FILE*, readable as a string.
class CapturedOutput {
public:
    CapturedOutput() : file(open_memstream(&buffer, &size)) {}
    ~CapturedOutput() {
        std::fclose(file);
        std::free(buffer);
    }
    std::string text() {
        std::fflush(file);
        return std::string(buffer, size);
    }
    std::FILE* file;

private:
    char* buffer = nullptr;
    size_t size = 0;
};

std::string line(const std::string& user, int64_t server_time, int64_t client_time) {
    canvas::MWStroke s;
    s.server_time = server_time;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = canvas::defaultPen(0.001f);
    s.points_x = {1000, 2000};
    s.points_y = {1000, 2000};
    return wire::appendCommand(CanvasA, s);
}

} // namespace

TEST(StrokeWatch, PrintsHowLongAfterItsDrawingEachStrokeOfAnotherUserArrived) {
    velmo::testing::RecordingOutlets outlets;
    velmo::testing::FakeClock clock{1291201234.000};
    velmo::testing::ScriptedHttp http;
    velmo::testing::ManualScheduler scheduler;
    velmo::testing::MemorySettings settings;
    velmo::testing::CountingRandom random;
    mwcanvas::MWCanvas canvas(outlets, {clock, http, scheduler, settings, random}, "http://x/", "");
    canvas.setScreenSize(320, 480);
    canvas.clear_canvas();
    canvas.canvas_id = CanvasA;
    CapturedOutput out;
    bot::StrokeWatch watch(canvas, clock, out.file);

    clock.advance(1.0);
    scheduler.tick();
    const std::string me = canvas.userID();
    http.answer(0, line("bob@20101201000000000", 10, 1291201234250) + "\n" +
                       line("bob@20101201000000000", 11, 1291201234900) + "\n" +
                       line("bob@20101201000000000", 9, 1291201233000) + "\n" + // before the watch
                       line(me, 12, 1291201234500));                            // the user's own
    clock.advance(0.25);
    scheduler.runIdle();
    EXPECT_EQ(watch.seen(), 2);
    EXPECT_EQ(out.text(), "stroke of bob@20101201000000000 drawn at 1291201234250 arrived after "
                          "1000.0 ms\n"
                          "stroke of bob@20101201000000000 drawn at 1291201234900 arrived after "
                          "350.0 ms\n");
    // The canvas still takes every reply in.
    EXPECT_EQ(canvas.strokes_history.size(), 4u);

    // A stroke sent again is counted once.
    scheduler.tick();
    http.answer(1, line("bob@20101201000000000", 11, 1291201234900));
    scheduler.runIdle();
    EXPECT_EQ(watch.seen(), 2);
}

TEST(StrokeWatch, WatchingDrawsNothingUnlessAskedTo) {
    const auto parse = [](QStringList args) {
        args.prepend("velmorastra-bot");
        return bot::parseBotOptions(args);
    };
    const auto watching = std::get<bot::BotOptions>(parse({"--watch", "200"}));
    EXPECT_EQ(watching.watch, 200);
    EXPECT_EQ(watching.strokes, 0);
    const auto both = std::get<bot::BotOptions>(parse({"--strokes", "5", "--watch", "2"}));
    EXPECT_EQ(both.strokes, 5);
    EXPECT_EQ(std::get<bot::BotOptions>(parse({})).watch, 0);
    EXPECT_EQ(std::get<bot::BotOptions>(parse({})).strokes, 10);
    EXPECT_TRUE(std::holds_alternative<std::string>(parse({"--watch", "0"})));
    EXPECT_TRUE(std::holds_alternative<std::string>(parse({"--watch", "x"})));
    EXPECT_EQ(std::get<bot::BotOptions>(parse({"--undo", "2"})).undo, 2);
    EXPECT_EQ(std::get<bot::BotOptions>(parse({})).undo, 0);
    EXPECT_TRUE(std::holds_alternative<std::string>(parse({"--undo", "-1"})));
    // Progress is sent only when asked for: a plain bot draws each stroke at once.
    EXPECT_TRUE(std::get<bot::BotOptions>(parse({"--progress", "--strokes", "3"})).progress);
    EXPECT_FALSE(std::get<bot::BotOptions>(parse({})).progress);
}
