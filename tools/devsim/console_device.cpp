// SPDX-License-Identifier: GPL-3.0-or-later
#include "console_device.h"

#include <cstdio>
#include <cstdlib>

namespace devsim {

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kCrcStart = 'C';
constexpr std::uint8_t kBackspace = 0x08;
constexpr std::uint8_t kWake = '\\';

constexpr char kPrompt[] = "=> ";
constexpr char kLogin[] = "devsim login: ";
constexpr std::uint64_t kStartIntervalMs = 1000;
constexpr std::uint64_t kYmodemGiveUpMs = 60000;

void put(DeviceOutput& out, std::string_view text)
{
    out.bytes.insert(out.bytes.end(), text.begin(), text.end());
}

std::uint16_t crc16(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < n; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int b = 0; b < 8; ++b)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

} // namespace

ConsoleDevice::ConsoleDevice(DeviceOptions options)
    : m_options(std::move(options))
    , m_loader(m_options)
{
}

void ConsoleDevice::lineOpened(std::uint64_t nowMs, DeviceOutput& out)
{
    start(nowMs, out);
}

void ConsoleDevice::start(std::uint64_t nowMs, DeviceOutput& out)
{
    m_line.clear();
    put(out, "\r\nU-Boot 2024.01-devsim (Dec 09 2026)\r\n\r\nDRAM:  512 MiB\r\n");
    if (m_options.autoboot >= 0) {
        m_state = State::Countdown;
        m_count = m_options.autoboot;
        char text[64];
        std::snprintf(text, sizeof text, "Hit any key to stop autoboot: %2d ", m_count);
        put(out, text);
        m_next = nowMs + 1000;
        if (m_count == 0) {
            m_next = kNoDeadline;
            put(out, "\r\n");
            toLogin(out);
        }
        return;
    }
    m_state = State::Prompt;
    m_next = kNoDeadline;
    put(out, kPrompt);
}

void ConsoleDevice::toLogin(DeviceOutput& out)
{
    put(out, "Starting kernel ...\r\n\r\n");
    put(out, kLogin);
    m_state = State::Login;
    m_line.clear();
}

void ConsoleDevice::tick(std::uint64_t nowMs, DeviceOutput& out)
{
    if (m_state == State::Loader) {
        m_loader.tick(nowMs, out);
        return;
    }
    if (nowMs < m_next)
        return;
    if (m_state == State::Countdown) {
        --m_count;
        char text[16];
        std::snprintf(text, sizeof text, "\b\b\b%2d ", m_count);
        put(out, text);
        if (m_count > 0) {
            m_next += 1000;
        } else {
            m_next = kNoDeadline;
            put(out, "\r\n");
            toLogin(out);
        }
    } else if (m_state == State::Ymodem) {
        if (nowMs >= m_giveUp) {
            endYmodem("## Download timed out\r\n", out);
            return;
        }
        // The receiver asks for the file until the sender starts.
        if (m_block.empty())
            out.bytes.push_back(kCrcStart);
        m_next = nowMs + kStartIntervalMs;
    }
}

std::uint64_t ConsoleDevice::nextDeadline() const
{
    return m_state == State::Loader ? m_loader.nextDeadline() : m_next;
}

void ConsoleDevice::receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out)
{
    switch (m_state) {
    case State::Loader:
        m_loader.receive(byte, nowMs, out);
        return;
    case State::Ymodem:
        ymodemByte(byte, nowMs, out);
        return;
    case State::Countdown:
        // Any key stops the countdown, and is not taken as input.
        m_next = kNoDeadline;
        m_state = State::Prompt;
        put(out, "\r\n");
        put(out, kPrompt);
        return;
    default:
        break;
    }
    if (m_state == State::Prompt && byte == kWake && m_line.empty()) {
        m_state = State::Loader;
        m_loader.lineOpened(nowMs, out);
        m_loader.receive(byte, nowMs, out);
        return;
    }
    if (byte == '\n')
        return;
    if (byte == kBackspace || byte == 0x7F) {
        if (!m_line.empty()) {
            m_line.pop_back();
            if (m_state != State::Password)
                put(out, "\b \b");
        }
        return;
    }
    if (byte != '\r') {
        if (m_line.size() < 256)
            m_line.push_back(static_cast<char>(byte));
        if (m_state != State::Password)
            out.bytes.push_back(byte);
        return;
    }
    const std::string line = m_line;
    m_line.clear();
    put(out, "\r\n");
    switch (m_state) {
    case State::Prompt:
        command(line, nowMs, out);
        return;
    case State::Login:
        m_user = line;
        m_state = State::Password;
        put(out, "Password: ");
        return;
    case State::Password:
        if (m_user == "root" && line == "devsim") {
            put(out, "Welcome to devsim\r\n# ");
            m_state = State::Shell;
        } else {
            put(out, "Login incorrect\r\n");
            put(out, kLogin);
            m_state = State::Login;
        }
        return;
    case State::Shell:
        shell(line, out);
        return;
    default:
        return;
    }
}

