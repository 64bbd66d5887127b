#include "store/sqlite/flush_queue.h"

namespace velmo::server {

void FlushQueue::waitUntilTaken() {
    std::unique_lock lock(mutex_);
    taken_.wait(lock, [this] { return queue_.empty(); });
}

void FlushQueue::push(std::unique_ptr<CommittedBatch> batch) {
    {
        std::lock_guard lock(mutex_);
        queue_.push_back(std::move(batch));
    }
    ready_.notify_one();
}

bool FlushQueue::takeAll(std::vector<std::unique_ptr<CommittedBatch>>& batches) {
    {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return closing_ || !queue_.empty(); });
        if (queue_.empty()) {
            return false;
        }
        batches.swap(queue_);
    }
    taken_.notify_one();
    return true;
}

void FlushQueue::published(uint64_t number) {
    {
        std::lock_guard lock(mutex_);
        published_batches_ = number;
    }
    published_.notify_all();
}

void FlushQueue::close() {
    {
        std::lock_guard lock(mutex_);
        closing_ = true;
    }
    ready_.notify_one();
}

void FlushQueue::waitUntilPublished(uint64_t number) {
    std::unique_lock lock(mutex_);
    published_.wait(lock, [&] { return published_batches_ >= number; });
}

} // namespace velmo::server
