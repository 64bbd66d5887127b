#include "identity/kept_picture.h"

#include "png/layers_png.h"

#include <charconv>

namespace velmo::identity {
namespace {

constexpr std::string_view Format = "velmorastra-kept-layers 1 ";

uint64_t mix(uint64_t h) {
    h ^= h >> 30;
    h *= 0xbf58476d1ce4e5b9ull;
    h ^= h >> 27;
    h *= 0x94d049bb133111ebull;
    return h ^ (h >> 31);
}

// Reads a decimal number from the front of `text`, and the `after` that follows it unless it is
// the last.
template <typename Number> bool take(std::string_view& text, Number& value, char after = 0) {
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{}) {
        return false;
    }
    text.remove_prefix(static_cast<size_t>(end - text.data()));
    if (after == 0) {
        return true;
    }
    if (text.empty() || text.front() != after) {
        return false;
    }
    text.remove_prefix(1);
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
    std::string header;
    for (const auto number : {int64_t{stamp.width}, int64_t{stamp.height}, stamp.through.first,
                              stamp.through.second, static_cast<int64_t>(stamp.strokes)}) {
        header += std::to_string(number) + ' ';
    }
    header += std::to_string(stamp.keys_hash);
    return png::keptLayersFile(std::string(Format) + header, stamp.canvas_id, *png);
}

std::optional<KeptPictureParts> splitKeptPicture(std::string_view file) {
    const auto kept = png::splitKeptLayersFile(file, Format);
    if (!kept) {
        return std::nullopt;
    }
    std::string_view header = kept->header;
    KeptPictureParts parts;
    KeptPictureStamp& stamp = parts.stamp;
    if (!take(header, stamp.width, ' ') || !take(header, stamp.height, ' ') ||
        !take(header, stamp.through.first, ' ') || !take(header, stamp.through.second, ' ') ||
        !take(header, stamp.strokes, ' ') || !take(header, stamp.keys_hash) || !header.empty()) {
        return std::nullopt;
    }
    stamp.canvas_id = std::string(kept->canvas_id);
    parts.png = kept->layers_png;
    return parts;
}

} // namespace velmo::identity
