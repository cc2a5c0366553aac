// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/transfer.h"

#include "serial/clock.h"
#include "serial/serial_port.h"
#include "serial/text_expansion.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace merovan {

namespace {
constexpr int kAwaitAttempts = 200;
constexpr std::int64_t kProgressLimit = 65000;
// A wait's steps last a few milliseconds; serving this much earlier than
// the interval keeps every gap within it.
constexpr std::uint32_t kServeMarginMs = kServeIntervalMs - 20;
constexpr std::uint32_t kPauseSliceMs = 10;
} // namespace

bool serveWait(TransferRequest& request)
{
    if (request.stopRequested)
        return true;
    if (!request.serve)
        return false;
    const std::uint64_t now = request.port.clock().nowMs();
    if (request.servedMs != 0 && now - request.servedMs < kServeMarginMs)
        return false;
    request.servedMs = now;
    if (request.serve())
        request.stopRequested = true;
    return request.stopRequested;
}

bool pauseServed(TransferRequest& request, std::uint32_t ms)
{
    Clock& clock = request.port.clock();
    const std::uint64_t end = clock.nowMs() + ms;
    for (;;) {
        if (serveWait(request))
            return false;
        const std::uint64_t now = clock.nowMs();
        if (now >= end)
            return true;
        delayMs(clock, static_cast<std::uint32_t>(std::min<std::uint64_t>(end - now, kPauseSliceMs)));
    }
}

bool waitUntilSentServed(TransferRequest& request)
{
    SerialPort& port = request.port;
    if (!request.serve)
        return !request.stopRequested && port.waitUntilSent();
    if (!port.isOpen())
        return false;
    Clock& clock = port.clock();
    const std::uint64_t end = clock.nowMs() + port.sentWaitLimitMs();
    for (;;) {
        if (serveWait(request))
            return false;
        if (port.waitSentFor(static_cast<int>(kPauseSliceMs)) == 0)
            return true;
        if (!port.isOpen())
            return false;
        // A line held back (CTS) is no failure once its time is up.
        if (clock.nowMs() >= end)
            return true;
    }
}

bool sendFirstServed(TransferRequest& request, std::span<char> echo)
{
    sendExpandedText(request.port, request.sendFirst, echo, systemLocalTime,
                     [&request] { return serveWait(request); });
    return !request.stopRequested;
}

std::uint32_t lineTimeMs(const SerialPort& port, std::size_t bytes)
{
    if (bytes == 0)
        return 0;
    const std::uint64_t baud = port.baudRate() > 0 ? port.baudRate() : 9600;
    return static_cast<std::uint32_t>((static_cast<std::uint64_t>(bytes) * 10000 + baud - 1) / baud);
}

int awaitByte(TransferRequest& request, std::uint8_t& byte, std::size_t written)
{
    SerialPort& port = request.port;
    Clock& clock = port.clock();
    const std::uint64_t onLine = clock.nowMs() + lineTimeMs(port, written);
    for (int attempt = 0; attempt < kAwaitAttempts;) {
        if (port.readByte(byte))
            return 1;
        if (!port.isOpen() || serveWait(request))
            return 0;
        delayMs(clock, 1);
        if (clock.nowMs() >= onLine)
            ++attempt;
    }
    return 0;
}

void keepDeviceOutput(TransferRequest& request, std::uint8_t byte)
{
    if (request.deviceOutput.size() < kDeviceOutputLimit)
        request.deviceOutput.push_back(byte);
}

std::string systemReason(const std::string& path)
{
    return path + ": " + std::strerror(errno);
}

std::int32_t progressDivisor(std::int64_t size)
{
    if (size <= kProgressLimit)
        return 1;
    return static_cast<std::int32_t>(size / (kProgressLimit + 1) + 1);
}

File openInputFile(const std::string& path)
{
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        errno = EISDIR;
        return nullptr;
    }
    return File(std::fopen(path.c_str(), "rb"));
}

std::int64_t fileLength(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0)
        return 0; // a stream that cannot seek counts as empty for progress
    const std::int64_t size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    return size;
}

std::string groupedCount(std::uint64_t n)
{
    std::string digits = std::to_string(n);
    for (std::ptrdiff_t at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), 1, ',');
    return digits;
}

std::string sentSummary(std::uint64_t bytes, std::uint64_t elapsedMs)
{
    char time[32];
    std::snprintf(time, sizeof time, "%.2f", static_cast<double>(elapsedMs) / 1000.0);
    return "Sent " + groupedCount(bytes) + " bytes in " + time + " s";
}

std::string transfer1Message(int result)
{
    switch (result) {
    case 0:
        return {};
    case 1:
        return "Cant open file";
    case 2:
        return "Timeout waiting for ACK";
    case 3:
        return "Transfer canceled by target error";
    case 4:
        return "Transfer canceled";
    case 5:
        return "COM port not opened";
    default:
        return "File transfer canceled - unknown reason";
    }
}

std::string transferBinMessage(int result)
{
    switch (result) {
    case 16:
        return "Colour depth wrong - must be 24";
    case 17:
        return "Head file requested and can't create one";
    default:
        return transfer1Message(result);
    }
}

} // namespace merovan
