#include "wire/command_parser.h"

#include "wire/command_text.h"

#include <gtest/gtest.h>

namespace velmo::wire {
namespace {

constexpr const char* Canvas = "public@20101201095959123";

canvas::MWStroke stroke(size_t points) {
    canvas::MWStroke s;
    s.client_time = 1291201234567;
    s.user_name = "public@20101201100000001";
    s.pen_properties = {static_cast<int32_t>(0xFF000000u), 2999, 128};
    for (size_t i = 0; i < points; ++i) {
        s.points_x.push_back(static_cast<int32_t>(i));
        s.points_y.push_back(-static_cast<int32_t>(i));
    }
    return s;
}

const Command& command(const std::variant<Command, CommandError>& parsed) {
    EXPECT_TRUE(std::holds_alternative<Command>(parsed))
        << std::get_if<CommandError>(&parsed)->message;
    static const Command none;
    const Command* c = std::get_if<Command>(&parsed);
    return c ? *c : none;
}

int errorStatus(const std::variant<Command, CommandError>& parsed) {
    const auto* e = std::get_if<CommandError>(&parsed);
    return e ? e->status : 0;
}

TEST(CommandParser, ReadsEveryCommandTheClientBuilds) {
    const auto append = parseCommand(wire::appendCommand(Canvas, stroke(2)));
    EXPECT_EQ(command(append).kind, CommandKind::Append);
    EXPECT_EQ(command(append).canvas_id, Canvas);
    EXPECT_EQ(command(append).stroke, stroke(2));

    const auto poll = parseCommand(wire::appendCommand(Canvas, stroke(0)));
    EXPECT_EQ(command(poll).kind, CommandKind::Append);
    EXPECT_TRUE(command(poll).stroke.points_x.empty());

    const auto erase = parseCommand(wire::deleteCommand(Canvas, stroke(5)));
    EXPECT_EQ(command(erase).kind, CommandKind::Delete);
    EXPECT_EQ(command(erase).stroke.client_time, 1291201234567);
    EXPECT_EQ(command(erase).stroke.user_name, "public@20101201100000001");

    EXPECT_EQ(command(parseCommand(wire::getStrokesCommand(Canvas))).kind, CommandKind::GetStrokes);

    const auto search = parseCommand(wire::searchCanvasListCommand(Canvas, "anna"));
    EXPECT_EQ(command(search).kind, CommandKind::SearchCanvasList);
    EXPECT_EQ(command(search).text, "anna");
    EXPECT_EQ(command(parseCommand(wire::searchCanvasListCommand(Canvas, ""))).text, "");

    const auto thumb = parseCommand(wire::updateThumbnailCommand(Canvas, "http://i.example/a.png"));
    EXPECT_EQ(command(thumb).kind, CommandKind::UpdateThumbnail);
    EXPECT_EQ(command(thumb).text, "http://i.example/a.png");
    const auto full = parseCommand(wire::updateFullimageCommand(Canvas, "https://i.example/b.png"));
    EXPECT_EQ(command(full).kind, CommandKind::UpdateFullimage);
    EXPECT_EQ(command(full).text, "https://i.example/b.png");
}

TEST(CommandParser, ReadsAStrokeInProgressAndRefusesAMalformedOne) {
    StrokeProgress progress;
    progress.user_name = "public@20101201100000001";
    progress.stroke = 1291201234567;
    progress.from = 4;
    progress.at = 1291201234999;
    progress.pen = canvas::defaultPen(ServerPixelScale);
    progress.layer = 1;
    progress.points_x = {10, 20};
    progress.points_y = {-5, 7};
    const auto parsed = parseCommand(progressCommand(Canvas, progress));
    EXPECT_EQ(command(parsed).kind, CommandKind::Progress);
    EXPECT_EQ(command(parsed).canvas_id, Canvas);
    EXPECT_EQ(command(parsed).progress, progress);
    EXPECT_EQ(commandUserName(progressCommand(Canvas, progress)), "");

    StrokeProgress cancel;
    cancel.user_name = progress.user_name;
    cancel.stroke = progress.stroke;
    cancel.cancel = true;
    cancel.pen = progress.pen;
    EXPECT_EQ(command(parseCommand(progressCommand(Canvas, cancel))).progress, cancel);

    EXPECT_EQ(errorStatus(parseCommand(std::string(Canvas) + ": progress: stroke:1 cancel")), 400);
    EXPECT_EQ(errorStatus(parseCommand(std::string(Canvas) + ": progress: user_name:a@1 stroke:1 "
                                                             "from:0 at:1 points:")),
              400);
    EXPECT_EQ(errorStatus(parseCommand(std::string(Canvas) +
                                       ": progress: " + std::string(MaxProgressText + 1, ' '))),
              400);
}

TEST(CommandParser, AppendsAndDeletesNameTheirUserTheOthersNone) {
    const struct {
        std::string body;
        const char* user;
    } cases[] = {
        {appendCommand(Canvas, stroke(2)), "public@20101201100000001"},
        {appendCommand(Canvas, stroke(0)), "public@20101201100000001"},
        {deleteCommand(Canvas, stroke(1)), "public@20101201100000001"},
        {getStrokesCommand(Canvas), ""},
        {searchCanvasListCommand(Canvas, "public@20101201100000001"), ""},
        {updateThumbnailCommand(Canvas, "http://i.example/a.png"), ""},
        {"no command at all", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(commandUserName(c.body), c.user) << c.body;
    }
}

TEST(CommandParser, RefusesWhatBreaksALimit) {
    const struct {
        std::string body;
        int status;
    } cases[] = {
        {"", 400},
        {"no separator at all", 400},
        {": append:  points:", 400},                      // empty canvas ID
        {std::string(257, 'c') + ": get_strokes: ", 400}, // ID too long
        {"two words: get_strokes: ", 400},                // space in the ID
        {"ctl\x01id: get_strokes: ", 400},                // control byte
        {"id: append", 400},                              // no ":" after the word
        {"id: frobnicate: x", 400},                       // unknown word
        {"id: append:  user_name:" + std::string(257, 'u') + " points:", 400},
        {"id: append:  user_name:a\x1b[31m points:", 400},
        {"id: search_canvas_list: nickname:" + std::string(257, 'n'), 400},
        {"id: search_canvas_list: anna", 400},
        {"id: update_thumbnail: url:ftp://x/y.png", 400},
        {"id: update_thumbnail: url:javascript:alert(1)", 400},
        {"id: update_thumbnail: url:http://x/y z.png", 400},
        {"id: update_thumbnail: url:http://x/\ny.png", 400},
        {"id: update_fullimage: url:http://" + std::string(2048, 'x'), 400},
        {"id: update_fullimage: http://x/y.png", 400},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(errorStatus(parseCommand(c.body)), c.status) << c.body;
    }
}

TEST(CommandParser, AllowsLimitsExactlyAndRefusesOneMore) {
    EXPECT_EQ(errorStatus(parseCommand(wire::appendCommand(Canvas, stroke(100000)))), 0);
    EXPECT_EQ(errorStatus(parseCommand(wire::appendCommand(Canvas, stroke(100001)))), 413);
    EXPECT_EQ(errorStatus(parseCommand(std::string(256, 'c') + ": get_strokes: ")), 0);
    const std::string url = "http://" + std::string(2048 - 7, 'x');
    EXPECT_EQ(errorStatus(parseCommand(wire::updateThumbnailCommand(Canvas, url))), 0);
    EXPECT_EQ(errorStatus(parseCommand(wire::updateThumbnailCommand(Canvas, url + "y"))), 400);
}

TEST(CommandParser, CanvasIdEndsAtTheFirstColonSpace) {
    const auto parsed = parseCommand("a:b@1: get_strokes: ");
    EXPECT_EQ(command(parsed).canvas_id, "a:b@1");
}

} // namespace
} // namespace velmo::wire
