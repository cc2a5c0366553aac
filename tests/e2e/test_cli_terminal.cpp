// SPDX-License-Identifier: GPL-3.0-or-later
// The everyday terminal on the command line: logs, hex view, port identity,
// reconnecting, break; merovan-cli against merovan-devsim over a pty.

#include "support/fake_sysfs.h"
#include "support/process.h"
#include "terminal/hex_dump.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

merovan::test::RunResult cli(const std::vector<std::string>& args, int timeoutMs = 30000)
{
    return runProgram(MEROVAN_CLI_PATH, args, timeoutMs);
}

// A scratch directory for a link, logs and records, removed afterwards.
struct Scratch
{
    Scratch()
        : dir(tempPath("term"))
    {
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

} // namespace

TEST(CliTerminal, RawLogHoldsExactlyWhatTheDeviceSentAndViewLogWhatMonitorShows)
{
    Scratch s;
    Devsim sim({ "--stream", "200000", "--sent", s / "sent" });
    const auto r = cli({ "monitor", "-p", sim.port(), "--seconds", "1", "--log", s / "raw.log", "--raw" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    sim.stop();
    const std::string sent = readFile(s / "sent");
    const std::string log = readFile(s / "raw.log");
    ASSERT_GT(log.size(), 50000u);
    // The device may have sent a little more after the monitor stopped.
    EXPECT_EQ(log, sent.substr(0, log.size()));
    EXPECT_NE(log.find('\0'), std::string::npos) << "the binary bursts are in it";

    Devsim echo({});
    const auto v = cli({ "monitor", "-p", echo.port(), "--seconds", "1", "--log", s / "view.log" });
    EXPECT_EQ(v.exitCode, 0) << v.err;
    EXPECT_EQ(readFile(s / "view.log"), "devsim ready\n");
    // A second run appends; --overwrite starts afresh.
    cli({ "monitor", "-p", echo.port(), "--seconds", "1", "--log", s / "view.log" });
    EXPECT_EQ(readFile(s / "view.log"), "devsim ready\ndevsim ready\n");
    cli({ "monitor", "-p", echo.port(), "--seconds", "1", "--log", s / "view.log", "--overwrite" });
    EXPECT_EQ(readFile(s / "view.log"), "devsim ready\n");
}

TEST(CliTerminal, TimestampsStartEveryLineOnScreenAndInTheLog)
{
    Scratch s;
    Devsim sim({});
    const auto r = cli({ "monitor", "-p", sim.port(), "--seconds", "1", "--timestamps", "--log", s / "t.log" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::regex stamped(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} devsim ready\n)");
    EXPECT_TRUE(std::regex_match(readFile(s / "t.log"), stamped)) << readFile(s / "t.log");
    const std::regex screen(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} devsim ready\r\n)");
    EXPECT_TRUE(std::regex_match(r.out, screen)) << r.out;
}

TEST(CliTerminal, HexMonitorDumpsTheStreamInRowsOfSixteen)
{
    Scratch s;
    Devsim sim({ "--stream", "50000", "--sent", s / "sent" });
    const auto r = cli({ "monitor", "-p", sim.port(), "--seconds", "1", "--hex" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    sim.stop();
    const std::string sent = readFile(s / "sent");
    ASSERT_FALSE(r.out.empty());
    // Every complete row is the dump of the same bytes of what was sent.
    const std::size_t rows = r.out.size() / (merovan::HexDumper::kRowLength + 1);
    ASSERT_GT(rows, 100u);
    merovan::HexDumper d;
    std::string expected;
    d.feed(std::span(reinterpret_cast<const std::uint8_t*>(sent.data()), rows * 16), expected);
    EXPECT_EQ(r.out.substr(0, expected.size()), expected);
    EXPECT_EQ(r.out.back(), '\n');
}

TEST(CliTerminal, MonitorReconnectsAndLosesNothingTheDeviceSentAfterward)
{
    Scratch s;
    const std::string link = s / "ttyDEVICE";
    auto sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link, "--stream", "100000", "--sent",
                                                                   s / "sent1" });
    merovan::test::RunResult r;
    std::thread monitor([&] {
        r = cli({ "monitor", "-p", link, "--reconnect", "--seconds", "5", "--log", s / "log", "--raw" });
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    sim.reset(); // the device goes away, and its link with it
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link, "--stream", "100000", "--sent",
                                                              s / "sent2" });
    monitor.join();
    sim.reset();

    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Disconnected: " + link + ", waiting for it to return"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("Reconnected"), std::string::npos) << r.err;

    // A raw log holds exactly the bytes received: no notes of the going and
    // the return, so the second device's greeting is where its bytes begin.
    const std::string log = readFile(s / "log");
    const auto at = log.rfind("devsim ready\r\n");
    ASSERT_NE(at, std::string::npos);
    ASSERT_GT(at, 0u);
    const std::string first = log.substr(0, at);
    const std::string after = log.substr(at);
    const std::string sent1 = readFile(s / "sent1");
    const std::string sent2 = readFile(s / "sent2");
    EXPECT_EQ(first.find("[Disconnected"), std::string::npos);
    EXPECT_GT(first.size(), 50000u);
    EXPECT_EQ(first, sent1.substr(0, first.size()));
    // After: every byte the second device sent while the monitor ran.
    ASSERT_GT(after.size(), 100000u);
    EXPECT_EQ(after, sent2.substr(0, after.size()));
    EXPECT_EQ(after.substr(0, 14), "devsim ready\r\n");
}

TEST(CliTerminal, MonitorWithoutReconnectEndsWhenTheDeviceGoes)
{
    auto sim = std::make_unique<Devsim>(std::vector<std::string> {});
    const std::string port = sim->port();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        sim.reset();
    });
    const auto r = cli({ "monitor", "-p", port, "--seconds", "10" });
    stopper.join();
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(r.err.find("waiting for it to return"), std::string::npos);
}

TEST(CliTerminal, PortsLongListsWhatSysfsKnows)
{
    merovan::test::FakeSysfs tree(tempPath("sysfs"));
    ::setenv("MEROVAN_SYSFS_ROOT", tree.sys().c_str(), 1);
    ::setenv("MEROVAN_DEV_ROOT", tree.dev().c_str(), 1);
    const auto r = cli({ "ports", "-l" });
    const auto plain = cli({ "ports" });
    ::unsetenv("MEROVAN_SYSFS_ROOT");
    ::unsetenv("MEROVAN_DEV_ROOT");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t nl; (nl = r.out.find('\n', start)) != std::string::npos; start = nl + 1)
        lines.push_back(r.out.substr(start, nl - start));
    ASSERT_EQ(lines.size(), 6u) << r.out;
    EXPECT_EQ(lines[0].substr(0, 4), "PORT");
    const std::regex ftdi(".*/ttyUSB0 +0403:6001 +ftdi_sio +A10KZP3Q +FTDI FT232R USB UART +.*/by-id/usb-FTDI.*");
    EXPECT_TRUE(std::regex_match(lines[3], ftdi)) << lines[3];
    const std::regex board(".*/ttyS0 +- +serial8250 +- +- +-");
    EXPECT_TRUE(std::regex_match(lines[2], board)) << lines[2];
    const std::regex noSerial(".*/ttyUSB2 +1a86:7523 +ch341 +- +USB Serial +-");
    EXPECT_TRUE(std::regex_match(lines[5], noSerial)) << lines[5];
    // The short form lists the same ports, one path a line.
    EXPECT_EQ(std::count(plain.out.begin(), plain.out.end(), '\n'), 5);
}

TEST(CliTerminal, SendBreakThenText)
{
    Scratch s;
    Devsim sim({ "--record", s / "rec" });
    const auto r = cli({ "send", "-p", sim.port(), "--break", "hi" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(merovan::test::waitForFileSize(s / "rec", 2));
    EXPECT_EQ(readFile(s / "rec"), "hi");
    const auto alone = cli({ "send", "-p", sim.port(), "--break" });
    EXPECT_EQ(alone.exitCode, 0) << alone.err;
    const auto usage = cli({ "monitor", "-p", sim.port(), "--raw" });
    EXPECT_EQ(usage.exitCode, 2) << "--raw without --log is a usage error";
}
