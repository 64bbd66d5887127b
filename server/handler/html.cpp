#include "handler/html.h"

#include "wire/canvas_link.h"
#include "wire/percent_codec.h"

namespace velmo::server {
namespace {

constexpr std::string_view PageStyle =
    "body{font-family:system-ui,sans-serif;margin:0;padding:2em 1em;background:#f4f3ef;"
    "color:#222;text-align:center}"
    "img{max-width:100%;height:auto;background:#fff;box-shadow:0 1px 6px rgba(0,0,0,.25)}"
    "h1{font-size:1.1em;font-weight:normal;word-break:break-all}"
    "a.open{display:inline-block;margin-top:1em;padding:.6em 1.2em;border-radius:.4em;"
    "background:#2d6cdf;color:#fff;text-decoration:none}"
    "h1.product{font-size:2em;font-weight:bold}"
    "code{background:#fff;padding:.1em .3em;border-radius:.2em;overflow-wrap:anywhere}"
    "ul.canvases{list-style:none;padding:0;display:flex;flex-wrap:wrap;justify-content:center;"
    "gap:1em}"
    "ul.canvases li{width:160px;font-size:.8em;word-break:break-all}"
    "ul.canvases a{color:#222;text-decoration:none}"
    "a.draw{margin-left:.6em}"
    "ul.canvases a.draw{margin:0;color:#2d6cdf}";

std::string page(std::string_view title, std::string_view body) {
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
                      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
                      "<title>";
    out += title;
    out += "</title>\n<style>";
    out += PageStyle;
    out += "</style>\n</head>\n<body>\n";
    out += body;
    out += "</body>\n</html>\n";
    return out;
}

} // namespace

std::string escapeHtml(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '&':
            out += "&amp;";
            break;
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\'':
            out += "&#39;";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::string sharePage(std::string_view canvas_id, std::string_view picture_url,
                      std::span<const std::string> others, std::string_view draw_url) {
    const std::string id = escapeHtml(canvas_id);
    std::string body = "<h1>";
    body += id;
    body += "</h1>\n<p><img src=\"";
    body += escapeHtml(picture_url);
    body += "\" width=\"320\" height=\"480\" alt=\"the picture of canvas ";
    body += id;
    body += "\"></p>\n<p><a class=\"open\" href=\"";
    // Escaped, so that an ID holding "%" still opens: the app decodes every escape of a link.
    body += wire::LinkPrefix;
    body += escapeHtml(wire::percentEncode(canvas_id));
    body += "\">Open in Velmorastra</a>";
    if (!draw_url.empty()) {
        body += " <a class=\"open draw\" href=\"";
        body += escapeHtml(draw_url);
        body += "\">Draw in the browser</a>";
    }
    body += "</p>\n";
    if (!others.empty()) {
        body += "<h2>Other canvases with this link's code</h2>\n<ul>\n";
        for (const std::string& other : others) {
            body += "<li><a class=\"other\" href=\"";
            body += wire::LinkPrefix;
            body += escapeHtml(wire::percentEncode(other));
            body += "\">";
            body += escapeHtml(other);
            body += "</a></li>\n";
        }
        body += "</ul>\n";
    }
    return page("Velmorastra canvas " + id, body);
}

std::string notFoundPage() {
    return page("Canvas not found", "<h1>There is no canvas under this link.</h1>\n");
}

std::string browserPageMissingPage() {
    return page("Browser page not installed",
                "<h1>The browser page is not installed on this server.</h1>\n"
                "<p>Open the canvas in the Velmorastra app instead.</p>\n");
}

std::string notACanvasPage() {
    return page("Not a canvas", "<h1>This link names no canvas.</h1>\n");
}

std::string frontPage(std::string_view version, std::string_view server_url,
                      std::span<const CanvasCard> canvases) {
    std::string body = "<h1 class=\"product\">Velmorastra</h1>\n"
                       "<p>Shared drawing canvas server, version ";
    body += escapeHtml(version);
    body += "</p>\n<h2>Open the app</h2>\n"
            "<p>Start the Velmorastra app on this server with <code>velmorastra --server ";
    body += escapeHtml(server_url);
    body += "</code>. A link <code>";
    body += wire::LinkPrefix;
    body += "&lt;canvas ID&gt;</code> opens that canvas in the app; a canvas's page below "
            "has its link.</p>\n";
    if (canvases.empty()) {
        body += "<p>No canvas has been drawn on yet.</p>\n";
        return page("Velmorastra", body);
    }
    body += "<h2>Recently active canvases</h2>\n<ul class=\"canvases\">\n";
    for (const CanvasCard& card : canvases) {
        const std::string id = escapeHtml(card.canvas_id);
        body += "<li><a href=\"";
        body += escapeHtml(card.link_url);
        body += "\"><img src=\"";
        body += escapeHtml(card.picture_url);
        body += "\" width=\"160\" height=\"240\" alt=\"the picture of canvas ";
        body += id;
        body += "\"><br>";
        body += id;
        body += "</a>";
        if (!card.draw_url.empty()) {
            body += "<br><a class=\"draw\" href=\"";
            body += escapeHtml(card.draw_url);
            body += "\">Draw in the browser</a>";
        }
        body += "</li>\n";
    }
    body += "</ul>\n";
    return page("Velmorastra", body);
}

} // namespace velmo::server
