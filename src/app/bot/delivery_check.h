#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

namespace velmo::bot {

// How the strokes a user drew stand in the server's answer to get_strokes: each one, named by
// its client time, should be there exactly once.
struct DeliveryCheck {
    int drawn = 0;
    int stored_once = 0;
    int missing = 0;
    int repeated = 0;
    // Strokes undone, and how many of them the server still holds; the caller fills them in.
    int undone = 0;
    int undone_left = 0;
    bool complete() const { return stored_once == drawn; }
};

// Reads `get_strokes_reply` (any bytes) for the strokes of `user_name`.
DeliveryCheck checkDelivery(std::string_view get_strokes_reply, std::string_view user_name,
                            const std::set<int64_t>& drawn_client_times);

} // namespace velmo::bot
