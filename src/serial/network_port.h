// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serial/serial_backend.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace merovan {

class ByteStream;
class Clock;

// A port on another machine, reached through a device server such as
// ser2net: "rfc2217://HOST:PORT" (telnet with COM port control) or
// "tcp://HOST:PORT" (bytes only; "socket://" is another name for it). HOST
// may be a name, an IPv4 address or an IPv6 address in brackets.
struct NetworkAddress
{
    bool rfc2217 = false;
    std::string host;
    std::uint16_t port = 0;
};

// Whether name starts with one of the three schemes (whether or not the
// rest is well formed).
bool isNetworkPortName(std::string_view name);

// Splits name; false with a reason for a name that is not well formed.
bool parseNetworkPortName(std::string_view name, NetworkAddress& address, std::string& reason);

// The backend for network port names: connects within 5 s, and for
// rfc2217:// negotiates port control and applies line settings through it.
std::unique_ptr<SerialBackend> makeNetworkBackend();
// The same over another connection, in another clock's time (tests).
std::unique_ptr<SerialBackend> makeNetworkBackend(Clock& clock, std::unique_ptr<ByteStream> stream);

// The backend of this system's own devices (POSIX ttys, Win32 COM ports).
std::unique_ptr<SerialBackend> makeDeviceBackend();

} // namespace merovan
