#include "handler/png_check.h"

#include "handler/limits.h"

#include <zlib.h>

namespace velmo::server {
namespace {

constexpr std::string_view Signature = "\x89PNG\r\n\x1a\n";

uint32_t bigEndian32(std::string_view bytes, size_t at) {
    return uint32_t{static_cast<unsigned char>(bytes[at])} << 24 |
           uint32_t{static_cast<unsigned char>(bytes[at + 1])} << 16 |
           uint32_t{static_cast<unsigned char>(bytes[at + 2])} << 8 |
           uint32_t{static_cast<unsigned char>(bytes[at + 3])};
}

bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool validDepth(uint8_t color_type, uint8_t depth) {
    switch (color_type) {
    case 0:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8 || depth == 16;
    case 3:
        return depth == 1 || depth == 2 || depth == 4 || depth == 8;
    case 2:
    case 4:
    case 6:
        return depth == 8 || depth == 16;
    default:
        return false;
    }
}

} // namespace

std::variant<PngSize, PngProblem> checkPng(std::string_view bytes) {
    if (bytes.size() > MaxUploadImage) {
        return PngProblem::TooLarge;
    }
    if (bytes.substr(0, Signature.size()) != Signature) {
        return PngProblem::NotPng;
    }
    PngSize size;
    uint8_t color_type = 0;
    bool seen_header = false, seen_palette = false, seen_data = false;
    size_t pos = Signature.size();
    while (true) {
        if (bytes.size() - pos < 12) {
            return PngProblem::Malformed;
        }
        const uint32_t length = bigEndian32(bytes, pos);
        if (length > 0x7FFFFFFFu || length > bytes.size() - pos - 12) {
            return PngProblem::Malformed;
        }
        const std::string_view type = bytes.substr(pos + 4, 4);
        for (const char c : type) {
            if (!isLetter(c)) {
                return PngProblem::Malformed;
            }
        }
        const std::string_view data = bytes.substr(pos + 8, length);
        if (!seen_header) {
            if (type != "IHDR" || length != 13) {
                return PngProblem::Malformed;
            }
            size.width = bigEndian32(data, 0);
            size.height = bigEndian32(data, 4);
            const auto depth = static_cast<uint8_t>(data[8]);
            color_type = static_cast<uint8_t>(data[9]);
            if (size.width == 0 || size.height == 0 || size.width > 0x7FFFFFFFu ||
                size.height > 0x7FFFFFFFu || !validDepth(color_type, depth) || data[10] != 0 ||
                data[11] != 0 || static_cast<uint8_t>(data[12]) > 1) {
                return PngProblem::Malformed;
            }
            if (size.width > MaxImageSide || size.height > MaxImageSide ||
                uint64_t{size.width} * size.height > MaxImagePixels) {
                return PngProblem::TooManyPixels;
            }
            seen_header = true;
        } else if (type == "IHDR") {
            return PngProblem::Malformed;
        }
        const auto* checked = reinterpret_cast<const Bytef*>(bytes.data() + pos + 4);
        const uLong crc = crc32(crc32(0L, Z_NULL, 0), checked, length + 4);
        if (crc != bigEndian32(bytes, pos + 8 + length)) {
            return PngProblem::Malformed;
        }
        pos += 12 + length;
        if (type == "PLTE") {
            seen_palette = true;
        } else if (type == "IDAT") {
            seen_data = true;
        } else if (type == "IEND") {
            if (length != 0 || !seen_data || pos != bytes.size() ||
                (color_type == 3 && !seen_palette)) {
                return PngProblem::Malformed;
            }
            return size;
        }
    }
}

} // namespace velmo::server
