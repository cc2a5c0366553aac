// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace merovan::test {

// Intel HEX text for data placed at a 32-bit address, in records of
// recordSize bytes, with extended linear address records as needed.
inline std::string makeHex(const std::vector<std::uint8_t>& data, std::uint32_t address, std::size_t recordSize = 32)
{
    std::string text;
    auto record = [&text](unsigned type, unsigned field, const std::uint8_t* bytes, std::size_t n) {
        char buf[16];
        unsigned sum = static_cast<unsigned>(n) + (field >> 8) + (field & 0xFF) + type;
        std::snprintf(buf, sizeof buf, ":%02X%04X%02X", static_cast<unsigned>(n), field & 0xFFFF, type);
        text += buf;
        for (std::size_t i = 0; i < n; ++i) {
            std::snprintf(buf, sizeof buf, "%02X", bytes[i]);
            text += buf;
            sum += bytes[i];
        }
        std::snprintf(buf, sizeof buf, "%02X\r\n", (0x100 - (sum & 0xFF)) & 0xFF);
        text += buf;
    };
    std::uint32_t upper = 0xFFFFFFFF;
    for (std::size_t at = 0; at < data.size();) {
        const std::uint32_t a = address + static_cast<std::uint32_t>(at);
        if ((a >> 16) != upper) {
            upper = a >> 16;
            const std::uint8_t u[2] = { static_cast<std::uint8_t>(upper >> 8), static_cast<std::uint8_t>(upper) };
            record(4, 0, u, 2);
        }
        // A record never crosses a 64 KiB boundary.
        const std::size_t room = 0x10000 - (a & 0xFFFF);
        const std::size_t n = std::min({ recordSize, data.size() - at, room });
        record(0, a & 0xFFFF, data.data() + at, n);
        at += n;
    }
    text += ":00000001FF\r\n";
    return text;
}

} // namespace merovan::test
