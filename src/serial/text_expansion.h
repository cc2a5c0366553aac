// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <span>
#include <string_view>

namespace merovan {

class SerialPort;

// The local date and time, for the \$Date and \$Time escapes.
using LocalTimeSource = std::function<std::tm()>;
std::tm systemLocalTime();

// Sends text to the port one byte per write, expanding its backslash
// escapes:
//   \n \r \e           bytes 10, 13, 27
//   \w<digits>         waits that many milliseconds; echoes "(w)"
//   \# ...             a comment to the end of the line, with up to two
//                      line-end bytes after it
//   \$Date  \$Time     "%d/%m/%y %w" and "%H:%M:%S" of the local time
//   \0x<hex>           one byte, the low 8 bits of the hex number
//   \0<digits>         one byte, the octal number starting at the 0
//   \<1-9><digits>     one byte, the low 8 bits of the decimal number
// A backslash that starts none of these is sent as it is, and the text goes
// on with the character after it. The text ends at its first zero byte.
//
// What went out is written to echo, zero-terminated and cut to fit; the
// sending itself is never cut. Returns the echo's length.
//
// serve, when given, is called during each \w pause at least every
// kExpansionServeSliceMs, so that a caller can keep a window alive through
// a long pause; when it returns true the text ends there, nothing more is
// sent.
using ExpansionServe = std::function<bool()>;
inline constexpr std::uint32_t kExpansionServeSliceMs = 10;
std::size_t sendExpandedText(SerialPort& port, std::string_view text, std::span<char> echo,
                             const LocalTimeSource& now = systemLocalTime, const ExpansionServe& serve = {});

} // namespace merovan
