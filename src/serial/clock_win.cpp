// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/clock.h"

#include <windows.h>
#include <timeapi.h>

namespace merovan {

namespace {

// Windows sleeps in steps of its timer tick, 15.6 ms by default. The
// protocols pause for 1 ms between reads, so the tick is set to 1 ms for as
// long as the program runs.
struct FineTimer
{
    FineTimer() { timeBeginPeriod(1); }
    ~FineTimer() { timeEndPeriod(1); }
};

std::int64_t counterFrequency()
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f.QuadPart;
}

} // namespace

// GetTickCount only moves once per timer tick; the performance counter
// gives the millisecond itself.
std::uint64_t SteadyClock::nowMs() const
{
    static const std::int64_t frequency = counterFrequency();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<std::uint64_t>(now.QuadPart / frequency * 1000
                                      + now.QuadPart % frequency * 1000 / frequency);
}

void SteadyClock::sleepMs(std::uint32_t ms)
{
    static const FineTimer fineTimer;
    Sleep(ms);
}

} // namespace merovan
