#include "handler/client_limits.h"

namespace velmo::server {

ClientLimits::ClientLimits(const ClientLimitOptions& options)
    : appends_(options.appends, options.max_clients), polls_(options.polls, options.max_clients),
      uploads_(options.uploads, options.max_clients),
      upload_bytes_(options.upload_bytes, options.max_clients) {}

std::string ClientLimits::clientKey(std::string_view address, std::string_view user_name) {
    // An address holds no newline, so the pair cannot be confused with another.
    std::string key(address);
    key += '\n';
    key += user_name;
    return key;
}

int64_t ClientLimits::takeAppend(std::string_view address, std::string_view user_name,
                                 int64_t now_ms) {
    return appends_.take(clientKey(address, user_name), 1, now_ms);
}

int64_t ClientLimits::takePoll(std::string_view address, std::string_view user_name,
                               int64_t now_ms) {
    return polls_.take(clientKey(address, user_name), 1, now_ms);
}

int64_t ClientLimits::takeUpload(std::string_view address, size_t bytes, int64_t now_ms) {
    return takeRequestAndBytes(uploads_, upload_bytes_, address, bytes, now_ms);
}

} // namespace velmo::server
