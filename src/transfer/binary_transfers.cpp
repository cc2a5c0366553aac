// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/binary_transfers.h"

#include "common/durable_file.h"

#include "convert/bitmap_font.h"
#include "convert/bmp_reader.h"
#include "serial/serial_port.h"
#include "serial/text_expansion.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <vector>

namespace merovan {

namespace {

constexpr std::size_t kBinaryChunk = 4096;
constexpr std::size_t kPictureWrite = 64;
constexpr std::size_t kFontBlock = 200;
constexpr std::size_t kFontFileProgress = 1000;
constexpr std::int64_t kProgressLimit = 65000;
constexpr char kHeaderName[] = "bmpHead.h";

// False when a cancel came during one of its pauses.
bool sendFirst(TransferRequest& request, std::size_t echoSize)
{
    if (request.sendFirst.empty())
        return true;
    std::vector<char> echo(echoSize);
    return sendFirstServed(request, echo);
}

// A file written under a temporary name beside its final one, renamed into
// place only when complete; removed otherwise.
class StagedFile
{
public:
    explicit StagedFile(std::string path)
        : m_path(std::move(path))
        , m_temp(m_path + ".part")
    {
        m_file.reset(std::fopen(m_temp.c_str(), "wb"));
    }
    ~StagedFile()
    {
        if (m_file) {
            m_file.reset();
            std::remove(m_temp.c_str());
        }
    }
    bool ok() const { return m_file != nullptr; }
    bool write(const void* data, std::size_t n) { return std::fwrite(data, 1, n, m_file.get()) == n; }
    bool commit()
    {
        bool good = flushToDisk(m_file.get());
        good = std::fclose(m_file.release()) == 0 && good;
        std::string reason;
        good = good && renameOver(m_temp, m_path, reason);
        if (!good)
            std::remove(m_temp.c_str());
        return good;
    }

private:
    std::string m_path;
    std::string m_temp;
    File m_file;
};

} // namespace

TransferResult sendBinaryFile(TransferRequest& request, const ProgressCallback& progress)
{
    SerialPort& port = request.port;
    if (!port.isOpen())
        return TransferResult::PortNotOpen;
    File file = openInputFile(request.fileName);
    if (!file)
        return fileFailure(request, request.fileName, TransferResult::CantOpenFile);
    const std::int64_t size = fileLength(file.get());
    if (size < 0)
        return fileFailure(request, request.fileName, TransferResult::CantOpenFile);
    const std::int32_t divisor = progressDivisor(size);
    const auto maximum = static_cast<std::int32_t>(size / divisor);
    if (progress(maximum, 0))
        return TransferResult::Canceled;
    if (!sendFirst(request, 128))
        return TransferResult::Canceled;

    std::vector<std::uint8_t> chunk(kBinaryChunk);
    std::int64_t sent = 0;
    for (;;) {
        const std::size_t n = std::fread(chunk.data(), 1, chunk.size(), file.get());
        if (n > 0 && port.writeBlock(std::span(chunk.data(), n)) != 0)
            return TransferResult::Timeout;
        sent += static_cast<std::int64_t>(n);
        // A read error ends the file like its end does. The device must still
        // be there once the last bytes have left.
        if (n < chunk.size()) {
            if (waitUntilSentServed(request))
                return TransferResult::Success;
            return request.stopRequested ? TransferResult::Canceled : TransferResult::Timeout;
        }
        if (progress(maximum, static_cast<std::int32_t>(sent / divisor)))
            return TransferResult::Canceled;
    }
}

std::string pictureHeaderText(const std::vector<std::uint8_t>& stream)
{
    std::string text;
    text.reserve(32 + stream.size() * 4 + stream.size() / 18);
    text.append("\nconst unsigned char pic[]={ ");
    text.append(std::to_string(stream.empty() ? 0 : stream[0]));
    for (std::size_t i = 1; i < stream.size(); ++i) {
        text.push_back(',');
        text.append(std::to_string(stream[i]));
        if (i >= 4 && (i - 4) % 18 == 17)
            text.push_back('\n'); // six pixels to a line
    }
    text.append(" };\n");
    return text;
}

TransferResult sendPicture(TransferRequest& request, const ProgressCallback& progress, std::string* headerPath)
{
    SerialPort& port = request.port;
    if (request.createFile == 0 && !port.isOpen())
        return TransferResult::PortNotOpen;
    std::unique_ptr<BmpImage> picture = readBmpFile(request.fileName);
    if (!picture) {
        if (!openInputFile(request.fileName))
            return fileFailure(request, request.fileName, TransferResult::CantOpenFile);
        request.detail = request.fileName + ": not a BMP picture";
        return TransferResult::CantOpenFile;
    }
    if (bmpBitsPerPixel(picture.get()) != 24) {
        request.detail = request.fileName + ": " + std::to_string(bmpBitsPerPixel(picture.get())) + " bits per pixel";
        releaseBmp(picture);
        return TransferResult::ColourDepth;
    }
    const std::uint32_t width = bmpWidth(picture.get());
    const std::uint32_t height = bmpHeight(picture.get());
    const auto progressHeight = static_cast<std::int32_t>(std::min<std::uint32_t>(height, INT32_MAX));
    if (progress(progressHeight, 0)) {
        releaseBmp(picture);
        return TransferResult::Canceled;
    }
    // Creating the header file is instead of sending: nothing, not even the
    // text to send first, goes to the port.
    if (request.createFile == 0 && !sendFirst(request, 128)) {
        releaseBmp(picture);
        return TransferResult::Canceled;
    }

    const std::uint8_t head[4] = { static_cast<std::uint8_t>(height >> 8), static_cast<std::uint8_t>(height),
                                   static_cast<std::uint8_t>(width >> 8), static_cast<std::uint8_t>(width) };
    auto pixel = [&](std::uint32_t x, std::uint32_t y, std::uint8_t out[3]) {
        std::uint8_t r = 0, g = 0, b = 0;
        bmpPixelColour(picture.get(), x, y, &r, &g, &b);
        out[0] = static_cast<std::uint8_t>(r / 4);
        out[1] = static_cast<std::uint8_t>(g / 4);
        out[2] = static_cast<std::uint8_t>(b / 4);
    };

    if (request.createFile != 0) {
        std::vector<std::uint8_t> stream(head, head + 4);
        stream.reserve(4 + 3ull * width * height);
        for (std::uint32_t y = 0; y < height; ++y)
            for (std::uint32_t x = 0; x < width; ++x) {
                std::uint8_t p[3];
                pixel(x, y, p);
                stream.insert(stream.end(), p, p + 3);
            }
        const std::string path = (std::filesystem::current_path() / kHeaderName).string();
        StagedFile header(path);
        const std::string text = pictureHeaderText(stream);
        if (!header.ok() || !header.write(text.data(), text.size()) || !header.commit()) {
            releaseBmp(picture);
            return fileFailure(request, path, TransferResult::CantCreateFile);
        }
        if (headerPath)
            *headerPath = path;
        releaseBmp(picture);
        if (height > 0)
            progress(progressHeight, progressHeight - 1);
        return TransferResult::Success;
    }

    // The writes' results are not looked at one by one; a device that goes
    // away meanwhile still ends the transfer as a failure.
    const bool sending = port.isOpen();
    auto lost = [&] { return sending && !port.isOpen(); };
    port.writeBlock(head);
    std::vector<std::uint8_t> buffer;
    buffer.reserve(kPictureWrite + 3);
    for (std::uint32_t y = 0; y < height; ++y) {
        for (std::uint32_t x = 0; x < width; ++x) {
            std::uint8_t p[3];
            pixel(x, y, p);
            buffer.insert(buffer.end(), p, p + 3);
            if (buffer.size() >= kPictureWrite) {
                port.writeBlock(buffer);
                buffer.clear();
            }
        }
        if (lost()) {
            releaseBmp(picture);
            return TransferResult::PortNotOpen;
        }
        if (progress(progressHeight, static_cast<std::int32_t>(y))) {
            releaseBmp(picture);
            return TransferResult::Canceled;
        }
    }
    if (!buffer.empty())
        port.writeBlock(buffer);
    releaseBmp(picture);
    if (sending && !waitUntilSentServed(request) && request.stopRequested)
        return TransferResult::Canceled;
    return lost() ? TransferResult::PortNotOpen : TransferResult::Success;
}

std::int32_t fontProgressDivisor(std::size_t total)
{
    std::int32_t divisor = 1;
    for (auto v = static_cast<std::int64_t>(total); v > kProgressLimit; v /= 2)
        ++divisor;
    return divisor;
}

std::string binaryFontPath(const std::string& fontPath)
{
    const auto slash = fontPath.rfind('/');
    const auto dot = fontPath.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return fontPath + ".bf";
    return fontPath.substr(0, dot) + ".bf";
}

TransferResult sendFont(TransferRequest& request, const ProgressCallback& progress, std::string* outputPath)
{
    {
        File probe = openInputFile(request.fileName);
        if (!probe)
            return fileFailure(request, request.fileName, TransferResult::CantOpenFile);
    }
    std::unique_ptr<StagedFile> output;
    if (request.createFile != 0) {
        const std::string path = binaryFontPath(request.fileName);
        output = std::make_unique<StagedFile>(path);
        if (!output->ok())
            return fileFailure(request, path, TransferResult::CantCreateFile);
        if (outputPath)
            *outputPath = path;
    }
    // A malformed font is refused before anything is converted.
    const std::optional<FontFile> font = readFontFile(request.fileName);
    if (!font) {
        request.detail = request.fileName + ": not a bitmap font file";
        return TransferResult::CantOpenFile;
    }
    const ConvertedFont converted = convertFont(*font);

    const std::size_t total = converted.dataLength();
    // The data goes out in whole 200-byte blocks; past the records it is 0.
    std::vector<std::uint8_t> data((total + kFontBlock - 1) / kFontBlock * kFontBlock, 0);
    std::copy_n(converted.records.begin(), std::min(converted.records.size(), total), data.begin());

    const std::int32_t divisor = fontProgressDivisor(total);
    const auto maximum = static_cast<std::int32_t>(static_cast<std::int64_t>(total) / divisor);
    if (progress(maximum, 0))
        return TransferResult::Canceled;

    const std::uint8_t n = converted.head[5];
    const std::uint8_t header[11] = { n,
                                      converted.head[6],
                                      converted.head[0],
                                      converted.head[1],
                                      converted.head[2],
                                      converted.head[3],
                                      static_cast<std::uint8_t>(converted.recordBytes & 0xFF),
                                      static_cast<std::uint8_t>(converted.recordBytes >> 8),
                                      converted.head[5],
                                      converted.head[6],
                                      converted.head[7] };
    if (!output) {
        if (!sendFirst(request, 512))
            return TransferResult::Canceled;
        for (const std::uint8_t b : header)
            request.port.writeByte(b);
        const bool sending = request.port.isOpen();
        for (std::size_t offset = 0; offset < total; offset += kFontBlock) {
            request.port.writeBlock(std::span(data.data() + offset, kFontBlock));
            if (sending && !request.port.isOpen())
                return TransferResult::PortNotOpen; // the device went away
            if (progress(maximum, static_cast<std::int32_t>(offset / static_cast<std::size_t>(divisor))))
                return TransferResult::Canceled;
        }
        if (sending && !waitUntilSentServed(request) && request.stopRequested)
            return TransferResult::Canceled;
        return sending && !request.port.isOpen() ? TransferResult::PortNotOpen : TransferResult::Success;
    }

    const std::string outPath = binaryFontPath(request.fileName);
    if (!output->write(header, sizeof header))
        return fileFailure(request, outPath, TransferResult::CantCreateFile);
    for (std::size_t i = 0; i < total; i += kFontFileProgress) {
        if (progress(maximum, static_cast<std::int32_t>(i / static_cast<std::size_t>(divisor))))
            return TransferResult::Canceled;
        if (!output->write(data.data() + i, std::min(kFontFileProgress, total - i)))
            return fileFailure(request, outPath, TransferResult::CantCreateFile);
    }
    return output->commit() ? TransferResult::Success : fileFailure(request, outPath, TransferResult::CantCreateFile);
}

} // namespace merovan
