#include "wire/server_events.h"

#include "wire/percent_codec.h"

namespace velmo::wire {
namespace {

constexpr std::string_view ByteOrderMark = "\xEF\xBB\xBF";

} // namespace

std::string eventStreamURL(std::string_view server_base_url, std::string_view canvas_id) {
    std::string url(server_base_url);
    if (url.empty() || url.back() != '/') {
        url += '/';
    }
    url += EventsRoute.substr(1);
    url += percentEncode(canvas_id);
    return url;
}

std::string serverEventText(std::string_view type, std::string_view data) {
    std::string text;
    text.reserve(type.size() + data.size() + 16);
    text += "event: ";
    text += type;
    text += "\ndata: ";
    text += data;
    text += "\n\n";
    return text;
}

std::optional<int64_t> eventStamp(std::string_view data) {
    if (data.empty() || data.size() > 18) {
        return std::nullopt;
    }
    int64_t value = 0;
    for (const char c : data) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

void ServerEventParser::feed(std::string_view bytes,
                             const std::function<void(const ServerEvent&)>& dispatch) {
    // A byte-order mark, possibly cut across pieces, only at the very start.
    while (bom_seen_ < 3 && !bytes.empty()) {
        if (bytes.front() != ByteOrderMark[static_cast<size_t>(bom_seen_)]) {
            // Not a mark after all: what looked like its start is text of the first line.
            line_.append(ByteOrderMark.substr(0, static_cast<size_t>(bom_seen_)));
            bom_seen_ = 3;
            break;
        }
        ++bom_seen_;
        bytes.remove_prefix(1);
    }
    for (const char c : bytes) {
        if (c == '\n' && after_cr_) {
            after_cr_ = false;
            continue;
        }
        after_cr_ = c == '\r';
        if (c == '\n' || c == '\r') {
            takeLine(dispatch);
            continue;
        }
        if (line_.size() >= MaxLine) {
            line_too_long_ = true;
            continue;
        }
        line_ += c;
    }
}

void ServerEventParser::takeLine(const std::function<void(const ServerEvent&)>& dispatch) {
    const bool dropped = line_too_long_;
    line_too_long_ = false;
    const std::string_view line = line_;
    if (dropped) {
        // Cut somewhere unknown: neither its field nor the end of an event can be trusted.
    } else if (line.empty()) {
        if (has_data_) {
            ServerEvent event;
            if (!type_.empty()) {
                event.type = type_;
            }
            event.data = std::move(data_);
            if (!event.data.empty() && event.data.back() == '\n') {
                event.data.pop_back();
            }
            event.id = id_;
            dispatch(event);
        }
        type_.clear();
        data_.clear();
        has_data_ = false;
    } else if (line.front() != ':') {
        const size_t colon = line.find(':');
        std::string_view value;
        if (colon != std::string_view::npos) {
            value = line.substr(colon + 1);
            if (!value.empty() && value.front() == ' ') {
                value.remove_prefix(1);
            }
        }
        takeField(line.substr(0, colon), value);
    }
    line_.clear();
}

void ServerEventParser::takeField(std::string_view field, std::string_view value) {
    if (field == "event") {
        type_ = value;
    } else if (field == "data") {
        has_data_ = true;
        if (data_.size() + value.size() + 1 <= MaxData) {
            data_ += value;
            data_ += '\n';
        }
    } else if (field == "id") {
        if (value.find('\0') == std::string_view::npos) {
            id_ = value;
        }
    }
}

} // namespace velmo::wire
