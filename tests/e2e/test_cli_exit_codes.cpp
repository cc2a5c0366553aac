// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli's exit status, help and messages for every command.

#include "support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>

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

constexpr const char* kNoPort = "/dev/merovan-no-such-port";

class CliExitCodes : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = tempPath("exit");
        fs::create_directories(dir);
        std::ofstream(dir + "/a.txt", std::ios::binary) << "10 PRINT 1\r\n";
        std::ofstream(dir + "/a.bin", std::ios::binary) << std::string(5000, 'x');
        ASSERT_EQ(cli({ "script", "new", dir + "/s.scr" }).exitCode, 0);
        ASSERT_EQ(cli({ "script", "add", dir + "/s.scr", "hi", "x" }).exitCode, 0);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir;
};

} // namespace

// Every command: its own help, a usage error, and a port that will not open.
TEST_F(CliExitCodes, EveryCommandHasItsHelpUsageAndPortCodes)
{
    const std::string bmp = std::string(MEROVAN_TEST_DATA) + "/fonts/CBFG_TestFont.bff";
    const struct Row
    {
        std::string command;
        std::vector<std::string> withPort; // arguments after "-p PORT"; empty: no port
        bool transfer;
        std::string ownOption;             // an option its help must name
    } rows[] = {
        { "ports", {}, false, "--long" },
        { "monitor", { "--seconds", "1" }, false, "--reconnect" },
        { "send", { "x" }, false, "--no-flush" },
        { "text-file", { dir + "/a.txt" }, true, "--wait N" },
        { "binary", { dir + "/a.bin" }, true, "--first TEXT" },
        { "picture", { bmp }, true, "--header-only" },
        { "font", { bmp }, true, "--create" },
        { "boot", { "--flash-kb", "64", dir + "/a.bin" }, true, "--flash-kb KB" },
        { "hex2bin", {}, true, "--start ADDR" },
        { "script", { "send", dir + "/s.scr", "hi" }, false, "remove FILE NAME" },
        { "xmodem", { "send", dir + "/a.bin" }, true, "--1k" },
        { "ymodem", { "recv", "--dir", dir }, true, "--dir DIR" },
        { "zmodem", { "send", dir + "/a.bin" }, true, "--resume" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.command);
        const auto help = cli({ row.command, "--help" });
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_EQ(help.out.rfind("Usage: merovan-cli " + row.command, 0), 0u) << help.out;
        EXPECT_NE(help.out.find(row.ownOption), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("Example:\n  merovan-cli " + row.command), std::string::npos) << help.out;
        EXPECT_NE(help.out.find("3        the port did not open"), std::string::npos);
        EXPECT_EQ(help.out.find("Commands:"), std::string::npos) << "not the global help";

        const auto bad = cli({ row.command, "--no-such-option" });
        EXPECT_EQ(bad.exitCode, 2);
        EXPECT_NE(bad.err.find("Try 'merovan-cli " + row.command + " --help'"), std::string::npos) << bad.err;

        if (row.withPort.empty())
            continue;
        std::vector<std::string> args { row.command, "-p", kNoPort };
        args.insert(args.end(), row.withPort.begin(), row.withPort.end());
        const auto closed = cli(args);
        EXPECT_EQ(closed.exitCode, 3);
        EXPECT_EQ(closed.err, std::string("Cannot open ") + kNoPort + ": No such file or directory\n");
        args.push_back("--result-code");
        EXPECT_EQ(cli(args).exitCode, row.transfer ? 5 : 3) << "the raw result: COM port not opened";
    }
    EXPECT_EQ(cli({}).exitCode, 2);
    EXPECT_EQ(cli({ "frobnicate" }).exitCode, 2);
    const auto global = cli({ "--help" });
    EXPECT_EQ(global.exitCode, 0);
    for (const Row& row : rows)
        EXPECT_NE(global.out.find("\n  " + row.command + " "), std::string::npos) << row.command;
    EXPECT_NE(global.out.find("64 + R"), std::string::npos);
}

// A required option left out is named as required, not taken for a bad value.
TEST_F(CliExitCodes, AMissingRequiredOptionIsNamed)
{
    const struct
    {
        std::vector<std::string> args;
        std::string err;
    } rows[] = {
        { { "hex2bin", "--flash-kb", "4", "a.hex", "a.bin" },
          "merovan-cli: --start ADDR is required: the flash's first address, in hex (such as 0x1D000000)\n" },
        { { "hex2bin", "--start", "0", "a.hex", "a.bin" },
          "merovan-cli: --flash-kb KB is required: the flash size in kilobytes\n" },
        { { "boot", "-p", kNoPort, "a.bin" },
          "merovan-cli: --flash-kb KB is required: the device's flash size in kilobytes\n" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.args[0]);
        const auto r = cli(row.args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_EQ(r.err, row.err + "Try 'merovan-cli " + row.args[0] + " --help'.\n");
    }
    const auto bad = cli({ "hex2bin", "--start", "zz", "--flash-kb", "4", "a.hex", "a.bin" });
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("--start takes a hexadecimal address"), std::string::npos) << bad.err;
}

