// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/settings_path.h"

#include "settings/settings_path_p.h"

#include <cstdlib>
#include <filesystem>

namespace merovan {

bool runsInstalled(const std::string& executableDir)
{
    std::error_code ec;
    return std::filesystem::is_directory(std::filesystem::path(executableDir) / ".." / "share" / "doc" / "merovan", ec);
}

std::string settingsFilePath(const std::string& executableDir)
{
    static constexpr const char* kFileName = "Merovan.ini";
    if (const char* explicitPath = std::getenv("MEROVAN_INI"); explicitPath && *explicitPath)
        return explicitPath;
    if (!executableDir.empty() && !runsInstalled(executableDir) && detail::folderIsWritable(executableDir))
        return (std::filesystem::path(executableDir) / kFileName).string();

    const auto dir = detail::userSettingsFolder();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return (dir / kFileName).string();
}

} // namespace merovan
