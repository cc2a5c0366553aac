// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/bitmap_font.h"

#include <algorithm>
#include <fstream>
#include <iterator>

namespace merovan {

namespace {

constexpr std::uint32_t kLastConverted = 128; // character 129 and above never
constexpr std::uint32_t kSmallestStart = 100;

std::uint32_t le32(std::span<const std::uint8_t> b, std::size_t at)
{
    return static_cast<std::uint32_t>(b[at]) | static_cast<std::uint32_t>(b[at + 1]) << 8
        | static_cast<std::uint32_t>(b[at + 2]) << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

} // namespace

std::optional<FontFile> readFontFile(std::span<const std::uint8_t> file)
{
    if (file.size() < kFontHeaderSize)
        return std::nullopt;
    FontFile f;
    f.identifier = static_cast<std::uint16_t>(file[0] << 8 | file[1]);
    f.width = le32(file, 2);
    f.height = le32(file, 6);
    f.cellWidth = le32(file, 10);
    f.cellHeight = le32(file, 14);
    f.bitsPerPixel = file[18];
    f.firstChar = file[19];
    std::copy_n(file.begin() + 20, 256, f.widths.begin());

    if (f.identifier != kFontIdentifier || f.cellWidth == 0 || f.cellHeight == 0 || f.firstChar > kLastConverted)
        return std::nullopt;
    if (f.bitsPerPixel != 8 && f.bitsPerPixel != 24 && f.bitsPerPixel != 32)
        return std::nullopt;
    if (f.cellWidth > f.width || f.cellHeight > f.height)
        return std::nullopt; // no whole cell: nothing to convert, and C would be 0
    // A record's byte count is 16 bits wide.
    if (static_cast<std::uint64_t>(f.cellWidth) * f.cellHeight > 8u * 0xFFFF)
        return std::nullopt;
    const std::uint64_t imageBytes = static_cast<std::uint64_t>(f.width) * f.height * (f.bitsPerPixel / 8);
    if (imageBytes > file.size() - kFontHeaderSize)
        return std::nullopt;
    f.image.assign(file.begin() + kFontHeaderSize, file.begin() + static_cast<std::ptrdiff_t>(kFontHeaderSize + imageBytes));
    return f;
}

std::optional<FontFile> readFontFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        // A read that fails (a folder, a device error) throws from the
        // stream buffer.
        return std::nullopt;
    }
    return readFontFile(bytes);
}

bool fontPixelSet(const FontFile& font, std::uint32_t x, std::uint32_t y)
{
    // Cells past the image (a first character below 32 reaches them) are blank.
    if (x >= font.width || y >= font.height)
        return false;
    const std::size_t bytes = font.bitsPerPixel / 8;
    const std::uint8_t* p = font.image.data() + (static_cast<std::size_t>(y) * font.width + x) * bytes;
    switch (font.bitsPerPixel) {
    case 8:
        return p[0] != 0;
    case 24:
        return p[2] != 0;
    default:
        return p[2] != 0 && p[3] != 0;
    }
}

ConvertedFont convertFont(const FontFile& font)
{
    ConvertedFont out;
    const std::uint32_t cw = font.cellWidth;
    const std::uint32_t ch = font.cellHeight;
    out.cellsPerRow = static_cast<std::uint16_t>(font.width / cw);
    out.cellCount = static_cast<std::uint16_t>((font.height / ch) * out.cellsPerRow);
    const std::uint32_t area = cw * ch;
    out.recordBytes = static_cast<std::uint16_t>((area + 7) / 8);
    out.bitmapBytes = static_cast<std::uint16_t>((129 - static_cast<std::int64_t>(font.firstChar)) * area / 8);

    std::uint8_t smallest = kSmallestStart;
    std::uint8_t largest = 0;
    const std::size_t counted = std::min<std::size_t>(out.cellCount, 129);
    for (std::size_t i = 0; i < counted; ++i) {
        smallest = std::min(smallest, font.widths[i]);
        largest = std::max(largest, font.widths[i]);
    }
    out.head = { static_cast<std::uint8_t>(cw - 1),
                 static_cast<std::uint8_t>(ch),
                 smallest,
                 largest,
                 static_cast<std::uint8_t>(out.recordBytes),
                 static_cast<std::uint8_t>(out.bitmapBytes >> 8),
                 static_cast<std::uint8_t>(out.bitmapBytes),
                 0 };

    const std::uint32_t end = std::min<std::uint32_t>(static_cast<std::uint32_t>(out.cellCount) + 32, kLastConverted + 1);
    for (std::uint32_t c = font.firstChar; c < end; ++c) {
        const std::uint32_t n = c - font.firstChar;
        const std::uint32_t left = (n % out.cellsPerRow) * cw;
        const std::uint32_t top = (n / out.cellsPerRow) * ch;
        const std::size_t recordStart = out.records.size();
        out.records.push_back(font.widths[c]);
        std::uint8_t mask = 0x80;
        std::uint8_t bits = 0;
        for (std::uint32_t y = 0; y < ch; ++y) {
            for (std::uint32_t x = 0; x + 1 < cw; ++x) {
                if (fontPixelSet(font, left + x, top + y))
                    bits |= mask;
                mask >>= 1;
                if (mask == 0) {
                    out.records.push_back(bits);
                    bits = 0;
                    mask = 0x80;
                }
            }
        }
        while (out.records.size() < recordStart + out.recordBytes)
            out.records.push_back(bits);
        ++out.characters;
    }
    return out;
}

} // namespace merovan
