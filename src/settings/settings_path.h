// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>

namespace merovan {

// True when the executable sits in an installed tree (PREFIX/bin beside
// PREFIX/share/doc/merovan), as from a package or `cmake --install`.
bool runsInstalled(const std::string& executableDir);

// Where Merovan.ini lives: $MEROVAN_INI when set; else beside the
// executable when that folder is writable and not an installed tree (a
// portable copy, a build folder); else
// $XDG_CONFIG_HOME/merovan/Merovan.ini (~/.config when unset), on Windows
// %APPDATA%\Merovan\Merovan.ini, whose folder is created.
std::string settingsFilePath(const std::string& executableDir);

} // namespace merovan
