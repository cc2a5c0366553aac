// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/bmp_reader.h"
#include "support/bmp_builder.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

using namespace merovan;
namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;
using merovan::test::makeBmp;

struct Rgb
{
    int r, g, b;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

Rgb colour(const BmpImage* image, std::uint32_t x, std::uint32_t y)
{
    std::uint8_t r = 1, g = 1, b = 1;
    bmpPixelColour(image, x, y, &r, &g, &b);
    return { r, g, b };
}

// Two rows of two 24-bit pixels, each row padded to 8 bytes; the bottom row
// comes first in the file.
const Bytes k2x2 = { 1, 2, 3, 4, 5, 6, 0, 0, /* bottom */ 7, 8, 9, 10, 11, 12, 0, 0 /* top */ };

} // namespace

TEST(BmpReader, TwentyFourBitRowsAreBottomUp)
{
    auto image = readBmp(makeBmp(2, 2, 24, k2x2, 16));
    ASSERT_TRUE(image);
    EXPECT_EQ(bmpStatus(), 0);
    EXPECT_EQ(bmpStatusText(), nullptr);
    EXPECT_EQ(bmpWidth(image.get()), 2u);
    EXPECT_EQ(bmpHeight(image.get()), 2u);
    EXPECT_EQ(bmpBitsPerPixel(image.get()), 24);
    EXPECT_EQ(colour(image.get(), 0, 0), (Rgb { 9, 8, 7 })) << "stored blue, green, red";
    EXPECT_EQ(colour(image.get(), 1, 1), (Rgb { 6, 5, 4 }));

    // A missing or too small size field takes the padded row from the width.
    for (std::uint32_t declared : { 0u, 3u }) {
        auto guessed = readBmp(makeBmp(2, 2, 24, k2x2, declared));
        ASSERT_TRUE(guessed) << declared;
        EXPECT_EQ(colour(guessed.get(), 1, 0), (Rgb { 12, 11, 10 }));
    }

    // Top-down: a negative height, rows stored from the top.
    auto topDown = readBmp(makeBmp(2, -2, 24, k2x2, 16));
    ASSERT_TRUE(topDown);
    EXPECT_EQ(bmpHeight(topDown.get()), 2u);
    EXPECT_EQ(colour(topDown.get(), 0, 0), (Rgb { 3, 2, 1 }));
}

TEST(BmpReader, ThirtyTwoAndEightBits)
{
    const Bytes px32 = { 10, 20, 30, 99, 40, 50, 60, 99 };
    auto image = readBmp(makeBmp(2, 1, 32, px32, 8));
    ASSERT_TRUE(image);
    EXPECT_EQ(colour(image.get(), 1, 0), (Rgb { 60, 50, 40 })) << "the fourth byte is ignored";

    // A full table, and a 16-entry one as small writers make it: the pixel
    // data starts where the header says, not after 256 entries.
    for (std::uint32_t entries : { 256u, 16u }) {
        auto palette = readBmp(makeBmp(3, 1, 8, { 5, 15, 1, 0 }, 4, entries));
        ASSERT_TRUE(palette) << entries;
        EXPECT_EQ(colour(palette.get(), 0, 0), (Rgb { 5, 10, 15 })) << entries;
        EXPECT_EQ(colour(palette.get(), 1, 0), (Rgb { 15, 30, 45 })) << entries;
    }
}

