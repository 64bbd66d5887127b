#include "wire/canvas_link.h"

#include "text/utf8_text.h"
#include "wire/percent_codec.h"

namespace velmo::wire {
namespace {

char asciiLower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

} // namespace

std::optional<std::string> canvasIDFromLink(std::string_view link) {
    auto decoded = percentDecode(link);
    if (!decoded || decoded->size() < LinkPrefix.size() || !text::isValidUtf8(*decoded)) {
        return std::nullopt;
    }
    for (size_t i = 0; i < LinkPrefix.size(); ++i) {
        if (static_cast<unsigned char>((*decoded)[i]) >= 0x80) {
            return std::nullopt;
        }
    }
    decoded->erase(0, LinkPrefix.size());
    return decoded;
}

bool isCanvasLink(std::string_view argument) {
    if (argument.size() < LinkPrefix.size()) {
        return false;
    }
    for (size_t i = 0; i < LinkPrefix.size(); ++i) {
        if (asciiLower(argument[i]) != LinkPrefix[i]) {
            return false;
        }
    }
    return true;
}

} // namespace velmo::wire
