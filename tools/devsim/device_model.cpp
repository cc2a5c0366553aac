// SPDX-License-Identifier: GPL-3.0-or-later
#include "device_model.h"
#include "console_device.h"
#include "stream_device.h"
#include "series_device.h"

#include <algorithm>
#include <string_view>

namespace devsim {

namespace {
constexpr std::string_view kGreeting = "devsim ready\r\n";
}

void DeviceModel::lineOpened(std::uint64_t, DeviceOutput&) {}
void DeviceModel::lineClosed(std::uint64_t) {}
void DeviceModel::tick(std::uint64_t, DeviceOutput&) {}
std::uint64_t DeviceModel::nextDeadline() const
{
    return kNoDeadline;
}

EchoDevice::EchoDevice(DeviceOptions options)
    : m_options(options)
{
}

void EchoDevice::lineOpened(std::uint64_t, DeviceOutput& out)
{
    if (m_options.greeting) {
        if (m_options.greetingText.empty())
            out.bytes.insert(out.bytes.end(), kGreeting.begin(), kGreeting.end());
        else
            out.bytes.insert(out.bytes.end(), m_options.greetingText.begin(), m_options.greetingText.end());
    }
    out.bytes.insert(out.bytes.end(), m_options.play.begin(), m_options.play.end());
}

void EchoDevice::receive(std::uint8_t byte, std::uint64_t, DeviceOutput& out)
{
    if (m_options.echo)
        out.bytes.push_back(byte);
    if (m_options.ack < 0 && m_options.error < 0)
        return;
    if (byte != '\r') {
        if (m_line.size() < 1 << 20)
            m_line.push_back(static_cast<char>(byte));
        return;
    }
    const int number = ++m_lines;
    const bool failed = m_options.error >= 0
        && (m_options.errorOn.empty() || m_line.find(m_options.errorOn) != std::string::npos);
    m_line.clear();
    if (m_options.dropAfterBlocks >= 0 && number > m_options.dropAfterBlocks) {
        out.dropLine = true;
        return;
    }
    if (m_options.silentAfterBlocks >= 0 && number > m_options.silentAfterBlocks)
        return;
    if (number == m_options.replyGarbageAt)
        out.bytes.push_back('?');
    else if (failed)
        out.bytes.push_back(static_cast<std::uint8_t>(m_options.error));
    else if (m_options.ack >= 0)
        out.bytes.push_back(static_cast<std::uint8_t>(m_options.ack));
}

namespace {

constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::size_t kV2Block = 2000;
constexpr std::size_t kXmodemFrame = 1029; // STX, number, complement, 1024 data, CRC
constexpr std::uint64_t kAnnounceMs = 100;  // version 2 repeats "D" while woken
constexpr std::uint64_t kCrcRequestMs = 500;
constexpr std::uint64_t kIdleResetMs = 1000;

std::uint16_t crc16(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

} // namespace

BootLoaderDevice::BootLoaderDevice(DeviceOptions options)
    : m_options(std::move(options))
{
}

void BootLoaderDevice::reset()
{
    m_state = State::Idle;
    m_next = kNoDeadline;
    m_buffer.clear();
    m_blocks = 0;
    m_naks = 0;
    m_expected = 1;
    m_silent = false;
}

void BootLoaderDevice::lineOpened(std::uint64_t, DeviceOutput&)
{
    reset();
}

std::uint64_t BootLoaderDevice::nextDeadline() const
{
    if (m_state == State::Data || m_state == State::Blocks)
        return std::min(m_next, m_lastByte + kIdleResetMs);
    return m_next;
}

void BootLoaderDevice::tick(std::uint64_t nowMs, DeviceOutput& out)
{
    if ((m_state == State::Data || m_state == State::Blocks) && nowMs >= m_lastByte + kIdleResetMs) {
        if (m_state == State::Blocks && !m_buffer.empty() && !m_silent)
            out.bytes.push_back(kNak); // a block cut short: ask again
        m_buffer.clear();
        if (m_state == State::Data)
            reset();
        m_lastByte = nowMs;
    }
    if (m_next > nowMs)
        return;
    if (m_state == State::Woken) {
        out.bytes.push_back('D');
        m_next = nowMs + kAnnounceMs;
    } else if (m_state == State::Start) {
        // A receiver repeats its start (or cancel) signal until the sender
        // answers it.
        out.bytes.push_back(m_options.cancelAtStart ? kCan : static_cast<std::uint8_t>('C'));
        m_next = nowMs + kCrcRequestMs;
    } else {
        m_next = kNoDeadline;
    }
}

void BootLoaderDevice::endOfBlock(bool good, DeviceOutput& out)
{
    if (!good) {
        out.bytes.push_back(kNak);
        return;
    }
    const int number = m_blocks + 1;
    if (m_silent || (m_options.silentAfterBlocks >= 0 && m_blocks >= m_options.silentAfterBlocks)) {
        m_silent = true;
        return;
    }
    if (number == m_options.nakBlock && m_naks < m_options.nakTimes) {
        ++m_naks;
        out.bytes.push_back(kNak);
        return;
    }
    ++m_blocks;
    const std::size_t payload = m_options.bootVersion == 1 ? 3 : 0;
    out.record.insert(out.record.end(), m_buffer.begin() + static_cast<std::ptrdiff_t>(payload),
                      m_buffer.begin() + static_cast<std::ptrdiff_t>(payload + (m_options.bootVersion == 1 ? 1024 : kV2Block)));
    if (m_options.dropAfterBlocks >= 0 && m_blocks >= m_options.dropAfterBlocks) {
        out.dropLine = true;
        return;
    }
    out.bytes.push_back(number == m_options.replyGarbageAt ? static_cast<std::uint8_t>('?') : kAck);
}

void BootLoaderDevice::receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out)
{
    m_lastByte = nowMs;
    switch (m_state) {
    case State::Idle:
        if (byte == '\\') {
            // Version 2 announces itself again and again: the host drains
            // its input after waking the loader and only then listens.
            m_state = m_options.bootVersion == 1 ? State::Erase : State::Woken;
            m_next = m_state == State::Woken ? nowMs : kNoDeadline;
        }
        return;
    case State::Woken:
        if (byte == 'v') {
            m_next = kNoDeadline;
            if (!m_options.noSubversion) {
                out.bytes.insert(out.bytes.end(), { 'D', 'D', static_cast<std::uint8_t>(m_options.subVersion) });
            }
            m_state = State::Size;
            m_buffer.clear();
        }
        return;
    case State::Size:
        m_buffer.push_back(byte);
        if (m_buffer.size() == 4) {
            m_announced = static_cast<std::uint32_t>(m_buffer[0] << 24 | m_buffer[1] << 16 | m_buffer[2] << 8 | m_buffer[3]);
            m_buffer.clear();
            const std::uint64_t toErase = m_announced >= 20 ? m_announced - 20 : 0;
            if (toErase > static_cast<std::uint64_t>(m_options.flashKb) * 1024) {
                out.bytes.push_back(kNak);
                reset();
            } else {
                out.bytes.push_back(kAck);
                m_state = State::Data;
            }
        }
        return;
    case State::Data:
        m_buffer.push_back(byte);
        if (m_buffer.size() == kV2Block) {
            endOfBlock(true, out);
            m_buffer.clear();
        }
        return;
    case State::Erase:
        if (byte >= 'a' && byte <= 'd') {
            m_state = State::Start;
            m_next = nowMs;
        }
        return;
    case State::Start:
    case State::Blocks:
        if (m_buffer.empty()) {
            if (m_options.cancelAtStart && byte == kCan) {
                reset(); // the sender acknowledged the cancel
                return;
            }
            if (byte == kEot) {
                out.bytes.push_back(kAck);
                reset();
                return;
            }
            if (byte != kStx)
                return; // line noise between blocks
            m_state = State::Blocks;
            m_next = kNoDeadline;
        }
        m_buffer.push_back(byte);
        if (m_buffer.size() == kXmodemFrame) {
            const std::uint8_t number = m_buffer[1];
            const bool framed = static_cast<std::uint8_t>(255 - number) == m_buffer[2];
            const std::uint16_t crc = static_cast<std::uint16_t>(m_buffer[1027] << 8 | m_buffer[1028]);
            const bool intact = framed && crc16(m_buffer.data() + 3, 1024) == crc;
            if (intact && number == static_cast<std::uint8_t>(m_expected - 1) && m_blocks > 0) {
                out.bytes.push_back(kAck); // a resend of a block already taken
            } else if (intact && number == m_expected) {
                const int before = m_blocks;
                endOfBlock(true, out);
                if (m_blocks > before)
                    ++m_expected;
            } else {
                endOfBlock(false, out);
            }
            m_buffer.clear();
        }
        return;
    }
}

std::unique_ptr<DeviceModel> makeDevice(const DeviceOptions& options)
{
    if (options.console || options.autoboot >= 0)
        return std::make_unique<ConsoleDevice>(options);
    if (options.boot)
        return std::make_unique<BootLoaderDevice>(options);
    if (options.streamRate > 0)
        return std::make_unique<StreamDevice>(options);
    if (options.seriesRate > 0)
        return std::make_unique<SeriesDevice>(options);
    return std::make_unique<EchoDevice>(options);
}

} // namespace devsim
