// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "transfer/transfer.h"

#include <cstdint>
#include <string>

namespace merovan {

// Sends a file byte for byte after the request's text to send first. The
// device sees one unbroken stream; progress (scaled to at most 65,000) is
// reported after every 4 KB. A failed write is Timeout (2).
TransferResult sendBinaryFile(TransferRequest& request, const ProgressCallback& progress);

// Converts a 24-bit BMP into the device's picture stream (height and width,
// 16 bits each, high byte first, then red, green and blue divided by 4 for
// each pixel from the top-left) and sends it. With request.createFile the
// same bytes are also written as the C header "bmpHead.h" in the current
// folder; headerPath, when given, receives its full path.
TransferResult sendPicture(TransferRequest& request, const ProgressCallback& progress,
                           std::string* headerPath = nullptr);

// The text of "bmpHead.h" for a picture stream.
std::string pictureHeaderText(const std::vector<std::uint8_t>& stream);

// Converts a bitmap font file (".bff") into the device's binary font and
// sends it, or with request.createFile writes it to a ".bf" file beside the
// font (the name's extension replaced, or ".bf" appended); outputPath, when
// given, receives that file's path. Files are written under a temporary name
// and renamed when complete, so an interrupted write never leaves a
// finished-looking file.
TransferResult sendFont(TransferRequest& request, const ProgressCallback& progress, std::string* outputPath = nullptr);

// The font transfer's progress divisor: halve T until it is at most 65,000.
std::int32_t fontProgressDivisor(std::size_t total);

// The ".bf" name for a font file name.
std::string binaryFontPath(const std::string& fontPath);

} // namespace merovan
