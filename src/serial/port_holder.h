// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace merovan {

// Names the process that holds the device at path open, as "NAME (pid N)",
// from /proc; empty when none can be seen (another user's processes are
// hidden from us). procDir is a parameter for tests.
std::string findPortHolder(const std::string& path, const std::string& procDir = "/proc");

// The text shown when a port does not open: "Cannot open PATH: REASON",
// with a hint for a permission problem and the holder for a busy port.
std::string openFailureText(const std::string& path, int error, const std::string& reason);

} // namespace merovan
