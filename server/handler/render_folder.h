#pragma once

#include "png/layers_png.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace velmo::server {

// A canvas's layers as a render last kept them on disk, with the check that they still belong
// to the canvas: a hash of the text of the newest stroke they hold.
struct KeptRender {
    png::LayersPicture picture;
    std::string newest_hash;
};

// Renders kept on disk, so that the first render after a start paints only the strokes that
// came after its kept layers instead of every stroke. A file a canvas and size:
// <folder>/<first 32 hex digits of SHA-256 of the canvas ID>-<w>x<h>.layers, holding the line
// "velmorastra-kept-render 1 <newest hash>\n", the canvas ID and "\n", then the layers file
// (png/layers_png.h), which says how many strokes are painted and the newest one's stamp.
// A copy, never the truth: a file that is missing, damaged, of another canvas or size, or whose
// newest stroke the store no longer holds is ignored (canvas_render.cpp checks the last). Files
// are replaced whole (written beside, then renamed), so a crash leaves the old one or the new.
// The folder is bounded: after a write that takes it past `max_bytes`, the files used least
// recently (written, or loaded) go until it is within. Thread-safe; two writers of one file
// leave one of their files.
class RenderFolder {
public:
    static constexpr uint64_t DefaultMaxBytes = 1ULL << 30;

    explicit RenderFolder(std::filesystem::path folder, uint64_t max_bytes = DefaultMaxBytes)
        : folder_(std::move(folder)), max_bytes_(max_bytes) {}

    std::optional<KeptRender> load(std::string_view canvas_id, int width, int height) const;
    // False when the folder cannot be made or the file written.
    bool save(std::string_view canvas_id, int width, int height, std::string_view newest_hash,
              std::string_view layers_png) const;

    // Removes every kept render of the canvas (a removed canvas must not show again).
    void removeCanvas(std::string_view canvas_id) const;

    const std::filesystem::path& folder() const { return folder_; }

private:
    std::filesystem::path fileOf(std::string_view canvas_id, int width, int height) const;

    void trim() const;

    std::filesystem::path folder_;
    uint64_t max_bytes_;
};

} // namespace velmo::server
