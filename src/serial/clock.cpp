// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/clock.h"

namespace merovan {

void delayMs(Clock& clock, std::uint32_t ms)
{
    const std::uint64_t start = clock.nowMs();
    for (;;) {
        const std::uint64_t elapsed = clock.nowMs() - start;
        if (elapsed >= ms)
            return;
        clock.sleepMs(static_cast<std::uint32_t>(ms - elapsed));
    }
}

} // namespace merovan
