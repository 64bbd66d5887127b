#include "handler/multipart.h"

#include <string>

namespace velmo::server {
namespace {

constexpr size_t MaxParts = 64;
constexpr size_t MaxBoundary = 70;

char lower(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (lower(a[i]) != lower(b[i])) {
            return false;
        }
    }
    return true;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

// Calls `visit(name, value)` for each "name=value" parameter after the first ";" of a header
// value; quoted values lose their quotes (form encoders use no escapes inside them).
template <typename Visit> void forEachParameter(std::string_view value, Visit visit) {
    const size_t n = value.size();
    size_t i = value.find(';');
    if (i == std::string_view::npos) {
        return;
    }
    ++i;
    while (i < n) {
        const size_t key_begin = i;
        while (i < n && value[i] != '=' && value[i] != ';') {
            ++i;
        }
        const std::string_view key = trim(value.substr(key_begin, i - key_begin));
        if (i >= n) {
            return;
        }
        if (value[i] == ';') {
            ++i;
            continue;
        }
        ++i;
        while (i < n && (value[i] == ' ' || value[i] == '\t')) {
            ++i;
        }
        std::string_view parameter;
        if (i < n && value[i] == '"') {
            const size_t close = value.find('"', i + 1);
            if (close == std::string_view::npos) {
                return;
            }
            parameter = value.substr(i + 1, close - i - 1);
            i = close + 1;
        } else {
            const size_t end = value.find(';', i);
            parameter = trim(value.substr(i, end == std::string_view::npos ? n - i : end - i));
            i = end == std::string_view::npos ? n : end;
        }
        visit(key, parameter);
        const size_t next = value.find(';', i);
        if (next == std::string_view::npos) {
            return;
        }
        i = next + 1;
    }
}

std::string_view partName(std::string_view headers) {
    std::string_view name;
    while (!headers.empty()) {
        const size_t eol = headers.find("\r\n");
        const std::string_view line = headers.substr(0, eol);
        headers = eol == std::string_view::npos ? std::string_view() : headers.substr(eol + 2);
        const size_t colon = line.find(':');
        if (colon == std::string_view::npos ||
            !equalsNoCase(trim(line.substr(0, colon)), "content-disposition")) {
            continue;
        }
        forEachParameter(line.substr(colon + 1), [&](std::string_view key, std::string_view v) {
            if (equalsNoCase(key, "name")) {
                name = v;
            }
        });
    }
    return name;
}

} // namespace

std::optional<std::string_view> multipartBoundary(std::string_view content_type) {
    const std::string_view media = trim(content_type.substr(0, content_type.find(';')));
    if (!equalsNoCase(media, "multipart/form-data")) {
        return std::nullopt;
    }
    std::optional<std::string_view> boundary;
    forEachParameter(content_type, [&](std::string_view key, std::string_view value) {
        if (equalsNoCase(key, "boundary")) {
            boundary = value;
        }
    });
    if (!boundary || boundary->empty() || boundary->size() > MaxBoundary) {
        return std::nullopt;
    }
    return boundary;
}

std::optional<std::vector<FormPart>> parseMultipart(std::string_view body,
                                                    std::string_view boundary) {
    if (boundary.empty()) {
        return std::nullopt;
    }
    const std::string delimiter = "--" + std::string(boundary);
    const std::string next_delimiter = "\r\n" + delimiter;
    size_t pos = 0;
    if (body.substr(0, delimiter.size()) == delimiter) {
        pos = delimiter.size();
    } else {
        const size_t first = body.find(next_delimiter);
        if (first == std::string_view::npos) {
            return std::nullopt;
        }
        pos = first + next_delimiter.size();
    }
    std::vector<FormPart> parts;
    while (true) {
        const std::string_view rest = body.substr(pos);
        if (rest.substr(0, 2) == "--") {
            return parts;
        }
        // Transport padding may follow a delimiter before its line break.
        size_t skip = 0;
        while (skip < rest.size() && (rest[skip] == ' ' || rest[skip] == '\t')) {
            ++skip;
        }
        if (rest.substr(skip, 2) != "\r\n" || parts.size() == MaxParts) {
            return std::nullopt;
        }
        const size_t headers_begin = pos + skip + 2;
        size_t content_begin = 0;
        std::string_view headers;
        if (body.substr(headers_begin, 2) == "\r\n") {
            content_begin = headers_begin + 2;
        } else {
            const size_t headers_end = body.find("\r\n\r\n", headers_begin);
            if (headers_end == std::string_view::npos) {
                return std::nullopt;
            }
            headers = body.substr(headers_begin, headers_end - headers_begin);
            content_begin = headers_end + 4;
        }
        const size_t content_end = body.find(next_delimiter, content_begin);
        if (content_end == std::string_view::npos) {
            return std::nullopt;
        }
        parts.push_back(
            {partName(headers), body.substr(content_begin, content_end - content_begin)});
        pos = content_end + next_delimiter.size();
    }
}

} // namespace velmo::server
