#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace velmo::png {

// An 8-bit RGB PNG file of a picture that changes a few rows at a time. The rows are kept in
// bands, each compressed on its own (zlib level 1, the Up filter, run-length matches) into an
// IDAT chunk of its own that ends on a full flush, so a change encodes again only the bands of
// the rows it touched, and a file is the chunks laid end to end with the checksum of the whole
// stream combined from the bands'. A band of a few rows loses next to nothing to the flush: run
// lengths reach back one pixel, never into the band before.
//
// Memory: the compressed bands and a few numbers each. Not thread-safe; one owner at a time.
class PngBands {
public:
    static constexpr int DefaultBandRows = 16;

    // A width x height picture (each from 1 to 2^20, checked by assert), every band changed.
    PngBands(int width, int height, int band_rows = DefaultBandRows);

    int width() const { return width_; }
    int height() const { return height_; }

    // Rows [top, bottom) changed (clipped to the picture): their bands, and the band of the
    // row after them, whose filter reads the row above it, are encoded again by encode().
    void markChanged(int top, int bottom);
    void markAllChanged() { markChanged(0, height_); }
    bool changed() const { return changed_bands_ > 0; }

    // Writes row `y`'s width * 3 bytes (r, g, b a pixel) to `rgb`. Called for the rows of the
    // changed bands and the row above each; it must give the picture as it is now.
    using RowSource = std::function<void(int y, uint8_t* rgb)>;
    // Encodes the changed bands. False only when zlib fails (out of memory); the bands stay
    // changed then.
    bool encode(const RowSource& row);

    // The file: signature, IHDR, a tEXt chunk when `keyword` is not empty (1 to 79 printable
    // Latin-1 bytes, `text` without NUL; the caller's to check), the pixels, IEND. Only when
    // nothing is changed (encode() first).
    std::string file(std::string_view keyword = {}, std::string_view text = {}) const;

    // Bytes held, for a cache's bound.
    size_t memoryBytes() const;

private:
    struct Band {
        std::string chunk; // the whole IDAT chunk: length, type, data, CRC
        uint32_t adler = 1;
        uint32_t filtered_bytes = 0;
        bool changed = true;
    };

    int width_;
    int height_;
    int band_rows_;
    std::vector<Band> bands_;
    size_t changed_bands_;
};

} // namespace velmo::png
