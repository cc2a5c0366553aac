// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes formatted for the terminal view, split into two chunks, in
// both character sets; UTF-8 output is always valid UTF-8 whatever came in.
#include "terminal/display_text.h"

namespace {

bool validUtf8(const std::string& text)
{
    const auto* p = reinterpret_cast<const std::uint8_t*>(text.data());
    std::size_t i = 0;
    while (i < text.size()) {
        if (p[i] < 0x80) {
            ++i;
            continue;
        }
        char32_t c = 0;
        const int n = merovan::decodeUtf8(std::span(p + i, text.size() - i), c);
        if (n <= 0)
            return false;
        i += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> all(data, size);
    for (const merovan::Charset charset : { merovan::Charset::Latin1, merovan::Charset::Utf8 }) {
        merovan::TerminalTextFormatter formatter;
        formatter.setCharset(charset);
        const std::size_t cut = size / 2;
        const std::string a = formatter.format(all.subspan(0, cut)) + formatter.format(all.subspan(cut));
        if (a.size() > size * 4)
            __builtin_trap();
        if (!validUtf8(a))
            __builtin_trap();
        // Split or whole, the same text (up to a sequence left unfinished at
        // the very end, which waits for more).
        merovan::TerminalTextFormatter whole;
        whole.setCharset(charset);
        const std::string b = whole.format(all);
        if (a != b)
            __builtin_trap();
    }
    const std::string b = merovan::formatForDisplay(all);
    if (b.size() > size * 4)
        __builtin_trap();
    return 0;
}
