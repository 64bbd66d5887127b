#pragma once

#include "store/append_queue.h"
#include "store/recent_strokes.h"
#include "store/sqlite/flush_queue.h"
#include "store/sqlite/journal_copy.h"
#include "store/sqlite/journal_part.h"
#include "store/sqlite/stroke_journal.h"
#include "store/string_hash.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace velmo::server {

class SqliteConnection;
class SqliteWriter;

// The append path of the SQLite store, on three threads of its own. The committer takes every
// append queued while it was busy, stamps them and writes them to the journal in one write;
// the flusher flushes the journal once for everything written meanwhile, publishes the
// strokes to memory (RecentStrokes) and answers them, so the next batch is built while the
// disk works. Once a journal file holds a few thousand strokes, the committer goes on in the
// other one while the copier copies them into the database in one transaction, sorted by
// canvas; then that file may start over. After a second without appends, whenever asked, and
// at the end, everything is copied at once.
//
// Locks: the committer's state (journal parts, stamps given, the copier's hand-over) is under
// one mutex of this class, which the committer, the copier and a Pause hold; the queues have
// their own. Where both are held, this class's mutex is taken before the writer's.
class AppendPipeline {
public:
    // Starts the threads. `journals` come from openJournals(), with nothing left to copy;
    // `lookup` is a read connection for the committer's lookups of resent strokes. The
    // writer and the memory must outlive the pipeline.
    AppendPipeline(SqliteWriter& writer, RecentStrokes& recent,
                   std::unique_ptr<SqliteConnection> lookup, OpenedJournals journals);
    // Answers every queued append, copies every stroke into the database (a failure leaves
    // them to the next start) and stops the threads.
    ~AppendPipeline();
    AppendPipeline(const AppendPipeline&) = delete;
    AppendPipeline& operator=(const AppendPipeline&) = delete;

    // Queues an append; its `done` is called on the flusher's thread once the stroke is
    // durable (with nothing when the journal refused it).
    void append(std::unique_ptr<PendingAppend> pending);

    // Copies every journaled stroke into the database now, so that reads of the canvases'
    // rows count every stroke. False when the database refused them; they stay journaled then.
    bool copyAllNow();

    // Holds the committer still for a change to the strokes table that must not cross an
    // append: while a Pause lives, no append is stamped or journaled.
    class Pause {
    public:
        explicit Pause(AppendPipeline& pipeline)
            : pipeline_(pipeline), lock_(pipeline.write_mutex_) {}
        // Copies every journaled stroke into the database, waiting for the copier first.
        // False when the database refused them; they stay journaled then.
        bool copyAll() { return pipeline_.copyAll(lock_); }
        // Waits until the flusher has published every batch committed so far.
        void waitUntilPublished();

    private:
        AppendPipeline& pipeline_;
        std::unique_lock<std::mutex> lock_;
    };
    Pause pause() { return Pause(*this); }

private:
    void commitLoop();
    void commitBatch(CommittedBatch& batch);
    void flushLoop();
    void copyLoop();
    // Hands the journal file being written to the copier, once it is large enough and the
    // copier is free, and goes on in the other file. Under write_mutex_.
    void handOverIfDue();
    // Copies every journaled stroke into the database, waiting for the copier first. False
    // when the database refused them; they stay journaled then. Under `write_lock`.
    bool copyAll(std::unique_lock<std::mutex>& write_lock);
    // insertJournaled() in a transaction of its own, holding the writer.
    bool copyToDatabase(const JournalPart& part);
    // After copyToDatabase: memory may drop these strokes, and resends look for them in the
    // database. Under write_mutex_.
    void copied(JournalPart& part);
    // Whether the strokes table may hold an earlier copy of the stroke. Under write_mutex_.
    bool mayHaveCopiedTwin(std::string_view canvas_id, const canvas::MWStroke& stroke);

    SqliteWriter& writer_;
    RecentStrokes& recent_;
    AppendQueue queue_;
    FlushQueue flush_;

    // The committer's state, under write_mutex_.
    std::mutex write_mutex_;
    std::unique_ptr<SqliteConnection> lookup_; // the committer's reads
    // Written and started over under write_mutex_; the flusher flushes them without it.
    std::vector<std::unique_ptr<StrokeJournal>> journals_;
    size_t writing_journal_ = 0;
    uint64_t next_sequence_;
    JournalPart writing_; // in journals_[writing_journal_]
    JournalPart sealed_;  // in the other file; only read while the copier copies it
    bool copying_ = false;
    bool copier_closing_ = false;
    std::condition_variable copy_wanted_;
    std::condition_variable copy_done_;
    // Per canvas appended to since the start: the newest stamp given (memory publishes a stamp
    // only once its stroke is flushed; the committer stamps ahead of that).
    std::unordered_map<std::string, int64_t, StringHash, std::equal_to<>> stamped_;
    // Per canvas and author, a client time no stroke in the strokes table exceeds: a new stroke
    // newer than that cannot be a resend of a copied one, and needs no lookup. Copies clear it.
    std::unordered_map<std::string, int64_t, StringHash, std::equal_to<>> newest_copied_;
    std::string author_key_; // reused, so a lookup allocates nothing
    // The records of the batch being committed. Its room is kept from batch to batch: a
    // fresh buffer grown for every batch cost a large allocation each time.
    std::string journal_records_;
    uint64_t committed_batches_ = 0;

    std::thread copier_;
    std::thread flusher_;
    std::thread committer_;
};

} // namespace velmo::server
