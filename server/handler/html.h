#pragma once

#include "wire/percent_codec.h"

#include <optional>
#include <string>
#include <string_view>

namespace velmo::server {

// Makes any bytes safe as HTML text and as a quoted attribute value: & < > " ' become
// character references. Other bytes pass unchanged.
std::string escapeHtml(std::string_view text);

// Canvas IDs in links and routes use the codec both sides of the wire share.
using wire::percentDecode;
using wire::percentEncode;

// The share page of a canvas: its picture, its ID and the link that opens it in the app. Every
// argument is escaped here; the page loads nothing but the picture.
std::string sharePage(std::string_view canvas_id, std::string_view picture_url);
std::string notFoundPage();
std::string indexPage();

// The Content-Security-Policy the pages are sent with.
inline constexpr std::string_view PagePolicy =
    "default-src 'none'; img-src http: https: data:; style-src 'unsafe-inline'";

} // namespace velmo::server
