#pragma once

#include <string>

namespace merovan {

// Where Merovan.ini lives: $MEROVAN_INI when set; else beside the
// executable when that folder is writable; else
// $XDG_CONFIG_HOME/merovan/Merovan.ini (~/.config when unset), on Windows
// %APPDATA%\Merovan\Merovan.ini, whose folder is created.
std::string settingsFilePath(const std::string& executableDir);

} // namespace merovan
