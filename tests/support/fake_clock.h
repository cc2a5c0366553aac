// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serial/clock.h"

#include <cstdint>

namespace merovan::test {

// Virtual time: sleeping advances the clock at once.
class FakeClock final : public Clock
{
public:
    std::uint64_t nowMs() const override { return m_now; }
    void sleepMs(std::uint32_t ms) override
    {
        m_now += ms;
        m_slept += ms;
    }
    void advance(std::uint64_t ms) { m_now += ms; }
    std::uint64_t slept() const { return m_slept; }

private:
    std::uint64_t m_now = 1000;
    std::uint64_t m_slept = 0;
};

} // namespace merovan::test
