// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_holder.h"

#include "serial/windows_ports_p.h"

#include <windows.h>

namespace merovan {

// Windows names no holder of a device without administrator rights; it can
// only be told whether this program holds the port itself. procDir has no
// meaning here.
std::string findPortHolder(const std::string& path, const std::string& procDir)
{
    (void)procDir;
    return detail::isHeldHere(path) ? "this program" : std::string();
}

std::string openFailureText(const std::string& path, int error, const std::string& reason)
{
    std::string text = "Cannot open " + path + ": " + reason;
    // A COM port that exists but is refused is open in some program.
    if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION) {
        const std::string holder = findPortHolder(path);
        text += holder.empty() ? " (the port is in use by another program)" : " (held by " + holder + ")";
    }
    return text;
}

} // namespace merovan
