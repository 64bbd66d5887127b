#include "mwcanvas/mw_canvas.h"

#include "identity/background_settings.h"

#include "support/counting_random.h"
#include "support/fake_clock.h"
#include "support/manual_scheduler.h"
#include "support/memory_journal_file.h"
#include "support/memory_settings.h"
#include "support/random_strokes.h"
#include "support/recording_outlets.h"
#include "support/scripted_event_stream.h"
#include "support/scripted_http.h"
#include "wire/command_parser.h"
#include "wire/command_text.h"

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <string>
#include <tuple>

namespace velmo::canvas {
namespace {

using mwcanvas::MWCanvas;

constexpr double Start = 1291201234.567;
constexpr int64_t Init = DefaultInitServerTime;

// A client process: its own canvas and fakes, on settings and a journal that outlive it, as
// files outlive a killed process. A live one holds an event stream, which names its user.
struct Client {
    Client(platform::SettingsStore& settings, testing::MemoryJournalFile& journal,
           testing::MemoryJournalFile* pictures = nullptr, float width = 320, bool live = false)
        : canvas(outlets,
                 {clock, http, scheduler, settings, random, live ? &events : nullptr, &journal,
                  pictures},
                 "http://127.0.0.1:8640/", "http://127.0.0.1:8640/upload.cgi") {
        canvas.setScreenSize(width, 480);
        canvas.clear_canvas();
        canvas.loadDefaults();
        started_from_picture = canvas.showKeptPicture();
        if (!started_from_picture) {
            canvas.redrawStrokes();
        }
    }

    int64_t draw(int x) {
        clock.advance(1);
        canvas.touchPressedAtX(x, 100);
        canvas.touchDraggedAtX(x + 10, 200);
        canvas.touchReleasedAtX(x + 10, 200);
        return static_cast<int64_t>(clock.now() * 1000.0);
    }
    // The server's echo of the own stroke drawn at `client_time`, with `others` after it.
    void echo(size_t request, int64_t client_time, int64_t stamp, const std::string& others = {}) {
        MWStroke s = canvas.strokes_history.at({Init, client_time});
        s.server_time = stamp;
        http.answer(request, wire::appendCommand(canvas.canvas_id, s) + "\n" + others);
        scheduler.runIdle();
    }

