// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/transfer.h"

#include "serial/clock.h"
#include "serial/serial_port.h"

#include <cerrno>
#include <cstring>

namespace merovan {

namespace {
constexpr int kAwaitAttempts = 200;
constexpr std::int64_t kProgressLimit = 65000;
} // namespace

int awaitByte(TransferRequest& request, std::uint8_t& byte)
{
    for (int attempt = 0; attempt < kAwaitAttempts; ++attempt) {
        if (request.port.readByte(byte))
            return 1;
        if (!request.port.isOpen())
            return 0;
        delayMs(request.port.clock(), 1);
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

std::int64_t fileLength(std::FILE* file)
{
    if (std::fseek(file, 0, SEEK_END) != 0)
        return 0; // a stream that cannot seek counts as empty for progress
    const std::int64_t size = std::ftell(file);
    std::fseek(file, 0, SEEK_SET);
    return size;
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
