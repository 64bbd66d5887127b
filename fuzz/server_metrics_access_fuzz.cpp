#include "http/metrics_access.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

// Who may read the metrics, from bytes a client controls: the X-Forwarded-For header and the
// Authorization header, split at the first NUL. The address that counts is always one the
// header holds whole, and the only way in for a client from outside is the token itself.
// The same bytes as an operator's network: a network that reads holds its own address.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace velmo::server;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t nul = input.find('\0');
    const std::string_view forwarded = input.substr(0, nul);
    const std::string_view authorization =
        nul == std::string_view::npos ? std::string_view() : input.substr(nul + 1);

    const std::string client = metricsClient("127.0.0.1", true, forwarded);
    if (!client.empty() && forwarded.find(client) == std::string_view::npos) {
        std::abort();
    }
    if (!metricsClient("127.0.0.1", false, forwarded).empty()) {
        std::abort(); // a forwarded request from an unknown proxy never counts as loopback
    }
    static const MetricsAccess access({*parseAddressRange("10.0.0.0/8")}, "the-token");
    const bool by_address =
        isLoopbackAddress(client) || inRange(client, *parseAddressRange("10.0.0.0/8"));
    if (access.allows(client, authorization) && !by_address &&
        authorization.find("the-token") == std::string_view::npos) {
        std::abort();
    }
    if (const auto range = parseAddressRange(input)) {
        if (range->bits < 0 || range->bits > (range->v4 ? 32 : 128) ||
            !inRange(input.substr(0, input.find('/')), *range)) {
            std::abort();
        }
    }
    return 0;
}
