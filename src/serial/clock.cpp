#include "serial/clock.h"

#include <chrono>
#include <thread>

namespace merovan {

std::uint64_t SteadyClock::nowMs() const
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SteadyClock::sleepMs(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

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
