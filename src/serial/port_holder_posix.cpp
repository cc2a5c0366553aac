// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_holder.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace merovan {

std::string findPortHolder(const std::string& path, const std::string& procDir)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path target = fs::canonical(path, ec);
    if (ec)
        return {};
    for (fs::directory_iterator it(procDir, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string pid = it->path().filename().string();
        if (pid.empty() || pid.find_first_not_of("0123456789") != std::string::npos)
            continue;
        std::error_code fdEc;
        for (fs::directory_iterator fd(it->path() / "fd", fdEc), fdEnd; !fdEc && fd != fdEnd; fd.increment(fdEc)) {
            std::error_code linkEc;
            if (fs::read_symlink(fd->path(), linkEc) != target || linkEc)
                continue;
            if (std::to_string(::getpid()) == pid)
                return "this program";
            std::string name;
            std::ifstream comm(it->path() / "comm");
            std::getline(comm, name);
            return (name.empty() ? std::string("a process") : name) + " (pid " + pid + ")";
        }
    }
    return {};
}

std::string openFailureText(const std::string& path, int error, const std::string& reason)
{
    std::string text = "Cannot open " + path + ": " + reason;
    if (error == EACCES) {
        text += " (is your user in the dialout group?)";
    } else if (error == EBUSY) {
        const std::string holder = findPortHolder(path);
        if (!holder.empty())
            text += " (held by " + holder + ")";
    }
    return text;
}

} // namespace merovan
