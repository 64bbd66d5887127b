#pragma once

#include "store/append_queue.h"
#include "store/recent_strokes.h"

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace velmo::server {

// Appends written to the journal in one write, waiting for the flush that makes them durable.
struct CommittedBatch {
    std::vector<std::unique_ptr<PendingAppend>> appends;
    // The stored strokes per canvas, published to memory once flushed.
    std::vector<std::pair<std::string, std::vector<RecentStroke>>> strokes;
    uint64_t number = 0;   // batches are numbered from 1 in commit order
    unsigned journals = 0; // bit i: written to journal file i
};

// The batches the committer has written, on their way to the flusher, and how far the
// flusher has published them. Thread-safe: one committer, one flusher, any number of threads
// waiting for publication.
class FlushQueue {
public:
    // For the committer: waits until the flusher has taken every batch handed over. A batch
    // written while an earlier one still waits would be flushed with it anyway.
    void waitUntilTaken();
    void push(std::unique_ptr<CommittedBatch> batch);

    // For the flusher: waits for batches and moves all of them into `batches`, which must be
    // empty. False once close() was called and every batch was taken.
    bool takeAll(std::vector<std::unique_ptr<CommittedBatch>>& batches);
    // The flusher has published batch `number` and every one before it.
    void published(uint64_t number);
    void close();

    // Waits until the batches up to `number` are published.
    void waitUntilPublished(uint64_t number);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable taken_;
    std::condition_variable published_;
    std::vector<std::unique_ptr<CommittedBatch>> queue_;
    bool closing_ = false;
    uint64_t published_batches_ = 0;
};

} // namespace velmo::server
