#include "handler/render_folder.h"

#include "handler/sha256.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <system_error>
#include <vector>

namespace velmo::server {
namespace {

constexpr std::string_view Format = "velmorastra-kept-render 1 ";
// The layers of the largest canvas the decoder takes, compressed, with room to spare: a larger
// file is not one of ours.
constexpr std::streamoff MaxFileBytes = 256LL * 1024 * 1024;

std::optional<std::string> readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return std::nullopt;
    }
    in.seekg(0, std::ios::end);
    const std::streamoff size = in.tellg();
    if (size < 0 || size > MaxFileBytes) {
        return std::nullopt;
    }
    in.seekg(0);
    std::string bytes(static_cast<size_t>(size), '\0');
    if (!in.read(bytes.data(), size)) {
        return std::nullopt;
    }
    return bytes;
}

} // namespace

std::filesystem::path RenderFolder::fileOf(std::string_view canvas_id, int width,
                                           int height) const {
    return folder_ / (sha256Hex(canvas_id).substr(0, 32) + "-" + std::to_string(width) + "x" +
                      std::to_string(height) + ".layers");
}

void RenderFolder::removeCanvas(std::string_view canvas_id) const {
    // Every size of the canvas shares the name's start; the files of other canvases never do.
    const std::string prefix = sha256Hex(canvas_id).substr(0, 32) + "-";
    std::error_code ec;
    std::vector<std::filesystem::path> doomed;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(prefix) && name.ends_with(".layers")) {
            doomed.push_back(entry.path());
        }
    }
    for (const auto& path : doomed) {
        std::filesystem::remove(path, ec);
    }
}

void RenderFolder::trim() const {
    struct File {
        std::filesystem::file_time_type used;
        uint64_t bytes;
        std::filesystem::path path;
    };
    std::vector<File> files;
    uint64_t total = 0;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder_, ec)) {
        std::error_code entry_ec;
        const uint64_t bytes = entry.file_size(entry_ec);
        const auto used = entry.last_write_time(entry_ec);
        if (!entry_ec) {
            files.push_back({used, bytes, entry.path()});
            total += bytes;
        }
    }
    if (total <= max_bytes_) {
        return;
    }
    std::sort(files.begin(), files.end(),
              [](const File& a, const File& b) { return a.used < b.used; });
    for (const File& file : files) {
        if (total <= max_bytes_) {
            break;
        }
        if (std::filesystem::remove(file.path, ec)) {
            total -= file.bytes;
        }
    }
}

std::optional<KeptRender> RenderFolder::load(std::string_view canvas_id, int width,
                                             int height) const {
    const std::filesystem::path path = fileOf(canvas_id, width, height);
    const auto bytes = readFile(path);
    if (!bytes) {
        return std::nullopt;
    }
    const auto kept = png::splitKeptLayersFile(*bytes, Format);
    if (!kept || kept->canvas_id != canvas_id) {
        return std::nullopt;
    }
    auto picture = png::decodeLayersPng(kept->layers_png);
    if (!picture || picture->layers[0].width() != width || picture->layers[0].height() != height) {
        return std::nullopt;
    }
    std::error_code ec;
    std::filesystem::last_write_time(path, std::filesystem::file_time_type::clock::now(), ec);
    return KeptRender{std::move(*picture), std::string(kept->header)};
}

bool RenderFolder::save(std::string_view canvas_id, int width, int height,
                        std::string_view newest_hash, std::string_view layers_png) const {
    std::error_code ec;
    std::filesystem::create_directories(folder_, ec);
    const std::filesystem::path path = fileOf(canvas_id, width, height);
    // A name of this write's own, so that two writers never share the file being written.
    static std::atomic<uint64_t> writes{0};
    std::filesystem::path beside = path;
    beside += ".new" + std::to_string(writes.fetch_add(1));
    {
        std::ofstream out(beside, std::ios::binary | std::ios::trunc);
        const std::string file = png::keptLayersFile(std::string(Format) + std::string(newest_hash),
                                                     canvas_id, layers_png);
        out.write(file.data(), static_cast<std::streamsize>(file.size()));
        out.flush();
        if (!out) {
            out.close();
            std::filesystem::remove(beside, ec);
            return false;
        }
    }
    std::filesystem::rename(beside, path, ec);
    if (ec) {
        std::filesystem::remove(beside, ec);
        return false;
    }
    trim();
    return true;
}

} // namespace velmo::server
