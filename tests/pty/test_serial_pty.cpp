// SPDX-License-Identifier: GPL-3.0-or-later
// The POSIX port against real pseudo-terminals.

#include "serial/serial_port.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

using merovan::SerialPort;
using merovan::SteadyClock;
using merovan::test::PtyPair;

namespace {

std::vector<std::uint8_t> bytesOf(std::string_view s)
{
    return { s.begin(), s.end() };
}

double millisecondsOf(const std::function<void()>& f)
{
    const auto start = std::chrono::steady_clock::now();
    f();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(SerialPty, OpenIsExclusiveAndThePortReopensAfterClose)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort first(clock);
    SerialPort second(clock);
    ASSERT_EQ(first.openPort(pty.slavePath(), "9600,8,N,1"), 0) << first.lastError();
    EXPECT_TRUE(first.isOpen());

    EXPECT_EQ(second.openPort(pty.slavePath(), "9600,8,N,1"), EBUSY);
    EXPECT_FALSE(second.isOpen());
    EXPECT_EQ(second.lastError(), "the port is in use by another program");

    const std::string link = (std::filesystem::temp_directory_path() / ("merovan-link-" + std::to_string(::getpid())))
                                 .string();
    std::filesystem::remove(link);
    std::filesystem::create_symlink(pty.slavePath(), link);
    EXPECT_EQ(second.openPort(link, "9600,8,N,1"), EBUSY) << "a symlink is the same device";
    std::filesystem::remove(link);

    first.closePort();
    EXPECT_FALSE(first.isOpen());
    ASSERT_EQ(second.openPort(pty.slavePath(), "9600,8,N,1"), 0) << second.lastError();
    // The object that held it first can have it back once it is free.
    second.closePort();
    ASSERT_EQ(first.openPort(pty.slavePath(), "9600,8,N,1"), 0) << first.lastError();
}

TEST(SerialPty, MissingDeviceGivesTheErrnoAndAReason)
{
    SteadyClock clock;
    SerialPort port(clock);
    EXPECT_EQ(port.openPort("/dev/merovan-no-such-port", "9600,8,N,1"), ENOENT);
    EXPECT_EQ(port.lastError(), "No such file or directory");
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.openPort("/dev/null", "9600,8,N,1"), ENOTTY);
    EXPECT_EQ(port.lastError(), "not a serial device");
}

TEST(SerialPty, EveryListedRateIsAppliedExactly)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "9600,8,N,1"), 0) << port.lastError();
    for (const char* rate : { "300", "600", "1200", "2400", "9600", "14400", "38400", "56000", "57600", "115200",
                              "128000", "230400", "232558", "460800", "476190", "1382400", "2000000" }) {
        ASSERT_EQ(port.configurePort(std::string(rate) + ",8,N,1"), 0) << rate << ": " << port.lastError();
        EXPECT_EQ(port.appliedBaud(), std::stoul(rate)) << rate;
    }
}

TEST(SerialPty, DataBitsFiveToEightAreTakenAndFourIsRefused)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    for (const char* bits : { "5", "6", "7", "8" })
        EXPECT_EQ(port.openPort(pty.slavePath(), std::string("9600,") + bits + ",N,1"), 0) << bits;
    EXPECT_EQ(port.openPort(pty.slavePath(), "9600,4,N,1"), EINVAL);
    EXPECT_EQ(port.lastError(), "4 data bits are not supported on this system");
    EXPECT_FALSE(port.isOpen());
}

TEST(SerialPty, ReadsReturnWithinAFewMillisecondsAndWaitByteTimesOut)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "115200,8,N,1"), 0) << port.lastError();

    std::uint8_t byte = 0;
    double slowest = 0;
    for (int i = 0; i < 20; ++i)
        slowest = std::max(slowest, millisecondsOf([&] { EXPECT_EQ(port.readByte(byte), 0); }));
    EXPECT_GE(slowest, 1.5);
    EXPECT_LT(slowest, 100.0);

    const double waited = millisecondsOf([&] { EXPECT_EQ(port.waitByte(200), 0); });
    EXPECT_GE(waited, 600.0 * 0.9); // 200 attempts of a 2 ms read and a 1 ms pause

    pty.send({ 0x2A });
    EXPECT_EQ(port.waitByte(200), 0x2A);
}

