#include "wire/reply_line.h"

#include "text/utf8_text.h"

namespace velmo::wire {
namespace {

bool isAsciiDigit(char c) {
    return c >= '0' && c <= '9';
}

} // namespace

std::vector<std::string_view> splitReplyLines(std::string_view reply) {
    std::vector<std::string_view> lines;
    size_t start = 0;
    for (;;) {
        const size_t end = reply.find('\n', start);
        if (end == std::string_view::npos) {
            lines.push_back(reply.substr(start));
            return lines;
        }
        lines.push_back(reply.substr(start, end - start));
        start = end + 1;
    }
}

bool isCanvasListLine(std::string_view line) {
    // The ID part holds no space, so the pattern's space is the line's first one; the 17
    // digits and the "@" stand right before it, and at least one byte before those.
    const size_t space = line.find(' ');
    if (space == std::string_view::npos || space < 19 || line[space - 18] != '@') {
        return false;
    }
    for (size_t i = space - 17; i < space; ++i) {
        if (!isAsciiDigit(line[i])) {
            return false;
        }
    }
    return text::isValidUtf8(line) && !text::holdsLineTerminator(line.substr(space + 1));
}

ReplyLine classifyReplyLine(std::string_view line) {
    // " append: " anywhere counts, whatever stands before it.
    if (line.find(AppendAfterID.substr(1)) != std::string_view::npos) {
        return {ReplyLineKind::Stroke, {}, {}};
    }
    if (line.find(DeleteAfterID.substr(1)) != std::string_view::npos) {
        return {ReplyLineKind::Delete, {}, {}};
    }
    if (line.empty() || !isCanvasListLine(line)) {
        return {};
    }
    const size_t space = line.find(' ');
    return {ReplyLineKind::CanvasListEntry, line.substr(0, space), line.substr(space + 1)};
}

} // namespace velmo::wire
