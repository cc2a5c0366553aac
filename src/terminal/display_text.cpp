// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/display_text.h"

namespace merovan {

void appendForDisplay(std::span<const std::uint8_t> bytes, std::string& out)
{
    static constexpr char kHex[] = "0123456789abcdef";
    const auto shownAsIs = [](std::uint8_t b) {
        return b == 0x09 || b == 0x0A || b == 0x0D || (b >= 0x20 && b <= 0x7F);
    };
    // Text arrives mostly printable: copy each printable run in one go.
    std::size_t i = 0;
    while (i < bytes.size()) {
        std::size_t run = i;
        while (run < bytes.size() && shownAsIs(bytes[run]))
            ++run;
        if (run > i) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), run - i);
            i = run;
            continue;
        }
        const std::uint8_t b = bytes[i++];
        if (b == 0x08)
            continue;
        const char shown[4] = { '[', kHex[b >> 4], kHex[b & 0x0F], ']' };
        out.append(shown, sizeof shown);
    }
}

std::string formatForDisplay(std::span<const std::uint8_t> bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    appendForDisplay(bytes, out);
    return out;
}

} // namespace merovan

namespace merovan {

bool encodeCharacter(char32_t c, Charset charset, std::string& out)
{
    if (charset == Charset::Latin1) {
        if (c > 0xFF)
            return false;
        out.push_back(static_cast<char>(c));
        return true;
    }
    if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
        return false;
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
    return true;
}

int decodeUtf8(std::span<const std::uint8_t> bytes, char32_t& codePoint)
{
    if (bytes.empty())
        return -1;
    const std::uint8_t lead = bytes[0];
    int length = 0;
    char32_t value = 0;
    // The second byte's range rules out overlong forms, surrogates and
    // values beyond 10FFFF.
    std::uint8_t low = 0x80, high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0;
        if (lead == 0xED)
            high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        if (lead == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    for (int i = 1; i < length; ++i) {
        if (static_cast<std::size_t>(i) >= bytes.size())
            return -1;
        const std::uint8_t b = bytes[static_cast<std::size_t>(i)];
        if (i == 1 ? (b < low || b > high) : (b < 0x80 || b > 0xBF))
            return 0;
        value = (value << 6) | (b & 0x3F);
    }
    codePoint = value;
    return length;
}

void TerminalTextFormatter::formatRun(std::span<const std::uint8_t> bytes, bool atEnd, std::string& out)
{
    if (m_charset == Charset::Latin1) {
        appendForDisplay(bytes, out);
        return;
    }
    std::size_t i = 0;
    std::size_t plain = 0; // start of bytes that take the single-byte form
    auto flushPlain = [&](std::size_t end) {
        if (end > plain)
            appendForDisplay(bytes.subspan(plain, end - plain), out);
    };
    while (i < bytes.size()) {
        if (bytes[i] < 0x80) {
            ++i;
            continue;
        }
        char32_t c = 0;
        const int n = decodeUtf8(bytes.subspan(i), c);
        if (n < 0 && atEnd) {
            // Unfinished at the end of the chunk: the next one may finish it.
            flushPlain(i);
            m_held.assign(reinterpret_cast<const char*>(bytes.data() + i), bytes.size() - i);
            return;
        }
        if (n <= 0 || c < 0xA0) {
            ++i; // shown as "[xx]", as is a C1 control character
            continue;
        }
        flushPlain(i);
        out.append(reinterpret_cast<const char*>(bytes.data() + i), static_cast<std::size_t>(n));
        i += static_cast<std::size_t>(n);
        plain = i;
    }
    flushPlain(bytes.size());
}

std::string TerminalTextFormatter::format(std::span<const std::uint8_t> input)
{
    std::string out;
    // A sequence begun in the last chunk goes first, with this chunk after it.
    std::string joined;
    std::span<const std::uint8_t> bytes = input;
    if (!m_held.empty()) {
        joined.swap(m_held);
        joined.append(reinterpret_cast<const char*>(input.data()), input.size());
        bytes = std::span(reinterpret_cast<const std::uint8_t*>(joined.data()), joined.size());
    }
    out.reserve(bytes.size() + bytes.size() / 4);
    std::size_t runStart = 0;
    auto flushRun = [&](std::size_t end) {
        if (end > runStart)
            formatRun(bytes.subspan(runStart, end - runStart), end == bytes.size(), out);
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