TEST(SerialPty, RawBytesPassUnchangedBothWays)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "9600,8,N,1"), 0) << port.lastError();
    std::vector<std::uint8_t> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<std::uint8_t>(i);

    ASSERT_EQ(port.writeBlock(all), 0);
    EXPECT_EQ(pty.receive(all.size()), all);

    pty.send(all);
    std::vector<std::uint8_t> got;
    std::uint8_t buf[300];
    for (int i = 0; i < 500 && got.size() < all.size(); ++i) {
        const std::size_t n = port.readBlock(buf);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_EQ(got, all);
}

TEST(SerialPty, AMegabyteToASlowReaderArrivesComplete)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "2000000,8,N,1"), 0) << port.lastError();

    std::vector<std::uint8_t> data(1 << 20);
    std::uint32_t x = 12345;
    for (auto& b : data) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    std::vector<unsigned char> got;
    std::thread reader([&] {
        unsigned char buf[1024];
        while (got.size() < data.size()) {
            pollfd pfd { pty.master(), POLLIN, 0 };
            if (::poll(&pfd, 1, 5000) <= 0)
                return;
            const ssize_t n = ::read(pty.master(), buf, sizeof buf);
            if (n <= 0)
                return;
            got.insert(got.end(), buf, buf + n);
            if (got.size() % (64 * 1024) < 1024)
                std::this_thread::sleep_for(std::chrono::milliseconds(5)); // a slow reader
        }
    });
    EXPECT_EQ(port.writeBlock(data), 0);
    reader.join();
    ASSERT_EQ(got.size(), data.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), data.begin()));
}

TEST(SerialPty, LineControlsOnAPseudoTerminalDoNoHarm)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "9600,8,N,1"), 0) << port.lastError();
    EXPECT_EQ(port.setDtr(true), 0);
    EXPECT_EQ(port.setDtr(false), 0);
    EXPECT_EQ(port.setRts(true), 0);
    port.setCtsFlow(true);
    port.setCtsFlow(false);
    EXPECT_EQ(port.setRts(false), 0);
    EXPECT_TRUE(port.isOpen());
    ASSERT_EQ(port.writeBlock(bytesOf("ok")), 0);
    EXPECT_EQ(pty.receive(2), bytesOf("ok"));
}

TEST(SerialPty, PeerClosingIsADisconnect)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "9600,8,N,1"), 0) << port.lastError();
    pty.send(bytesOf("last"));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pty.closeMaster();

    std::vector<std::uint8_t> got;
    std::uint8_t buf[64];
    for (int i = 0; i < 100 && port.isOpen(); ++i) {
        const std::size_t n = port.readBlock(buf);
        got.insert(got.end(), buf, buf + n);
    }
    EXPECT_FALSE(port.isOpen());
    EXPECT_TRUE(port.wasDisconnected());
    EXPECT_EQ(port.lastError(), "device disconnected");
    EXPECT_EQ(port.writeByte('x'), EBADF);
}

TEST(SerialPty, WaitByteWithoutLimitEndsWhenTheDeviceGoesAway)
{
    PtyPair pty;
    SteadyClock clock;
    SerialPort port(clock);
    ASSERT_EQ(port.openPort(pty.slavePath(), "9600,8,N,1"), 0) << port.lastError();
    std::thread killer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        pty.closeMaster();
    });
    EXPECT_EQ(port.waitByte(0), 0);
    killer.join();
    EXPECT_TRUE(port.wasDisconnected());
}

TEST(SerialPty, EnumerationHonoursExtraPortsAndLeavesOutTheOpenPort)
{
    PtyPair a;
    PtyPair b;
    const std::string extra = a.slavePath() + ":" + b.slavePath();
    ::setenv("MEROVAN_EXTRA_PORTS", extra.c_str(), 1);
    SteadyClock clock;
    SerialPort port(clock);

    auto ports = port.enumeratePorts();
    ASSERT_GE(ports.size(), 2u);
    EXPECT_EQ(ports[ports.size() - 2], a.slavePath());
    EXPECT_EQ(ports.back(), b.slavePath());

    ASSERT_EQ(port.openPort(a.slavePath(), "9600,8,N,1"), 0) << port.lastError();
    ports = port.enumeratePorts();
    EXPECT_EQ(std::count(ports.begin(), ports.end(), a.slavePath()), 0);
    EXPECT_EQ(ports.back(), b.slavePath());
    ::unsetenv("MEROVAN_EXTRA_PORTS");
}
