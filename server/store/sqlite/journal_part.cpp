#include "store/sqlite/journal_part.h"

namespace velmo::server {

void JournalPart::add(uint64_t key, std::string_view canvas_id, int64_t server_time,
                      int64_t client_time, std::string_view user_name, std::string_view text) {
    keys.emplace(key, strokes.size());
    // Sizes come from bounded requests and journal records; uint32 holds any of them.
    strokes.push_back(
        {server_time, client_time, texts.size(), static_cast<uint32_t>(canvas_id.size()),
         static_cast<uint32_t>(user_name.size()), static_cast<uint32_t>(text.size())});
    texts += canvas_id;
    texts += user_name;
    texts += text;
}

void JournalPart::truncate(size_t count) {
    if (count >= strokes.size()) {
        return;
    }
    for (size_t i = count; i < strokes.size(); ++i) {
        const UncopiedStroke& gone = strokes[i];
        const uint64_t key = strokeKey(canvasId(gone), userName(gone), gone.client_time);
        for (auto [it, end] = keys.equal_range(key); it != end; ++it) {
            if (it->second == i) {
                keys.erase(it);
                break;
            }
        }
    }
    texts.resize(strokes[count].at);
    strokes.resize(count);
}

} // namespace velmo::server
