// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes through the terminal engine: the first byte picks the
// character mode, the screen's size and where the stream is cut into feeds;
// every row is read back, and the engine's memory must stay bounded. A
// second screen fed alike hands its scrollback on as text, which lets it
// take floods of plain lines in bulk: its text, cells and cursor must be
// those of the first.
#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <string>
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
    std::string lines;
    screen.setScrollbackHandler([&](const merovan::VtLine& line) {
        scrolled += merovan::vtLineHtml(line).size();
        lines += merovan::vtLineText(line) + '\n';
    });
    merovan::VtScreen bulk(screen.rows(), screen.cols());
    bulk.setUtf8(screen.utf8());
    std::string bulkLines;
    bulk.setScrollbackTextHandler([&](std::string_view text) { bulkLines += text; });
    std::size_t step = 1 + (control & 0x0F) * 3;
    if ((control & 0x30) == 0x30)
        step *= 64;
    for (std::size_t at = 0; at < size; at += step) {
        const std::span<const std::uint8_t> part(data + at, std::min(step, size - at));
        screen.feed(part);
        bulk.feed(part);
        if ((control & 0x40) && at % 7 == 0) {
            screen.resize(1 + static_cast<int>(data[at] % 12), 1 + static_cast<int>(data[at] % 40));
            bulk.resize(screen.rows(), screen.cols());
        }
    }
    if (lines != bulkLines || bulk.cursorRow() != screen.cursorRow() || bulk.cursorCol() != screen.cursorCol())
        __builtin_trap();
    for (int r = 0; r < screen.rows(); ++r) {
        for (int c = 0; c < screen.cols(); ++c) {
            if (!(screen.cell(r, c) == bulk.cell(r, c)))
                __builtin_trap();
        }
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
