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

// One canvas on the front page: its ID, its picture and the page its picture links to.
struct CanvasCard {
    std::string canvas_id;
    std::string picture_url;
    std::string link_url;
};
// The server's front page: the product's name and `version`, how to open the app on this
// server (`server_url`, the address clients send their commands to), and `canvases`, the most
// recently active first, each a picture linking to its page. Every argument is escaped here;
// the page loads nothing but the pictures.
std::string frontPage(std::string_view version, std::string_view server_url,
                      std::span<const CanvasCard> canvases);

// The Content-Security-Policy the pages are sent with.
inline constexpr std::string_view PagePolicy =
    "default-src 'none'; img-src http: https: data:; style-src 'unsafe-inline'";

} // namespace velmo::server
