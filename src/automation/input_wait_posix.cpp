// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/script_runner.h"

#include <poll.h>

namespace merovan {

void waitForPortInput(int handle, std::uint32_t ms)
{
    if (handle < 0)
        return;
    pollfd fd {};
    fd.fd = handle;
    fd.events = POLLIN;
    // EINTR (a signal such as Ctrl+C) simply ends the wait early.
    ::poll(&fd, 1, static_cast<int>(ms));
}

} // namespace merovan
