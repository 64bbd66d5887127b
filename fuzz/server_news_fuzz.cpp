#include "store/postgres/pg_news.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Announcements come from the other instances through the database. Any payload is read or
// refused without harm, and one that is read says the same when written again.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view payload(reinterpret_cast<const char*>(data), size);
    const auto news = velmo::server::parseNewsPayload(payload);
    if (!news) {
        return 0;
    }
    const std::string written = velmo::server::newsPayload(*news);
    const auto again = velmo::server::parseNewsPayload(written);
    if (!again || !(*again == *news)) {
        std::abort();
    }
    return 0;
}
