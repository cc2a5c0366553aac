// SPDX-License-Identifier: GPL-3.0-or-later
// Network port names: which names are network ports, and how they split.
#include "serial/network_port.h"

#include <gtest/gtest.h>

using merovan::NetworkAddress;

TEST(NetworkPortName, SplitsHostAndPortOrSaysWhatIsWrong)
{
    const struct {
        const char* name;
        bool ok;
        bool rfc2217;
        const char* host;
        std::uint16_t port;
        const char* reason;
    } cases[] = {
        { "rfc2217://lab:7002", true, true, "lab", 7002, "" },
        { "tcp://192.168.1.20:4001", true, false, "192.168.1.20", 4001, "" },
        { "socket://127.0.0.1:1/", true, false, "127.0.0.1", 1, "" },
        { "rfc2217://[::1]:65535", true, true, "::1", 65535, "" },
        { "tcp://lab", false, false, "", 0, "the address needs a port number (HOST:PORT)" },
        { "tcp://:7000", false, false, "", 0, "the address needs a host name" },
        { "tcp://lab:0", false, false, "", 0, "the port number must be 1 to 65535" },
        { "tcp://lab:65536", false, false, "", 0, "the port number must be 1 to 65535" },
        { "tcp://lab:70a", false, false, "", 0, "the port number must be 1 to 65535" },
        { "rfc2217://[::1]7000", false, false, "", 0, "the address needs a port number (HOST:PORT)" },
        { "/dev/ttyUSB0", false, false, "", 0, "not a network port (rfc2217://HOST:PORT or tcp://HOST:PORT)" },
    };
    for (const auto& c : cases) {
        NetworkAddress a;
        std::string reason;
        ASSERT_EQ(merovan::parseNetworkPortName(c.name, a, reason), c.ok) << c.name;
        EXPECT_EQ(merovan::isNetworkPortName(c.name), std::string(c.name).find("://") != std::string::npos) << c.name;
        if (!c.ok) {
            EXPECT_EQ(reason, c.reason) << c.name;
            continue;
        }
        EXPECT_EQ(a.rfc2217, c.rfc2217) << c.name;
        EXPECT_EQ(a.host, c.host) << c.name;
        EXPECT_EQ(a.port, c.port) << c.name;
    }
}
