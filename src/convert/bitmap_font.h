// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace merovan {

// A bitmap font file (".bff"): one picture of equally sized character cells
// and a table of character widths.
struct FontFile
{
    std::uint16_t identifier = 0; // 0xBFF2
    std::uint32_t width = 0;      // W, image width in pixels
    std::uint32_t height = 0;     // H
    std::uint32_t cellWidth = 0;  // CW
    std::uint32_t cellHeight = 0; // CH
    std::uint8_t bitsPerPixel = 0;
    std::uint8_t firstChar = 0;   // F, the code drawn in cell 0
    std::array<std::uint8_t, 256> widths {};
    std::vector<std::uint8_t> image; // H rows of W pixels from the top, no padding
};

inline constexpr std::uint16_t kFontIdentifier = 0xBFF2;
inline constexpr std::size_t kFontHeaderSize = 276;

// Reads and checks a font file: the identifier BF F2, cells at least one
// pixel and no larger than the image, a first character of at most 128, 8,
// 24 or 32 bits per pixel, and an image as long as W x H pixels. nullopt for
// anything else.
std::optional<FontFile> readFontFile(std::span<const std::uint8_t> file);
std::optional<FontFile> readFontFile(const std::string& path);

// The device's binary font.
struct ConvertedFont
{
    std::array<std::uint8_t, 8> head {}; // CW-1, CH, smallest and largest width, B, N high, N low, 0
    std::uint16_t cellsPerRow = 0;       // C
    std::uint16_t cellCount = 0;         // G
    std::uint16_t bitmapBytes = 0;       // N
    std::uint16_t recordBytes = 0;       // B
    // The character records, one of B bytes per character from F up to the
    // smaller of G + 31 and 128: the width, then the cell's pixels (all but
    // its rightmost column) as bits, most significant first.
    std::vector<std::uint8_t> records;
    std::size_t characters = 0;

    // T, the length of the data that follows the 11-byte stream header.
    std::size_t dataLength() const { return static_cast<std::size_t>(bitmapBytes) + 2u * recordBytes; }
};

ConvertedFont convertFont(const FontFile& font);

// Whether a pixel of the font's image is ink: 8 bits, non-zero; 24 bits, its
// third byte non-zero; 32 bits, its third and its alpha byte non-zero.
bool fontPixelSet(const FontFile& font, std::uint32_t x, std::uint32_t y);

} // namespace merovan
