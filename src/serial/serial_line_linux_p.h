// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// Line configuration through termios2. Kept apart from the rest of the POSIX
// backend because <asm/termbits.h> and <termios.h> cannot share a file.

#include "serial/serial_backend.h"

#include <cstdint>
#include <string>

namespace merovan::detail {

// Raw mode, receiver on, modem status ignored (CLOCAL), no software flow.
int makeRawLinux(int fd, std::string& reason);

// Any rate through BOTHER, data bits 5 to 8, parity, stop bits 1 or 2
// (others keep the current setting), CRTSCTS.
int applyLineLinux(int fd, const LineParams& params, std::string& reason);

// The output rate the driver holds now, or 0 when it cannot be read.
std::uint32_t readBaudLinux(int fd);

} // namespace merovan::detail
