#include "png/png_bands.h"

#include <zlib.h>

#include <algorithm>
#include <cassert>
#include <cstring>

namespace velmo::png {
namespace {

constexpr std::string_view Signature("\x89PNG\r\n\x1a\n", 8);
constexpr uint8_t FilterUp = 2;
// The zlib header for deflate with a 32 KiB window at the fastest level (FLEVEL 0), and the
// empty last block with fixed codes that ends a stream of full-flushed blocks.
constexpr std::string_view ZlibHeader("\x78\x01", 2);
constexpr std::string_view LastBlock("\x03\x00", 2);

void appendBigEndian(std::string& out, uint32_t value) {
    const char bytes[4] = {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
                           static_cast<char>(value >> 8), static_cast<char>(value)};
    out.append(bytes, 4);
}

// Fills a chunk whose data already sits after 8 reserved bytes of `chunk`: its length and type
// in front, its CRC behind.
void sealChunk(std::string& chunk, std::string_view type) {
    const auto length = static_cast<uint32_t>(chunk.size() - 8);
    for (int i = 0; i < 4; ++i) {
        chunk[static_cast<size_t>(i)] = static_cast<char>(length >> (24 - 8 * i));
    }
    std::memcpy(chunk.data() + 4, type.data(), 4);
    const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(chunk.data() + 4),
                            static_cast<uInt>(chunk.size() - 4));
    appendBigEndian(chunk, static_cast<uint32_t>(crc));
}

void appendChunk(std::string& out, std::string_view type, std::string_view data) {
    std::string chunk(8, '\0');
    chunk.append(data);
    sealChunk(chunk, type);
    out += chunk;
}

// One deflate stream for the bands of one encode(), reset between them.
class Deflater {
public:
    Deflater() { ok_ = deflateInit2(&stream_, 1, Z_DEFLATED, -15, 8, Z_RLE) == Z_OK; }
    ~Deflater() {
        if (ok_) {
            deflateEnd(&stream_);
        }
    }
    Deflater(const Deflater&) = delete;
    Deflater& operator=(const Deflater&) = delete;

    bool ok() const { return ok_; }
    z_stream& stream() { return stream_; }

private:
    z_stream stream_{};
    bool ok_ = false;
};

// Deflates `in` onto the end of `out`, growing it as needed.
bool deflateInto(z_stream& stream, const uint8_t* in, size_t size, int flush, std::string& out) {
    stream.next_in = const_cast<Bytef*>(in);
    stream.avail_in = static_cast<uInt>(size);
    do {
        const size_t at = out.size();
        const size_t room = std::max<size_t>(deflateBound(&stream, stream.avail_in) + 64, 4096);
        out.resize(at + room);
        stream.next_out = reinterpret_cast<Bytef*>(out.data() + at);
        stream.avail_out = static_cast<uInt>(room);
        const int result = deflate(&stream, flush);
        out.resize(at + room - stream.avail_out);
        if (result != Z_OK && result != Z_BUF_ERROR) {
            return false;
        }
    } while (stream.avail_in > 0 || stream.avail_out == 0);
    return true;
}

} // namespace

PngBands::PngBands(int width, int height, int band_rows)
    : width_(width), height_(height), band_rows_(std::max(band_rows, 1)) {
    assert(width >= 1 && height >= 1 && width <= (1 << 20) && height <= (1 << 20));
    bands_.resize(static_cast<size_t>((height_ + band_rows_ - 1) / band_rows_));
    changed_bands_ = bands_.size();
}

void PngBands::markChanged(int top, int bottom) {
    top = std::max(top, 0);
    bottom = std::min(bottom, height_);
    if (top >= bottom) {
        return;
    }
    // The row after the change is filtered against the last changed row.
    bottom = std::min(bottom + 1, height_);
    for (int band = top / band_rows_; band <= (bottom - 1) / band_rows_; ++band) {
        Band& b = bands_[static_cast<size_t>(band)];
        if (!b.changed) {
            b.changed = true;
            ++changed_bands_;
        }
    }
}

bool PngBands::encode(const RowSource& row) {
    if (changed_bands_ == 0) {
        return true;
    }
    Deflater deflater;
    if (!deflater.ok()) {
        return false;
    }
    const size_t stride = static_cast<size_t>(width_) * 3;
    std::vector<uint8_t> above(stride);
    std::vector<uint8_t> current(stride);
    std::vector<uint8_t> filtered(stride + 1);
    filtered[0] = FilterUp;
    for (size_t index = 0; index < bands_.size(); ++index) {
        Band& band = bands_[index];
        if (!band.changed) {
            continue;
        }
        const int top = static_cast<int>(index) * band_rows_;
        const int bottom = std::min(top + band_rows_, height_);
        // The first row has zeros above it.
        if (top > 0) {
            row(top - 1, above.data());
        } else {
            std::fill(above.begin(), above.end(), uint8_t{0});
        }
        z_stream& stream = deflater.stream();
        if (deflateReset(&stream) != Z_OK) {
            return false;
        }
        std::string chunk(8, '\0');
        uLong adler = adler32(0, nullptr, 0);
        for (int y = top; y < bottom; ++y) {
            row(y, current.data());
            for (size_t i = 0; i < stride; ++i) {
                filtered[i + 1] = static_cast<uint8_t>(current[i] - above[i]);
            }
            adler = adler32(adler, filtered.data(), static_cast<uInt>(filtered.size()));
            if (!deflateInto(stream, filtered.data(), filtered.size(),
                             y + 1 == bottom ? Z_FULL_FLUSH : Z_NO_FLUSH, chunk)) {
                return false;
            }
            std::swap(above, current);
        }
        sealChunk(chunk, "IDAT");
        band.chunk = std::move(chunk);
        band.adler = static_cast<uint32_t>(adler);
        band.filtered_bytes =
            static_cast<uint32_t>(static_cast<size_t>(bottom - top) * (stride + 1));
        band.changed = false;
        --changed_bands_;
    }
    return true;
}

std::string PngBands::file(std::string_view keyword, std::string_view text) const {
    assert(changed_bands_ == 0);
    size_t size = Signature.size() + 25 + 14 + 18 + 12;
    for (const Band& band : bands_) {
        size += band.chunk.size();
    }
    if (!keyword.empty()) {
        size += 12 + keyword.size() + 1 + text.size();
    }
    std::string out;
    out.reserve(size);
    out += Signature;
    std::string header;
    appendBigEndian(header, static_cast<uint32_t>(width_));
    appendBigEndian(header, static_cast<uint32_t>(height_));
    // Depth 8, colour type 2 (RGB), deflate, adaptive filtering, no interlace.
    header += std::string_view("\x08\x02\x00\x00\x00", 5);
    appendChunk(out, "IHDR", header);
    if (!keyword.empty()) {
        std::string data(keyword);
        data += '\0';
        data += text;
        appendChunk(out, "tEXt", data);
    }
    appendChunk(out, "IDAT", ZlibHeader);
    uLong adler = adler32(0, nullptr, 0);
    for (const Band& band : bands_) {
        out += band.chunk;
        adler = adler32_combine(adler, band.adler, static_cast<z_off_t>(band.filtered_bytes));
    }
    std::string last(LastBlock);
    appendBigEndian(last, static_cast<uint32_t>(adler));
    appendChunk(out, "IDAT", last);
    appendChunk(out, "IEND", {});
    return out;
}

size_t PngBands::memoryBytes() const {
    size_t bytes = sizeof(*this) + bands_.capacity() * sizeof(Band);
    for (const Band& band : bands_) {
        bytes += band.chunk.capacity();
    }
    return bytes;
}

} // namespace velmo::png
