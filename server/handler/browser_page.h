#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::server {

// The browser page of a canvas (GET /draw/<canvas ID>) and the three files it loads, read from
// a folder once at start and never changed afterwards: any thread may answer from it at once,
// without a lock or a copy of the files.
//
// Each file is served under a name that holds the first 16 hex digits of its SHA-256
// (/web/draw.<hash>.css, /web/velmorastra-web.<hash>.js, /web/velmorastra-web.<hash>.wasm), so
// browsers may keep it for good: a changed file is a new name, which the page names.
class BrowserPage {
public:
    // What a folder must hold.
    static constexpr std::string_view PageFile = "draw.html";
    static constexpr std::string_view StyleFile = "draw.css";
    static constexpr std::string_view ScriptFile = "velmorastra-web.js";
    static constexpr std::string_view WasmFile = "velmorastra-web.wasm";
    // A larger file is refused: nothing the page needs comes near it, and it stays in memory.
    static constexpr uint64_t MaxFileBytes = 32ULL * 1024 * 1024;

    // One of the served files.
    struct File {
        std::string name; // under /web/, e.g. "velmorastra-web.0123456789abcdef.wasm"
        std::string_view content_type;
        std::shared_ptr<const std::string> bytes;
        // The same bytes gzipped once at start (the module shrinks to about two fifths); none
        // when that saves nothing.
        std::shared_ptr<const std::string> gzipped;
    };

    // Reads the four files of `folder`. Nothing, with the reason (naming the file) in `problem`,
    // when one is missing, not a regular file, larger than MaxFileBytes or unreadable.
    static std::optional<BrowserPage> load(const std::filesystem::path& folder,
                                           std::string* problem);
    // The same from the files' bytes.
    BrowserPage(std::string page, std::string style, std::string script, std::string wasm);

    // The file served under /web/`name`; none for any other name (an older hash, a plain name).
    const File* file(std::string_view name) const;
    const File& style() const { return files_[0]; }
    const File& script() const { return files_[1]; }
    const File& wasm() const { return files_[2]; }

    // The page of `canvas_id` (any bytes; escaped here): the template with {{CANVAS_ID}}
    // replaced by the escaped ID, and {{STYLE_URL}}, {{SCRIPT_URL}} and {{WASM_URL}} by
    // `base_path` followed by "web/" and the file's name. `base_path` is the path of the public
    // URL, ending in "/": the files come from whatever origin the page came from, the only one
    // its content security policy allows. Other text, other "{{...}}" included, stays as it is.
    std::string page(std::string_view canvas_id, std::string_view base_path) const;

private:
    enum class Slot { CanvasId, Style, Script, Wasm };
    // The template cut at its placeholders, once: each piece's text, then what follows it.
    struct Piece {
        std::string text;
        std::optional<Slot> slot;
    };

    std::vector<Piece> pieces_;
    size_t template_size_ = 0;
    std::array<File, 3> files_;
};

// The path of a public URL ("https://host/app/" gives "/app/"), ending in "/".
std::string publicPath(std::string_view public_url);

} // namespace velmo::server
