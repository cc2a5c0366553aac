// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes formatted for the terminal view, split into two chunks.
#include "terminal/display_text.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::span<const std::uint8_t> all(data, size);
    merovan::TerminalTextFormatter formatter;
    const std::size_t cut = size / 2;
    const std::string a = formatter.format(all.subspan(0, cut)) + formatter.format(all.subspan(cut));
    if (a.size() > size * 4)
        __builtin_trap();
    const std::string b = merovan::formatForDisplay(all);
    if (b.size() > size * 4)
        __builtin_trap();
    return 0;
}
