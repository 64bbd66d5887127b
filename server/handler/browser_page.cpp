#include "handler/browser_page.h"

#include "handler/html.h"
#include "handler/sha256.h"

#include <fstream>
#include <system_error>

#include <zlib.h>

namespace velmo::server {
namespace {

constexpr size_t HashDigits = 16;

// The whole file, or nothing with the reason in `problem`.
std::optional<std::string> readBounded(const std::filesystem::path& path, std::string* problem) {
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (ec || !std::filesystem::exists(status)) {
        *problem = path.string() + ": no such file";
        return std::nullopt;
    }
    if (!std::filesystem::is_regular_file(status)) {
        *problem = path.string() + ": not a regular file";
        return std::nullopt;
    }
    const uint64_t size = std::filesystem::file_size(path, ec);
    if (ec) {
        *problem = path.string() + ": " + ec.message();
        return std::nullopt;
    }
    if (size > BrowserPage::MaxFileBytes) {
        *problem = path.string() + ": larger than " +
                   std::to_string(BrowserPage::MaxFileBytes >> 20) + " MiB";
        return std::nullopt;
    }
    std::ifstream in(path, std::ios::binary);
    std::string bytes(static_cast<size_t>(size), '\0');
    // A file that shrank while it was read is as unreadable as one that cannot be opened.
    if (!in || !in.read(bytes.data(), static_cast<std::streamsize>(size))) {
        *problem = path.string() + ": cannot be read";
        return std::nullopt;
    }
    return bytes;
}

// A gzip member of `bytes` at the best compression; nothing when zlib fails or it is no smaller.
std::shared_ptr<const std::string> gzipOf(const std::string& bytes) {
    z_stream stream{};
    // 15 window bits, plus 16 for the gzip wrapper.
    if (deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, 15 + 16, 9, Z_DEFAULT_STRATEGY) !=
        Z_OK) {
        return nullptr;
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(bytes.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    if (result != Z_STREAM_END || out.size() >= bytes.size()) {
        return nullptr;
    }
    return std::make_shared<const std::string>(std::move(out));
}

// "velmorastra-web.js" and its bytes give "velmorastra-web.<16 hex digits>.js".
BrowserPage::File hashedFile(std::string_view file_name, std::string_view content_type,
                             std::string bytes) {
    const size_t dot = file_name.rfind('.');
    BrowserPage::File file;
    file.name = std::string(file_name.substr(0, dot)) + "." +
                sha256Hex(bytes).substr(0, HashDigits) + std::string(file_name.substr(dot));
    file.content_type = content_type;
    file.gzipped = gzipOf(bytes);
    file.bytes = std::make_shared<const std::string>(std::move(bytes));
    return file;
}

} // namespace

std::optional<BrowserPage> BrowserPage::load(const std::filesystem::path& folder,
                                             std::string* problem) {
    std::array<std::string, 4> bytes;
    const std::array<std::string_view, 4> names = {PageFile, StyleFile, ScriptFile, WasmFile};
    for (size_t i = 0; i < names.size(); ++i) {
        auto read = readBounded(folder / names[i], problem);
        if (!read) {
            return std::nullopt;
        }
        bytes[i] = std::move(*read);
    }
    return BrowserPage(std::move(bytes[0]), std::move(bytes[1]), std::move(bytes[2]),
                       std::move(bytes[3]));
}

BrowserPage::BrowserPage(std::string page, std::string style, std::string script, std::string wasm)
    : template_size_(page.size()),
      files_{hashedFile(StyleFile, "text/css; charset=utf-8", std::move(style)),
             hashedFile(ScriptFile, "text/javascript; charset=utf-8", std::move(script)),
             hashedFile(WasmFile, "application/wasm", std::move(wasm))} {
    constexpr std::pair<std::string_view, Slot> Placeholders[] = {
        {"{{CANVAS_ID}}", Slot::CanvasId},
        {"{{STYLE_URL}}", Slot::Style},
        {"{{SCRIPT_URL}}", Slot::Script},
        {"{{WASM_URL}}", Slot::Wasm},
    };
    std::string_view rest = page;
    std::string text;
    while (!rest.empty()) {
        const size_t open = rest.find("{{");
        if (open == std::string_view::npos) {
            break;
        }
        text += rest.substr(0, open);
        rest.remove_prefix(open);
        std::optional<Slot> slot;
        for (const auto& [placeholder, which] : Placeholders) {
            if (rest.starts_with(placeholder)) {
                slot = which;
                rest.remove_prefix(placeholder.size());
                break;
            }
        }
        if (!slot) {
            text += rest.substr(0, 2);
            rest.remove_prefix(2);
            continue;
        }
        pieces_.push_back({std::move(text), slot});
        text.clear();
    }
    text += rest;
    pieces_.push_back({std::move(text), std::nullopt});
}

const BrowserPage::File* BrowserPage::file(std::string_view name) const {
    for (const File& file : files_) {
        if (file.name == name) {
            return &file;
        }
    }
    return nullptr;
}

std::string BrowserPage::page(std::string_view canvas_id, std::string_view base_path) const {
    const std::string id = escapeHtml(canvas_id);
    const std::string web = escapeHtml(base_path) + "web/";
    // The files' names are letters, digits, "-" and ".": nothing in them to escape.
    std::string out;
    out.reserve(template_size_ + 4 * (id.size() + web.size() + 40));
    for (const Piece& piece : pieces_) {
        out += piece.text;
        if (!piece.slot) {
            continue;
        }
        switch (*piece.slot) {
        case Slot::CanvasId:
            out += id;
            break;
        case Slot::Style:
            out += web;
            out += style().name;
            break;
        case Slot::Script:
            out += web;
            out += script().name;
            break;
        case Slot::Wasm:
            out += web;
            out += wasm().name;
            break;
        }
    }
    return out;
}

std::string publicPath(std::string_view public_url) {
    const size_t scheme = public_url.find("://");
    const size_t start = scheme == std::string_view::npos ? 0 : scheme + 3;
    const size_t slash = public_url.find('/', start);
    std::string path =
        slash == std::string_view::npos ? std::string("/") : std::string(public_url.substr(slash));
    if (path.back() != '/') {
        path += '/';
    }
    return path;
}

} // namespace velmo::server
