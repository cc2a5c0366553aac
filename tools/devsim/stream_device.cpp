// SPDX-License-Identifier: GPL-3.0-or-later
#include "stream_device.h"

#include <algorithm>
#include <cstdio>

namespace devsim {

namespace {

// At most this much goes out per tick, so that a host that falls behind
// holds the stream back instead of receiving a burst.
constexpr std::size_t kMaxPerTick = 16 * 1024;
constexpr std::uint32_t kBinaryEvery = 8;   // lines
constexpr std::size_t kBinaryBytes = 40;

} // namespace

StreamDevice::StreamDevice(const DeviceOptions& options)
    : m_echo(options)
    , m_rate(options.streamRate)
{
}

void StreamDevice::lineOpened(std::uint64_t nowMs, DeviceOutput& out)
{
    m_echo.lineOpened(nowMs, out);
    m_open = true;
    m_startMs = nowMs;
    m_sent = 0;
    m_nextMs = nowMs + 1;
}

void StreamDevice::lineClosed(std::uint64_t)
{
    m_open = false;
    m_nextMs = kNoDeadline;
}

void StreamDevice::receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out)
{
    m_echo.receive(byte, nowMs, out);
}

std::uint64_t StreamDevice::nextDeadline() const
{
    return m_nextMs;
}

void StreamDevice::tick(std::uint64_t nowMs, DeviceOutput& out)
{
    if (!m_open)
        return;
    const std::uint64_t due = (nowMs - m_startMs) * m_rate / 1000;
    if (due > m_sent) {
        const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(due - m_sent, kMaxPerTick));
        produce(n, out.bytes);
        m_sent += n;
        // Time the host did not take is not made up later.
        if (due - m_sent > kMaxPerTick)
            m_sent = due - kMaxPerTick;
    }
    m_nextMs = nowMs + 1;
}

void StreamDevice::produce(std::size_t count, std::vector<std::uint8_t>& out)
{
    out.reserve(out.size() + count);
    while (count > 0) {
        if (m_at == m_pattern.size()) {
            m_pattern.clear();
            m_at = 0;
            ++m_line;
            if (m_line % kBinaryEvery == 0) {
                for (std::size_t i = 0; i < kBinaryBytes; ++i) {
                    m_random ^= m_random << 13;
                    m_random ^= m_random >> 17;
                    m_random ^= m_random << 5;
                    m_pattern.push_back(static_cast<std::uint8_t>(m_random));
                }
            } else {
                char text[96];
                const int n = std::snprintf(text, sizeof text,
                                            "%08u the quick brown fox jumps over the lazy dog 0123456789\r\n",
                                            static_cast<unsigned>(m_line));
                m_pattern.assign(text, text + n);
            }
        }
        const std::size_t take = std::min(count, m_pattern.size() - m_at);
        out.insert(out.end(), m_pattern.begin() + static_cast<std::ptrdiff_t>(m_at),
                   m_pattern.begin() + static_cast<std::ptrdiff_t>(m_at + take));
        m_at += take;
        count -= take;
    }
}

} // namespace devsim
