// SPDX-License-Identifier: GPL-3.0-or-later
// Bitmap font files: read, check and convert.
#include "convert/bitmap_font.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const auto font = merovan::readFontFile(std::span(data, size));
    if (!font)
        return 0;
    const merovan::ConvertedFont converted = merovan::convertFont(*font);
    if (converted.records.size() != converted.characters * converted.recordBytes)
        __builtin_trap();
    return 0;
}
