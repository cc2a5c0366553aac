// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/durable_file.h"

#include "common/system_error.h"

#include <io.h>
#include <windows.h>

namespace merovan {

bool flushToDisk(std::FILE* file)
{
    if (std::fflush(file) != 0)
        return false;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    return handle != INVALID_HANDLE_VALUE && FlushFileBuffers(handle);
}

// rename() of the C library refuses to replace a file on Windows.
bool renameOver(const std::string& from, const std::string& to, std::string& reason)
{
    if (MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return true;
    reason = systemErrorText(static_cast<int>(GetLastError()));
    return false;
}

} // namespace merovan
