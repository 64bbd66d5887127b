#include "handler/png_encode.h"

#include <png.h>

#include <cstring>
#include <vector>

namespace velmo::server {

std::optional<std::string> encodePng(const canvas::Surface& surface) {
    if (surface.empty()) {
        return std::nullopt;
    }
    const auto width = static_cast<size_t>(surface.width());
    const auto height = static_cast<size_t>(surface.height());
    std::vector<png_byte> rgba(width * height * 4);
    for (size_t y = 0; y < height; ++y) {
        const canvas::Pixel* row = surface.row(static_cast<int>(y));
        png_byte* out = rgba.data() + y * width * 4;
        for (size_t x = 0; x < width; ++x) {
            const canvas::Argb p = canvas::unpackPixel(row[x]);
            const auto unpremultiply = [&](uint8_t c) {
                return p.a == 0
                           ? png_byte{0}
                           : static_cast<png_byte>(
                                 (c * 255 + p.a / 2) / p.a > 255 ? 255 : (c * 255 + p.a / 2) / p.a);
            };
            out[4 * x] = unpremultiply(p.r);
            out[4 * x + 1] = unpremultiply(p.g);
            out[4 * x + 2] = unpremultiply(p.b);
            out[4 * x + 3] = p.a;
        }
    }
    // The simplified API reports errors through the image structure, without longjmp.
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    image.width = static_cast<png_uint_32>(width);
    image.height = static_cast<png_uint_32>(height);
    image.format = PNG_FORMAT_RGBA;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&image, nullptr, &size, 0, rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    std::string png(size, '\0');
    if (!png_image_write_to_memory(&image, png.data(), &size, 0, rgba.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    png.resize(size);
    png_image_free(&image);
    return png;
}

} // namespace velmo::server
