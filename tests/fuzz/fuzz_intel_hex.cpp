// SPDX-License-Identifier: GPL-3.0-or-later
// Intel HEX text, converted into an image through both flash windows.
#include "convert/intel_hex.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::uint8_t> image(4096 + 2000, 0xFF);
    std::int32_t out = 0;
    for (const std::uint32_t start : { 0x00000000u, 0x1D000000u, 0x1D008000u, 0xFFFFF000u }) {
        merovan::convertHex(std::span(data, size), start, 4096, image, out);
        if (out < 0 || static_cast<std::size_t>(out) > image.size() + 1)
            __builtin_trap();
    }
    return 0;
}
