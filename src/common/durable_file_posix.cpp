// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/durable_file.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace merovan {

bool flushToDisk(std::FILE* file)
{
    return std::fflush(file) == 0 && ::fsync(::fileno(file)) == 0;
}

bool renameOver(const std::string& from, const std::string& to, std::string& reason)
{
    if (std::rename(from.c_str(), to.c_str()) == 0)
        return true;
    reason = std::strerror(errno);
    return false;
}

} // namespace merovan
