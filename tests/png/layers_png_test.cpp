#include "png/layers_png.h"

#include "canvas/pixel_math.h"
#include "png/png_encoder.h"
#include "support/png_test_files.h"

#include <gtest/gtest.h>
#include <png.h>
#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velmo::png {
namespace {

using canvas::makePixel;

canvas::LayerSurfaces randomLayers(std::mt19937& random, int width, int height) {
    canvas::LayerSurfaces layers{canvas::Surface(width, height), canvas::Surface(width, height),
                                 canvas::Surface(width, height)};
    canvas::resetLayers(layers);
    for (canvas::Surface& layer : layers) {
        for (int y = 0; y < height; ++y) {
            for (int x = 0; x < width; ++x) {
                if (random() % 3 == 0) {
                    layer.at(x, y) =
                        makePixel(255, static_cast<uint8_t>(random()),
                                  static_cast<uint8_t>(random()), static_cast<uint8_t>(random()));
                }
            }
        }
    }
    return layers;
}

// A PNG written chunk by chunk, so tests can make what the encoder never would.
struct Chunk {
    std::string type;
    std::string data;
};

std::string pngOf(const std::vector<Chunk>& chunks) {
    std::string out("\x89PNG\r\n\x1a\n", 8);
    for (const Chunk& chunk : chunks) {
        out += testing::pngChunk(chunk.type, chunk.data);
    }
    return out;
}

Chunk header(uint32_t width, uint32_t height, uint8_t depth = 8, uint8_t color = 2,
             uint8_t interlace = 0) {
    return {"IHDR", testing::bigEndian(width) + testing::bigEndian(height) +
                        std::string{static_cast<char>(depth), static_cast<char>(color), 0, 0,
                                    static_cast<char>(interlace)}};
}

Chunk text(const std::string& keyword, const std::string& value) {
    return {"tEXt", keyword + std::string(1, '\0') + value};
}

// Rows of zero bytes, filter None, of `bytes_per_row` each.
Chunk pixels(size_t bytes_per_row, uint32_t rows) {
    const std::string raw(static_cast<size_t>(rows) * (bytes_per_row + 1), '\0');
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(size, '\0');
    compress(reinterpret_cast<Bytef*>(packed.data()), &size,
             reinterpret_cast<const Bytef*>(raw.data()), static_cast<uLong>(raw.size()));
    packed.resize(size);
    return {"IDAT", packed};
}

// A file of the layers format but for the parts a case changes: 4 x 2 layers, all black.
std::string layersFile(std::vector<Chunk> before_pixels, Chunk head = header(4, 6),
                       size_t bytes_per_row = 12, uint32_t rows = 6) {
    std::vector<Chunk> chunks{std::move(head)};
    for (Chunk& chunk : before_pixels) {
        chunks.push_back(std::move(chunk));
    }
    chunks.push_back(pixels(bytes_per_row, rows));
    chunks.push_back({"IEND", ""});
    return pngOf(chunks);
}

TEST(LayersPng, RoundTripKeepsEveryPixelByteAndTheText) {
    std::mt19937 random(20101207);
    const struct {
        int width;
        int height;
        int64_t through;
        int64_t strokes;
    } cases[] = {
        {1, 1, 0, 0},
        {3, 5, 1, 1},
        {97, 61, 1291201234567, 200000},
        {320, 480, INT64_MAX, INT64_MAX},
        {MaxLayersWidth, 2, 5, 6},
        {2, MaxLayersHeight, 5, 6},
    };
    for (const auto& c : cases) {
        const canvas::LayerSurfaces layers = randomLayers(random, c.width, c.height);
        const auto file = encodeLayersPng(layers, c.through, c.strokes);
        ASSERT_TRUE(file) << c.width << " x " << c.height;
        const auto decoded = decodeLayersPng(*file);
        ASSERT_TRUE(decoded) << c.width << " x " << c.height;
        EXPECT_EQ(decoded->through, c.through);
        EXPECT_EQ(decoded->strokes, c.strokes);
        EXPECT_TRUE(decoded->layers == layers) << c.width << " x " << c.height;

        // What any PNG reader sees: 8-bit RGB of w x 3h, the layers' r, g, b bytes, the text.
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        ASSERT_TRUE(png_image_begin_read_from_memory(&image, file->data(), file->size()));
        EXPECT_EQ(image.width, static_cast<uint32_t>(c.width));
        EXPECT_EQ(image.height, static_cast<uint32_t>(3 * c.height));
        EXPECT_EQ(image.format, static_cast<uint32_t>(PNG_FORMAT_RGB));
        image.format = PNG_FORMAT_RGB;
        std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
        ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
        for (int y = 0; y < 3 * c.height; y += std::max(1, c.height / 7)) {
            for (int x = 0; x < c.width; x += std::max(1, c.width / 5)) {
                const canvas::Argb p = canvas::unpackPixel(
                    layers[static_cast<size_t>(y / c.height)].at(x, y % c.height));
                const uint8_t* got = rgb.data() + (static_cast<size_t>(y) * c.width + x) * 3;
                ASSERT_EQ((std::vector<uint8_t>{got[0], got[1], got[2]}),
                          (std::vector<uint8_t>{p.r, p.g, p.b}))
                    << "at " << x << ", " << y;
            }
        }
        const std::string expected_text = std::string(LayersKeyword) + '\0' +
                                          "through=" + std::to_string(c.through) +
                                          " strokes=" + std::to_string(c.strokes);
        EXPECT_NE(file->find("tEXt" + expected_text), std::string::npos);
        EXPECT_LT(file->find("tEXt"), file->find("IDAT")); // readable before the pixels
    }
}

TEST(LayersPng, EncoderRefusesWhatTheFormatCannotHold) {
    const auto layers = [](int w0, int h0, int w1 = -1, int h1 = -1) {
        w1 = w1 < 0 ? w0 : w1;
        h1 = h1 < 0 ? h0 : h1;
        return canvas::LayerSurfaces{canvas::Surface(w0, h0), canvas::Surface(w1, h1),
                                     canvas::Surface(w0, h0)};
    };
    EXPECT_FALSE(encodeLayersPng(layers(0, 0), 0, 0));
    EXPECT_FALSE(encodeLayersPng(layers(4, 4, 4, 5), 0, 0));
    EXPECT_FALSE(encodeLayersPng(layers(MaxLayersWidth + 1, 1), 0, 0));
    EXPECT_FALSE(encodeLayersPng(layers(1, MaxLayersHeight + 1), 0, 0));
    EXPECT_FALSE(encodeLayersPng(layers(4, 4), -1, 0));
    EXPECT_FALSE(encodeLayersPng(layers(4, 4), 0, -1));
    EXPECT_TRUE(encodeLayersPng(layers(4, 4), 0, 0));
}

TEST(LayersPng, DecoderTakesNothingButTheFormat) {
    const std::string good_text = "through=12 strokes=3";
    ASSERT_TRUE(decodeLayersPng(layersFile({text(std::string(LayersKeyword), good_text)})));
    const auto ours = [](const std::string& value) {
        return layersFile({text(std::string(LayersKeyword), value)});
    };
    const struct {
        const char* what;
        std::string file;
    } cases[] = {
        {"nothing", ""},
        {"the signature alone", std::string("\x89PNG\r\n\x1a\n", 8)},
        {"not a PNG", std::string(200, 'x')},
        {"no text", layersFile({})},
        {"another keyword", layersFile({text("Comment", good_text)})},
        {"two texts", layersFile({text(std::string(LayersKeyword), good_text),
                                  text(std::string(LayersKeyword), good_text)})},
        {"leading zero", ours("through=012 strokes=3")},
        {"negative", ours("through=-1 strokes=3")},
        {"plus sign", ours("through=+1 strokes=3")},
        {"beyond 64 bits", ours("through=99999999999999999999 strokes=3")},
        {"missing number", ours("through= strokes=3")},
        {"swapped", ours("strokes=3 through=12")},
        {"two spaces", ours("through=12  strokes=3")},
        {"trailing space", ours("through=12 strokes=3 ")},
        {"trailing text", ours("through=12 strokes=3x")},
        {"empty text", ours("")},
        {"RGBA", layersFile({text(std::string(LayersKeyword), good_text)}, header(4, 6, 8, 6), 16)},
        {"16 bits",
         layersFile({text(std::string(LayersKeyword), good_text)}, header(4, 6, 16), 24)},
        {"grey", layersFile({text(std::string(LayersKeyword), good_text)}, header(4, 6, 8, 0), 4)},
        {"interlaced",
         layersFile({text(std::string(LayersKeyword), good_text)}, header(4, 6, 8, 2, 1), 12, 12)},
        {"height not a multiple of 3",
         layersFile({text(std::string(LayersKeyword), good_text)}, header(4, 7), 12, 7)},
        {"too wide", layersFile({text(std::string(LayersKeyword), good_text)},
                                header(MaxLayersWidth + 1, 3), 3 * (MaxLayersWidth + 1), 3)},
        {"too tall", layersFile({text(std::string(LayersKeyword), good_text)},
                                header(1, 3 * MaxLayersHeight + 3), 3, 3)},
        // Claims the largest layers and brings no pixels: refused once the data runs out.
        {"short of pixels", layersFile({text(std::string(LayersKeyword), good_text)},
                                       header(MaxLayersWidth, 3 * MaxLayersHeight), 12, 2)},
        {"RGBA from the picture encoder", *encodePng(canvas::Surface(4, 6, canvas::OpaqueWhite))},
        // A text whose length claims 1.8 GB, which libpng would allocate before reading.
        {"a chunk longer than the file",
         [&] {
             std::string file = ours(good_text);
             const size_t at = file.find("tEXt") - 4;
             file.replace(at, 4, std::string("\x6c\0\0\0", 4));
             return file;
         }()},
    };
    for (const auto& c : cases) {
        EXPECT_FALSE(decodeLayersPng(c.file)) << c.what;
    }
}

TEST(LayersPng, DamagedOrCutFilesAreRefused) {
    std::mt19937 random(99);
    const auto file = encodeLayersPng(randomLayers(random, 16, 8), 77, 5);
    ASSERT_TRUE(file);
    ASSERT_TRUE(decodeLayersPng(*file));
    // Every cut short of IEND loses data or the end; a copy kept in a string of its own
    // lets AddressSanitizer see any read past it.
    for (size_t size = 0; size + 12 < file->size(); ++size) {
        const std::string cut = file->substr(0, size);
        EXPECT_FALSE(decodeLayersPng(cut)) << "cut at " << size;
    }
    // A flipped bit anywhere after the signature breaks a CRC or the data.
    size_t accepted = 0;
    for (size_t at = 8; at < file->size(); at += 3) {
        std::string damaged = *file;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x10);
        const auto decoded = decodeLayersPng(damaged);
        accepted += decoded.has_value();
    }
    EXPECT_EQ(accepted, 0u);
}

} // namespace
} // namespace velmo::png
