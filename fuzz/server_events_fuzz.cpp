#include "wire/server_events.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using velmo::wire::ServerEvent;
using velmo::wire::ServerEventParser;

std::vector<ServerEvent> parseInPieces(std::string_view stream, size_t piece) {
    ServerEventParser parser;
    std::vector<ServerEvent> events;
    const auto keep = [&](const ServerEvent& event) { events.push_back(event); };
    for (size_t at = 0; at < stream.size(); at += piece) {
        parser.feed(stream.substr(at, piece), keep);
    }
    return events;
}

bool holds(std::string_view text, std::string_view bytes) {
    return text.find_first_of(bytes) != std::string_view::npos;
}

} // namespace

// The bytes of an event stream, as a server or a proxy may send them: the events do not depend
// on how the bytes were cut into pieces, no field keeps a line break it should not, data stays
// within its bound, and a stamp read from data is its digits.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view stream(reinterpret_cast<const char*>(data), size);
    const std::vector<ServerEvent> whole = parseInPieces(stream, stream.size() + 1);
    const size_t piece = size == 0 ? 1 : 1 + data[0] % 7;
    if (parseInPieces(stream, piece) != whole || parseInPieces(stream, 1) != whole) {
        std::abort();
    }
    for (const ServerEvent& event : whole) {
        if (holds(event.type, std::string_view("\r\n", 2)) || holds(event.data, "\r") ||
            holds(event.id, std::string_view("\r\n\0", 3)) ||
            event.data.size() > ServerEventParser::MaxData ||
            event.type.size() > ServerEventParser::MaxLine) {
            std::abort();
        }
        if (const auto stamp = velmo::wire::eventStamp(event.data)) {
            const size_t first_digit = event.data.find_first_not_of('0');
            const std::string digits =
                first_digit == std::string::npos ? "0" : event.data.substr(first_digit);
            if (std::to_string(*stamp) != digits) {
                std::abort();
            }
        }
    }
    return 0;
}
