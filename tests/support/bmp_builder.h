// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <algorithm>
#include <cstdint>
#include <vector>

namespace merovan::test {

inline void put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    b[at] = static_cast<std::uint8_t>(v);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

inline void put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A hand-made BMP: the headers, an optional colour table (entry i holds red
// i, green 2i, blue 3i), then the pixel bytes as given.
inline std::vector<std::uint8_t> makeBmp(std::uint32_t width, std::int32_t height, std::uint16_t bits,
                                         const std::vector<std::uint8_t>& pixels, std::uint32_t sizeImage,
                                         std::uint32_t paletteEntries = 0, std::uint32_t compression = 0,
                                         std::uint32_t infoSize = 40)
{
    const std::uint32_t table = paletteEntries * 4;
    const std::uint32_t offset = 14 + infoSize + table;
    std::vector<std::uint8_t> b(offset + pixels.size(), 0);
    b[0] = 'B';
    b[1] = 'M';
    put32(b, 2, static_cast<std::uint32_t>(offset + pixels.size()));
    put32(b, 10, offset);
    put32(b, 14, infoSize);
    put32(b, 18, width);
    put32(b, 22, static_cast<std::uint32_t>(height));
    put16(b, 26, 1);
    put16(b, 28, bits);
    put32(b, 30, compression);
    put32(b, 34, sizeImage);
    put32(b, 46, paletteEntries == 256 ? 0 : paletteEntries);
    for (std::uint32_t i = 0; i < paletteEntries; ++i) {
        b[14 + infoSize + i * 4] = static_cast<std::uint8_t>(i * 3);
        b[14 + infoSize + i * 4 + 1] = static_cast<std::uint8_t>(i * 2);
        b[14 + infoSize + i * 4 + 2] = static_cast<std::uint8_t>(i);
    }
    std::copy(pixels.begin(), pixels.end(), b.begin() + offset);
    return b;
}

// A 24-bit picture whose pixel (x, y) is colour(x, y) = {r, g, b}, stored
// bottom-up with padded rows.
template <typename F>
std::vector<std::uint8_t> makeBmp24(std::uint32_t width, std::uint32_t height, F colour)
{
    const std::uint32_t row = (width * 3 + 3) / 4 * 4;
    std::vector<std::uint8_t> pixels(static_cast<std::size_t>(row) * height, 0);
    for (std::uint32_t y = 0; y < height; ++y)
        for (std::uint32_t x = 0; x < width; ++x) {
            const auto c = colour(x, y);
            const std::size_t at = static_cast<std::size_t>(height - 1 - y) * row + x * 3;
            pixels[at] = c[2];
            pixels[at + 1] = c[1];
            pixels[at + 2] = c[0];
        }
    return makeBmp(width, static_cast<std::int32_t>(height), 24, pixels, static_cast<std::uint32_t>(pixels.size()));
}

} // namespace merovan::test
