// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli's boot loads against merovan-devsim on a line paced at its
// rate, and what it says about images that cannot or need not be sent whole.

#include "support/hex_builder.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using merovan::test::Devsim;
using merovan::test::makeHex;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::tempPath;
using merovan::test::waitForFileSize;

namespace {

merovan::test::RunResult cli(const std::vector<std::string>& args, int timeoutMs = 20000)
{
    return runProgram(MEROVAN_CLI_PATH, args, timeoutMs);
}

std::vector<std::uint8_t> pattern(std::size_t n)
{
    std::vector<std::uint8_t> b(n);
    std::uint32_t x = 7;
    for (auto& v : b) {
        x = x * 1664525u + 1013904223u;
        v = static_cast<std::uint8_t>(x >> 24);
    }
    return b;
}

class CliLoads : public ::testing::Test
{
protected:
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string write(const std::string& name, const std::string& content)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    std::string dir = tempPath("loads");
};

} // namespace

// A block's ACK comes only once the block has crossed the line: at 9600
// baud, 2.1 s for a version 2 block and 1.1 s for an XMODEM-1K packet.
TEST_F(CliLoads, SixtyFourKilobytesLoadAtNineThousandSixHundredBaudThroughBothVersions)
{
    const auto data = pattern(64 * 1024);
    const std::string image = write("app.bin", std::string(data.begin(), data.end()));
    for (const char* version : { "2", "1" }) {
        SCOPED_TRACE(version);
        const std::string record = dir + "/record" + version;
        Devsim sim({ "--boot", "--boot-version", version, "--rate", "9600", "--record", record });
        const auto r = cli({ "boot", "-p", sim.port(), "-b", "9600", "--flash-kb", "512", image }, 240000);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("Loaded 65,536 bytes (boot loader v" + std::string(version) + ")"), std::string::npos)
            << r.err;
        ASSERT_TRUE(waitForFileSize(record, data.size()));
        const std::string got = readFile(record);
        EXPECT_TRUE(got.compare(0, data.size(), std::string(data.begin(), data.end())) == 0);
    }
}

TEST_F(CliLoads, HexDataOutsideTheFlashIsLeftOutAndSaid)
{
    // The program at the flash start, configuration words far above it.
    const auto program = pattern(3000);
    std::string hex = makeHex(program, 0x1D000000);
    hex.erase(hex.rfind(":00000001FF"));
    hex += makeHex(std::vector<std::uint8_t>(16, 0x5A), 0x1FC02FF0);
    const std::string file = write("app.hex", hex);
    for (const bool quiet : { false, true }) {
        Devsim sim({ "--boot" });
        std::vector<std::string> args { "boot", "-p", sim.port(), "--flash-kb", "512", file };
        if (quiet)
            args.insert(args.begin() + 1, "--quiet");
        const auto r = cli(args, 60000);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "Loaded 3,001 bytes; 16 bytes at 0x1FC02FF0\xE2\x80\x93" "0x1FC02FFF lie outside the flash "
                         "window and were not sent\n");
    }
}

TEST_F(CliLoads, AnImageWithoutDataIsRefused)
{
    Devsim sim({ "--boot" });
    const std::string empty = write("empty.bin", "");
    const std::string emptyHex = write("empty.hex", "");
    const std::string noData = write("nodata.hex", ":020000041D00DD\r\n:00000001FF\r\n");
    const struct {
        std::string file;
        int code;
        std::string message;
    } rows[] = {
        { empty, 1, "Cant open file: " + empty + ": the file is empty" },
        { emptyHex, 1, "Cant open file: " + emptyHex + ": the file is empty" },
        { noData, 11, "Error trying to convert hex file: " + noData + ": no data records" },
    };
    for (const auto& row : rows) {
        const auto r = cli({ "boot", "-p", sim.port(), "--flash-kb", "512", row.file });
        EXPECT_EQ(r.exitCode, 64 + row.code) << r.err;
        EXPECT_EQ(r.err, row.message + "\n");
    }
}

TEST_F(CliLoads, AFolderIsNoFileForAnyCommand)
{
    Devsim sim({ "--no-echo" });
    const std::string folder = dir + "/folder.hex";
    std::filesystem::create_directories(folder);
    const std::string expected = "Cant open file: " + folder + ": Is a directory\n";
    const std::vector<std::vector<std::string>> commands = {
        { "boot", "-p", sim.port(), "--flash-kb", "512" },
        { "text-file", "-p", sim.port() },
        { "binary", "-p", sim.port() },
        { "picture", "-p", sim.port() },
        { "font", "-p", sim.port() },
        { "xmodem", "send", "-p", sim.port() },
        { "ymodem", "send", "-p", sim.port() },
        { "zmodem", "send", "-p", sim.port() },
    };
    for (auto args : commands) {
        SCOPED_TRACE(args.front());
        args.push_back(folder);
        const auto r = cli(args);
        EXPECT_EQ(r.exitCode, 64 + 1) << r.err;
        EXPECT_EQ(r.err, expected);
    }
}