void ConsoleDevice::command(const std::string& line, std::uint64_t nowMs, DeviceOutput& out)
{
    if (line.empty()) {
    } else if (line == "version") {
        put(out, "U-Boot 2024.01-devsim (Dec 09 2026)\r\nboard: devsim rev B\r\n");
    } else if (line == "meminfo") {
        put(out, "DRAM:  512 MiB\r\n");
    } else if (line == "selftest") {
        put(out, "selftest: ram ok, flash ok, eth ok\r\nselftest: PASS\r\n");
    } else if (line == "loady") {
        put(out, "## Ready for binary (ymodem) download to 0x82000000 at 115200 bps...\r\n");
        m_state = State::Ymodem;
        m_block.clear();
        m_file.clear();
        m_started = false;
        m_expected = 0;
        m_eots = 0;
        m_size = 0;
        m_giveUp = nowMs + kYmodemGiveUpMs;
        out.bytes.push_back(kCrcStart);
        m_next = nowMs + kStartIntervalMs;
        return;
    } else if (line == "boot") {
        toLogin(out);
        return;
    } else if (line == "reset") {
        put(out, "resetting ...\r\n");
        start(nowMs, out);
        return;
    } else if (line == "help") {
        put(out, "boot loady meminfo reset selftest version\r\n");
    } else {
        put(out, "Unknown command '" + line + "' - try 'help'\r\n");
    }
    put(out, kPrompt);
}

void ConsoleDevice::shell(const std::string& line, DeviceOutput& out)
{
    if (line == "exit") {
        put(out, kLogin);
        m_state = State::Login;
        return;
    }
    if (line == "uname" || line == "uname -a")
        put(out, "Linux devsim 6.1.0 armv7l\r\n");
    else if (!line.empty())
        put(out, "sh: " + line + ": not found\r\n");
    put(out, "# ");
}

void ConsoleDevice::endYmodem(const std::string& message, DeviceOutput& out)
{
    put(out, message);
    put(out, kPrompt);
    m_state = State::Prompt;
    m_next = kNoDeadline;
    m_block.clear();
}

void ConsoleDevice::ymodemByte(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out)
{
    m_giveUp = nowMs + kYmodemGiveUpMs;
    if (m_block.empty()) {
        if (byte == kEot) {
            // The end of a file: NAK the first EOT, ACK the second, then ask
            // for the next file's block 0.
            if (++m_eots == 1) {
                out.bytes.push_back(kNak);
                return;
            }
            out.bytes.push_back(kAck);
            if (m_file.size() > m_size)
                m_file.resize(m_size);
            out.record.insert(out.record.end(), m_file.begin(), m_file.end());
            m_file.clear();
            m_expected = 0;
            m_eots = 0;
            out.bytes.push_back(kCrcStart);
            return;
        }
        if (byte == kCan) {
            endYmodem("\r\n## Download canceled\r\n", out);
            return;
        }
        if (byte != kSoh && byte != kStx)
            return; // noise between blocks
    }
    m_block.push_back(byte);
    const std::size_t length = m_block[0] == kStx ? 1024 : 128;
    if (m_block.size() == 3 + length + 2)
        ymodemBlock(out);
}

void ConsoleDevice::ymodemBlock(DeviceOutput& out)
{
    const std::size_t length = m_block.size() - 5;
    const std::uint8_t number = m_block[1];
    const std::uint8_t* data = m_block.data() + 3;
    const std::uint16_t crc = static_cast<std::uint16_t>(m_block[3 + length] << 8 | m_block[4 + length]);
    const bool intact = static_cast<std::uint8_t>(255 - number) == m_block[2] && crc16(data, length) == crc;
    if (!intact) {
        m_block.clear();
        out.bytes.push_back(kNak);
        return;
    }
    m_started = true;
    if (number == static_cast<std::uint8_t>(m_expected - 1) && m_expected != 0) {
        m_block.clear();
        out.bytes.push_back(kAck); // a block resent after a lost ACK
        return;
    }
    if (number != m_expected) {
        m_block.clear();
        out.bytes.push_back(kNak);
        return;
    }
    if (m_expected == 0) {
        // Block 0: name, NUL, size in decimal; an empty name ends the batch.
        if (data[0] == 0) {
            m_block.clear();
            out.bytes.push_back(kAck);
            endYmodem("## Total Size = " + std::to_string(m_size) + " Bytes\r\n", out);
            return;
        }
        std::size_t i = 0;
        while (i < length && data[i] != 0)
            ++i;
        m_size = std::strtoull(reinterpret_cast<const char*>(data + i + 1), nullptr, 10);
        m_block.clear();
        m_expected = 1;
        out.bytes.push_back(kAck);
        out.bytes.push_back(kCrcStart);
        return;
    }
    m_file.insert(m_file.end(), data, data + length);
    ++m_expected;
    m_block.clear();
    out.bytes.push_back(kAck);
}

} // namespace devsim
