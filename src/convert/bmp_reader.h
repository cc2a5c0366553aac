// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace merovan {

// Status codes of the BMP reader, kept in one module-wide value.
enum class BmpStatus : int {
    Ok = 0,
    GeneralError = 1,
    OutOfMemory = 2,
    IoError = 3,
    FileNotFound = 4,
    NotSupported = 5,
    NotValid = 6,
    InvalidArgument = 7,
    TypeMismatch = 8,
};

// An uncompressed BMP of 8, 24 or 32 bits per pixel, in memory.
struct BmpImage
{
    // File header.
    std::uint16_t bfType = 0;
    std::uint32_t bfSize = 0;
    std::uint16_t bfReserved1 = 0;
    std::uint16_t bfReserved2 = 0;
    std::uint32_t bfOffBits = 0;
    // Information header; biHeight is the row count, whichever way the rows
    // are stored.
    std::uint32_t biSize = 0;
    std::uint32_t biWidth = 0;
    std::uint32_t biHeight = 0;
    std::uint16_t biPlanes = 0;
    std::uint16_t biBitCount = 0;
    std::uint32_t biCompression = 0;
    std::uint32_t biSizeImage = 0;
    std::uint32_t biXPelsPerMeter = 0;
    std::uint32_t biYPelsPerMeter = 0;
    std::uint32_t biClrUsed = 0;
    std::uint32_t biClrImportant = 0;

    bool topDown = false;              // rows stored from the top (negative height)
    std::size_t rowLength = 0;         // bytes from one stored row to the next
    std::vector<std::uint8_t> colourTable; // 1,024 bytes for 8 bits per pixel
    std::vector<std::uint8_t> pixels;      // rowLength * biHeight bytes, as stored
};

// Loads a BMP file: the 40-byte information header, or the 108- and 124-byte
// ones when uncompressed or with the standard bit-field masks. Pixel data is
// taken from bfOffBits. Returns null and sets the status on failure: 4 no
// such file, 5 an unsupported variant, 6 not a valid BMP (or shorter than
// its pixel data), 7 no path.
std::unique_ptr<BmpImage> readBmpFile(const std::string& path);
// The same from bytes in memory.
std::unique_ptr<BmpImage> readBmp(std::span<const std::uint8_t> file);

void releaseBmp(std::unique_ptr<BmpImage>& image);
std::uint32_t bmpWidth(const BmpImage* image);
std::uint32_t bmpHeight(const BmpImage* image);
int bmpBitsPerPixel(const BmpImage* image);

// The colour of the pixel at column x, row y (row 0 at the top as the picture
// is seen). Status 7, outputs untouched, for a pixel outside the picture.
void bmpPixelColour(const BmpImage* image, std::uint32_t x, std::uint32_t y, std::uint8_t* red, std::uint8_t* green,
                    std::uint8_t* blue);

int bmpStatus();
// The description of the current status; null for 0.
const char* bmpStatusText();

} // namespace merovan
