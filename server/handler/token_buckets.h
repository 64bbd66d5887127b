#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "store/string_hash.h"

namespace velmo::server {

// How fast a client may do something: `rate` a second on average, `burst` at once. A rate of
// 0 turns the limit off.
struct BucketRule {
    double rate = 0;
    double burst = 0;

    bool off() const { return rate <= 0; }
    bool operator==(const BucketRule&) const = default;
};

// One token bucket per key (a client address, or an address and a user name), in a table of
// at most `max_keys`: a bucket that has refilled is the same as none and goes first, and when
// every bucket is still in use, the one untouched longest goes. Thread-safe.
class TokenBuckets {
public:
    TokenBuckets(BucketRule rule, size_t max_keys);

    // Takes `cost` tokens from the key's bucket at `now_ms` (ms, any monotonic origin). 0 when
    // they were taken; otherwise nothing is taken and the answer is the ms until they will be
    // there. A cost above the burst is taken as the burst, so no request is refused forever;
    // a negative cost gives tokens back.
    int64_t take(std::string_view key, double cost, int64_t now_ms);

    size_t keys() const;
    const BucketRule& rule() const { return rule_; }

private:
    struct Bucket {
        double tokens = 0;
        int64_t updated_ms = 0;
        std::list<const std::string*>::iterator order; // its place in order_
    };

    // Tokens in a bucket left alone since `bucket.updated_ms`.
    double tokensAt(const Bucket& bucket, int64_t now_ms) const;

    const BucketRule rule_;
    const size_t max_keys_;
    mutable std::mutex mutex_;
    std::unordered_map<std::string, Bucket, StringHash, std::equal_to<>> buckets_;
    // The keys of buckets_ (whose nodes stay put), least recently used first.
    std::list<const std::string*> order_;
};

// One request of `bytes` for `key`: a token from `count` and the bytes from `bytes`, or
// neither. 0 when both were taken, else the wait of the one that refused; the bytes are checked
// first and given back if the count refuses, so a refused request costs nothing.
int64_t takeRequestAndBytes(TokenBuckets& count, TokenBuckets& bytes, std::string_view key,
                            size_t size, int64_t now_ms);

} // namespace velmo::server
