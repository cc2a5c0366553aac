// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/text_expansion.h"

#include "serial/clock.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cstdint>
#include <string>

namespace merovan {

namespace {

constexpr char kBackslash = '\\';

// An echo buffer that never overruns and is always zero-terminated.
class Echo
{
public:
    explicit Echo(std::span<char> buffer)
        : m_buffer(buffer)
    {
        if (!m_buffer.empty())
            m_buffer[0] = '\0';
    }
    void add(char c)
    {
        if (m_length + 1 < m_buffer.size()) {
            m_buffer[m_length++] = c;
            m_buffer[m_length] = '\0';
        }
    }
    void add(std::string_view s)
    {
        for (const char c : s)
            add(c);
    }
    std::size_t length() const { return m_length; }

private:
    std::span<char> m_buffer;
    std::size_t m_length = 0;
};

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::size_t sendExpandedText(SerialPort& port, std::string_view text, std::span<char> echoBuffer,
                             const LocalTimeSource& now, const ExpansionServe& serve)
{
    if (const auto nul = text.find('\0'); nul != std::string_view::npos)
        text = text.substr(0, nul);
    Echo echo(echoBuffer);
    auto send = [&](char c) {
        port.writeByte(static_cast<std::uint8_t>(c));
        echo.add(c);
    };
    auto sendFormatted = [&](const char* format) {
        char scratch[80];
        const std::tm t = now();
        const std::size_t n = std::strftime(scratch, sizeof scratch, format, &t);
        for (std::size_t k = 0; k < n; ++k)
            send(scratch[k]);
    };

    // False when serve asked to stop during the pause.
    auto pause = [&](std::uint64_t ms) {
        Clock& clock = port.clock();
        if (!serve) {
            delayMs(clock, static_cast<std::uint32_t>(ms));
            return true;
        }
        const std::uint64_t end = clock.nowMs() + ms;
        for (;;) {
            if (serve())
                return false;
            const std::uint64_t at = clock.nowMs();
            if (at >= end)
                return true;
            delayMs(clock, static_cast<std::uint32_t>(std::min<std::uint64_t>(end - at, kExpansionServeSliceMs)));
        }
    };

    std::size_t i = 0;
    while (i < text.size()) {
        const char c = text[i];
        if (c != kBackslash || i + 1 >= text.size()) {
            send(c);
            ++i;
            continue;
        }
        const char letter = text[i + 1];
        switch (letter) {
        case 'n':
            send('\n');
            i += 2;
            continue;
        case 'r':
            send('\r');
            i += 2;
            continue;
        case 'e':
            send('\x1b');
            i += 2;
            continue;
        case 'w': {
            std::size_t j = i + 2;
            std::uint64_t ms = 0;
            for (; j < text.size() && isDigit(text[j]); ++j)
                ms = std::min<std::uint64_t>(ms * 10 + static_cast<std::uint64_t>(text[j] - '0'), 0xFFFFFFFFu);
            if (!pause(ms))
                return echo.length();
            echo.add("(w)");
            i = j;
            continue;
        }
        case '#': {
            std::size_t j = i + 2;
            while (j < text.size() && text[j] != '\n' && text[j] != '\r')
                ++j;
            for (int k = 0; k < 2 && j < text.size() && (text[j] == '\n' || text[j] == '\r'); ++k)
                ++j;
            i = j;
            continue;
        }
        case '$': {
            const std::string_view word = text.substr(i + 2, 4);
            if (word == "Date") {
                sendFormatted("%d/%m/%y %w");
                i += 6;
                continue;
            }
            if (word == "Time") {
                sendFormatted("%H:%M:%S");
                i += 6;
                continue;
            }
            break;
        }
        case '0': {
            std::size_t j = i + 2;
            unsigned value = 0;
            if (j < text.size() && (text[j] == 'x' || text[j] == 'X')) {
                for (++j; j < text.size() && hexValue(text[j]) >= 0; ++j)
                    value = (value << 4 | static_cast<unsigned>(hexValue(text[j]))) & 0xFFFu;
            } else {
                // Octal from the 0, but the whole run of decimal digits is passed over.
                bool octal = true;
                for (; j < text.size() && isDigit(text[j]); ++j) {
                    octal = octal && text[j] <= '7';
                    if (octal)
                        value = (value * 8 + static_cast<unsigned>(text[j] - '0')) & 0xFFFu;
                }
            }
            send(static_cast<char>(value & 0xFF));
            i = j;
            continue;
        }
        default:
            if (letter >= '1' && letter <= '9') {
                std::size_t j = i + 1;
                unsigned value = 0;
                for (; j < text.size() && isDigit(text[j]); ++j)
                    value = (value * 10 + static_cast<unsigned>(text[j] - '0')) & 0xFFu;
                send(static_cast<char>(value));
                i = j;
                continue;
            }
            break;
        }
        // Not an escape: the backslash goes out as it is and the text goes
        // on with the character after it.
        send(kBackslash);
        ++i;
    }
    return echo.length();
}

} // namespace merovan
