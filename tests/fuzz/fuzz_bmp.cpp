// SPDX-License-Identifier: GPL-3.0-or-later
// BMP files: load, then read every pixel and one past each edge.
#include "convert/bmp_reader.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    auto image = merovan::readBmp(std::span(data, size));
    if (!image)
        return 0;
    const std::uint32_t w = merovan::bmpWidth(image.get());
    const std::uint32_t h = merovan::bmpHeight(image.get());
    std::uint8_t r, g, b;
    // Large pictures are sampled so one input stays fast.
    const std::uint32_t stepX = w / 64 + 1;
    const std::uint32_t stepY = h / 64 + 1;
    for (std::uint32_t y = 0; y <= h && y >= 0; y += stepY) {
        for (std::uint32_t x = 0; x <= w; x += stepX)
            merovan::bmpPixelColour(image.get(), x, y, &r, &g, &b);
        if (h - y < stepY)
            break;
    }
    merovan::bmpPixelColour(image.get(), w - 1, h - 1, &r, &g, &b);
    merovan::bmpPixelColour(image.get(), w, h, &r, &g, &b);
    merovan::releaseBmp(image);
    return 0;
}
