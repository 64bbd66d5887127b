#include "http/forwarded_for.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Any X-Forwarded-For gives either the fallback or an address taken whole from the header's
// last entry: short, and of address characters only, so nothing made up reaches the limits or
// the log.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view header(reinterpret_cast<const char*>(data), size);
    const std::string client = velmo::server::forwardedClient(header, "fallback");
    if (client == "fallback") {
        return 0;
    }
    if (client.empty() || client.size() > 45 ||
        client.find_first_not_of("0123456789abcdefABCDEF.:") != std::string::npos ||
        header.find(client) == std::string_view::npos) {
        std::abort();
    }
    return 0;
}
