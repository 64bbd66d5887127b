#include "app/bot/delivery_check.h"

#include "canvas/stroke_text.h"
#include "wire/reply_line.h"

#include <map>

namespace velmo::bot {

DeliveryCheck checkDelivery(std::string_view get_strokes_reply, std::string_view user_name,
                            const std::set<int64_t>& drawn_client_times) {
    std::map<int64_t, int> seen;
    for (const std::string_view line : wire::splitReplyLines(get_strokes_reply)) {
        if (wire::classifyReplyLine(line).kind != wire::ReplyLineKind::Stroke) {
            continue;
        }
        // The scale only sizes the pen; the names and times are what count here.
        const canvas::MWStroke stroke = canvas::stroke_from_text(line, 1.0f);
        if (stroke.user_name == user_name) {
            ++seen[stroke.client_time];
        }
    }
    DeliveryCheck check;
    check.drawn = static_cast<int>(drawn_client_times.size());
    for (const int64_t client_time : drawn_client_times) {
        const auto it = seen.find(client_time);
        const int count = it == seen.end() ? 0 : it->second;
        check.stored_once += count == 1 ? 1 : 0;
        check.missing += count == 0 ? 1 : 0;
        check.repeated += count > 1 ? 1 : 0;
    }
    return check;
}

} // namespace velmo::bot
