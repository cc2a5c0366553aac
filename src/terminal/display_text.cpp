// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/display_text.h"

namespace merovan {

std::string formatForDisplay(std::span<const std::uint8_t> bytes)
{
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (const std::uint8_t b : bytes) {
        if (b == 0x08)
            continue;
        if (b == 0x09 || b == 0x0A || b == 0x0D || (b >= 0x20 && b <= 0x7F)) {
            out.push_back(static_cast<char>(b));
            continue;
        }
        out.push_back('[');
        out.push_back(kHex[b >> 4]);
        out.push_back(kHex[b & 0x0F]);
        out.push_back(']');
    }
    return out;
}

} // namespace merovan

namespace merovan {

std::string TerminalTextFormatter::format(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    std::size_t runStart = 0;
    auto flushRun = [&](std::size_t end) {
        if (end > runStart)
            out += formatForDisplay(bytes.subspan(runStart, end - runStart));
    };
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const std::uint8_t b = bytes[i];
        if (b == 0x08)
            continue; // dropped, and it does not break a CR LF pair
        if (b == 0x0D || b == 0x0A) {
            flushRun(i);
            runStart = i + 1;
            if (!(b == 0x0A && m_afterCr))
                out.push_back('\n');
            m_afterCr = b == 0x0D;
            continue;
        }
        m_afterCr = false;
    }
    flushRun(bytes.size());
    return out;
}

} // namespace merovan
