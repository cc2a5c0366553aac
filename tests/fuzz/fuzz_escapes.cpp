// SPDX-License-Identifier: GPL-3.0-or-later
// Texts with escapes, expanded into a small echo buffer, in virtual time.
#include "serial/serial_port.h"
#include "serial/text_expansion.h"
#include "support/fake_backend.h"

#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    merovan::test::FakeClock clock;
    merovan::test::FakeLineLog log;
    merovan::SerialPort port(clock, std::make_unique<merovan::test::FakeBackend>(clock, log));
    port.openPort("/dev/fake", "9600,8,N,1");
    char echo[64];
    const std::size_t n = merovan::sendExpandedText(port, std::string_view(reinterpret_cast<const char*>(data), size),
                                                    echo, [] { return std::tm {}; });
    if (n >= sizeof echo || echo[n] != '\0')
        __builtin_trap();
    return 0;
}
