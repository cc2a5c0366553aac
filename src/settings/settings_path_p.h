// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// The system half of finding the settings file.

#include <filesystem>
#include <string>

namespace merovan::detail {

// Whether this user can create a file in dir.
bool folderIsWritable(const std::string& dir);

// The per-user folder for the settings file, used when the program's own
// folder is not writable. Not created here.
std::filesystem::path userSettingsFolder();

} // namespace merovan::detail
