#include "png/png_encoder.h"

#include <png.h>

#include <csetjmp>
#include <cstdint>
#include <vector>

namespace velmo::png {
namespace {

void appendToString(png_structp png, png_bytep data, png_size_t length) {
    auto* out = static_cast<std::string*>(png_get_io_ptr(png));
    out->append(reinterpret_cast<const char*>(data), length);
}

void flushNothing(png_structp) {}

// libpng reports errors by longjmp, so this frame holds nothing that needs destroying: the
// rows and the output belong to the caller.
bool writePng(png_structp png, png_infop info, std::string* out, png_bytep* rows, int width,
              int height) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_write_fn(png, out, appendToString, flushNothing);
    png_set_IHDR(png, info, static_cast<png_uint_32>(width), static_cast<png_uint_32>(height), 8,
                 PNG_COLOR_TYPE_RGB_ALPHA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
                 PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows);
    png_write_end(png, nullptr);
    return true;
}

uint8_t unpremultiplied(uint8_t channel, uint8_t alpha) {
    if (alpha == 0) {
        return 0;
    }
    const unsigned value = (static_cast<unsigned>(channel) * 255 + alpha / 2) / alpha;
    return static_cast<uint8_t>(value > 255 ? 255 : value);
}

} // namespace

std::optional<std::string> encodePng(const canvas::Surface& surface) {
    if (surface.empty()) {
        return std::nullopt;
    }
    const int width = surface.width();
    const int height = surface.height();
    std::vector<uint8_t> rgba(static_cast<size_t>(width) * height * 4);
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; ++y) {
        uint8_t* out = rgba.data() + static_cast<size_t>(y) * width * 4;
        rows[static_cast<size_t>(y)] = out;
        for (int x = 0; x < width; ++x) {
            const canvas::Argb p = canvas::unpackPixel(surface.at(x, y));
            out[x * 4 + 0] = unpremultiplied(p.r, p.a);
            out[x * 4 + 1] = unpremultiplied(p.g, p.a);
            out[x * 4 + 2] = unpremultiplied(p.b, p.a);
            out[x * 4 + 3] = p.a;
        }
    }

    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    if (png == nullptr) {
        return std::nullopt;
    }
    png_infop info = png_create_info_struct(png);
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        return std::nullopt;
    }
    std::string file;
    const bool written = writePng(png, info, &file, rows.data(), width, height);
    png_destroy_write_struct(&png, &info);
    if (!written) {
        return std::nullopt;
    }
    return file;
}

} // namespace velmo::png
