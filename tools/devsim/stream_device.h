// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"

namespace devsim {

// A device that talks all the time: from the host's open of the line it
// sends a steady stream at options.streamRate bytes a second, text lines
// mixed with short binary bursts (every byte value occurs, CR and LF
// included), the same stream on every run. Otherwise it is the echo device.
class StreamDevice : public DeviceModel
{
public:
    explicit StreamDevice(const DeviceOptions& options);
    void lineOpened(std::uint64_t nowMs, DeviceOutput& out) override;
    void lineClosed(std::uint64_t nowMs) override;
    void receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out) override;
    void tick(std::uint64_t nowMs, DeviceOutput& out) override;
    std::uint64_t nextDeadline() const override;

private:
    void produce(std::size_t count, std::vector<std::uint8_t>& out);

    EchoDevice m_echo;
    std::uint32_t m_rate;
    bool m_open = false;
    std::uint64_t m_startMs = 0;
    std::uint64_t m_sent = 0;
    std::uint64_t m_nextMs = kNoDeadline;
    // Generator state: the line number, the pattern under way and where in it.
    std::uint32_t m_line = 0;
    std::vector<std::uint8_t> m_pattern;
    std::size_t m_at = 0;
    std::uint32_t m_random = 0x13579BDF;
};

} // namespace devsim
