#include "settings/settings_path.h"

#include <unistd.h>

#include <cstdlib>
#include <filesystem>

namespace merovan {

std::string settingsFilePath(const std::string& executableDir)
{
    static constexpr const char* kFileName = "Merovan.ini";
    if (const char* explicitPath = std::getenv("MEROVAN_INI"); explicitPath && *explicitPath)
        return explicitPath;
    if (!executableDir.empty() && ::access(executableDir.c_str(), W_OK) == 0)
        return (std::filesystem::path(executableDir) / kFileName).string();

    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg)
        base = xdg;
    else if (const char* home = std::getenv("HOME"); home && *home)
        base = std::filesystem::path(home) / ".config";
    else
        base = std::filesystem::temp_directory_path();
    const auto dir = base / "merovan";
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return (dir / kFileName).string();
}

} // namespace merovan
