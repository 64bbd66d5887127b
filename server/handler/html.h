#pragma once

#include <span>
#include <string>
#include <string_view>

namespace velmo::server {

// Makes any bytes safe as HTML text and as a quoted attribute value: & < > " ' become
// character references. Other bytes pass unchanged.
std::string escapeHtml(std::string_view text);

// The share page of a canvas: its picture, its ID and the link that opens it in the app, then
// the other canvases whose links carry the same date code, each with its own app link. Every
// argument is escaped here; the page loads nothing but the picture.
std::string sharePage(std::string_view canvas_id, std::string_view picture_url,
                      std::span<const std::string> others = {});
std::string notFoundPage();
std::string indexPage();

// The Content-Security-Policy the pages are sent with.
inline constexpr std::string_view PagePolicy =
    "default-src 'none'; img-src http: https: data:; style-src 'unsafe-inline'";

} // namespace velmo::server
