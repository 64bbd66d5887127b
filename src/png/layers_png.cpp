#include "png/layers_png.h"

#include "png/png_bands.h"

#include <png.h>

#include <algorithm>
#include <charconv>
#include <csetjmp>
#include <cstring>
#include <vector>

namespace velmo::png {
namespace {

constexpr int LayerCount = 3;
// Ancillary chunks held in memory while reading: ours is a few dozen bytes, and a file may
// carry any number of others, each claiming any size.
constexpr png_alloc_size_t MaxChunkBytes = 64 * 1024;

// libpng reports through these; both stay silent, and an error ends the read or write by
// longjmp to the frame that called setjmp.
[[noreturn]] void failSilently(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void ignoreWarning(png_structp, png_const_charp) {}

struct Input {
    const char* data;
    size_t size;
    size_t at;
};

void readFromInput(png_structp png, png_bytep out, png_size_t length) {
    auto* input = static_cast<Input*>(png_get_io_ptr(png));
    if (length > input->size - input->at) {
        png_error(png, "short file");
    }
    std::memcpy(out, input->data + input->at, length);
    input->at += length;
}

// A decimal number without sign or leading zero ("0" itself aside) at the front of `text`,
// which moves past it.
std::optional<int64_t> takeNumber(std::string_view& text) {
    const auto digit = [&text](size_t i) {
        return i < text.size() && text[i] >= '0' && text[i] <= '9';
    };
    if (!digit(0) || (text[0] == '0' && digit(1))) {
        return std::nullopt;
    }
    int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (result.ec != std::errc()) {
        return std::nullopt; // beyond int64_t
    }
    text.remove_prefix(static_cast<size_t>(result.ptr - text.data()));
    return value;
}

bool readLayersText(std::string_view text, int64_t* through, int64_t* strokes) {
    constexpr std::string_view Through = "through=";
    constexpr std::string_view Strokes = " strokes=";
    if (!text.starts_with(Through)) {
        return false;
    }
    text.remove_prefix(Through.size());
    const auto t = takeNumber(text);
    if (!t || !text.starts_with(Strokes)) {
        return false;
    }
    text.remove_prefix(Strokes.size());
    const auto n = takeNumber(text);
    if (!n || !text.empty()) {
        return false;
    }
    *through = *t;
    *strokes = *n;
    return true;
}

class ReadStruct {
public:
    ReadStruct()
        : png_(
              png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, failSilently, ignoreWarning)) {
        if (png_ != nullptr) {
            info_ = png_create_info_struct(png_);
            end_ = png_create_info_struct(png_);
        }
    }
    ~ReadStruct() {
        png_destroy_read_struct(&png_, info_ != nullptr ? &info_ : nullptr,
                                end_ != nullptr ? &end_ : nullptr);
    }
    ReadStruct(const ReadStruct&) = delete;
    ReadStruct& operator=(const ReadStruct&) = delete;

    bool valid() const { return png_ != nullptr && info_ != nullptr && end_ != nullptr; }
    png_structp png() const { return png_; }
    png_infop info() const { return info_; }
    png_infop end() const { return end_; }

private:
    png_structp png_ = nullptr;
    png_infop info_ = nullptr;
    png_infop end_ = nullptr;
};

// Everything the frames that call setjmp touch lives in the caller's frame, so a longjmp out
// of libpng skips no destructor.
struct ReadJob {
    Input* input;
    png_uint_32 width;
    png_uint_32 height;
    int bit_depth;
    int color_type;
    int interlace;
    bool text_found;
    bool text_valid;
    int64_t through;
    int64_t strokes;
};

void findLayersText(png_structp png, png_infop info, ReadJob* job) {
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, info, &texts, &count);
    for (int i = 0; i < count; ++i) {
        if (texts[i].key == nullptr || std::string_view(texts[i].key) != LayersKeyword) {
            continue;
        }
        // A second text of ours makes the file ambiguous.
        job->text_valid = !job->text_found && texts[i].compression == PNG_TEXT_COMPRESSION_NONE &&
                          texts[i].text != nullptr &&
                          readLayersText(std::string_view(texts[i].text, texts[i].text_length),
                                         &job->through, &job->strokes);
        job->text_found = true;
    }
}

bool readHeader(png_structp png, png_infop info, ReadJob* job) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_read_fn(png, job->input, readFromInput);
    png_set_user_limits(png, MaxLayersWidth, MaxLayersHeight * LayerCount);
    png_set_chunk_malloc_max(png, MaxChunkBytes);
    // What libpng calls benign (a chunk beyond the limit above, extra data) is not our format.
    png_set_benign_errors(png, 0);
    png_read_info(png, info);
    png_get_IHDR(png, info, &job->width, &job->height, &job->bit_depth, &job->color_type,
                 &job->interlace, nullptr, nullptr);
    findLayersText(png, info, job);
    return true;
}

struct PixelJob {
    canvas::LayerSurfaces* layers;
    png_bytep row;
    png_infop end;
};

