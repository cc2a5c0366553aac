// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "transfer/transfer.h"

#include <array>
#include <cstdint>
#include <span>
#include <vector>

namespace merovan {

// Results of the XMODEM sender besides Success and Canceled.
inline constexpr int kXmodemNoStart = 6;       // no "C" within 1000 attempts
inline constexpr int kXmodemTimeout = 21;      // no reply to a block
inline constexpr int kXmodemNoAck = 22;        // a reply other than ACK or NAK, or too many NAKs
inline constexpr int kXmodemCanceledByTarget = 26;

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kNak = 0x15;
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::uint8_t kCrcRequest = 'C';
inline constexpr std::size_t kXmodemBlock = 1024;

// A block NAKed this many times in a row ends the transfer.
inline constexpr int kMaxResends = 10;

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection).
std::uint16_t crc16Xmodem(std::span<const std::uint8_t> data);
std::array<std::uint16_t, 256> makeCrc16Table();

// Sends request.actualFileSize bytes of image with XMODEM-1K after two "C"s
// from the receiver. The image must hold the size rounded up to whole
// 1024-byte blocks; it is taken over and released. Progress is reported as
// (request.fileSize, bytes sent / request.divisor) after each acknowledged
// block and before each resend.
int xmodemSend(TransferRequest& request, std::vector<std::uint8_t> image, const ProgressCallback& progress);

} // namespace merovan
