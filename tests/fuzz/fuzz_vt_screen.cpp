// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes through the terminal engine: the first byte picks the
// character mode, the screen's size and where the stream is cut into feeds;
// every row is read back, and the engine's memory must stay bounded.
#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return 0;
    const std::uint8_t control = data[0];
    ++data;
    --size;
    merovan::VtScreen screen(2 + (control & 7), 4 + ((control >> 3) & 15));
    screen.setUtf8((control & 0x80) == 0);
    std::size_t answered = 0;
    screen.setOutputHandler([&](std::string_view bytes) { answered += bytes.size(); });
    std::size_t scrolled = 0;
    screen.setScrollbackHandler([&](const merovan::VtLine& line) {
        scrolled += merovan::vtLineHtml(line).size() + merovan::vtLineText(line).size();
    });
    const std::size_t step = 1 + (control & 0x0F) * 3;
    for (std::size_t at = 0; at < size; at += step) {
        screen.feed(std::span<const std::uint8_t>(data + at, std::min(step, size - at)));
        if ((control & 0x40) && at % 7 == 0)
            screen.resize(1 + static_cast<int>(data[at] % 12), 1 + static_cast<int>(data[at] % 40));
    }
    screen.paste(std::string_view(reinterpret_cast<const char*>(data), size));
    for (int r = 0; r < screen.rows(); ++r)
        scrolled += merovan::vtLineHtml(screen.row(r)).size();
    if (screen.cursorRow() < 0 || screen.cursorRow() >= screen.rows() || screen.cursorCol() < 0
        || screen.cursorCol() >= screen.cols())
        __builtin_trap();
    // The cells, the combining buffer and the string buffer of a small
    // screen: far below this however long the input was.
    if (screen.engineBytes() > 256 * 1024)
        __builtin_trap();
    return 0;
}
