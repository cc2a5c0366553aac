// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/settings_path_p.h"

#include <unistd.h>

#include <cstdlib>

namespace merovan::detail {

bool folderIsWritable(const std::string& dir)
{
    return ::access(dir.c_str(), W_OK) == 0;
}

std::filesystem::path userSettingsFolder()
{
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".config";
    else
        base = std::filesystem::temp_directory_path();
    return base / "merovan";
}

} // namespace merovan::detail
