// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "transfer/transfer.h"

namespace merovan {

// Sends a text file line by line (lines end at LF). Each line goes out in
// one write ending in one CR: a CR LF or a lone LF becomes CR, and a last
// line without an end gets one. After each line it waits for the request's
// wait character (skipping anything else, such as the device's echo) and
// ends with TargetError when the error character comes first; with only an
// error character it looks at what has already arrived. The end-of-line
// delay pauses after each line and its acknowledge. Progress is in bytes of
// the file, scaled to at most 65,000.
TransferResult sendTextFile(TransferRequest& request, const ProgressCallback& progress);

} // namespace merovan
