#pragma once

#include "canvas/surface.h"

#include <png.h>
#include <zip.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace velmo::testing {

// A PNG file decoded by libpng as 8-bit RGBA, with its size; no pixels when libpng refuses it.
struct DecodedPng {
    int width = 0;
    int height = 0;
    std::vector<uint8_t> rgba;
};
inline DecodedPng decodePng(const std::string& file) {
    DecodedPng decoded;
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return decoded;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        return decoded;
    }
    decoded.width = static_cast<int>(image.width);
    decoded.height = static_cast<int>(image.height);
    decoded.rgba = std::move(pixels);
    return decoded;
}

// The r, g, b, a bytes of an opaque surface, row after row.
inline std::vector<uint8_t> rgbaOfOpaque(const canvas::Surface& surface) {
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(surface.width()) * surface.height() * 4);
    for (int y = 0; y < surface.height(); ++y) {
        for (int x = 0; x < surface.width(); ++x) {
            const canvas::Argb p = canvas::unpackPixel(surface.at(x, y));
            out.insert(out.end(), {p.r, p.g, p.b, p.a});
        }
    }
    return out;
}

// The entries of a zip archive as libzip reads them, in the archive's order; none when it is
// not one.
struct ZipEntry {
    std::string name;
    bool stored = false; // not compressed
    std::string data;
};
inline std::vector<ZipEntry> zipEntries(const std::string& archive_bytes) {
    std::vector<ZipEntry> entries;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source =
        zip_source_buffer_create(archive_bytes.data(), archive_bytes.size(), 0, &error);
    zip_error_fini(&error);
    if (source == nullptr) {
        return entries;
    }
    zip_error_init(&error);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    zip_error_fini(&error);
    if (archive == nullptr) {
        zip_source_free(source);
        return entries;
    }
    const zip_int64_t count = zip_get_num_entries(archive, 0);
    for (zip_int64_t i = 0; i < count; ++i) {
        const auto index = static_cast<zip_uint64_t>(i);
        zip_stat_t stat;
        zip_stat_init(&stat);
        zip_stat_index(archive, index, 0, &stat);
        ZipEntry entry{stat.name, stat.comp_method == ZIP_CM_STORE, {}};
        zip_file_t* file = zip_fopen_index(archive, index, 0);
        if (file != nullptr) {
            entry.data.resize(static_cast<size_t>(stat.size));
            const zip_int64_t read = zip_fread(file, entry.data.data(), stat.size);
            entry.data.resize(read < 0 ? 0 : static_cast<size_t>(read));
            zip_fclose(file);
        }
        entries.push_back(std::move(entry));
    }
    zip_discard(archive);
    return entries;
}

} // namespace velmo::testing