// Transfer results exit as 64 + R, apart from usage (2) and the port (3);
// --result-code gives R itself. Each message names the file and the reason.
TEST_F(CliExitCodes, TransferResultsMapAboveSixtyFourWithTheirReason)
{
    std::ofstream(dir + "/bad.hex", std::ios::binary) << ":0400000001020304F2\n:0400040005060708E3\n:00000001FF\n";
    const struct Row
    {
        const char* name;
        std::vector<std::string> device; // empty: no device
        std::vector<std::string> args;   // "{port}" is replaced
        int result;
        std::string err;
    } rows[] = {
        { "missing text file", { "--no-echo" }, { "text-file", "-p", "{port}", dir + "/none.txt" }, 1,
          "Cant open file: " + dir + "/none.txt: No such file or directory\n" },
        { "missing binary", { "--no-echo" }, { "binary", "-p", "{port}", dir + "/none.bin" }, 1,
          "Cant open file: " + dir + "/none.bin: No such file or directory\n" },
        { "no acknowledge", { "--no-echo" }, { "text-file", "-p", "{port}", "--wait", "6", dir + "/a.txt" }, 2,
          "Timeout waiting for ACK\n" },
        { "image too big", { "--boot", "--flash-kb", "4" }, { "boot", "-p", "{port}", "--flash-kb", "512", dir + "/a.bin" },
          8, "Program too big for available flash\n" },
        { "malformed HEX", {}, { "hex2bin", "--start", "0", "--flash-kb", "4", dir + "/bad.hex", dir + "/o.bin" }, 11,
          "Error trying to convert hex file: " + dir + "/bad.hex:2: checksum E3, expected DE\n" },
        { "missing HEX", {}, { "hex2bin", "--start", "0", "--flash-kb", "4", dir + "/none.hex", dir + "/o.bin" }, 11,
          "Error trying to convert hex file: " + dir + "/none.hex: No such file or directory\n" },
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::unique_ptr<Devsim> sim;
        if (!row.device.empty())
            sim = std::make_unique<Devsim>(row.device);
        std::vector<std::string> args = row.args;
        for (auto& a : args)
            if (a == "{port}")
                a = sim->port();
        const auto r = cli(args, 60000);
        EXPECT_EQ(r.exitCode, 64 + row.result);
        EXPECT_EQ(r.err, row.err);
        args.push_back("--result-code");
        EXPECT_EQ(cli(args, 60000).exitCode, row.result);
    }
}

TEST_F(CliExitCodes, SuccessSaysSoUnlessQuiet)
{
    {
        Devsim sim({ "--no-echo", "--no-greeting" });
        const auto r = cli({ "binary", "-p", sim.port(), "-b", "115200", dir + "/a.bin" });
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_TRUE(std::regex_match(r.err, std::regex("Sent 5,000 bytes in [0-9]+\\.[0-9]{2} s\n"))) << r.err;
        const auto quiet = cli({ "binary", "-p", sim.port(), "--quiet", dir + "/a.bin" });
        EXPECT_EQ(quiet.exitCode, 0);
        EXPECT_EQ(quiet.err, "");
    }
    {
        Devsim sim({ "--boot" });
        const auto r = cli({ "boot", "-p", sim.port(), "--flash-kb", "512", dir + "/a.bin" }, 60000);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "Loaded 5,000 bytes (boot loader v2)\n");
    }
    std::ofstream(dir + "/ok.hex", std::ios::binary) << ":0400000001020304F2\n:00000001FF\n";
    const auto hex = cli({ "hex2bin", "--start", "0", "--flash-kb", "4", dir + "/ok.hex", dir + "/o.bin" });
    EXPECT_EQ(hex.exitCode, 0) << hex.err;
    EXPECT_EQ(hex.err, "Wrote 5 bytes to " + dir + "/o.bin\n");
}

TEST_F(CliExitCodes, ListenOutputEndsWithANewLine)
{
    Devsim sim({ "--no-greeting" });
    const auto r = cli({ "send", "-p", sim.port(), "--listen", "300", "abc" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "abcabc\n") << "what went out, its echo, and the closing line end";
}
