// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/xmodem.h"

#include "serial/clock.h"
#include "serial/serial_port.h"

namespace merovan {

namespace {

constexpr int kStartAttempts = 1000;
constexpr std::uint32_t kReplyAttempts = 1000;
constexpr std::uint32_t kEotGapMs = 50;

int waitForStart(TransferRequest& request)
{
    SerialPort& port = request.port;
    port.drainInput(); // what came before does not count
    for (int attempt = 0; attempt < kStartAttempts && port.isOpen(); ++attempt) {
        if (serveWait(request))
            return toInt(TransferResult::Canceled);
        std::uint8_t byte = 0;
        if (!port.readByte(byte)) {
            delayMs(port.clock(), 1);
            continue;
        }
        if (byte == kCrcRequest)
            return 0;
        if (byte == kCan) {
            for (const std::uint8_t b : { kAck, kCan, kCan, kCan })
                port.writeByte(b);
            return kXmodemCanceledByTarget;
        }
    }
    return kXmodemNoStart;
}

void sendBlock(SerialPort& port, std::uint8_t number, std::span<const std::uint8_t> data,
               const std::array<std::uint16_t, 256>& table)
{
    std::uint16_t crc = 0;
    for (const std::uint8_t b : data)
        crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
    port.writeByte(kStx);
    port.writeByte(number);
    port.writeByte(static_cast<std::uint8_t>(255 - number));
    port.writeBlock(data);
    port.writeByte(static_cast<std::uint8_t>(crc >> 8));
    port.writeByte(static_cast<std::uint8_t>(crc & 0xFF));
}

// The reply to a block of `written` bytes: up to kReplyAttempts reads, each
// empty one followed by 1 ms, counted once the block has had its time on
// the line. 0 on silence, as a 0 byte is no reply.
std::uint8_t waitReply(TransferRequest& request, std::size_t written)
{
    SerialPort& port = request.port;
    const std::uint64_t onLine = port.clock().nowMs() + lineTimeMs(port, written);
    for (std::uint32_t attempt = 0; attempt < kReplyAttempts && port.isOpen();) {
        if (serveWait(request))
            return 0;
        std::uint8_t byte = 0;
        if (port.readByte(byte))
            return byte;
        delayMs(port.clock(), 1);
        if (port.clock().nowMs() >= onLine)
            ++attempt;
    }
    return 0;
}

} // namespace

std::array<std::uint16_t, 256> makeCrc16Table()
{
    std::array<std::uint16_t, 256> table {};
    for (int i = 0; i < 256; ++i) {
        auto crc = static_cast<std::uint16_t>(i << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        table[static_cast<std::size_t>(i)] = crc;
    }
    return table;
}

std::uint16_t crc16Xmodem(std::span<const std::uint8_t> data)
{
    static const auto table = makeCrc16Table();
    std::uint16_t crc = 0;
    for (const std::uint8_t b : data)
        crc = static_cast<std::uint16_t>((crc << 8) ^ table[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

int xmodemSend(TransferRequest& request, std::vector<std::uint8_t> image, const ProgressCallback& progress)
{
    SerialPort& port = request.port;
    const auto table = makeCrc16Table();
    for (int wait = 0; wait < 2; ++wait) {
        if (const int rc = waitForStart(request); rc != 0)
            return rc;
    }

    const std::int32_t divisor = request.divisor > 0 ? request.divisor : 1;
    std::int64_t remaining = request.actualFileSize;
    std::size_t offset = 0;
    std::uint8_t number = 1;
    std::int64_t sent = 0;
    while (remaining > 0) {
        if (offset + kXmodemBlock > image.size())
            image.resize(offset + kXmodemBlock, 0xFF);
        const std::span<const std::uint8_t> block(image.data() + offset, kXmodemBlock);
        int naks = 0;
        for (;;) {
            sendBlock(port, number, block, table);
            const std::uint8_t reply = waitReply(request, kXmodemBlock + 5);
            if (request.stopRequested)
                return toInt(TransferResult::Canceled);
            if (reply == 0)
                return kXmodemTimeout;
            if (reply != kNak) {
                if (reply != kAck)
                    return kXmodemNoAck;
                break;
            }
            // A receiver that rejects a block forever must not hold the
            // window forever: give up after a few, and let a cancel in.
            if (++naks >= kMaxResends)
                return kXmodemNoAck;
            if (progress(request.fileSize, static_cast<std::int32_t>(sent / divisor)))
                return toInt(TransferResult::Canceled);
        }
        remaining -= static_cast<std::int64_t>(kXmodemBlock);
        offset += kXmodemBlock;
        ++number;
        sent += static_cast<std::int64_t>(kXmodemBlock);
        if (progress(request.fileSize, static_cast<std::int32_t>(sent / divisor)))
            return toInt(TransferResult::Canceled);
    }
    port.writeByte(kEot);
    if (!pauseServed(request, kEotGapMs))
        return toInt(TransferResult::Canceled);
    port.writeByte(kEot);
    return toInt(TransferResult::Success);
}

} // namespace merovan
