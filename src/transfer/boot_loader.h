// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "transfer/transfer.h"

#include <cstdint>

namespace merovan {

// Results of the boot-loader exchange besides the common ones.
inline constexpr int kBootCantStart = 6;
inline constexpr int kBootBadVersion = 7;
inline constexpr int kBootTooBig = 8;
inline constexpr int kBootNoAck = 9;
inline constexpr int kBootHexFailed = 11;

inline constexpr std::uint32_t kFlashStartV1 = 0x1D008000;
inline constexpr std::uint32_t kFlashStartV2 = 0x1D000000;
inline constexpr std::uint8_t kWake = '\\';
inline constexpr std::uint8_t kVersion2 = 'D';
inline constexpr std::uint8_t kAskSubVersion = 'v';
inline constexpr std::int32_t kBootBlock = 2000;

// Waits for one given byte: up to 200 reads, each followed by 5 ms when it
// brought anything else, counted once the `written` bytes just sent have
// had their time on the line. True when it came. Other bytes are kept as
// the device's output unless keepOthers is false. False at once when a stop
// was asked for.
bool waitfor(TransferRequest& request, std::uint8_t byte, bool keepOthers = true, std::size_t written = 0);

// Resets the device with a DTR pulse, wakes its boot loader and returns its
// version: 2 when it answers "D", else 1 (also when a stop was asked for,
// which request.stopRequested then tells).
int boot_start(TransferRequest& request);

// True when the file is taken for Intel HEX: the text after its last '.'
// holds "HEX", whatever the case.
bool isHexFileName(const std::string& fileName);

// Loads request.fileName (Intel HEX, or a raw image) into the device's flash
// through its boot loader; request.flashSize (bytes) and request.eraseSize
// (kilobytes, 0 for just the image) come from the caller, the size fields
// are filled in. Returns a TransferResult code or one of the kBoot and
// kXmodem codes. Bytes of the image that the file does not cover, and the
// tail of the last block, are 0xFF.
int runBootLoader(TransferRequest& request, const ProgressCallback& progress);

// What a successful load says: "Loaded 12,345 bytes (boot loader v2)", or,
// when HEX data lay outside the flash window, "Loaded 12,345 bytes; 4 bytes
// at 0x1FC02FF0–0x1FC02FFF lie outside the flash window and were not sent".
std::string bootLoadSummary(const TransferRequest& request);

// The message the boot loader dialog shows for a result; empty for 0.
std::string bootLoaderMessage(int result);

} // namespace merovan