bool readPixels(png_structp png, ReadJob* job, PixelJob* pixels) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    const int width = static_cast<int>(job->width);
    const int height = static_cast<int>(job->height) / LayerCount;
    for (canvas::Surface& layer : *pixels->layers) {
        // Made as its rows come, so a file that claims large layers and holds few rows costs
        // little before it is refused.
        layer = canvas::Surface(width, height);
        for (int y = 0; y < height; ++y) {
            png_read_row(png, pixels->row, nullptr);
            canvas::Pixel* out = layer.row(y);
            const png_bytep in = pixels->row;
            for (int x = 0; x < width; ++x) {
                out[x] = canvas::makePixel(255, in[x * 3], in[x * 3 + 1], in[x * 3 + 2]);
            }
        }
    }
    png_read_end(png, pixels->end);
    findLayersText(png, pixels->end, job);
    return true;
}

} // namespace

std::string layersText(int64_t through, int64_t strokes) {
    return "through=" + std::to_string(through) + " strokes=" + std::to_string(strokes);
}

void surfaceRow(const canvas::Surface& surface, int y, uint8_t* rgb) {
    const canvas::Pixel* in = surface.row(y);
    for (int x = 0; x < surface.width(); ++x) {
        const canvas::Argb p = canvas::unpackPixel(in[x]);
        rgb[x * 3 + 0] = p.r;
        rgb[x * 3 + 1] = p.g;
        rgb[x * 3 + 2] = p.b;
    }
}

void layersFileRow(const canvas::LayerSurfaces& layers, int y, uint8_t* rgb) {
    const int height = layers[0].height();
    surfaceRow(layers[static_cast<size_t>(y / height)], y % height, rgb);
}

bool layersFit(const canvas::LayerSurfaces& layers) {
    const int width = layers[0].width();
    const int height = layers[0].height();
    if (layers[0].empty() || width > MaxLayersWidth || height > MaxLayersHeight) {
        return false;
    }
    return std::all_of(layers.begin(), layers.end(), [&](const canvas::Surface& layer) {
        return layer.width() == width && layer.height() == height;
    });
}

std::optional<std::string> encodeLayersPng(const canvas::LayerSurfaces& layers, int64_t through,
                                           int64_t strokes) {
    if (!layersFit(layers) || through < 0 || strokes < 0) {
        return std::nullopt;
    }
    PngBands file(layers[0].width(), layers[0].height() * LayerCount);
    if (!file.encode([&layers](int y, uint8_t* rgb) { layersFileRow(layers, y, rgb); })) {
        return std::nullopt;
    }
    return file.file(LayersKeyword, layersText(through, strokes));
}

namespace {

// True when every chunk after the signature lies inside `bytes`, up to IEND. libpng allocates
// what an ancillary chunk's length claims before it finds the data missing, so a chunk that
// claims more than the file holds is refused here first.
bool chunksFit(std::string_view bytes) {
    size_t at = 8;
    while (bytes.size() - at >= 12) {
        uint32_t length = 0;
        for (size_t i = 0; i < 4; ++i) {
            length = length << 8 | static_cast<uint8_t>(bytes[at + i]);
        }
        if (length > bytes.size() - at - 12) {
            return false;
        }
        if (bytes.substr(at + 4, 4) == "IEND") {
            return true;
        }
        at += 12 + size_t{length};
    }
    return false;
}

} // namespace

std::optional<LayersPicture> decodeLayersPng(std::string_view bytes) {
    if (bytes.size() < 8 || png_sig_cmp(reinterpret_cast<png_const_bytep>(bytes.data()), 0, 8) ||
        !chunksFit(bytes)) {
        return std::nullopt;
    }
    ReadStruct read;
    if (!read.valid()) {
        return std::nullopt;
    }
    Input input{bytes.data(), bytes.size(), 0};
    ReadJob job{&input, 0, 0, 0, 0, 0, false, false, 0, 0};
    if (!readHeader(read.png(), read.info(), &job)) {
        return std::nullopt;
    }
    if (job.bit_depth != 8 || job.color_type != PNG_COLOR_TYPE_RGB ||
        job.interlace != PNG_INTERLACE_NONE || job.width < 1 || job.width > MaxLayersWidth ||
        job.height < LayerCount || job.height % LayerCount != 0 ||
        job.height / LayerCount > MaxLayersHeight) {
        return std::nullopt;
    }
    LayersPicture picture;
    std::vector<png_byte> row(static_cast<size_t>(job.width) * 3);
    PixelJob pixels{&picture.layers, row.data(), read.end()};
    if (!readPixels(read.png(), &job, &pixels) || !job.text_found || !job.text_valid) {
        return std::nullopt;
    }
    picture.through = job.through;
    picture.strokes = job.strokes;
    return picture;
}

std::string keptLayersFile(std::string_view header, std::string_view canvas_id,
                           std::string_view layers_png) {
    std::string file;
    file.reserve(header.size() + canvas_id.size() + layers_png.size() + 2);
    file.append(header).append(1, '\n').append(canvas_id).append(1, '\n').append(layers_png);
    return file;
}

std::optional<KeptLayersParts> splitKeptLayersFile(std::string_view file, std::string_view format) {
    if (!file.starts_with(format)) {
        return std::nullopt;
    }
    const size_t header_end = file.find('\n');
    const size_t id_end = header_end == std::string_view::npos ? std::string_view::npos
                                                               : file.find('\n', header_end + 1);
    if (id_end == std::string_view::npos) {
        return std::nullopt;
    }
    return KeptLayersParts{file.substr(format.size(), header_end - format.size()),
                           file.substr(header_end + 1, id_end - header_end - 1),
                           file.substr(id_end + 1)};
}

} // namespace velmo::png
