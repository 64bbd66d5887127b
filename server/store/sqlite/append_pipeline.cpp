#include "store/sqlite/append_pipeline.h"

#include "canvas/stroke_text.h"
#include "store/sqlite/sqlite_db.h"

#include <algorithm>
#include <chrono>
#include <limits>
#include <stdexcept>
#include <utility>

namespace velmo::server {

namespace {

// The journal is copied into the database once it holds this many strokes or bytes: each copy
// writes the index pages of a canvas once for all of that canvas's strokes in it, so larger
// copies cost less per stroke, but keep more strokes in memory meanwhile and leave more for a
// start to copy after a crash.
constexpr size_t CopyCount = 4096;
constexpr size_t CopyBytes = 8 << 20;
// ... and once the appends pause this long, so that the database is complete when nobody
// draws.
constexpr auto CopyPause = std::chrono::seconds(1);

} // namespace

AppendPipeline::AppendPipeline(SqliteWriter& writer, RecentStrokes& recent,
                               std::unique_ptr<SqliteConnection> lookup, OpenedJournals journals)
    : writer_(writer), recent_(recent), lookup_(std::move(lookup)),
      journals_(std::move(journals.files)), next_sequence_(journals.next_sequence) {
    copier_ = std::thread([this] { copyLoop(); });
    flusher_ = std::thread([this] { flushLoop(); });
    committer_ = std::thread([this] { commitLoop(); });
}

AppendPipeline::~AppendPipeline() {
    queue_.close();
    committer_.join();
    flush_.close();
    flusher_.join();
    {
        // A database closed cleanly holds every stroke; otherwise the next start copies them.
        std::unique_lock write_lock(write_mutex_);
        copyAll(write_lock);
        copier_closing_ = true;
    }
    copy_wanted_.notify_one();
    copier_.join();
}

void AppendPipeline::append(std::unique_ptr<PendingAppend> pending) {
    queue_.push(std::move(pending));
}

void AppendPipeline::commitLoop() {
    while (true) {
        auto batch = std::make_unique<CommittedBatch>();
        // A batch written while an earlier one still waits for the flusher would be flushed
        // with it anyway: let the queue grow instead and write it all at once.
        flush_.waitUntilTaken();
        const auto taken = queue_.take(batch->appends, CopyPause);
        if (taken == AppendQueue::Taken::Pause) {
            std::unique_lock write_lock(write_mutex_);
            if (!writing_.strokes.empty() || !sealed_.strokes.empty()) {
                copyAll(write_lock);
            }
            continue;
        }
        if (taken == AppendQueue::Taken::Closed) {
            return; // every append has been handed to the flusher
        }
        commitBatch(*batch);
        flush_.push(std::move(batch));
    }
}

void AppendPipeline::flushLoop() {
    std::vector<std::unique_ptr<CommittedBatch>> batches;
    while (flush_.takeAll(batches)) {
        // One flush for every batch written while the last one ran. Strokes copied into the
        // database meanwhile are durable there already.
        unsigned written = 0;
        for (const auto& batch : batches) {
            written |= batch->journals;
        }
        bool durable = true;
        for (size_t i = 0; i < journals_.size(); ++i) {
            if ((written & (1u << i)) != 0 && !journals_[i]->flush()) {
                durable = false;
            }
        }
        for (auto& batch : batches) {
            // A failed flush leaves the strokes where later reads and copies find them; memory
            // must agree. Their authors hear of a failure and resend, which finds the stroke.
            for (auto& [canvas_id, strokes] : batch->strokes) {
                recent_.remember(canvas_id, strokes);
            }
            flush_.published(batch->number);
            for (const auto& pending : batch->appends) {
                pending->done({durable ? pending->stamp : std::nullopt, std::nullopt});
            }
        }
        batches.clear();
    }
}

void AppendPipeline::Pause::waitUntilPublished() {
    pipeline_.flush_.waitUntilPublished(pipeline_.committed_batches_);
}

void AppendPipeline::commitBatch(CommittedBatch& batch) {
    static constexpr const char* FindCopied =
        "SELECT server_time, text FROM strokes WHERE canvas_id = ?1 AND user_name = ?2 AND "
        "client_time = ?3";

    // Per canvas of the batch: its new strokes.
    std::unordered_map<std::string_view, std::vector<RecentStroke>> added;
    std::lock_guard write_lock(write_mutex_);
    std::string& records = journal_records_;
    records.clear();
    batch.number = ++committed_batches_;
    JournalPart& part = writing_;
    const size_t first_new = part.strokes.size();
    const uint64_t first_sequence = next_sequence_;
    try {
        for (const auto& pending : batch.appends) {
            canvas::MWStroke& stroke = pending->stroke; // the committer's own: stamped in place
            const std::string& canvas_id = pending->canvas_id;
            // A resent append whose answer was lost: the stroke is stored already.
            std::optional<int64_t> resent;
            const auto sameText = [&](int64_t stamp, std::string_view text) {
                stroke.server_time = stamp;
                if (!resent && canvas::stroke_to_text(stroke) == text) {
                    resent = stamp;
                }
            };
            const uint64_t key =
                JournalPart::strokeKey(canvas_id, stroke.user_name, stroke.client_time);
            for (const JournalPart* journaled : {&sealed_, &part}) {
                for (auto [it, end] = journaled->keys.equal_range(key); it != end; ++it) {
                    const UncopiedStroke& twin = journaled->strokes[it->second];
                    if (journaled->canvasId(twin) == canvas_id) {
                        sameText(twin.server_time, journaled->text(twin));
                    }
                }
            }
            if (!resent && mayHaveCopiedTwin(canvas_id, stroke)) {
                SqliteQuery same(*lookup_, FindCopied);
                same.bind(1, canvas_id).bind(2, stroke.user_name).bind(3, stroke.client_time);
                while (!resent && same.step()) {
                    sameText(same.integer(0), same.text(1));
                }
            }
            if (resent) {
                pending->stamp = resent;
                continue;
            }
            std::vector<RecentStroke>& strokes = added[canvas_id];
            int64_t last = 0;
            if (!strokes.empty()) {
                last = strokes.back().server_time;
            } else if (const auto given = stamped_.find(canvas_id); given != stamped_.end()) {
                last = given->second;
            } else {
                last = recent_.lastStamp(canvas_id);
            }
            stroke.server_time = std::max(pending->now_ms, last + 1);
            std::string text = canvas::stroke_to_text(stroke);
            StrokeJournal::encode(records, next_sequence_++, canvas_id, stroke.server_time,
                                  stroke.client_time, stroke.user_name, text);
            part.add(key, canvas_id, stroke.server_time, stroke.client_time, stroke.user_name,
                     text);
            pending->stamp = stroke.server_time;
            strokes.push_back(
                {stroke.server_time, stroke.client_time, stroke.user_name, std::move(text)});
        }
        if (!records.empty()) {
            if (!journals_[writing_journal_]->write(records)) {
                throw std::runtime_error("the journal refused the strokes");
            }
            batch.journals |= 1u << writing_journal_;
            part.last_sequence = next_sequence_ - 1;
        }
    } catch (const std::exception&) {
        // Nothing of this batch is stored; the next one reuses its place and numbers.
        part.truncate(first_new);
        next_sequence_ = first_sequence;
        for (const auto& pending : batch.appends) {
            pending->stamp.reset();
        }
        return;
    }
    // Published by the flusher once durable, so a reader never sees a stamp whose stroke could
    // still be lost.
    batch.strokes.reserve(added.size());
    for (auto& [canvas_id, strokes] : added) {
        const int64_t newest = strokes.back().server_time;
        if (const auto given = stamped_.find(canvas_id); given != stamped_.end()) {
            given->second = newest;
        } else {
            stamped_.emplace(std::string(canvas_id), newest);
        }
        batch.strokes.emplace_back(std::string(canvas_id), std::move(strokes));
    }
    handOverIfDue();
}

void AppendPipeline::handOverIfDue() {
    if (copying_) {
        return;
    }
    if (sealed_.strokes.empty()) {
        if (writing_.strokes.size() < CopyCount && writing_.texts.size() < CopyBytes) {
            return;
        }
        // The other file's strokes are all in the database: it starts over.
        sealed_ = std::move(writing_);
        writing_ = JournalPart{};
        writing_journal_ = 1 - writing_journal_;
        journals_[writing_journal_]->restart();
    } // else the last copy failed: it is tried again
    copying_ = true;
    copy_wanted_.notify_one();
}

void AppendPipeline::copyLoop() {
    std::unique_lock write_lock(write_mutex_);
    while (true) {
        copy_wanted_.wait(write_lock, [this] { return copying_ || copier_closing_; });
        if (!copying_) {
            return;
        }
        // The committer only reads sealed_ meanwhile, and nothing else changes it.
        write_lock.unlock();
        const bool done = copyToDatabase(sealed_);
        write_lock.lock();
        if (done) {
            copied(sealed_);
        }
        copying_ = false;
        copy_done_.notify_all();
    }
}

bool AppendPipeline::copyAll(std::unique_lock<std::mutex>& write_lock) {
    copy_done_.wait(write_lock, [this] { return !copying_; });
    // In order: the numbers copied must never pass a stroke that is not.
    if (!sealed_.strokes.empty()) {
        if (!copyToDatabase(sealed_)) {
            return false;
        }
        copied(sealed_);
    }
    if (!writing_.strokes.empty()) {
        if (!copyToDatabase(writing_)) {
            return false;
        }
        copied(writing_);
        journals_[writing_journal_]->restart();
    }
    return true;
}

bool AppendPipeline::copyAllNow() {
    std::unique_lock write_lock(write_mutex_);
    return copyAll(write_lock);
}

bool AppendPipeline::copyToDatabase(const JournalPart& part) {
    const auto db = writer_.hold();
    try {
        SqliteTransaction transaction(*db);
        insertJournaled(*db, part);
        transaction.commit();
        return true;
    } catch (const std::exception&) {
        return false; // the journal keeps them meanwhile
    }
}

void AppendPipeline::copied(JournalPart& part) {
    newest_copied_.clear();
    {
        auto copied = recent_.noteCopied();
        for (const UncopiedStroke& stroke : part.strokes) {
            copied.note(part.canvasId(stroke), stroke.server_time);
        }
    }
    part = JournalPart{};
}

bool AppendPipeline::mayHaveCopiedTwin(std::string_view canvas_id, const canvas::MWStroke& stroke) {
    static constexpr const char* NewestCopied =
        "SELECT max(client_time) FROM strokes WHERE canvas_id = ?1 AND user_name = ?2";
    // Bounded like a cache: an author forgotten costs one lookup.
    constexpr size_t MaxAuthors = 1 << 16;
    author_key_.assign(canvas_id);
    author_key_ += '\0';
    author_key_ += stroke.user_name;
    auto known = newest_copied_.find(std::string_view(author_key_));
    if (known == newest_copied_.end()) {
        SqliteQuery newest(*lookup_, NewestCopied);
        newest.bind(1, canvas_id).bind(2, stroke.user_name);
        const int64_t client_time = newest.step() && !newest.isNull(0)
                                        ? newest.integer(0)
                                        : std::numeric_limits<int64_t>::min();
        if (newest_copied_.size() >= MaxAuthors) {
            newest_copied_.clear();
        }
        known = newest_copied_.emplace(author_key_, client_time).first;
    }
    return stroke.client_time <= known->second;
}

} // namespace velmo::server