TEST(BmpReader, BadFilesSetTheirStatus)
{
    auto expect = [](const Bytes& file, int status, const char* what = "") {
        auto image = readBmp(file);
        EXPECT_FALSE(image) << what;
        EXPECT_EQ(bmpStatus(), status) << what;
    };
    Bytes notBm = makeBmp(2, 2, 24, k2x2, 16);
    notBm[0] = 'X';
    expect(notBm, 6);
    expect(Bytes(notBm.begin(), notBm.begin() + 30), 6);
    expect(makeBmp(2, 2, 16, k2x2, 16), 5);
    expect(makeBmp(2, 2, 24, k2x2, 16, 0, 1), 5, "RLE");
    expect(makeBmp(2, 2, 24, k2x2, 16, 0, 0, 64), 5, "an unknown header");
    Bytes truncated = makeBmp(2, 2, 24, k2x2, 16);
    truncated.resize(truncated.size() - 1);
    expect(truncated, 6);
    expect(makeBmp(2, 2, 24, k2x2, 0xFFFFFFF0u), 6, "a size field beyond the file");
    expect(makeBmp(0x7FFFFFFF, 0x7FFFFFFF, 24, k2x2, 0), 6, "no read past the data");
    EXPECT_STREQ(bmpStatusText(), "File is not a valid BMP image");

    EXPECT_FALSE(readBmpFile("/nonexistent/picture.bmp"));
    EXPECT_EQ(bmpStatus(), 4);
    EXPECT_FALSE(readBmpFile(""));
    EXPECT_EQ(bmpStatus(), 7);
    EXPECT_FALSE(readBmp(makeBmp(2, 2, 16, k2x2, 16)));
    EXPECT_STREQ(bmpStatusText(), "File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)");
}

TEST(BmpReader, PixelsOutsideThePictureAreRefused)
{
    auto image = readBmp(makeBmp(2, 2, 24, k2x2, 16));
    ASSERT_TRUE(image);
    std::uint8_t r = 77;
    bmpPixelColour(image.get(), 2, 0, &r, nullptr, nullptr);
    EXPECT_EQ(bmpStatus(), 7);
    EXPECT_EQ(r, 77) << "outputs untouched";
    bmpPixelColour(image.get(), 0, 2, &r, nullptr, nullptr);
    EXPECT_EQ(bmpStatus(), 7);
    bmpPixelColour(nullptr, 0, 0, &r, nullptr, nullptr);
    EXPECT_EQ(bmpStatus(), 7);
    EXPECT_EQ(bmpWidth(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(bmpBitsPerPixel(nullptr), -1);
    releaseBmp(image);
    EXPECT_FALSE(image);
    EXPECT_EQ(bmpStatus(), 0);
}

TEST(BmpReader, FilesWrittenByImageMagick)
{
    if (std::system("command -v convert >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "ImageMagick is not installed";
    const fs::path dir = fs::temp_directory_path() / ("merovan-bmp-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    // Red everywhere, one blue pixel at (1, 1), a green one at the top-left
    // corner, and enough other colours on the right that a palette needs
    // eight bits.
    std::string draw = "-size 30x3 xc:red -fill blue -draw 'point 1,1' -fill lime -draw 'point 0,0'";
    for (int x = 5; x < 30; ++x)
        draw += " -fill 'rgb(" + std::to_string(x * 8) + ",100,50)' -draw 'point " + std::to_string(x) + ",0'";
    const struct {
        const char* format;
        int bits;
        std::uint32_t header;
    } cases[] = {
        { "BMP3:", 24, 40 }, { "-type palette -compress none BMP3:", 8, 40 }, { "-alpha off BMP:", 24, 124 },
        { "-alpha on BMP:", 32, 124 },
    };
    for (const auto& c : cases) {
        const std::string path = (dir / "p.bmp").string();
        std::string format = c.format;
        const auto colon = format.rfind(' ');
        const std::string options = colon == std::string::npos ? "" : format.substr(0, colon);
        const std::string prefix = colon == std::string::npos ? format : format.substr(colon + 1);
        const std::string cmd = "convert " + draw + " " + options + " " + prefix + path;
        ASSERT_EQ(std::system(cmd.c_str()), 0) << cmd;
        auto image = readBmpFile(path);
        ASSERT_TRUE(image) << c.format << ": " << (bmpStatusText() ? bmpStatusText() : "");
        EXPECT_EQ(image->biSize, c.header) << c.format;
        EXPECT_EQ(bmpBitsPerPixel(image.get()), c.bits) << c.format;
        EXPECT_EQ(bmpWidth(image.get()), 30u);
        EXPECT_EQ(bmpHeight(image.get()), 3u);
        EXPECT_EQ(colour(image.get(), 0, 0), (Rgb { 0, 255, 0 })) << c.format;
        EXPECT_EQ(colour(image.get(), 1, 1), (Rgb { 0, 0, 255 })) << c.format;
        EXPECT_EQ(colour(image.get(), 4, 2), (Rgb { 255, 0, 0 })) << c.format;
    }
    fs::remove_all(dir);
}
