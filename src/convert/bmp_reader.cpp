// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/bmp_reader.h"

#include <cerrno>
#include <algorithm>
#include <fstream>
#include <iterator>
#include <new>

namespace merovan {

namespace {

BmpStatus g_status = BmpStatus::Ok;

constexpr std::uint16_t kBm = 0x4D42;
constexpr std::uint32_t kInfoHeader = 40;
constexpr std::uint32_t kV4Header = 108;
constexpr std::uint32_t kV5Header = 124;
constexpr std::uint32_t kBiRgb = 0;
constexpr std::uint32_t kBiBitfields = 3;
constexpr std::size_t kFileHeader = 14;

std::unique_ptr<BmpImage> fail(BmpStatus status)
{
    g_status = status;
    return nullptr;
}

class LittleEndian
{
public:
    explicit LittleEndian(std::span<const std::uint8_t> bytes)
        : m_bytes(bytes)
    {
    }
    bool u16(std::uint16_t& v, std::size_t at) const
    {
        if (at + 2 > m_bytes.size())
            return false;
        v = static_cast<std::uint16_t>(m_bytes[at] | m_bytes[at + 1] << 8);
        return true;
    }
    bool u32(std::uint32_t& v, std::size_t at) const
    {
        if (at + 4 > m_bytes.size())
            return false;
        v = static_cast<std::uint32_t>(m_bytes[at]) | static_cast<std::uint32_t>(m_bytes[at + 1]) << 8
            | static_cast<std::uint32_t>(m_bytes[at + 2]) << 16 | static_cast<std::uint32_t>(m_bytes[at + 3]) << 24;
        return true;
    }

private:
    std::span<const std::uint8_t> m_bytes;
};

// The masks that make BI_BITFIELDS the same as plain BGR(A).
bool standardMasks(const LittleEndian& in, std::uint16_t bits)
{
    std::uint32_t r = 0, g = 0, b = 0;
    if (!in.u32(r, kFileHeader + 40) || !in.u32(g, kFileHeader + 44) || !in.u32(b, kFileHeader + 48))
        return false;
    return bits == 32 && r == 0x00FF0000 && g == 0x0000FF00 && b == 0x000000FF;
}

} // namespace

std::unique_ptr<BmpImage> readBmpFile(const std::string& path)
{
    if (path.empty())
        return fail(BmpStatus::InvalidArgument);
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return fail(errno == ENOENT ? BmpStatus::FileNotFound : BmpStatus::IoError);
    std::vector<std::uint8_t> bytes;
    try {
        bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::bad_alloc&) {
        return fail(BmpStatus::OutOfMemory);
    } catch (const std::ios_base::failure&) {
        // A read that fails (a folder, a device error) throws from the
        // stream buffer.
        return fail(BmpStatus::IoError);
    }
    if (in.bad())
        return fail(BmpStatus::IoError);
    return readBmp(bytes);
}

std::unique_ptr<BmpImage> readBmp(std::span<const std::uint8_t> file)
{
    auto image = std::make_unique<BmpImage>();
    BmpImage& b = *image;
    const LittleEndian in(file);
    std::uint32_t rawHeight = 0;
    const bool complete = in.u16(b.bfType, 0) && in.u32(b.bfSize, 2) && in.u16(b.bfReserved1, 6)
        && in.u16(b.bfReserved2, 8) && in.u32(b.bfOffBits, 10) && in.u32(b.biSize, 14) && in.u32(b.biWidth, 18)
        && in.u32(rawHeight, 22) && in.u16(b.biPlanes, 26) && in.u16(b.biBitCount, 28)
        && in.u32(b.biCompression, 30) && in.u32(b.biSizeImage, 34) && in.u32(b.biXPelsPerMeter, 38)
        && in.u32(b.biYPelsPerMeter, 42) && in.u32(b.biClrUsed, 46) && in.u32(b.biClrImportant, 50);
    if (!complete || b.bfType != kBm)
        return fail(BmpStatus::NotValid);

    const bool knownHeader = b.biSize == kInfoHeader || b.biSize == kV4Header || b.biSize == kV5Header;
    const bool depth = b.biBitCount == 8 || b.biBitCount == 24 || b.biBitCount == 32;
    const bool plain = b.biCompression == kBiRgb
        || (b.biCompression == kBiBitfields && b.biSize != kInfoHeader && standardMasks(in, b.biBitCount));
    if (!knownHeader || !depth || !plain)
        return fail(BmpStatus::NotSupported);

    // A negative height is a picture stored from the top row down.
    const auto signedHeight = static_cast<std::int32_t>(rawHeight);
    b.topDown = signedHeight < 0;
    b.biHeight = b.topDown ? static_cast<std::uint32_t>(-static_cast<std::int64_t>(signedHeight)) : rawHeight;
    if (static_cast<std::int32_t>(b.biWidth) <= 0 || b.biHeight == 0)
        return fail(BmpStatus::NotValid);

    // Rows are padded to whole 32-bit words; a size field that is missing or
    // too small for that is not trusted.
    const std::uint64_t padded = (static_cast<std::uint64_t>(b.biWidth) * (b.biBitCount / 8) + 3) / 4 * 4;
    const std::uint64_t declared = b.biSizeImage / b.biHeight;
    const std::uint64_t row = declared >= padded ? declared : padded;
    const std::uint64_t dataBytes = row * b.biHeight;

    if (b.biBitCount == 8) {
        const std::uint32_t entries = b.biClrUsed == 0 || b.biClrUsed > 256 ? 256 : b.biClrUsed;
        const std::uint64_t tableAt = kFileHeader + static_cast<std::uint64_t>(b.biSize);
        if (tableAt + entries * 4ull > file.size())
            return fail(BmpStatus::NotValid);
        b.colourTable.assign(1024, 0);
        std::copy_n(file.begin() + static_cast<std::ptrdiff_t>(tableAt), entries * 4, b.colourTable.begin());
    }
    if (b.bfOffBits > file.size() || dataBytes > file.size() - b.bfOffBits)
        return fail(BmpStatus::NotValid);
    try {
        b.pixels.assign(file.begin() + b.bfOffBits, file.begin() + static_cast<std::ptrdiff_t>(b.bfOffBits + dataBytes));
    } catch (const std::bad_alloc&) {
        return fail(BmpStatus::OutOfMemory);
    }
    b.rowLength = static_cast<std::size_t>(row);
    g_status = BmpStatus::Ok;
    return image;
}

void releaseBmp(std::unique_ptr<BmpImage>& image)
{
    if (image) {
        image.reset();
        g_status = BmpStatus::Ok;
    }
}

std::uint32_t bmpWidth(const BmpImage* image)
{
    g_status = image ? BmpStatus::Ok : BmpStatus::InvalidArgument;
    return image ? image->biWidth : 0xFFFFFFFFu;
}

std::uint32_t bmpHeight(const BmpImage* image)
{
    g_status = image ? BmpStatus::Ok : BmpStatus::InvalidArgument;
    return image ? image->biHeight : 0xFFFFFFFFu;
}

int bmpBitsPerPixel(const BmpImage* image)
{
    g_status = image ? BmpStatus::Ok : BmpStatus::InvalidArgument;
    return image ? image->biBitCount : -1;
}

void bmpPixelColour(const BmpImage* image, std::uint32_t x, std::uint32_t y, std::uint8_t* red, std::uint8_t* green,
                    std::uint8_t* blue)
{
    if (!image || x >= image->biWidth || y >= image->biHeight) {
        g_status = BmpStatus::InvalidArgument;
        return;
    }
    g_status = BmpStatus::Ok;
    const std::size_t storedRow = image->topDown ? y : image->biHeight - y - 1;
    const std::size_t at = storedRow * image->rowLength + static_cast<std::size_t>(x) * (image->biBitCount / 8);
    const std::uint8_t* colour = image->pixels.data() + at;
    if (image->biBitCount == 8)
        colour = image->colourTable.data() + static_cast<std::size_t>(*colour) * 4;
    if (red)
        *red = colour[2];
    if (green)
        *green = colour[1];
    if (blue)
        *blue = colour[0];
}

int bmpStatus()
{
    return static_cast<int>(g_status);
}

const char* bmpStatusText()
{
    switch (g_status) {
    case BmpStatus::GeneralError:
        return "General error";
    case BmpStatus::OutOfMemory:
        return "Could not allocate enough memory to complete the operation";
    case BmpStatus::IoError:
        return "File input/output error";
    case BmpStatus::FileNotFound:
        return "File not found";
    case BmpStatus::NotSupported:
        return "File is not a supported BMP variant (must be uncompressed 8, 24 or 32 BPP)";
    case BmpStatus::NotValid:
        return "File is not a valid BMP image";
    case BmpStatus::InvalidArgument:
        return "An argument is invalid or out of range";
    case BmpStatus::TypeMismatch:
        return "The requested action is not compatible with the BMP's type";
    case BmpStatus::Ok:
        break;
    }
    return nullptr;
}

} // namespace merovan
