// merovan-cli against merovan-devsim over a real pseudo-terminal.

#include "serial/serial_port.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <thread>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::tempPath;
using merovan::test::waitForFileSize;

namespace {

merovan::test::RunResult cli(const std::vector<std::string>& args, int timeoutMs = 20000)
{
    return runProgram(MEROVAN_CLI_PATH, args, timeoutMs);
}

} // namespace

TEST(CliDevsim, SendIsRecordedByTheDeviceAndItsEchoComesBack)
{
    const std::string record = tempPath("record");
    Devsim sim({ "--record", record });
    const std::string text = "hello\x01\x7f\xe9 world\r\n";
    const auto r = cli({ "send", "-p", sim.port(), "-b", "115200", "--listen", "400", text });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(waitForFileSize(record, text.size()));
    EXPECT_EQ(readFile(record), text);
    EXPECT_EQ(r.out, "devsim ready\r\nhello[01]\x7f[e9] world\r\n");
    std::filesystem::remove(record);
}

TEST(CliDevsim, MonitorPrintsTheGreetingForItsSeconds)
{
    Devsim sim({});
    const auto start = std::chrono::steady_clock::now();
    const auto r = cli({ "monitor", "-p", sim.port(), "--seconds", "1" });
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "devsim ready\r\n");
    EXPECT_LT(took, std::chrono::seconds(10));
}

TEST(CliDevsim, MonitorEndsWithAReasonWhenTheDeviceGoesAway)
{
    auto sim = std::make_unique<Devsim>(std::vector<std::string> {});
    const std::string port = sim->port();
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1200));
        sim->stop();
    });
    const auto r = cli({ "monitor", "-p", port }, 10000);
    stopper.join();
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("device disconnected"), std::string::npos) << r.err;
}

TEST(CliDevsim, TheLinkNamesTheSameDeviceAndGoesAwayWithIt)
{
    const std::string link = tempPath("link");
    const std::string record = tempPath("record");
    {
        Devsim sim({ "--link", link, "--record", record, "--no-echo" });
        EXPECT_EQ(std::filesystem::read_symlink(link).string(), sim.port());
        const auto r = cli({ "send", "-p", link, "--listen", "100", "via link" });
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, "devsim ready\r\n") << "no echo asked for";
        ASSERT_TRUE(waitForFileSize(record, 8));
        EXPECT_EQ(readFile(record), "via link");
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::filesystem::remove(record);
}

TEST(CliDevsim, PacedLineStillDeliversEverything)
{
    const std::string record = tempPath("record");
    Devsim sim({ "--record", record, "--rate", "115200", "--no-echo" });
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "line " + std::to_string(i) + "\r\n";
    const auto r = cli({ "send", "-p", sim.port(), text });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(waitForFileSize(record, text.size()));
    EXPECT_EQ(readFile(record), text);
    std::filesystem::remove(record);
}

TEST(CliDevsim, PortsListsTheSimulatorThroughExtraPorts)
{
    Devsim sim({});
    ::setenv("MEROVAN_EXTRA_PORTS", sim.port().c_str(), 1);
    const auto r = cli({ "ports" });
    ::unsetenv("MEROVAN_EXTRA_PORTS");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find(sim.port() + "\n"), std::string::npos) << r.out;
}

TEST(CliDevsim, PortsThatWillNotOpenSayWhy)
{
    auto r = cli({ "send", "-p", "/dev/merovan-no-such-port", "x" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Cannot open /dev/merovan-no-such-port: No such file or directory\n");

    Devsim sim({});
    merovan::SteadyClock clock;
    merovan::SerialPort holder(clock);
    ASSERT_EQ(holder.openPort(sim.port(), "9600,8,N,1"), 0);
    r = cli({ "send", "-p", sim.port(), "x" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Cannot open " + sim.port() + ": the port is in use by another program\n");
    holder.closePort();

    r = cli({ "monitor", "-p", sim.port(), "-d", "4", "--seconds", "0" });
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "Cannot open " + sim.port() + ": 4 data bits are not supported on this system\n");
}

TEST(CliDevsim, UsageErrorsExitWithTwo)
{
    EXPECT_EQ(cli({}).exitCode, 2);
    EXPECT_EQ(cli({ "frobnicate" }).exitCode, 2);
    EXPECT_EQ(cli({ "send", "x" }).exitCode, 2) << "no port";
    EXPECT_EQ(cli({ "monitor", "-p", "/dev/null", "-b", "fast" }).exitCode, 2);
    const auto help = cli({ "--help" });
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("Usage: merovan-cli"), std::string::npos);
}