    testing::RecordingOutlets outlets;
    testing::FakeClock clock{Start};
    testing::ScriptedHttp http;
    testing::ManualScheduler scheduler;
    testing::CountingRandom random;
    testing::ScriptedEventStream events;
    MWCanvas canvas;
    bool started_from_picture = false;
};

identity::JournaledState stateOf(const MWCanvas& canvas) {
    return {canvas.canvas_id,
            canvas.strokes_history.map(),
            {canvas.sync_agent.queued_commands.begin(), canvas.sync_agent.queued_commands.end()}};
}

// A full save keeps an unconfirmed stroke with its own server time, 0, which it loads under.
identity::JournaledState afterFullSave(identity::JournaledState state) {
    StrokeMap history;
    for (auto& [key, stroke] : state.strokes_history) {
        history[{key.first == Init ? 0 : key.first, key.second}] = stroke;
    }
    state.strokes_history = std::move(history);
    return state;
}

std::string otherStrokeLine(const std::string& canvas_id, int64_t stamp, int64_t client_time) {
    MWStroke s;
    s.server_time = stamp;
    s.client_time = client_time;
    s.user_name = "bob@20101201000000000";
    s.pen_properties = defaultPen(0.001f);
    s.points_x = {1000, 5000};
    s.points_y = {1000, 5000};
    return wire::appendCommand(canvas_id, s) + "\n";
}

// A killed client (no saveDefaults) comes back with the state it had, as a full save would
// have kept it: the canvas it had named, every stroke drawn, confirmed, undone or received,
// and the queue.
TEST(MWCanvasJournal, AKilledClientComesBackWithTheCanvasHistoryAndQueueItHad) {
    testing::MemorySettings settings;
    testing::MemoryJournalFile journal;
    identity::JournaledState before;
    std::string canvas_id;
    {
        Client first(settings, journal);
        EXPECT_EQ(settings.synchronizations, 1) << "the start saves the keys it needs";
        const int64_t a = first.draw(10);
        canvas_id = first.canvas.canvas_id;
        EXPECT_FALSE(canvas_id.empty());
        const int64_t b = first.draw(50);
        first.draw(90);
        first.echo(0, a, 1291201300000, otherStrokeLine(canvas_id, 1291201300001, 7));
        first.echo(1, b, 1291201300002);
        first.canvas.undoOneStroke(); // the third, unconfirmed: its delete joins the queue
        first.draw(130);
        first.http.fail(2); // the third's append stays at the head
        before = stateOf(first.canvas);
        EXPECT_EQ(before.strokes_history.size(), 4u);
        EXPECT_EQ(before.queued_commands.size(), 3u);
        first.scheduler.tick();
        EXPECT_GE(journal.syncs, 1) << "on permanent storage within the timer's second";
        EXPECT_EQ(journal.synced, journal.contents.size());
        before = stateOf(first.canvas);
        // One more write than at the start: the new user ID's key, once; none per stroke.
        EXPECT_EQ(settings.synchronizations, 2) << "no full save per stroke";
    }
    // Live: its stream makes the new run's user ID at the start, whose key is saved at once.
    Client second(settings, journal, nullptr, 320, true);
    EXPECT_EQ(stateOf(second.canvas), afterFullSave(before));
    EXPECT_EQ(second.canvas.canvas_id, canvas_id);
    // The queue goes with the key its user ID had in the killed process, or the server, which
    // bound the name to that key, would refuse it; so does the key kept on disk.
    second.scheduler.tick();
    ASSERT_FALSE(second.http.async_requests.empty());
    const platform::HttpRequest& resent = second.http.async_requests.back().request;
    const std::string user = wire::commandUserName(resent.body);
    ASSERT_FALSE(user.empty());
    bool keyed = false;
    for (const auto& [name, value] : resent.headers) {
        keyed = keyed || (name == "Velmorastra-Key" && value.starts_with(user + " "));
    }
    EXPECT_TRUE(keyed) << resent.body;
    identity::UserKeys on_disk(second.random);
    on_disk.load(settings);
    EXPECT_TRUE(on_disk.header(user)) << "the start kept the key of the queue's user";

    // A lifecycle save writes none of it again: the journal goes on.
    const std::string journaled = journal.contents;
    EXPECT_TRUE(journaled.starts_with(identity::journalHeader(1)));
    second.canvas.saveDefaults();
    EXPECT_EQ(journal.contents, journaled);
    EXPECT_FALSE(settings.values.contains("StrokesHistory"));
    // A full save folds it in, and the journal starts afresh after what it holds.
    second.canvas.saveAll();
    EXPECT_EQ(journal.contents, identity::journalHeader(2));
    EXPECT_EQ(std::get<std::string>(settings.values.at("JournalGeneration")), "1");
    testing::MemoryJournalFile empty;
    testing::MemorySettings copy = settings;
    Client third(copy, empty);
    EXPECT_EQ(stateOf(third.canvas), afterFullSave(before));
}

TEST(MWCanvasJournal, ACanvasSwitchAndItsFetchedStrokesSurviveAKill) {
    testing::MemorySettings settings;
    testing::MemoryJournalFile journal;
    identity::JournaledState before;
    {
        Client first(settings, journal);
        first.draw(10);
        first.canvas.setCanvasID("bob@20101201000000000");
        first.http.answer(*first.http.open("/layers/"), "", {404, std::nullopt});
        first.http.answer(*first.http.newest(": get_strokes: "),
                          otherStrokeLine("bob@20101201000000000", 1291201300001, 7) +
                              otherStrokeLine("bob@20101201000000000", 1291201300002, 8));
        while (first.scheduler.runIdle() > 0) {
        }
        before = stateOf(first.canvas);
        EXPECT_EQ(before.strokes_history.size(), 2u);
    }
    Client second(settings, journal);
    EXPECT_EQ(stateOf(second.canvas), afterFullSave(before));
}

TEST(MWCanvasJournal, AJournalCutShortByACrashLoadsTheStateBeforeTheCut) {
    testing::MemorySettings settings;
    testing::MemoryJournalFile journal;
    identity::JournaledState after_one;
    {
        Client first(settings, journal);
        first.draw(10);
        after_one = stateOf(first.canvas);
        first.draw(50);
    }
    // The second stroke's records were being written when the process died.
    journal.contents.resize(journal.contents.size() - 20);
    Client second(settings, journal);
    EXPECT_EQ(stateOf(second.canvas), afterFullSave(after_one));
    // The cut-off tail is gone with the fold, so what is written next reads back.
    second.draw(90);
    const identity::JournaledState now = stateOf(second.canvas);
    Client third(settings, journal);
    EXPECT_EQ(stateOf(third.canvas), afterFullSave(now));
}

// A full save made on the settings' own thread while strokes go on being drawn: a process
// that dies before or after the journal starts afresh comes back with all of them.
TEST(MWCanvasJournal, AFoldInTheBackgroundLosesNothingWhereverTheProcessDies) {
    testing::MemorySettings file;
    testing::MemoryJournalFile journal;
    identity::BackgroundSettings settings(file);
    Client first(settings, journal);
    const int64_t drawn_first = first.draw(10);
    first.draw(50);
    first.canvas.saveAll();
    const int64_t drawn_meanwhile = first.draw(90); // while the fold may be under way
    settings.flush();
    const identity::JournaledState now = afterFullSave(stateOf(first.canvas));
    EXPECT_EQ(std::get<std::vector<std::string>>(file.values.at("StrokesHistory")).size(), 2u);
    auto cameBackWith = [&] {
        testing::MemorySettings file_copy = file;
        testing::MemoryJournalFile journal_copy = journal;
        Client back(file_copy, journal_copy);
        return stateOf(back.canvas);
    };
    EXPECT_EQ(cameBackWith(), now) << "died before the journal started afresh";
    first.scheduler.tick();
    EXPECT_TRUE(journal.contents.starts_with(identity::journalHeader(2)));
    EXPECT_NE(journal.contents.find(std::to_string(drawn_meanwhile)), std::string::npos);
    EXPECT_EQ(journal.contents.find(std::to_string(drawn_first)), std::string::npos)
        << "the new journal holds only what came after the fold";
    EXPECT_EQ(cameBackWith(), now) << "died after";
    first.draw(130);
    EXPECT_EQ(cameBackWith(), afterFullSave(stateOf(first.canvas)));
    // Echoes of strokes the fold kept unconfirmed take their place: no stroke twice.
    first.echo(0, drawn_first, 1291201300000);
    EXPECT_EQ(first.canvas.strokes_history.size(), 4u);
    EXPECT_EQ(cameBackWith(), afterFullSave(stateOf(first.canvas)));
    first.canvas.saveAll();
    settings.flush();
    EXPECT_EQ(cameBackWith(), afterFullSave(stateOf(first.canvas)));
}

TEST(MWCanvasJournal, ALongJournalIsFoldedIntoTheSettingsByTheTimer) {
    testing::MemorySettings settings;
    testing::MemoryJournalFile journal;
    Client client(settings, journal);
    const int saves = settings.synchronizations;
    for (size_t i = 0; i < MWCanvas::JournalFoldRecords; ++i) {
        client.canvas.sync_agent.update_thumbnail("http://127.0.0.1:8640/images/x.png");
    }
    client.scheduler.tick();
    EXPECT_EQ(settings.synchronizations, saves + 1);
    EXPECT_EQ(journal.contents, identity::journalHeader(2));
}

// A long history keeps the picture of its layers at quit, and the next start shows it instead of
// painting every stroke, but only for exactly the strokes it was made of.
TEST(MWCanvasJournal, ALongHistoryStartsFromItsKeptPictureWhileItHoldsTheSameStrokes) {
    testing::MemorySettings file;
    testing::MemoryJournalFile journal;
    testing::MemoryJournalFile pictures;
    identity::BackgroundSettings settings(file);
    Client first(settings, journal, &pictures);
    const int64_t own = first.draw(10);
    testing::HandStrokes hand(3, 320, 480);
    std::string others;
    for (size_t i = 0; i < MWCanvas::KeptPictureStrokes; ++i) {
        MWStroke s = hand.next();
        s.server_time = 1291201300001 + static_cast<int64_t>(i);
        s.client_time = s.server_time;
        others += wire::appendCommand(first.canvas.canvas_id, s) + "\n";
    }
    first.echo(0, own, 1291201300000, others);
    while (first.scheduler.runIdle() > 0) {
    }
    ASSERT_EQ(first.canvas.strokes_history.size(), MWCanvas::KeptPictureStrokes + 1);
    // The quit's fold ends after the client has looked for it the last time.
    std::promise<void> go;
    settings.perform([gate = go.get_future().share()](platform::SettingsStore&) { gate.wait(); });
    first.canvas.saveAll();
    first.canvas.keepPicture();
    first.canvas.keepPicture();
    go.set_value();
    settings.flush();
    EXPECT_EQ(pictures.replacements, 1) << "kept once";

    auto startAgain = [&](float width = 320) {
        settings.flush();
        auto copy = std::make_unique<testing::MemorySettings>(file);
        auto journal_copy = std::make_unique<testing::MemoryJournalFile>(journal);
        auto client = std::make_shared<Client>(*copy, *journal_copy, &pictures, width);
        const LayerSurfaces shown = client->canvas.layer_bitmap;
        client->canvas.redrawStrokes();
        EXPECT_EQ(shown, client->canvas.layer_bitmap) << "as a replay paints them";
        return std::tuple(client->started_from_picture, std::move(copy), std::move(journal_copy),
                          client);
    };
    const auto [from_picture, settings_then, journal_then, client] = startAgain();
    EXPECT_TRUE(from_picture);
    // That fold was never taken up by the journal: the next start drops the part the settings
    // hold.
    ASSERT_GT(journal.contents.size(), MWCanvas::MostRewrittenBytes);
    EXPECT_TRUE(journal_then->contents.starts_with(identity::journalHeader(2)));
    EXPECT_LT(journal_then->contents.size(), 1000u);
    EXPECT_EQ(stateOf(client->canvas), afterFullSave(stateOf(first.canvas)));
    // Strokes after the picture's are painted over it.
    const int64_t later = first.draw(60);
    first.echo(1, later, 1291201400000, otherStrokeLine(first.canvas.canvas_id, 1291201400001, 9));
    EXPECT_TRUE(std::get<0>(startAgain()));
    // Not for another size, another set of strokes up to it, or a file it cannot read.
    EXPECT_FALSE(std::get<0>(startAgain(300)));
    first.canvas.undoOneStroke(); // the later stroke: the picture still stands
    EXPECT_TRUE(std::get<0>(startAgain()));
    first.canvas.undoOneStroke();
    EXPECT_FALSE(std::get<0>(startAgain())) << "a stroke the picture holds is gone";
    first.canvas.keepPicture();
    settings.flush();
    EXPECT_EQ(pictures.replacements, 2);
    EXPECT_TRUE(std::get<0>(startAgain()));
    for (const size_t cut : {size_t{10}, pictures.contents.size() / 2}) {
        const std::string whole = pictures.contents;
        pictures.contents.resize(cut);
        EXPECT_FALSE(std::get<0>(startAgain()));
        pictures.contents = whole;
    }
}

} // namespace
} // namespace velmo::canvas
