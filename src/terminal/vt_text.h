// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "terminal/vt_screen.h"

#include <cstdint>
#include <string>

namespace merovan {

struct VtRgb
{
    std::uint8_t r = 0, g = 0, b = 0;
    friend bool operator==(const VtRgb&, const VtRgb&) = default;
};

// xterm's 256-colour palette: the 16 ANSI colours, the 6x6x6 cube and the
// grey ramp.
VtRgb vtPaletteColor(std::uint8_t index);

// A line as plain text in UTF-8: the characters, without trailing spaces.
std::string vtLineText(const VtLine& line);

// The colours that stand for the defaults and the 16 ANSI colours in HTML.
struct VtHtmlColors
{
    VtRgb foreground { 0xE5, 0xE5, 0xE5 };
    VtRgb background { 0x00, 0x00, 0x00 };
};

// A line as HTML: runs of one look in <span style="..."> with CSS colours,
// bold and underline, reverse video already applied; no line break.
std::string vtLineHtml(const VtLine& line, const VtHtmlColors& colors = {});
// What comes before and after the lines of an HTML page: a <pre> in the
// default colours, each line ended by '\n'.
std::string vtHtmlBegin(const VtHtmlColors& colors = {});
std::string vtHtmlEnd();

// UTF-8 of one character (U+FFFD for what is not one).
void appendUtf8(std::string& out, char32_t ch);

} // namespace merovan
