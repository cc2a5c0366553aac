// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/durable_file.h"

#include <cerrno>
#include <cstring>
#include <memory>

namespace merovan {

bool replaceFileContent(const std::string& path, const std::string& tempPath, std::string_view content,
                        std::string& reason)
{
    std::FILE* file = std::fopen(tempPath.c_str(), "wb");
    if (!file) {
        reason = std::strerror(errno);
        return false;
    }
    bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
    ok = ok && flushToDisk(file);
    if (!ok)
        reason = std::strerror(errno);
    if (std::fclose(file) != 0 && ok) {
        reason = std::strerror(errno);
        ok = false;
    }
    ok = ok && renameOver(tempPath, path, reason);
    if (!ok)
        std::remove(tempPath.c_str());
    return ok;
}

} // namespace merovan
