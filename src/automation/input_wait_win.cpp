// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/script_runner.h"

namespace merovan {

// The Windows port has no handle to wait on here: the driver's timed read
// does the waiting.
void waitForPortInput(int handle, std::uint32_t ms)
{
    (void)handle;
    (void)ms;
}

} // namespace merovan
