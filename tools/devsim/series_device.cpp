// SPDX-License-Identifier: GPL-3.0-or-later
#include "series_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace devsim {

namespace {

// A host that falls behind holds the lines back rather than getting a burst.
constexpr std::uint64_t kMaxLinesPerTick = 512;
constexpr double kPi = 3.14159265358979323846;

} // namespace

SeriesDevice::SeriesDevice(const DeviceOptions& options)
    : m_echo(options)
    , m_rate(std::max<std::uint32_t>(options.seriesRate, 1))
    , m_series(std::clamp<std::uint32_t>(options.seriesCount, 1, 64))
{
}

std::string SeriesDevice::seriesName(std::uint32_t index)
{
    static const char* const kinds[] = { "sine", "saw", "noise" };
    std::string name = kinds[index % 3];
    if (index >= 3)
        name += std::to_string(index / 3 + 1);
    return name;
}

std::string SeriesDevice::line(std::uint64_t k, std::uint32_t rate, std::uint32_t series, std::uint32_t& state)
{
    const double t = static_cast<double>(k) / rate;
    std::string text;
    for (std::uint32_t i = 0; i < series; ++i) {
        // Each repeat of a kind a little slower than the one before.
        const double hz = 1.0 / (1 + i / 3);
        double v = 0.0;
        switch (i % 3) {
        case 0:
            v = std::sin(2 * kPi * hz * t);
            break;
        case 1: {
            const double phase = hz * t / 2;
            v = 2 * (phase - std::floor(phase)) - 1;
            break;
        }
        default:
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            v = static_cast<double>(state % 20001) / 20000.0 - 0.5;
            break;
        }
        char value[48];
        std::snprintf(value, sizeof value, "%.4f", v);
        if (i > 0)
            text += ',';
        text += seriesName(i) + ':' + value;
    }
    text += "\r\n";
    return text;
}

void SeriesDevice::lineOpened(std::uint64_t nowMs, DeviceOutput& out)
{
    m_echo.lineOpened(nowMs, out);
    m_open = true;
    m_startMs = nowMs;
    m_sent = 0;
    m_random = 0x2545F491;
    m_nextMs = nowMs + 1;
}

void SeriesDevice::lineClosed(std::uint64_t)
{
    m_open = false;
    m_nextMs = kNoDeadline;
}

void SeriesDevice::receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out)
{
    m_echo.receive(byte, nowMs, out);
}

std::uint64_t SeriesDevice::nextDeadline() const
{
    return m_nextMs;
}

void SeriesDevice::tick(std::uint64_t nowMs, DeviceOutput& out)
{
    if (!m_open)
        return;
    const std::uint64_t due = (nowMs - m_startMs) * m_rate / 1000;
    if (due > m_sent + kMaxLinesPerTick)
        m_sent = due - kMaxLinesPerTick; // time the host did not take is not made up
    for (; m_sent < due; ++m_sent) {
        const std::string text = line(m_sent, m_rate, m_series, m_random);
        out.bytes.insert(out.bytes.end(), text.begin(), text.end());
    }
    m_nextMs = nowMs + 1;
}

} // namespace devsim
