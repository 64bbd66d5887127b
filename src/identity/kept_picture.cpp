#include "identity/kept_picture.h"

#include "png/layers_png.h"

#include <charconv>

namespace velmo::identity {
namespace {

constexpr std::string_view Magic = "velmorastra-kept-layers 1";

uint64_t mix(uint64_t h) {
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}

// Reads a decimal number and the space or newline after it from the front of `text`.
template <typename Number> bool take(std::string_view& text, Number& value, char after) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end == text.data() + text.size() || *end != after) {
        return false;
    }
    text.remove_prefix(static_cast<size_t>(end - text.data()) + 1);
    return true;
}

} // namespace

KeptPictureStamp keptPictureStamp(const std::string& canvas_id, int width, int height,
                                  const canvas::StrokeHistory& history,
                                  const canvas::StrokeKey& through) {
    KeptPictureStamp stamp{canvas_id, width, height, through, 0, mix(canvas_id.size())};
    for (const char c : canvas_id) {
        stamp.keys_hash = mix(stamp.keys_hash ^ static_cast<unsigned char>(c));
    }
    for (auto it = history.begin(); it != history.end() && !(through < it->first); ++it) {
        stamp.keys_hash = mix(stamp.keys_hash ^ static_cast<uint64_t>(it->first.first));
        stamp.keys_hash = mix(stamp.keys_hash ^ static_cast<uint64_t>(it->first.second));
        ++stamp.strokes;
    }
    return stamp;
}

std::optional<std::string> keptPictureFile(const KeptPictureStamp& stamp,
                                           const canvas::LayerSurfaces& layers) {
    auto png =
        png::encodeLayersPng(layers, stamp.through.first, static_cast<int64_t>(stamp.strokes));
    if (!png) {
        return std::nullopt;
    }
    std::string file(Magic);
    for (const auto number : {int64_t{stamp.width}, int64_t{stamp.height}, stamp.through.first,
                              stamp.through.second, static_cast<int64_t>(stamp.strokes)}) {
        file += ' ' + std::to_string(number);
    }
    file += ' ' + std::to_string(stamp.keys_hash) + '\n' + stamp.canvas_id + '\n';
    return file + *png;
}

std::optional<KeptPictureParts> splitKeptPicture(std::string_view file) {
    if (!file.starts_with(Magic) || file.size() == Magic.size() || file[Magic.size()] != ' ') {
        return std::nullopt;
    }
    file.remove_prefix(Magic.size() + 1);
    KeptPictureParts parts;
    KeptPictureStamp& stamp = parts.stamp;
    if (!take(file, stamp.width, ' ') || !take(file, stamp.height, ' ') ||
        !take(file, stamp.through.first, ' ') || !take(file, stamp.through.second, ' ') ||
        !take(file, stamp.strokes, ' ') || !take(file, stamp.keys_hash, '\n')) {
        return std::nullopt;
    }
    const size_t line_end = file.find('\n');
    if (line_end == std::string_view::npos) {
        return std::nullopt;
    }
    stamp.canvas_id = std::string(file.substr(0, line_end));
    parts.png = file.substr(line_end + 1);
    return parts;
}

} // namespace velmo::identity
