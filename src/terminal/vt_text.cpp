// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/vt_text.h"

#include <cstdio>

namespace merovan {

VtRgb vtPaletteColor(std::uint8_t index)
{
    static constexpr VtRgb kAnsi[16] = {
        { 0x00, 0x00, 0x00 }, { 0xCD, 0x00, 0x00 }, { 0x00, 0xCD, 0x00 }, { 0xCD, 0xCD, 0x00 },
        { 0x00, 0x00, 0xEE }, { 0xCD, 0x00, 0xCD }, { 0x00, 0xCD, 0xCD }, { 0xE5, 0xE5, 0xE5 },
        { 0x7F, 0x7F, 0x7F }, { 0xFF, 0x00, 0x00 }, { 0x00, 0xFF, 0x00 }, { 0xFF, 0xFF, 0x00 },
        { 0x5C, 0x5C, 0xFF }, { 0xFF, 0x00, 0xFF }, { 0x00, 0xFF, 0xFF }, { 0xFF, 0xFF, 0xFF },
    };
    if (index < 16)
        return kAnsi[index];
    if (index < 232) {
        static constexpr std::uint8_t kLevel[6] = { 0x00, 0x5F, 0x87, 0xAF, 0xD7, 0xFF };
        const int i = index - 16;
        return { kLevel[i / 36], kLevel[(i / 6) % 6], kLevel[i % 6] };
    }
    const auto grey = static_cast<std::uint8_t>(8 + 10 * (index - 232));
    return { grey, grey, grey };
}

void appendUtf8(std::string& out, char32_t ch)
{
    if (ch > 0x10FFFF || (ch >= 0xD800 && ch <= 0xDFFF))
        ch = 0xFFFD;
    if (ch < 0x80) {
        out.push_back(static_cast<char>(ch));
    } else if (ch < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (ch >> 6)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else if (ch < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (ch >> 12)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (ch >> 18)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((ch >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (ch & 0x3F)));
    }
}

std::string vtLineText(const VtLine& line)
{
    std::string out;
    out.reserve(line.size());
    for (const VtCell& c : line) {
        if (c.width == 0)
            continue; // the right half of a wide character
        appendUtf8(out, c.ch == 0 ? U' ' : c.ch);
    }
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

namespace {

VtRgb resolve(const VtColor& c, const VtRgb& fallback, bool bold)
{
    switch (c.kind) {
    case VtColor::Kind::Default:
        return fallback;
    case VtColor::Kind::Indexed:
        // Bold makes the eight dark colours bright, as terminals draw it.
        return vtPaletteColor(bold && c.index < 8 ? static_cast<std::uint8_t>(c.index + 8) : c.index);
    case VtColor::Kind::Rgb:
        break;
    }
    return { c.r, c.g, c.b };
}

std::string css(const VtRgb& c)
{
    char text[8];
    std::snprintf(text, sizeof text, "#%02x%02x%02x", c.r, c.g, c.b);
    return text;
}

void appendEscaped(std::string& out, char32_t ch)
{
    switch (ch) {
    case U'&': out += "&amp;"; break;
    case U'<': out += "&lt;"; break;
    case U'>': out += "&gt;"; break;
    default: appendUtf8(out, ch == 0 ? U' ' : ch); break;
    }
}

} // namespace

std::string vtLineHtml(const VtLine& line, const VtHtmlColors& colors)
{
    std::size_t end = line.size();
    while (end > 0 && line[end - 1].blank())
        --end;
    std::string out;
    std::size_t i = 0;
    while (i < end) {
        const VtCell& first = line[i];
        VtRgb fg = resolve(first.fg, colors.foreground, first.bold);
        VtRgb bg = resolve(first.bg, colors.background, false);
        if (first.reverse)
            std::swap(fg, bg);
        const bool plain = fg == colors.foreground && bg == colors.background && !first.bold && !first.underline;
        if (!plain) {
            out += "<span style=\"";
            if (!(fg == colors.foreground))
                out += "color:" + css(fg) + ";";
            if (!(bg == colors.background))
                out += "background-color:" + css(bg) + ";";
            if (first.bold)
                out += "font-weight:bold;";
            if (first.underline)
                out += "text-decoration:underline;";
            out += "\">";
        }
        for (; i < end && line[i].sameStyle(first); ++i)
            if (line[i].width != 0)
                appendEscaped(out, line[i].ch);
        if (!plain)
            out += "</span>";
    }
    return out;
}

std::string vtHtmlBegin(const VtHtmlColors& colors)
{
    return "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>merovan-cli render</title>\n</head>\n"
           "<body style=\"margin:0\">\n<pre style=\"color:"
        + css(colors.foreground) + ";background-color:" + css(colors.background)
        + ";font-family:monospace;margin:0;padding:4px\">\n";
}

std::string vtHtmlEnd()
{
    return "</pre>\n</body>\n</html>\n";
}

} // namespace merovan
