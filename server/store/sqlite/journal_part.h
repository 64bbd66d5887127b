#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace velmo::server {

// A journaled stroke not yet in the database. Its texts lie in its JournalPart's `texts`,
// canvas ID, author and stroke text back to back from `at`.
struct UncopiedStroke {
    int64_t server_time = 0;
    int64_t client_time = 0;
    size_t at = 0;
    uint32_t canvas_size = 0;
    uint32_t user_size = 0;
    uint32_t text_size = 0;
};

// The strokes of one journal file not yet in the database, in order, and by a hash of their
// canvas, author and client time for resent appends (a hash names candidates; their texts
// decide). The texts of all its strokes share one buffer: a few large allocations for a
// file's worth of strokes instead of three per stroke, made on one thread and freed on
// another. Not thread-safe: the append pipeline guards it.
struct JournalPart {
    std::vector<UncopiedStroke> strokes;
    std::unordered_multimap<uint64_t, size_t> keys;
    std::string texts;
    uint64_t last_sequence = 0;

    // `key` is strokeKey() of the stroke.
    void add(uint64_t key, std::string_view canvas_id, int64_t server_time, int64_t client_time,
             std::string_view user_name, std::string_view text);
    // Forgets the strokes from `count` on, with their texts and keys.
    void truncate(size_t count);
    std::string_view canvasId(const UncopiedStroke& stroke) const {
        return std::string_view(texts).substr(stroke.at, stroke.canvas_size);
    }
    std::string_view userName(const UncopiedStroke& stroke) const {
        return std::string_view(texts).substr(stroke.at + stroke.canvas_size, stroke.user_size);
    }
    std::string_view text(const UncopiedStroke& stroke) const {
        return std::string_view(texts).substr(stroke.at + stroke.canvas_size + stroke.user_size,
                                              stroke.text_size);
    }

    // The hash that `keys` files a stroke under. Inline: the committer takes it per append.
    static uint64_t strokeKey(std::string_view canvas_id, std::string_view user_name,
                              int64_t client_time) {
        constexpr uint64_t Mix = 0x9E3779B97F4A7C15ULL;
        uint64_t key = std::hash<std::string_view>{}(canvas_id);
        key = (key ^ std::hash<std::string_view>{}(user_name)) * Mix;
        return (key ^ static_cast<uint64_t>(client_time)) * Mix;
    }
};

} // namespace velmo::server
