// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/boot_loader.h"

#include "common/text_value.h"
#include "convert/intel_hex.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "transfer/xmodem.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <new>
#include <vector>

namespace merovan {

namespace {

constexpr int kWaitforAttempts = 200;
constexpr std::uint32_t kWaitforPauseMs = 5;
constexpr std::uint32_t kResetPulseMs = 50;
constexpr std::uint32_t kWakeSettleMs = 500;
constexpr std::uint32_t kEraseSettleMs = 1000;
constexpr int kSubVersionTries = 150;
constexpr std::int32_t kSizeSlack = 20;
constexpr std::int32_t kEraseReserveKb = 35;
constexpr std::int32_t kSpareBytes = 2000;

int sendVersion2(TransferRequest& request, const std::vector<std::uint8_t>& image, const ProgressCallback& progress)
{
    SerialPort& port = request.port;
    const std::int64_t toErase = request.eraseSize != 0
        ? (static_cast<std::int64_t>(request.eraseSize) - kEraseReserveKb) * 1024
        : request.actualFileSize;

    port.writeByte(kAskSubVersion);
    std::uint8_t byte = 0;
    int examined = 0;
    for (;;) {
        if (!awaitByte(request, byte, examined == 0 ? 1 : 0))
            return request.stopRequested ? toInt(TransferResult::Canceled) : kBootBadVersion;
        if (byte != kVersion2)
            break;
        if (++examined >= kSubVersionTries) {
            awaitByte(request, byte); // one more, dropped
            return kBootBadVersion;
        }
    }
    if (byte == 0)
        return kBootBadVersion;

    const auto announced = static_cast<std::uint32_t>(toErase + kSizeSlack);
    for (int shift = 24; shift >= 0; shift -= 8)
        port.writeByte(static_cast<std::uint8_t>(announced >> shift));
    if (!awaitByte(request, byte, 4))
        return toInt(request.stopRequested ? TransferResult::Canceled : TransferResult::Timeout);
    if (byte == kNak)
        return kBootTooBig;

    const std::int32_t divisor = request.divisor;
    for (std::int64_t offset = 0; offset <= request.actualFileSize; offset += kBootBlock) {
        port.writeBlock(std::span(image.data() + offset, static_cast<std::size_t>(kBootBlock)));
        if (progress(request.fileSize, static_cast<std::int32_t>(offset / divisor)))
            return toInt(TransferResult::Canceled);
        // The block takes its time on the line before the loader can answer.
        if (!waitfor(request, kAck, false, static_cast<std::size_t>(kBootBlock)))
            return request.stopRequested ? toInt(TransferResult::Canceled) : kBootNoAck;
    }
    return toInt(TransferResult::Success);
}

int sendVersion1(TransferRequest& request, std::vector<std::uint8_t> image, const ProgressCallback& progress)
{
    std::uint8_t erase = 'd';
    if (request.eraseSize == 0) {
        if (request.actualFileSize < 32769)
            erase = 'a';
        else if (request.actualFileSize < 98305)
            erase = 'b';
        else if (request.actualFileSize <= 229376)
            erase = 'c';
    }
    request.port.writeByte(erase);
    if (!pauseServed(request, kEraseSettleMs))
        return toInt(TransferResult::Canceled);
    return xmodemSend(request, std::move(image), progress);
}

} // namespace

bool waitfor(TransferRequest& request, std::uint8_t wanted, bool keepOthers, std::size_t written)
{
    SerialPort& port = request.port;
    const std::uint64_t onLine = port.clock().nowMs() + lineTimeMs(port, written);
    for (int attempt = 0; attempt < kWaitforAttempts && port.isOpen();) {
        if (serveWait(request))
            return false;
        if (port.clock().nowMs() >= onLine)
            ++attempt;
        std::uint8_t byte = 0;
        if (port.readByte(byte)) {
            if (byte == wanted)
                return true;
            // Between blocks only the loader's replies come; its NAKs are
            // protocol, not text.
            if (keepOthers)
                keepDeviceOutput(request, byte);
        }
        delayMs(port.clock(), kWaitforPauseMs);
    }
    return false;
}

int boot_start(TransferRequest& request)
{
    SerialPort& port = request.port;
    port.setDtr(true);
    pauseServed(request, kResetPulseMs);
    port.setDtr(false);
    if (!pauseServed(request, kResetPulseMs))
        return 1;
    port.writeByte(kWake);
    if (!pauseServed(request, kWakeSettleMs))
        return 1;
    // What the reset produced (the application's last words) is the
    // device's own text; the run of "D" a version 2 loader repeats after
    // waking is its announcement, not text.
    std::vector<std::uint8_t> drained;
    std::uint8_t byte = 0;
    while (port.readByte(byte))
        drained.push_back(byte);
    while (!drained.empty() && drained.back() == kVersion2)
        drained.pop_back();
    for (const std::uint8_t b : drained)
        keepDeviceOutput(request, b);
    return waitfor(request, kVersion2) ? 2 : 1;
}

bool isHexFileName(const std::string& fileName)
{
    return fileExtension(fileName).find("HEX") != std::string::npos;
}

int runBootLoader(TransferRequest& request, const ProgressCallback& progress)
{
    SerialPort& port = request.port;
    if (!port.isOpen())
        return toInt(TransferResult::PortNotOpen);
    File file = openInputFile(request.fileName);
    if (!file)
        return toInt(fileFailure(request, request.fileName, TransferResult::CantOpenFile));
    if (request.flashSize < 0)
        return kBootTooBig;

    const bool hex = isHexFileName(request.fileName);
    const std::int64_t fileSize = fileLength(file.get());
    if (fileSize < 0)
        return toInt(fileFailure(request, request.fileName, TransferResult::CantOpenFile));
    // Nothing to load is refused before the device is touched, rather than
    // erasing it for a block of erased flash.
    if (fileSize == 0) {
        request.detail = request.fileName + ": the file is empty";
        return toInt(TransferResult::CantOpenFile);
    }
    std::int64_t binarySize = 0;
    if (!hex) {
        // A raw image that cannot fit is refused before the device is touched.
        binarySize = fileSize;
        if (binarySize > request.flashSize)
            return kBootTooBig;
    }

    std::vector<std::uint8_t> image;
    try {
        // Room for the flash and its spare bytes, for the last 2000-byte
        // block reaching past them, and for whole XMODEM blocks; flash that
        // nothing writes reads as erased.
        const std::size_t bytes = static_cast<std::size_t>(request.flashSize) + kSpareBytes + kBootBlock;
        image.assign(bytes + kXmodemBlock - bytes % kXmodemBlock, 0xFF);
    } catch (const std::bad_alloc&) {
        return toInt(TransferResult::NoMemory);
    }

    const int version = boot_start(request);
    if (request.stopRequested)
        return toInt(TransferResult::Canceled);
    request.bootVersion = version;
    const std::uint32_t flashStart = version == 1 ? kFlashStartV1 : kFlashStartV2;

    std::int32_t size = 0;
    if (hex) {
        file.reset();
        const std::size_t window = static_cast<std::size_t>(request.flashSize) + kSpareBytes;
        HexSkipped skipped;
        if (convertHexFile(request.fileName, flashStart, static_cast<std::uint32_t>(request.flashSize),
                           std::span(image.data(), window), size, &request.detail, &skipped)
            != kHexConverted)
            return kBootHexFailed;
        if (skipped.bytes > 0) {
            // Real HEX files carry configuration words outside the flash.
            // The two addresses joined by an en dash.
            char range[64];
            std::snprintf(range, sizeof range, "0x%08X\xE2\x80\x93" "0x%08X", skipped.first, skipped.last);
            request.note = groupedCount(skipped.bytes) + " bytes at " + range
                + " lie outside the flash window and were not sent";
        }
    } else {
        if (binarySize > 0 && std::fread(image.data(), 1, static_cast<std::size_t>(binarySize), file.get())
                != static_cast<std::size_t>(binarySize))
            return toInt(fileFailure(request, request.fileName, TransferResult::CantOpenFile));
        file.reset();
        size = static_cast<std::int32_t>(binarySize);
    }

    const std::int32_t divisor = progressDivisor(size);
    const std::int32_t maximum = size / divisor;
    if (progress(maximum, 0))
        return toInt(TransferResult::Canceled);
    request.actualFileSize = size;
    request.fileSize = maximum;
    request.divisor = divisor;

    if (version == 2)
        return sendVersion2(request, image, progress);
    return sendVersion1(request, std::move(image), progress);
}

std::string bootLoadSummary(const TransferRequest& request)
{
    const std::string loaded = "Loaded " + groupedCount(static_cast<std::uint64_t>(std::max(0, request.actualFileSize)))
        + " bytes";
    if (!request.note.empty())
        return loaded + "; " + request.note;
    return loaded + " (boot loader v" + std::to_string(request.bootVersion) + ")";
}

std::string bootLoaderMessage(int result)
{
    // The loader's own results; the rest read as the text driver's do.
    switch (result) {
    case 6:
        return "Can't start loader";
    case 7:
        return "Incorrect boot loader version";
    case 8:
        return "Program too big for available flash";
    case 9:
        return "No ACK from target";
    case 10:
        return "Not enough memory on PC, alloc failure";
    case 11:
        return "Error trying to convert hex file";
    case 21:
        return "Xmodem timeout waiting for ACK/NAK";
    case 22:
        return "Xmodem no ACK recieved from target";
    case 26:
        return "Xmodem cancelled by target";
    default:
        return transfer1Message(result);
    }
}

} // namespace merovan
