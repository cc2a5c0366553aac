// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// The terminal view's form of received bytes: tab, line feed, carriage
// return and 20..7F stand as themselves, backspace is dropped, and every
// other byte, zero included, becomes "[xx]" in lower-case hex.
std::string formatForDisplay(std::span<const std::uint8_t> bytes);

} // namespace merovan

namespace merovan {

// Turns received bytes into the terminal view's text, one chunk at a time.
// Non-printable bytes take the bracketed form; CR LF, a lone CR and a lone
// LF each become one '\n', also when a CR LF pair is split across chunks.
class TerminalTextFormatter
{
public:
    std::string format(std::span<const std::uint8_t> bytes);
    void reset() { m_afterCr = false; }

private:
    bool m_afterCr = false;
};

} // namespace merovan
