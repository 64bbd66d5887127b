#include "handler/token_buckets.h"

#include <algorithm>
#include <cmath>

namespace velmo::server {

TokenBuckets::TokenBuckets(BucketRule rule, size_t max_keys)
    : rule_(rule), max_keys_(std::max<size_t>(max_keys, 1)) {}

double TokenBuckets::tokensAt(const Bucket& bucket, int64_t now_ms) const {
    const double elapsed_s =
        static_cast<double>(std::max<int64_t>(now_ms - bucket.updated_ms, 0)) / 1000.0;
    return std::min(rule_.burst, bucket.tokens + elapsed_s * rule_.rate);
}

int64_t TokenBuckets::take(std::string_view key, double cost, int64_t now_ms) {
    if (rule_.off()) {
        return 0;
    }
    cost = std::min(cost, rule_.burst);
    std::lock_guard lock(mutex_);
    auto found = buckets_.find(key);
    if (found == buckets_.end()) {
        // Refilled buckets at the old end are forgotten at no cost to anyone; beyond the bound
        // the oldest goes anyway, so a flood of new keys cannot grow the table.
        while (!order_.empty()) {
            const auto oldest = buckets_.find(*order_.front());
            if (buckets_.size() < max_keys_ && tokensAt(oldest->second, now_ms) < rule_.burst) {
                break;
            }
            buckets_.erase(oldest);
            order_.pop_front();
        }
        found = buckets_.emplace(std::string(key), Bucket{rule_.burst, now_ms, {}}).first;
        order_.push_back(&found->first);
        found->second.order = std::prev(order_.end());
    } else {
        order_.splice(order_.end(), order_, found->second.order);
    }
    Bucket& bucket = found->second;
    bucket.tokens = tokensAt(bucket, now_ms);
    bucket.updated_ms = std::max(bucket.updated_ms, now_ms);
    if (bucket.tokens >= cost) {
        bucket.tokens -= cost;
        return 0;
    }
    return std::max<int64_t>(
        1, static_cast<int64_t>(std::ceil((cost - bucket.tokens) / rule_.rate * 1000.0)));
}

size_t TokenBuckets::keys() const {
    std::lock_guard lock(mutex_);
    return buckets_.size();
}

int64_t takeRequestAndBytes(TokenBuckets& count, TokenBuckets& bytes, std::string_view key,
                            size_t size, int64_t now_ms) {
    if (const int64_t wait = bytes.take(key, static_cast<double>(size), now_ms)) {
        return wait;
    }
    if (const int64_t wait = count.take(key, 1, now_ms)) {
        bytes.take(key, -static_cast<double>(size), now_ms);
        return wait;
    }
    return 0;
}

} // namespace velmo::server
