// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"

#include <algorithm>
#include <cstdint>
#include <deque>
#include <utility>

namespace merovan::test {

// A device behind a line of a given rate, in virtual time: what the host
// writes reaches the inner model one byte every 10 bit times, so a block
// is answered only once all of it has crossed the line. Replies come back
// at once (they are a byte or two).
class PacedDevice final : public devsim::DeviceModel
{
public:
    PacedDevice(devsim::DeviceModel& inner, std::uint32_t baud)
        : m_inner(inner)
        , m_byteUs(10'000'000ull / baud)
    {
    }

    void lineOpened(std::uint64_t nowMs, devsim::DeviceOutput& out) override { m_inner.lineOpened(nowMs, out); }
    void lineClosed(std::uint64_t nowMs) override { m_inner.lineClosed(nowMs); }

    void receive(std::uint8_t byte, std::uint64_t nowMs, devsim::DeviceOutput& out) override
    {
        m_lineFreeUs = std::max(m_lineFreeUs, nowMs * 1000) + m_byteUs;
        m_onLine.emplace_back(m_lineFreeUs, byte);
        deliver(nowMs, out);
    }

    void tick(std::uint64_t nowMs, devsim::DeviceOutput& out) override
    {
        deliver(nowMs, out);
        if (m_inner.nextDeadline() <= nowMs)
            m_inner.tick(nowMs, out);
    }

    std::uint64_t nextDeadline() const override
    {
        const std::uint64_t next = m_onLine.empty() ? devsim::kNoDeadline : (m_onLine.front().first + 999) / 1000;
        return std::min(next, m_inner.nextDeadline());
    }

    bool recordsItself() const override { return m_inner.recordsItself(); }

private:
    void deliver(std::uint64_t nowMs, devsim::DeviceOutput& out)
    {
        while (!m_onLine.empty() && m_onLine.front().first <= nowMs * 1000) {
            const auto [at, byte] = m_onLine.front();
            m_onLine.pop_front();
            m_inner.receive(byte, at / 1000, out);
        }
    }

    devsim::DeviceModel& m_inner;
    std::uint64_t m_byteUs;
    std::uint64_t m_lineFreeUs = 0;
    std::deque<std::pair<std::uint64_t, std::uint8_t>> m_onLine;
};

} // namespace merovan::test
