#include "export/open_raster.h"

#include "png/png_encoder.h"

#include <zip.h>

#include <cstdio>
#include <memory>
#include <vector>

namespace velmo::exporting {
namespace {

struct SourceFree {
    void operator()(zip_source_t* source) const { zip_source_free(source); }
};
struct ArchiveDiscard {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};
using SourcePtr = std::unique_ptr<zip_source_t, SourceFree>;
using ArchivePtr = std::unique_ptr<zip_t, ArchiveDiscard>;

// The archive's bytes, which libzip wrote into `source` when the archive was closed.
std::optional<std::string> bytesOf(zip_source_t* source) {
    if (zip_source_open(source) < 0) {
        return std::nullopt;
    }
    std::optional<std::string> bytes;
    if (zip_source_seek(source, 0, SEEK_END) == 0) {
        const zip_int64_t size = zip_source_tell(source);
        if (size >= 0 && zip_source_seek(source, 0, SEEK_SET) == 0) {
            std::string read(static_cast<size_t>(size), '\0');
            if (zip_source_read(source, read.data(), static_cast<zip_uint64_t>(size)) == size) {
                bytes = std::move(read);
            }
        }
    }
    zip_source_close(source);
    return bytes;
}

// Adds `data`, which must live until the archive is closed, under `name`; PNG files and the
// mimetype are stored, since deflate gains nothing on the first and the format forbids it on
// the second.
bool addFile(zip_t* archive, const char* name, const std::string& data, bool store) {
    zip_source_t* source = zip_source_buffer(archive, data.data(), data.size(), 0);
    if (source == nullptr) {
        return false;
    }
    const zip_int64_t index = zip_file_add(archive, name, source, ZIP_FL_OVERWRITE);
    if (index < 0) {
        zip_source_free(source); // still ours when the add failed
        return false;
    }
    return !store || zip_set_file_compression(archive, static_cast<zip_uint64_t>(index),
                                              ZIP_CM_STORE, 0) == 0;
}

} // namespace

std::string openRasterStack(int width, int height) {
    std::string xml = "<?xml version='1.0' encoding='UTF-8'?>\n<image version=\"0.0.3\" w=\"" +
                      std::to_string(width) + "\" h=\"" + std::to_string(height) +
                      "\">\n <stack>\n";
    for (int i = 2; i >= 0; --i) {
        const OpenRasterLayer& layer = OpenRasterLayers[i];
        xml += "  <layer name=\"" + std::string(layer.name) + "\" src=\"" +
               std::string(layer.file) + "\" composite-op=\"" + std::string(layer.composite_op) +
               "\" opacity=\"1.0\" visibility=\"visible\" x=\"0\" y=\"0\"/>\n";
    }
    xml += " </stack>\n</image>\n";
    return xml;
}

std::optional<std::string> openRasterFile(const canvas::LayerSurfaces& layers,
                                          const ProgressFunction& progress) {
    // Every file of the archive, in its order; libzip reads them at the close.
    std::vector<std::pair<std::string, std::string>> files;
    files.emplace_back("mimetype", std::string(OpenRasterMimeType));
    files.emplace_back("stack.xml", openRasterStack(layers[0].width(), layers[0].height()));
    // Six encodes of which the three layers and the picture are the long ones.
    constexpr double Steps = 5.0;
    for (size_t i = 0; i < layers.size(); ++i) {
        if (progress && !progress(static_cast<double>(i) / Steps)) {
            return std::nullopt;
        }
        auto png = png::encodePng(layers[i]);
        if (!png) {
            return std::nullopt;
        }
        files.emplace_back(OpenRasterLayers[i].file, std::move(*png));
    }
    if (progress && !progress(3.0 / Steps)) {
        return std::nullopt;
    }
    const canvas::Surface picture = composedPicture(layers);
    auto merged = png::encodePng(picture);
    auto thumbnail = png::encodePng(shrunkToFit(picture, OpenRasterThumbnailSize));
    if (!merged || !thumbnail) {
        return std::nullopt;
    }
    files.emplace_back("mergedimage.png", std::move(*merged));
    files.emplace_back("Thumbnails/thumbnail.png", std::move(*thumbnail));
    if (progress && !progress(4.0 / Steps)) {
        return std::nullopt;
    }

    zip_error_t error;
    zip_error_init(&error);
    SourcePtr source(zip_source_buffer_create(nullptr, 0, 0, &error));
    zip_error_fini(&error);
    if (!source) {
        return std::nullopt;
    }
    zip_error_init(&error);
    ArchivePtr archive(zip_open_from_source(source.get(), ZIP_TRUNCATE, &error));
    zip_error_fini(&error);
    if (!archive) {
        return std::nullopt; // the source is still only ours
    }
    // The archive now holds the source and frees it when done; the bytes are read from it
    // after the close.
    zip_source_keep(source.get());
    for (const auto& [name, data] : files) {
        const bool store = name == "mimetype" || name.ends_with(".png");
        if (!addFile(archive.get(), name.c_str(), data, store)) {
            return std::nullopt;
        }
    }
    if (zip_close(archive.get()) < 0) {
        return std::nullopt;
    }
    archive.release(); // closed, and freed by the close
    return bytesOf(source.get());
}

} // namespace velmo::exporting
