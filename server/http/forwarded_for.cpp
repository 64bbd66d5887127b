#include "http/forwarded_for.h"

#include <algorithm>

namespace velmo::server {

namespace {

constexpr size_t MaxAddressBytes = 45; // the longest text form of an IPv6 address

bool isAddressText(std::string_view text) {
    if (text.empty() || text.size() > MaxAddressBytes) {
        return false;
    }
    return std::all_of(text.begin(), text.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') ||
               c == '.' || c == ':';
    });
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

} // namespace

std::string forwardedClient(std::string_view header, std::string_view fallback) {
    const size_t comma = header.rfind(',');
    const std::string_view last =
        trimmed(comma == std::string_view::npos ? header : header.substr(comma + 1));
    return std::string(isAddressText(last) ? last : fallback);
}

} // namespace velmo::server
