// SPDX-License-Identifier: GPL-3.0-or-later
// The port on real hardware: two serial ports wired to each other (a null
// modem cable, or two USB adapters with TX and RX crossed), named in
// MEROVAN_TEST_PORT_PAIR as "PATH_A:PATH_B". Skipped without it.

#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

using merovan::SerialPort;
using merovan::SteadyClock;

namespace {

bool portPair(std::string& a, std::string& b)
{
    const char* pair = std::getenv("MEROVAN_TEST_PORT_PAIR");
    if (!pair)
        return false;
    const std::string s(pair);
    const auto colon = s.find(':');
    if (colon == std::string::npos)
        return false;
    a = s.substr(0, colon);
    b = s.substr(colon + 1);
    return true;
}

// Reads until count bytes came or a second passed without any.
std::vector<std::uint8_t> receive(SerialPort& port, std::size_t count)
{
    std::vector<std::uint8_t> got;
    std::uint8_t buf[512];
    int idle = 0;
    while (got.size() < count && idle < 500) {
        const std::size_t n = port.readBlock(buf);
        got.insert(got.end(), buf, buf + n);
        idle = n ? 0 : idle + 1;
    }
    return got;
}

} // namespace

TEST(SerialHardware, BytesCrossTheCableBothWaysAtEveryCommonRate)
{
    std::string pathA, pathB;
    if (!portPair(pathA, pathB))
        GTEST_SKIP() << "set MEROVAN_TEST_PORT_PAIR=PATH_A:PATH_B to run on real ports";
    SteadyClock clock;
    SerialPort a(clock);
    SerialPort b(clock);
    std::vector<std::uint8_t> data(1024);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7);
    for (const char* rate : { "9600", "115200", "460800" }) {
        const std::string settings = std::string(rate) + ",8,N,1";
        ASSERT_EQ(a.openPort(pathA, settings), 0) << a.lastError();
        ASSERT_EQ(b.openPort(pathB, settings), 0) << b.lastError();
        EXPECT_EQ(a.appliedBaud(), std::stoul(rate));
        a.drainInput();
        b.drainInput();
        ASSERT_EQ(a.writeBlock(data), 0);
        EXPECT_EQ(receive(b, data.size()), data) << rate;
        ASSERT_EQ(b.writeBlock(data), 0);
        EXPECT_EQ(receive(a, data.size()), data) << rate;
        // The line controls must not disturb the data path.
        a.setDtr(true);
        a.setRts(false);
        a.setDtr(false);
        a.closePort();
        b.closePort();
    }
}
