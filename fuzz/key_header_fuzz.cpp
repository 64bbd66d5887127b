#include "wire/key_header.h"
#include "wire/wire_limits.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

// Any header value gives nothing or a user name and a key within their bounds, and writing what
// was read gives a value that reads back the same.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::wire;
    const std::string_view value(reinterpret_cast<const char*>(data), size);
    const auto read = parseKeyHeader(value);
    if (!read) {
        return 0;
    }
    if (read->user_id.empty() || read->user_id.size() > MaxUserName ||
        read->key.size() < MinKeyBytes || read->key.size() > MaxKeyBytes ||
        value.substr(0, read->user_id.size()) != read->user_id) {
        std::abort();
    }
    if (parseKeyHeader(keyHeaderValue(read->user_id, read->key)) != read) {
        std::abort();
    }
    return 0;
}
