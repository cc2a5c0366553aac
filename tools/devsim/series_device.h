// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"

#include <string>

namespace devsim {

// A device that prints numbers for a plotter: from the host's open of the
// line, options.seriesRate lines a second, each "sine:V,saw:V,noise:V" (more
// series repeat the three kinds as sine2, saw2, noise2, ...) ended by CR LF,
// values with four decimals. Line k holds the values at k / rate seconds, and
// the noise comes from a fixed seed, so every run sends the same lines.
// Otherwise it is the echo device.
class SeriesDevice : public DeviceModel
{
public:
    explicit SeriesDevice(const DeviceOptions& options);
    void lineOpened(std::uint64_t nowMs, DeviceOutput& out) override;
    void lineClosed(std::uint64_t nowMs) override;
    void receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out) override;
    void tick(std::uint64_t nowMs, DeviceOutput& out) override;
    std::uint64_t nextDeadline() const override;

    // Line k, with its CR LF; the noise values are drawn from state, which
    // line k leaves ready for line k + 1.
    static std::string line(std::uint64_t k, std::uint32_t rate, std::uint32_t series, std::uint32_t& state);
    static std::string seriesName(std::uint32_t index);

private:
    EchoDevice m_echo;
    std::uint32_t m_rate;
    std::uint32_t m_series;
    bool m_open = false;
    std::uint64_t m_startMs = 0;
    std::uint64_t m_sent = 0; // lines
    std::uint64_t m_nextMs = kNoDeadline;
    std::uint32_t m_random = 0x2545F491;
};

} // namespace devsim
