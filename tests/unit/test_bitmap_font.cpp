// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/bitmap_font.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

using namespace merovan;

namespace {

using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes& b, std::size_t from, std::size_t n)
{
    std::string s;
    for (std::size_t i = from; i < from + n && i < b.size(); ++i) {
        char h[3];
        std::snprintf(h, sizeof h, "%02x", b[i]);
        s += h;
    }
    return s;
}

// A synthetic font: W x H pixels of the given depth, cells CW x CH.
Bytes makeFont(std::uint32_t w, std::uint32_t h, std::uint32_t cw, std::uint32_t ch, std::uint8_t bpp = 24,
               std::uint8_t first = 32)
{
    Bytes f(kFontHeaderSize, 0);
    f[0] = 0xBF;
    f[1] = 0xF2;
    auto put = [&](std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            f[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(v >> (8 * i));
    };
    put(2, w);
    put(6, h);
    put(10, cw);
    put(14, ch);
    f[18] = bpp;
    f[19] = first;
    for (int c = 0; c < 256; ++c)
        f[20 + static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c % 7 + 3);
    f.resize(kFontHeaderSize + static_cast<std::size_t>(w) * h * (bpp / 8), 0);
    return f;
}

void ink(Bytes& font, std::uint32_t w, std::uint8_t bpp, std::uint32_t x, std::uint32_t y, bool third = true)
{
    const std::size_t at = kFontHeaderSize + (static_cast<std::size_t>(y) * w + x) * (bpp / 8);
    font[at] = 0xFF;
    if (bpp >= 24) {
        font[at + 1] = 0xFF;
        font[at + 2] = third ? 0xFF : 0;
    }
    if (bpp == 32)
        font[at + 3] = 0xFF;
}

} // namespace

TEST(BitmapFont, EightByEightCells)
{
    // 16 cells a row, 6 rows: G = 96.
    Bytes file = makeFont(128, 48, 8, 8);
    ink(file, 128, 24, 0, 0);  // character 32: its top-left pixel
    ink(file, 128, 24, 7, 0);  // its rightmost column is never taken
    ink(file, 128, 24, 1, 0, false); // only the first two bytes set: no ink
    auto font = readFontFile(file);
    ASSERT_TRUE(font);
    const ConvertedFont c = convertFont(*font);
    EXPECT_EQ(c.cellsPerRow, 16);
    EXPECT_EQ(c.cellCount, 96);
    EXPECT_EQ(c.bitmapBytes, 776);
    EXPECT_EQ(c.recordBytes, 8);
    EXPECT_EQ(c.dataLength(), 792u);
    EXPECT_EQ(c.head[0], 7);
    EXPECT_EQ(c.head[1], 8);
    EXPECT_EQ(c.head[4], 8);
    EXPECT_EQ(c.head[5], 3);
    EXPECT_EQ(c.head[6], 8);
    EXPECT_EQ(c.head[7], 0);
    EXPECT_EQ(c.characters, 96u) << "32 to 127";
    EXPECT_EQ(hex(c.records, 0, 8), "0780000000000000") << "width, then 7 bits of each of 8 rows";
}

TEST(BitmapFont, TenByTwelveCellsEndWithAHalfByte)
{
    Bytes file = makeFont(100, 120, 10, 12);
    for (std::uint32_t y = 0; y < 12; ++y)
        for (std::uint32_t x = 0; x < 9; ++x)
            ink(file, 100, 24, x, y);
    auto font = readFontFile(file);
    ASSERT_TRUE(font);
    const ConvertedFont c = convertFont(*font);
    EXPECT_EQ(c.recordBytes, 15);
    // 108 bits: 13 whole bytes, and 4 bits in the high half of the last.
    EXPECT_EQ(hex(c.records, 0, 15), "07" "ffffffffffffffffffffffffff" "f0");
    EXPECT_EQ(c.characters, 97u) << "G = 100: 32 to 128";
}

TEST(BitmapFont, SmallestAndLargestWidthsUseTheFirstEntries)
{
    Bytes file = makeFont(64, 8, 8, 8); // G = 8
    for (int c = 0; c < 256; ++c)
        file[20 + static_cast<std::size_t>(c)] = 200;
    file[20 + 3] = 150;
    file[20 + 9] = 1; // beyond the first G entries: not counted
    auto font = readFontFile(file);
    ASSERT_TRUE(font);
    const ConvertedFont c = convertFont(*font);
    EXPECT_EQ(c.head[2], 100) << "never above 100";
    EXPECT_EQ(c.head[3], 200);
}

