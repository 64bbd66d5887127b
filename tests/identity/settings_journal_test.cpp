#include "identity/settings_journal.h"

#include "canvas/pen_properties.h"
#include "support/memory_journal_file.h"

#include <gtest/gtest.h>

#include <string>

namespace velmo::identity {
namespace {

using canvas::MWStroke;
using canvas::StrokeKey;

constexpr float Scale = 0.001f;
constexpr int64_t Init = canvas::DefaultInitServerTime;

MWStroke strokeAt(int64_t server_time, int64_t client_time, const std::string& user) {
    MWStroke s;
    s.server_time = server_time;
    s.client_time = client_time;
    s.user_name = user;
    s.pen_properties = canvas::defaultPen(Scale);
    s.layer = 1;
    s.points_x = {1000, 2000};
    s.points_y = {3000, 4000};
    return s;
}

// A journal recording into memory, with the state it describes kept beside it by hand.
struct Recording {
    Recording() { journal.restart(7); }
    testing::MemoryJournalFile file;
    SettingsJournal journal{file};
    JournaledState expected;

    JournaledState replayed(const std::string& contents, JournalReplay* result = nullptr) const {
        JournaledState state;
        const JournalReplay replay = replayJournal(contents, 7, state, Scale);
        if (result != nullptr) {
            *result = replay;
        }
        return state;
    }
};

TEST(SettingsJournal, AReplayGivesBackEveryChangeInOrder) {
    Recording r;
    // Odd bytes in IDs and commands must stay on their line.
    r.journal.canvasIDSet("a\\n@\n\r20101201095959123");
    r.expected.canvas_id = "a\\n@\n\r20101201095959123";
    const MWStroke own = strokeAt(0, 100, "anna@1");
    r.journal.strokeStored({Init, 100}, own);
    r.expected.strokes_history[{Init, 100}] = own;
    r.journal.commandQueued("cmd one\nwith a line feed");
    r.journal.commandQueued("cmd two \\");
    r.expected.queued_commands = {"cmd one\nwith a line feed", "cmd two \\"};
    // The echo moves the stroke to its server key and retires the command.
    r.journal.strokeErased({Init, 100});
    r.journal.strokeStored({1291201300000, 100}, strokeAt(1291201300000, 100, "anna@1"));
    r.journal.commandRetired();
    r.expected.strokes_history.clear();
    r.expected.strokes_history[{1291201300000, 100}] = strokeAt(1291201300000, 100, "anna@1");
    r.expected.queued_commands.pop_front();
    EXPECT_EQ(r.replayed(r.file.contents), r.expected);

    JournalReplay result;
    {
        const SettingsJournal::Batch batch(r.journal);
        r.journal.historyEmptied();
        r.journal.queueReplaced({"x", "y"});
        r.journal.strokeStored({Init, 5}, own);
        EXPECT_EQ(r.file.appends, 7) << "a batch writes when it ends";
    }
    EXPECT_EQ(r.file.appends, 8);
    r.expected.strokes_history = {{{Init, 5}, own}};
    r.expected.queued_commands = {"x", "y"};
    EXPECT_EQ(r.replayed(r.file.contents, &result), r.expected);
    EXPECT_TRUE(result.matched);
    EXPECT_FALSE(result.damaged_tail);
    EXPECT_EQ(result.applied, 12u);
    EXPECT_EQ(result.valid_bytes, r.file.contents.size());
    EXPECT_EQ(r.journal.recordCount(), 12u);

    // A batch counts whole or not at all: cut anywhere in its write, none of it is applied.
    const size_t batch_start = r.file.contents.rfind("+E");
    ASSERT_NE(batch_start, std::string::npos);
    JournaledState before_batch = r.expected;
    before_batch.strokes_history = {{{1291201300000, 100}, strokeAt(1291201300000, 100, "anna@1")}};
    before_batch.queued_commands = {"cmd two \\"};
    for (size_t cut = batch_start; cut < r.file.contents.size(); cut += 7) {
        EXPECT_EQ(r.replayed(r.file.contents.substr(0, cut), &result), before_batch) << cut;
        EXPECT_EQ(result.applied, 7u);
    }
}

TEST(SettingsJournal, ATornOrDamagedLineEndsTheReplayWithTheStateBeforeIt) {
    Recording r;
    r.journal.canvasIDSet("anna@20101201095959123");
    r.journal.commandQueued("first");
    const size_t intact = r.file.contents.size();
    r.journal.commandQueued("second");
    r.journal.commandRetired();
    const std::string whole = r.file.contents;
    JournaledState before_tail;
    before_tail.canvas_id = "anna@20101201095959123";
    before_tail.queued_commands = {"first"};

    // Cut at every byte of the last two records: the state is always the one before them or
    // after the first, never anything else.
    JournaledState after_second = before_tail;
    after_second.queued_commands.push_back("second");
    for (size_t cut = intact; cut < whole.size(); ++cut) {
        SCOPED_TRACE(cut);
        JournalReplay result;
        const JournaledState state = r.replayed(whole.substr(0, cut), &result);
        EXPECT_TRUE(state == before_tail || state == after_second);
        EXPECT_EQ(result.damaged_tail, cut != intact && whole[cut - 1] != '\n');
    }

    const struct {
        const char* what;
        std::string contents;
    } damaged[] = {
        {"a flipped byte", whole.substr(0, intact) + "X" + whole.substr(intact + 1)},
        {"a changed argument", whole.substr(0, intact + 11) + "S" + whole.substr(intact + 12)},
        {"no checksum", whole.substr(0, intact) + "Q second\n"},
        {"a wrong checksum", whole.substr(0, intact) + "00000000 P\n"},
    };
    for (const auto& d : damaged) {
        SCOPED_TRACE(d.what);
        JournalReplay result;
        EXPECT_EQ(r.replayed(d.contents, &result), before_tail);
        EXPECT_TRUE(result.damaged_tail);
        EXPECT_EQ(result.valid_bytes, intact);
    }
}

TEST(SettingsJournal, AJournalOfAnotherGenerationOrWithoutHeaderIsIgnored) {
    Recording r;
    r.journal.canvasIDSet("anna@20101201095959123");
    const struct {
        std::string contents;
        uint64_t generation;
    } cases[] = {
        {r.file.contents, 6},           {r.file.contents, 8},         {"", 7},
        {r.file.contents.substr(5), 7}, {"velmorastra-journal 7", 7}, // the header itself torn
    };
    for (const auto& c : cases) {
        JournaledState state;
        state.canvas_id = "kept";
        const JournalReplay result = replayJournal(c.contents, c.generation, state, Scale);
        EXPECT_FALSE(result.matched);
        EXPECT_EQ(result.applied, 0u);
        EXPECT_EQ(state.canvas_id, "kept");
    }
}

TEST(SettingsJournal, RecordsOnlyAfterARestartAndSyncsOnlyWhatWasWritten) {
    testing::MemoryJournalFile file;
    SettingsJournal journal(file);
    journal.commandQueued("loading, not a change");
    EXPECT_FALSE(journal.isRecording());
    EXPECT_EQ(file.appends, 0);

    ASSERT_TRUE(journal.restart(3));
    EXPECT_EQ(file.contents, journalHeader(3));
    journal.syncToDisk();
    EXPECT_EQ(file.syncs, 0) << "nothing to sync";
    journal.commandQueued("c");
    journal.syncToDisk();
    journal.syncToDisk();
    EXPECT_EQ(file.syncs, 1);
    EXPECT_EQ(file.synced, file.contents.size());

    // The fold: a new generation starts empty.
    ASSERT_TRUE(journal.restart(4));
    EXPECT_EQ(file.contents, journalHeader(4));
    EXPECT_EQ(journal.recordCount(), 0u);
}

} // namespace
} // namespace velmo::identity
