#include "store/append_queue.h"

namespace velmo::server {

void AppendQueue::push(std::unique_ptr<PendingAppend> pending) {
    bool wake = false;
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(pending));
        wake = committer_waiting_;
    }
    // While the committer is busy it takes the queue when it is done; no wake-up needed.
    if (wake) {
        ready_.notify_one();
    }
}

AppendQueue::Taken AppendQueue::take(std::vector<std::unique_ptr<PendingAppend>>& appends,
                                     std::chrono::milliseconds pause) {
    std::unique_lock lock(mutex_);
    committer_waiting_ = true;
    const bool woken = ready_.wait_for(lock, pause, [this] { return closing_ || !queue_.empty(); });
    committer_waiting_ = false;
    if (!woken) {
        return Taken::Pause;
    }
    if (queue_.empty()) {
        return Taken::Closed;
    }
    appends.swap(queue_);
    return Taken::Appends;
}

void AppendQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    ready_.notify_one();
}

} // namespace velmo::server
