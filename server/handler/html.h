#pragma once

#include <span>
#include <string>
#include <string_view>

namespace velmo::server {

// Makes any bytes safe as HTML text and as a quoted attribute value: & < > " ' become
// character references. Other bytes pass unchanged.
std::string escapeHtml(std::string_view text);

// The share page of a canvas: its picture, its ID and the link that opens it in the app, then
// the other canvases whose links carry the same date code, each with its own app link. With a
// `draw_url`, a link "Draw in the browser" to it stands beside the app link. Every argument is
// escaped here; the page loads nothing but the picture.
std::string sharePage(std::string_view canvas_id, std::string_view picture_url,
                      std::span<const std::string> others = {}, std::string_view draw_url = {});
std::string notFoundPage();
// The answers of GET /draw/... when there is no page to give.
std::string browserPageMissingPage();
std::string notACanvasPage();

// One canvas on the front page: its ID, its picture, the page its picture links to and, when
// not empty, its browser page.
struct CanvasCard {
    std::string canvas_id;
    std::string picture_url;
    std::string link_url;
    std::string draw_url = {};
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

// The content security policy of the browser page: its scripts (WebAssembly included), styles
// and connections from this server only, pictures also from data: and blob: URLs (what it
// paints and copies), and nothing may frame it.
inline constexpr std::string_view DrawPagePolicy =
    "default-src 'none'; script-src 'self' 'wasm-unsafe-eval'; style-src 'self'; img-src 'self' "
    "data: blob:; connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors "
    "'none'";

} // namespace velmo::server