TEST(BitmapFont, DepthsDecideWhatIsInk)
{
    for (std::uint8_t bpp : { 8, 32 }) {
        Bytes file = makeFont(16, 8, 8, 8, bpp);
        ink(file, 16, bpp, 0, 0);
        auto font = readFontFile(file);
        ASSERT_TRUE(font);
        EXPECT_EQ(convertFont(*font).records[1], 0x80) << int(bpp);
    }
    // 32 bits with alpha 0 is background, whatever the colour.
    Bytes file = makeFont(16, 8, 8, 8, 32);
    ink(file, 16, 32, 0, 0);
    file[kFontHeaderSize + 3] = 0;
    EXPECT_EQ(convertFont(*readFontFile(file)).records[1], 0x00);
}

TEST(BitmapFont, MalformedFilesAreRefused)
{
    Bytes good = makeFont(16, 8, 8, 8);
    EXPECT_TRUE(readFontFile(good));
    auto broken = [&](auto change) {
        Bytes f = good;
        change(f);
        return !readFontFile(f).has_value();
    };
    EXPECT_TRUE(broken([](Bytes& f) { f[0] = 0xAB; }));
    EXPECT_TRUE(broken([](Bytes& f) { f[10] = 0; }));            // cell width 0
    EXPECT_TRUE(broken([](Bytes& f) { f[14] = 0; }));            // cell height 0
    EXPECT_TRUE(broken([](Bytes& f) { f[19] = 129; }));          // first character above 128
    EXPECT_TRUE(broken([](Bytes& f) { f[18] = 16; }));           // an unknown depth
    EXPECT_TRUE(broken([](Bytes& f) { f.pop_back(); }));         // image cut short
    EXPECT_TRUE(broken([](Bytes& f) { f.resize(100); }));        // header cut short
    EXPECT_TRUE(broken([](Bytes& f) { f[10] = 17; }));           // a cell wider than the image
    EXPECT_TRUE(broken([](Bytes& f) { f[5] = 0x7F; }));          // W x H beyond the file
}

TEST(BitmapFont, TheRealSampleFiles)
{
    const struct {
        const char* file;
        std::size_t records;
        std::uint16_t b, n;
        std::string head;
        std::string glyphA;
    } cases[] = {
        { "CBFG_TestFont.bff", 97, 72, 6935, "151a031248" "1b1700",
          "0a000000000000000000000000001f0000f80007c0003e0001f0001fc000fe0007f0003b8001fc000fe000f78007bc003de001ef000e7"
          "80000000000000000000000000000000000" },
        { "Lemao_inconsolata.bff", 97, 128, 12416, "1f200b0b80308000",
          "0b00000000000000000000000000000000000000000000000000000000000000060000001c00000038000000f8000001f0000003e0000"
          "00ee000001dc000003b800000ff800001ff0000038e00000f0e00001c1c00000000000000000000000000000000000000000000000000"
          "00000000000000000000000000000000000000" },
        { "RicoTech_bin_font_courier_new.bff", 97, 18, 1746, "0810080812" "06d200",
          "080000000038181824243c42e70000000000" },
        { "multi2d_Arial.bff", 64, 128, 12416, "1f20051680308000",
          "1100000000000000000000000000000000000000000000000070000000e000000360000006c0000018c000003180000063000001830000"
          "030600000c0600001ffc00007ffc0000c0180001803000060030000c006000300060000000000000000000000000000000000000000000"
          "000000000000000000000000000000000000" },
    };
    for (const auto& c : cases) {
        auto font = readFontFile(std::string(MEROVAN_TEST_DATA "/fonts/") + c.file);
        ASSERT_TRUE(font) << c.file;
        const ConvertedFont converted = convertFont(*font);
        EXPECT_EQ(converted.characters, c.records) << c.file;
        EXPECT_EQ(converted.recordBytes, c.b) << c.file;
        EXPECT_EQ(converted.bitmapBytes, c.n) << c.file;
        EXPECT_EQ(hex(Bytes(converted.head.begin(), converted.head.end()), 0, 8), c.head) << c.file;
        const std::size_t a = static_cast<std::size_t>('A' - font->firstChar) * converted.recordBytes;
        EXPECT_EQ(hex(converted.records, a, converted.recordBytes), c.glyphA) << c.file;
    }
}
