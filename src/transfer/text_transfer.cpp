// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/text_transfer.h"

#include "serial/clock.h"
#include "serial/serial_port.h"
#include "serial/text_expansion.h"

#include <cstdio>
#include <memory>
#include <vector>

namespace merovan {

namespace {

constexpr std::uint8_t kCr = 13;
constexpr std::uint8_t kLf = 10;
constexpr std::size_t kEchoSize = 128;

// Reads up to and including the next LF. False at the end of the file or
// on a read error, with nothing read.
bool readLine(std::FILE* f, std::vector<std::uint8_t>& line)
{
    line.clear();
    int c;
    while ((c = std::fgetc(f)) != EOF) {
        line.push_back(static_cast<std::uint8_t>(c));
        if (c == kLf)
            break;
    }
    return !line.empty();
}

// Whatever has already arrived holds the error character; the rest is kept
// as the device's own output.
bool errorAlreadySent(TransferRequest& request, std::uint8_t errorChar)
{
    std::uint8_t buffer[256];
    bool seen = false;
    for (;;) {
        const std::size_t n = request.port.readAvailable(buffer);
        for (std::size_t i = 0; i < n; ++i) {
            if (buffer[i] == errorChar)
                seen = true;
            else
                keepDeviceOutput(request, buffer[i]);
        }
        if (n < sizeof buffer)
            return seen;
    }
}

} // namespace

TransferResult sendTextFile(TransferRequest& request, const ProgressCallback& progress)
{
    SerialPort& port = request.port;
    if (!port.isOpen())
        return TransferResult::PortNotOpen;
    File file = openInputFile(request.fileName);
    if (!file)
        return fileFailure(request, request.fileName, TransferResult::CantOpenFile);

    const std::int64_t size = fileLength(file.get());
    if (size < 0)
        return fileFailure(request, request.fileName, TransferResult::ReadError);
    const std::int32_t divisor = progressDivisor(size);
    const auto maximum = static_cast<std::int32_t>(size / divisor);

    if (progress(maximum, 0))
        return TransferResult::Canceled;

    if (!request.sendFirst.empty()) {
        char echo[kEchoSize];
        if (!sendFirstServed(request, echo))
            return TransferResult::Canceled;
    }

    std::vector<std::uint8_t> line;
    while (!std::ferror(file.get()) && readLine(file.get(), line)) {
        if (line.back() == kLf)
            line.pop_back();
        if (line.empty() || line.back() != kCr)
            line.push_back(kCr);
        if (port.writeBlock(line) != 0 && !port.isOpen())
            return TransferResult::PortNotOpen; // the device went away

        if (request.eolWaitChar != 0) {
            std::uint8_t byte = 0;
            // The first byte of the answer comes once the line is out.
            std::size_t written = line.size();
            do {
                if (!awaitByte(request, byte, written)) {
                    if (request.stopRequested)
                        return TransferResult::Canceled;
                    return port.isOpen() ? TransferResult::Timeout : TransferResult::PortNotOpen;
                }
                written = 0;
                if (request.errorChar != 0 && byte == request.errorChar)
                    return TransferResult::TargetError;
                if (byte != request.eolWaitChar)
                    keepDeviceOutput(request, byte);
            } while (byte != request.eolWaitChar);
        } else if (request.errorChar != 0 && errorAlreadySent(request, request.errorChar)) {
            return TransferResult::TargetError;
        }
        if (request.eolDelay != 0 && !pauseServed(request, request.eolDelay))
            return TransferResult::Canceled;

        const std::int64_t position = std::ftell(file.get());
        if (progress(maximum, static_cast<std::int32_t>(position / divisor)))
            return TransferResult::Canceled;
    }
    if (std::ferror(file.get()))
        return fileFailure(request, request.fileName, TransferResult::ReadError);
    return TransferResult::Success;
}

} // namespace merovan
