// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/settings_path_p.h"

#include <windows.h>

#include <cstdlib>

namespace merovan::detail {

// The read-only attribute says nothing about the folder's access rights
// (Program Files is not read-only, yet closed to users), so the only sure
// test is to create a file there.
bool folderIsWritable(const std::string& dir)
{
    const std::string probe = (std::filesystem::path(dir)
                               / ("merovan-write-test-" + std::to_string(GetCurrentProcessId()) + ".tmp"))
                                  .string();
    HANDLE h = CreateFileA(probe.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(h);
    return true;
}

std::filesystem::path userSettingsFolder()
{
    std::filesystem::path base;
    if (const char* appData = std::getenv("APPDATA"); appData && *appData)
        base = appData;
    else
        base = std::filesystem::temp_directory_path();
    return base / "Merovan";
}

} // namespace merovan::detail
