#pragma once

#include "canvas/canvas_engine.h"
#include "canvas/mw_stroke.h"
#include "platform/journal_file.h"
#include "sync/queue_listener.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::identity {

// The part of the saved state that changes while the user draws.
struct JournaledState {
    std::string canvas_id;
    canvas::StrokeMap strokes_history;
    std::deque<std::string> queued_commands;

    bool operator==(const JournaledState&) const = default;
};

// Every change of the journaled state between two full saves of the settings, one line each,
// appended to a journal file as it happens; so a killed process loses nothing that was
// recorded. A full save writes a new generation number into the settings and then starts the
// journal afresh under that number; a journal whose number is not the settings' own is
// already in them (a crash between the two writes) and is ignored.
//
// A line is "<FNV-1a of the record, 8 hex digits> <record>\n"; a record is a tag and its
// arguments, with backslash, line feed and carriage return escaped. The records of one change
// (a stroke and its command, a refetched canvas) are written at once, each but the last with
// a "+" before its tag, and count only together:
//   S <server time> <client time> <stroke text>   a stroke stored under that key
//   D <server time> <client time>                 the stroke under that key removed
//   E                                             the history emptied
//   C <canvas ID>                                 the canvas ID set
//   Q <command>                                   a command queued at the tail
//   P                                             the head of the queue retired
//   X                                             the queue emptied
//
// Recording starts with `restart` or `resume`; what is recorded before is dropped, since the
// state is then being loaded, not changed. UI thread only.
class SettingsJournal : public sync::QueueListener {
public:
    // The file must outlive the journal.
    explicit SettingsJournal(platform::JournalFile& journal_file) : file(journal_file) {}

    void strokeStored(const canvas::StrokeKey& key, const canvas::MWStroke& stroke);
    void strokeErased(const canvas::StrokeKey& key);
    void historyEmptied();
    void canvasIDSet(const std::string& canvas_id);
    void commandQueued(const std::string& command) override;
    void commandRetired() override;
    void queueReplaced(const std::deque<std::string>& commands) override;

    // While a batch is held, records collect in memory; they go out in one write when the
    // last batch ends.
    class Batch {
    public:
        explicit Batch(SettingsJournal& owner) : journal(owner) { ++journal.held; }
        ~Batch() {
            if (--journal.held == 0) {
                journal.writePending();
            }
        }
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        SettingsJournal& journal;
    };

    // After a full save under `generation`: the journal starts afresh, empty.
    bool restart(uint64_t generation);
    // Goes on with the journal of `generation` that the file holds, of which `valid` is the
    // part that reads back; the file is cut to it when it holds more.
    bool resume(uint64_t generation, std::string_view valid, bool file_holds_more);
    // After a full save that holds the first `folded` bytes of the journal: it starts afresh
    // under the next generation with the records that came after them.
    bool rotate(size_t folded);
    // What the file holds, as written by this journal: its header and records, in parts
    // shared with the copy (cheap to take on the UI thread; read anywhere).
    std::vector<std::shared_ptr<const std::string>> contents() const;
    uint64_t generation() const { return generation_; }
    size_t size() const { return written_bytes; }
    // Puts what was written on permanent storage, when anything was since the last time.
    void syncToDisk();
    // Records written since the journal started afresh.
    size_t recordCount() const { return records; }
    bool isRecording() const { return recording; }

private:
    void record(std::string_view tag, std::string_view arguments = {});
    void writePending();

    platform::JournalFile& file;
    std::vector<std::string> pending;
    int held = 0;
    bool recording = false;
    bool unsynced = false;
    size_t records = 0;
    // Parts are added to while this journal alone holds them.
    std::vector<std::shared_ptr<std::string>> written;
    size_t written_bytes = 0;
    uint64_t generation_ = 0;
    void startWritten(std::string bytes);
};

// The parts of a journal's contents, joined.
std::string joined(const std::vector<std::shared_ptr<const std::string>>& parts);

// The header line that opens a journal of `generation`.
std::string journalHeader(uint64_t generation);

struct JournalReplay {
    // False when the journal is empty, has no header, or belongs to another generation;
    // nothing was applied then.
    bool matched = false;
    size_t applied = 0;
    // The length of the part read: the header and the lines of every applied change.
    size_t valid_bytes = 0;
    // A line that was cut short or damaged ended the reading.
    bool damaged_tail = false;
};

// Applies the records of a journal of `generation` to `state`, in order. Reading stops at
// the first line without its line feed (a write cut short by a crash) or whose checksum or
// record does not hold, and a change whose last record was not read is not applied; so the
// state is always that after a prefix of the recorded changes.
// Strokes are decoded with the default pen of `pixel_scale`. Total: any bytes are accepted.
JournalReplay replayJournal(std::string_view contents, uint64_t generation, JournaledState& state,
                            float pixel_scale);

} // namespace velmo::identity
