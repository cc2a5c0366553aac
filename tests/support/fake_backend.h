// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"
#include "support/fake_clock.h"
#include "common/system_error.h"
#include "serial/serial_backend.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace merovan::test {

// What the fake port saw, kept outside the backend so a test can look at it
// after the port object has taken ownership of the backend.
struct FakeLineLog
{
    std::vector<std::string> opened;      // paths, in order
    int closes = 0;
    std::vector<LineParams> applied;      // every applyLine, in order
    std::vector<std::pair<ModemLine, bool>> modem;
    std::vector<std::uint8_t> written;    // every byte the host wrote
    std::vector<std::vector<std::uint8_t>> writes; // the same, one entry per write call
    bool dtr = false;
    bool rts = false;
};

// A serial backend wired to an in-process device model, in virtual time.
// A read that finds nothing costs its full time-out on the fake clock.
class FakeBackend final : public SerialBackend
{
public:
    // recorded, when given, collects what a self-recording device records.
    FakeBackend(FakeClock& clock, FakeLineLog& log, devsim::DeviceModel* device = nullptr,
                std::vector<std::uint8_t>* recorded = nullptr)
        : m_clock(clock)
        , m_log(log)
        , m_device(device)
        , m_recorded(recorded)
    {
    }

    // Failures to inject.
    int openError = 0;
    std::string openReason;
    int applyError = 0;
    std::string applyReason;

    int writeError = 0; // every write fails with this errno, the device staying

    // A driver that holds what is written and lets it out at the line's
    // rate in virtual time (outputQueued, waitSent); without it everything
    // written has left at once.
    bool holdsOutput = false;

    // Bytes the "device" has sent, waiting to be read.
    std::deque<std::uint8_t> incoming;
    bool vanished = false;

    int open(const std::string& path, std::string& reason) override
    {
        m_log.opened.push_back(path);
        if (openError) {
            reason = openReason;
            return openError;
        }
        m_open = true;
        if (m_device)
            run([&](devsim::DeviceOutput& out) { m_device->lineOpened(m_clock.nowMs(), out); });
        return 0;
    }
    void close() override
    {
        if (m_open) {
            ++m_log.closes;
            if (m_device)
                m_device->lineClosed(m_clock.nowMs());
        }
        m_open = false;
        m_queued = 0;
    }
    bool isOpen() const override { return m_open; }

    int applyLine(const LineParams& params, std::string& reason) override
    {
        m_log.applied.push_back(params);
        if (applyError) {
            reason = applyReason;
            return applyError;
        }
        m_baud = params.baudRate;
        return 0;
    }
    std::uint32_t appliedBaud() const override { return m_baud; }

    int setModemLine(ModemLine line, bool on) override
    {
        m_log.modem.emplace_back(line, on);
        (line == ModemLine::Dtr ? m_log.dtr : m_log.rts) = on;
        return 0;
    }

    ReadResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        ReadResult r;
        if (vanished) {
            r.disconnected = true;
            return r;
        }
        serviceDevice();
        if (incoming.empty()) {
            m_clock.advance(static_cast<std::uint64_t>(timeoutMs));
            serviceDevice();
        }
        while (r.count < buffer.size() && !incoming.empty()) {
            buffer[r.count++] = incoming.front();
            incoming.pop_front();
        }
        if (r.count == 0 && vanished)
            r.disconnected = true;
        return r;
    }

    int write(std::span<const std::uint8_t> bytes) override
    {
        if (vanished)
            return deviceGoneError();
        if (writeError)
            return writeError;
        m_log.writes.emplace_back(bytes.begin(), bytes.end());
        if (holdsOutput)
            m_queued += bytes.size();
        for (const std::uint8_t b : bytes) {
            m_log.written.push_back(b);
            if (m_device)
                run([&](devsim::DeviceOutput& out) { m_device->receive(b, m_clock.nowMs(), out); });
        }
        return 0;
    }

    // A device that stops reading: it takes writeRoom bytes more, then
    // nothing; onStall arrives from it when a write first finds no room.
    std::size_t writeRoom = SIZE_MAX;
    std::vector<std::uint8_t> onStall;

    int writeWithin(std::span<const std::uint8_t> bytes, int timeoutMs, std::size_t& taken) override
    {
        taken = 0;
        const std::size_t n = std::min(bytes.size(), writeRoom);
        // Counted first: the device may change its room as it takes these.
        if (writeRoom != SIZE_MAX)
            writeRoom -= n;
        if (n > 0) {
            if (const int rc = write(bytes.first(n)); rc != 0)
                return rc;
        }
        taken = n;
        if (n == bytes.size())
            return 0;
        incoming.insert(incoming.end(), onStall.begin(), onStall.end());
        onStall.clear();
        m_clock.advance(static_cast<std::uint64_t>(std::max(timeoutMs, 0)));
        return ETIMEDOUT;
    }

    std::uint64_t deviceId() const override { return m_open ? 0xFA4E : 0; }

    int waitSent(int timeoutMs) override
    {
        if (m_queued == 0)
            return 0;
        const std::uint64_t rate = m_baud > 0 ? m_baud : 9600;
        const std::uint64_t needMs = (m_queued * 10000 + rate - 1) / rate;
        const auto budget = static_cast<std::uint64_t>(std::max(timeoutMs, 0));
        if (needMs <= budget) {
            m_clock.advance(needMs);
            m_queued = 0;
            return 0;
        }
        m_clock.advance(budget);
        m_queued -= std::min<std::uint64_t>(m_queued, budget * rate / 10000);
        return ETIMEDOUT;
    }

    std::size_t outputQueued() const override { return m_queued; }

private:
    template <typename F>
    void run(F&& step)
    {
        devsim::DeviceOutput out;
        step(out);
        incoming.insert(incoming.end(), out.bytes.begin(), out.bytes.end());
        if (m_recorded)
            m_recorded->insert(m_recorded->end(), out.record.begin(), out.record.end());
        if (out.dropLine)
            vanished = true;
    }

    void serviceDevice()
    {
        if (m_device && m_device->nextDeadline() <= m_clock.nowMs())
            run([&](devsim::DeviceOutput& out) { m_device->tick(m_clock.nowMs(), out); });
    }

    FakeClock& m_clock;
    FakeLineLog& m_log;
    devsim::DeviceModel* m_device;
    std::vector<std::uint8_t>* m_recorded;
    bool m_open = false;
    std::uint32_t m_baud = 0;
    std::size_t m_queued = 0;
};

} // namespace merovan::test
