#pragma once

#include "canvas/mw_stroke.h"
#include "store/store.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace velmo::server {

// An append waiting for the committer, and then for its stroke to be durable.
struct PendingAppend {
    std::string canvas_id;
    canvas::MWStroke stroke;
    int64_t now_ms = 0;
    size_t reply_bytes = 0; // see Store::appendStrokeAsync
    // The stroke's text with stamp 0, for a store that makes it on the caller's thread.
    std::string unstamped_text;
    std::optional<int64_t> stamp; // set by the committer; nothing when it failed
    std::optional<TakenDelivery> delivery;
    Store::AppendDone done;
};

// The appends handed from the request threads to one committer thread, which takes all of
// them at once whenever it is free: appends that arrive while a commit is under way form the
// next batch. Thread-safe; one thread takes.
class AppendQueue {
public:
    // Queues an append; wakes the committer only when it waits (a busy one takes the queue
    // when it is done).
    void push(std::unique_ptr<PendingAppend> pending);

    enum class Taken { Appends, Pause, Closed };
    // For the committer: waits up to `pause` for appends and moves every queued one into
    // `appends`, which must be empty. Pause when none came meanwhile; Closed once close() was
    // called and every append was taken.
    Taken take(std::vector<std::unique_ptr<PendingAppend>>& appends,
               std::chrono::milliseconds pause);

    // Lets take() return Closed once the queue is empty.
    void close();

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::vector<std::unique_ptr<PendingAppend>> queue_;
    bool committer_waiting_ = false;
    bool closing_ = false;
};

} // namespace velmo::server
