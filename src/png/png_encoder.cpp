#include "png/png_encoder.h"

#include "canvas/pixel_math.h"

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

// The write structures, destroyed with the frame that made them.
class WriteStruct {
public:
    WriteStruct()
        : png_(png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr)) {
        if (png_ != nullptr) {
            info_ = png_create_info_struct(png_);
        }
    }
    ~WriteStruct() { png_destroy_write_struct(&png_, info_ != nullptr ? &info_ : nullptr); }
    WriteStruct(const WriteStruct&) = delete;
    WriteStruct& operator=(const WriteStruct&) = delete;

    bool valid() const { return png_ != nullptr && info_ != nullptr; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
};

// libpng reports errors by longjmp, so this frame holds nothing that needs destroying: the
// structures, the rows and the output belong to the caller.
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
        const canvas::Pixel* in = surface.row(y);
        uint8_t* out = rgba.data() + static_cast<size_t>(y) * width * 4;
        rows[static_cast<size_t>(y)] = out;
        for (int x = 0; x < width; ++x) {
            const canvas::Argb p = canvas::unpackPixel(in[x]);
            out[x * 4 + 0] = canvas::unpremultiply(p.r, p.a);
            out[x * 4 + 1] = canvas::unpremultiply(p.g, p.a);
            out[x * 4 + 2] = canvas::unpremultiply(p.b, p.a);
            out[x * 4 + 3] = p.a;
        }
    }

    WriteStruct write;
    if (!write.valid()) {
        return std::nullopt;
    }
    std::string file;
    if (!writePng(write.png(), write.info(), &file, rows.data(), width, height)) {
        return std::nullopt;
    }
    return file;
}

} // namespace velmo::png
