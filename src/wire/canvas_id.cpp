#include "wire/canvas_id.h"

#include "wire/wire_limits.h"

namespace velmo::wire {
namespace {

bool isControl(unsigned char c) {
    return c < 0x20 || c == 0x7F;
}

} // namespace

bool isValidCanvasId(std::string_view id) {
    if (id.empty() || id.size() > MaxCanvasId) {
        return false;
    }
    for (const char c : id) {
        if (c == ' ' || isControl(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

bool isValidUserName(std::string_view name) {
    if (name.size() > MaxUserName) {
        return false;
    }
    for (const char c : name) {
        if (isControl(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return true;
}

std::optional<std::string_view> nicknameOf(std::string_view canvas_id) {
    const size_t at = canvas_id.rfind('@');
    if (at == std::string_view::npos) {
        return std::nullopt;
    }
    return canvas_id.substr(0, at);
}

} // namespace velmo::wire
