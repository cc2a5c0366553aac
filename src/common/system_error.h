// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace merovan {

// Error codes of the port and file calls are this system's own: errno values
// on POSIX, GetLastError values on Windows. The two overlap (5 is EIO and
// ERROR_ACCESS_DENIED), so code above the platform files never compares
// against either set, only through these functions.

// The system's own text for code, without a trailing line break.
std::string systemErrorText(int code);

// The code for an operation on a port that is not open.
int notOpenError();

// Whether code, from a read, write or wait on an open port, says that the
// device went away (unplugged, hung up) rather than that one call failed.
bool isDeviceGoneError(int code);

// The code a backend gives for a device that went away when the system did
// not say why.
int deviceGoneError();

} // namespace merovan
