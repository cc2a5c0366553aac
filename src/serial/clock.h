// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>

namespace merovan {

// The time seam. Every pause and time-out of the port and the protocols goes
// through a Clock, so tests can run them in virtual time.
class Clock
{
public:
    virtual ~Clock() = default;

    // Monotonic milliseconds since an arbitrary start.
    virtual std::uint64_t nowMs() const = 0;

    // Blocks the calling thread for at least ms milliseconds. A virtual clock
    // advances its time instead.
    virtual void sleepMs(std::uint32_t ms) = 0;
};

// The real, monotonic clock.
class SteadyClock final : public Clock
{
public:
    std::uint64_t nowMs() const override;
    void sleepMs(std::uint32_t ms) override;
};

// Returns once the clock has advanced by at least ms. It sleeps rather than
// spins, and it does not serve any event loop.
void delayMs(Clock& clock, std::uint32_t ms);

} // namespace merovan
