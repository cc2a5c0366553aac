// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/display_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::string show(std::vector<std::uint8_t> bytes)
{
    return merovan::formatForDisplay(bytes);
}
} // namespace

TEST(DisplayText, ShowsNonPrintableBytesInBrackets)
{
    EXPECT_EQ(show({ 0x41, 0x42, 0x0D, 0x0A, 0x43 }), "AB\r\nC");
    EXPECT_EQ(show({ 0x1B, 0x5B, 0x32, 0x4A }), "[1b][2J");
    EXPECT_EQ(show({ 0x41, 0x08, 0x42 }), "AB");
    EXPECT_EQ(show({ 0xFF, 0x7F, 0x80 }), "[ff]\x7f[80]");
    EXPECT_EQ(show({ 0x09, 0x01, 0x1F }), "\t[01][1f]");
}

TEST(DisplayText, ZeroByteIsShownAndDoesNotEndTheChunk)
{
    EXPECT_EQ(show({ 0x41, 0x00, 0x42 }), "A[00]B");
}

TEST(TerminalTextFormatter, EachLineEndMakesOneBreakAcrossChunks)
{
    merovan::TerminalTextFormatter f;
    auto feed = [&](std::vector<std::uint8_t> bytes) { return f.format(bytes); };
    EXPECT_EQ(feed({ 'a', 0x0D, 0x0A, 'b' }), "a\nb");
    EXPECT_EQ(feed({ 'c', 0x0D }), "c\n");
    EXPECT_EQ(feed({ 0x0A, 'd' }), "d") << "the LF completes the CR of the last chunk";
    EXPECT_EQ(feed({ 0x0A, 0x0A }), "\n\n") << "lone LFs each break";
    EXPECT_EQ(feed({ 0x0D, 0x0D, 0x0A }), "\n\n");
    EXPECT_EQ(feed({ 0x0A, 0x0D }), "\n\n");
    EXPECT_EQ(feed({ 'x', 0x00, 0x1B, 0xE9, 0x08, 'y' }), "x[00][1b][e9]y");
    f.reset();
    EXPECT_EQ(feed({ 0x0A }), "\n");
}

TEST(Charset, EncodesEachCharacterForTheLine)
{
    using merovan::Charset;
    const struct
    {
        char32_t c;
        Charset charset;
        bool fits;
        std::string bytes;
    } cases[] = {
        { U'A', Charset::Latin1, true, "A" },
        { U'\u00e9', Charset::Latin1, true, "\xe9" },
        { U'\u00ff', Charset::Latin1, true, "\xff" },
        { U'\u20ac', Charset::Latin1, false, "" }, // the euro sign has no Latin-1 byte
        { U'A', Charset::Utf8, true, "A" },
        { U'\u00e9', Charset::Utf8, true, "\xc3\xa9" },
        { U'\u00f6', Charset::Utf8, true, "\xc3\xb6" },
        { U'\u20ac', Charset::Utf8, true, "\xe2\x82\xac" },
        { U'\U0001F600', Charset::Utf8, true, "\xf0\x9f\x98\x80" },
        { U'\u07ff', Charset::Utf8, true, "\xdf\xbf" },
        { U'\uffff', Charset::Utf8, true, "\xef\xbf\xbf" },
        { char32_t(0xD800), Charset::Utf8, false, "" },
        { char32_t(0x110000), Charset::Utf8, false, "" },
    };
    for (const auto& t : cases) {
        std::string out = "<";
        EXPECT_EQ(merovan::encodeCharacter(t.c, t.charset, out), t.fits) << std::hex << static_cast<std::uint32_t>(t.c);
        EXPECT_EQ(out, "<" + t.bytes) << std::hex << static_cast<std::uint32_t>(t.c);
    }
}

TEST(Charset, DecodesOnlyValidShortestUtf8)
{
    const struct
    {
        std::vector<std::uint8_t> bytes;
        int length;
        char32_t c;
    } cases[] = {
        { { 0xC3, 0xB6 }, 2, U'\u00f6' },
        { { 0xE2, 0x82, 0xAC }, 3, U'\u20ac' },
        { { 0xF0, 0x9F, 0x98, 0x80 }, 4, U'\U0001F600' },
        { { 0xF4, 0x8F, 0xBF, 0xBF }, 4, char32_t(0x10FFFF) },
        { { 0xC3 }, -1, 0 },             // unfinished
        { { 0xE2, 0x82 }, -1, 0 },
        { { 0xC3, 0x41 }, 0, 0 },        // broken by an ASCII byte
        { { 0xC0, 0x80 }, 0, 0 },        // overlong
        { { 0xC1, 0xBF }, 0, 0 },
        { { 0xE0, 0x80, 0x80 }, 0, 0 },  // overlong
        { { 0xED, 0xA0, 0x80 }, 0, 0 },  // a surrogate
        { { 0xF4, 0x90, 0x80, 0x80 }, 0, 0 }, // beyond 10FFFF
        { { 0xF5, 0x80, 0x80, 0x80 }, 0, 0 },
        { { 0x80 }, 0, 0 },              // a continuation byte alone
        { { 0xFF }, 0, 0 },
    };
    for (const auto& t : cases) {
        char32_t c = 0;
        EXPECT_EQ(merovan::decodeUtf8(t.bytes, c), t.length) << testing::PrintToString(t.bytes);
        if (t.length > 0) {
            EXPECT_EQ(c, t.c);
        }
    }
}

