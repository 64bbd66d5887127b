#pragma once

#include "handler/token_buckets.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmo::server {

// What one client may ask of the server over time. Defaults suit a public server: far above
// what a person drawing, or the app's 5-second poll and its polls on live events, ever needs.
struct ClientLimitOptions {
    // Appends with points, per client address and user name. A burst lets a client that was
    // offline send its queue at once.
    BucketRule appends{10, 100};
    // Polls (appends without points), per address and user name: the app polls every 5 s and
    // once per live event, which the server sends at most once per stroke.
    BucketRule polls{20, 200};
    // Uploads per client address, by count and by bytes; the app uploads two pictures a save.
    BucketRule uploads{0.5, 30};
    BucketRule upload_bytes{1024.0 * 1024.0, 64.0 * 1024 * 1024};
    // Keys each table holds at most before it forgets the longest untouched: a few MiB each,
    // and a bucket that refilled (10 s after its last use, with the defaults) goes first.
    size_t max_clients = 32'768;
};

// The token buckets of every client. Thread-safe.
class ClientLimits {
public:
    explicit ClientLimits(const ClientLimitOptions& options);

    // Each takes what the request costs and answers 0, or nothing taken and the ms until the
    // client may ask again.
    int64_t takeAppend(std::string_view address, std::string_view user_name, int64_t now_ms);
    int64_t takePoll(std::string_view address, std::string_view user_name, int64_t now_ms);
    // Both the count and the bytes must allow an upload; neither is taken otherwise.
    int64_t takeUpload(std::string_view address, size_t bytes, int64_t now_ms);

private:
    static std::string clientKey(std::string_view address, std::string_view user_name);

    TokenBuckets appends_;
    TokenBuckets polls_;
    TokenBuckets uploads_;
    TokenBuckets upload_bytes_;
};

} // namespace velmo::server