TEST(TerminalTextFormatter, Utf8FromTheDeviceShowsAsCharacters)
{
    using merovan::Charset;
    using Chunks = std::vector<std::vector<std::uint8_t>>;
    const struct
    {
        Charset charset;
        Chunks chunks;
        std::string shown;
    } cases[] = {
        // Latin-1, as before: every byte above 7F in brackets.
        { Charset::Latin1, { { 0xC3, 0xB6 } }, "[c3][b6]" },
        { Charset::Utf8, { { 'o', 0xC3, 0xB6, 'k' } }, "o\xc3\xb6k" },
        { Charset::Utf8, { { 0xE2, 0x82, 0xAC, 0x0D, 0x0A } }, "\xe2\x82\xac\n" },
        // Split across reads, anywhere.
        { Charset::Utf8, { { 'a', 0xC3 }, { 0xB6, 'b' } }, "a\xc3\xb6" "b" },
        { Charset::Utf8, { { 0xF0 }, { 0x9F }, { 0x98 }, { 0x80 } }, "\xf0\x9f\x98\x80" },
        { Charset::Utf8, { { 0xE2, 0x82 }, { 0xAC } }, "\xe2\x82\xac" },
        // Invalid bytes keep the bracketed form, and what follows them shows.
        { Charset::Utf8, { { 0xFF, 'x', 0x80 } }, "[ff]x[80]" },
        { Charset::Utf8, { { 0xC3, 'x' } }, "[c3]x" },
        { Charset::Utf8, { { 0xC3 }, { 'x' } }, "[c3]x" },
        { Charset::Utf8, { { 0xE2, 0x82, 0xC3, 0xB6 } }, "[e2][82]\xc3\xb6" },
        { Charset::Utf8, { { 0xC0, 0xAF } }, "[c0][af]" },
        { Charset::Utf8, { { 0xED, 0xA0, 0x80 } }, "[ed][a0][80]" },
        // A line end inside a sequence breaks it.
        { Charset::Utf8, { { 0xC3 }, { 0x0D, 'z' } }, "[c3]\nz" },
        { Charset::Utf8, { { 0xC3, 0x0A, 0xB6 } }, "[c3]\n[b6]" },
        // C1 control characters stay bracketed; U+00A0 and up are shown.
        { Charset::Utf8, { { 0xC2, 0x85, 0xC2, 0xA0 } }, "[c2][85]\xc2\xa0" },
        // Control bytes and backspace as in Latin-1.
        { Charset::Utf8, { { 0x1B, 0x08, 0x00 } }, "[1b][00]" },
    };
    for (const auto& t : cases) {
        merovan::TerminalTextFormatter f;
        f.setCharset(t.charset);
        std::string out;
        for (const auto& chunk : t.chunks)
            out += f.format(chunk);
        EXPECT_EQ(out, t.shown) << testing::PrintToString(t.chunks);
    }
}

TEST(DisplayText, MatchesTheByteByByteFormOnEveryByteValue)
{
    // Every byte value, in runs of each length, against the rule spelt out
    // one byte at a time.
    const auto oneByOne = [](const std::vector<std::uint8_t>& bytes) {
        static constexpr char kHex[] = "0123456789abcdef";
        std::string out;
        for (const std::uint8_t b : bytes) {
            if (b == 0x08)
                continue;
            if (b == 0x09 || b == 0x0A || b == 0x0D || (b >= 0x20 && b <= 0x7F))
                out.push_back(static_cast<char>(b));
            else
                out += std::string { '[', kHex[b >> 4], kHex[b & 0x0F], ']' };
        }
        return out;
    };
    std::vector<std::uint8_t> all;
    for (int run = 1; run <= 5; ++run)
        for (int v = 0; v < 256; ++v)
            all.insert(all.end(), static_cast<std::size_t>(run), static_cast<std::uint8_t>(v));
    EXPECT_EQ(show(all), oneByOne(all));
    std::string appended = "kept ";
    merovan::appendForDisplay(all, appended);
    EXPECT_EQ(appended, "kept " + oneByOne(all)) << "appends after what is there";
}
