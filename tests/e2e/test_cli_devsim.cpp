// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli against merovan-devsim over a real pseudo-terminal.

#include "serial/serial_port.h"
#include "support/process.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
    // First what went out, then what came back: the greeting and the echo.
    EXPECT_EQ(r.out, "hello[01]\x7f[e9] world\r\ndevsim ready\r\nhello[01]\x7f[e9] world\r\n");
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
    EXPECT_EQ(r.exitCode, 4) << "the port went away";
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
        EXPECT_EQ(r.out, "via linkdevsim ready\r\n") << "no echo asked for";
        ASSERT_TRUE(waitForFileSize(record, 8));
        EXPECT_EQ(readFile(record), "via link");
        EXPECT_EQ(sim.stop(), 0);
    }
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
    std::filesystem::remove(record);
}

TEST(CliDevsim, SendExpandsEscapes)
{
    const std::string record = tempPath("record");
    Devsim sim({ "--record", record, "--no-echo" });
    const auto r = cli({ "send", "-p", sim.port(), "AT\\r\\0x1b\\w10\\65" });
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "AT\r[1b](w)A") << "the echo, in the terminal's form";
    ASSERT_TRUE(waitForFileSize(record, 5));
    EXPECT_EQ(readFile(record), "AT\r\x1b" "A");
    std::filesystem::remove(record);
}

TEST(CliDevsim, TextFileArrivesCompleteUnderLineAcknowledge)
{
    const std::string record = tempPath("record");
    const std::string file = tempPath("upload") + ".bas";
    std::string content;
    std::string expected = "go\r";
    for (int i = 1; i <= 2000; ++i) {
        const std::string line = std::to_string(i * 10) + " PRINT \"line " + std::to_string(i) + "\"";
        content += line + (i % 2 ? "\r\n" : "\n");
        expected += line + "\r";
    }
    expected += "\r"; // the closing CR the driver always sends
    std::ofstream(file, std::ios::binary) << content;
    Devsim sim({ "--record", record, "--ack", "6", "--no-greeting" });
    const auto r = cli({ "text-file", "-p", sim.port(), "-b", "115200", "--wait", "6", "--first", "go\\r", file }, 60000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
    ASSERT_TRUE(waitForFileSize(record, expected.size()));
    EXPECT_EQ(readFile(record), expected);
    std::filesystem::remove(record);
    std::filesystem::remove(file);
}

TEST(CliDevsim, TextFileFailuresExitWithTheirCodeAndMessage)
{
    const std::string file = tempPath("upload") + ".bas";
    std::ofstream(file, std::ios::binary) << "10 PRINT 1\r\n20 BAD\r\n30 END\r\n";
    {
        Devsim sim({ "--ack", "6", "--error", "5", "--error-on", "BAD", "--no-echo" });
        const auto r = cli({ "text-file", "-p", sim.port(), "--wait", "6", "--error", "5", file });
        EXPECT_EQ(r.exitCode, 64 + 3);
        EXPECT_EQ(r.err, "Transfer canceled by target error\n");
    }
    {
        Devsim silent({ "--no-echo" });
        const auto r = cli({ "text-file", "-p", silent.port(), "--wait", "6", file });
        EXPECT_EQ(r.exitCode, 64 + 2);
        EXPECT_EQ(r.err, "Timeout waiting for ACK\n");
        const auto missing = cli({ "text-file", "-p", silent.port(), "/nonexistent.bas" });
        EXPECT_EQ(missing.exitCode, 64 + 1);
        EXPECT_EQ(missing.err, "Cant open file: /nonexistent.bas: No such file or directory\n");
    }
    std::filesystem::remove(file);
}

TEST(CliDevsim, ScriptsAreKeptAndSent)
{
    const std::string dir = tempPath("scripts");
    std::filesystem::create_directories(dir);
    const auto made = cli({ "script", "new", dir + "/lab" });
    EXPECT_EQ(made.exitCode, 0) << made.err;
    EXPECT_EQ(made.out, dir + "/lab.scr\n");
    const std::string file = dir + "/lab.scr";
    EXPECT_EQ(cli({ "script", "add", file, "modem", "AT\\r\\w100\\0x1B" }).exitCode, 0);
    EXPECT_EQ(cli({ "script", "add", file, "other", "x" }).exitCode, 0);
    auto dup = cli({ "script", "add", file, "modem", "again" });
    EXPECT_EQ(dup.exitCode, 1);
    EXPECT_EQ(dup.err, "Scip name already exists, use update\n");
    EXPECT_EQ(cli({ "script", "list", file }).out, "modem\nother\n");
    EXPECT_EQ(cli({ "script", "show", file, "modem" }).out, "AT\\r\\w100\\0x1B\n");
    EXPECT_EQ(cli({ "script", "remove", file, "other" }).exitCode, 0);
    auto gone = cli({ "script", "remove", file, "other" });
    EXPECT_EQ(gone.exitCode, 1);
    EXPECT_EQ(gone.err, "Scrip not found do cant remove\n");

    const std::string record = tempPath("record");
    Devsim sim({ "--record", record, "--no-echo" });
    const auto sent = cli({ "script", "send", "-p", sim.port(), file, "modem" });
    EXPECT_EQ(sent.exitCode, 0) << sent.err;
    EXPECT_EQ(sent.out, "AT\r(w)[1b]");
    ASSERT_TRUE(waitForFileSize(record, 4));
    EXPECT_EQ(readFile(record), "AT\r\x1b");
    std::filesystem::remove(record);
    std::filesystem::remove_all(dir);
}

TEST(CliDevsim, BootLoadsTheImageHex2binMakes)
{
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
    const std::string dir = tempPath("boot");
    std::filesystem::create_directories(dir);
    {
        std::ofstream bin(dir + "/app.bin", std::ios::binary);
        std::uint32_t x = 99;
        for (int i = 0; i < 300 * 1024; ++i) {
            x = x * 1664525u + 1013904223u;
            bin.put(static_cast<char>(x >> 24));
        }
    }
    for (const auto& [version, start] : { std::pair { "1", "0x1D008000" }, std::pair { "2", "0x1D000000" } }) {
        const std::string hex = dir + "/app" + version + ".hex";
        const std::string cmd = "srec_cat " + dir + "/app.bin -binary -offset " + start + " -o " + hex
            + " -intel -address-length=4 -output_block_size=32";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
        const std::string expected = dir + "/expected" + version + ".bin";
        const auto converted = cli({ "hex2bin", "--start", start, "--flash-kb", "512", hex, expected });
        ASSERT_EQ(converted.exitCode, 0) << converted.err;

        const std::string record = dir + "/record" + version + ".bin";
        Devsim sim({ "--boot", "--boot-version", version, "--record", record });
        const auto r = cli({ "boot", "-p", sim.port(), "--flash-kb", "512", hex }, 60000);
        EXPECT_EQ(r.exitCode, 0) << version << ": " << r.err;
        std::string image = readFile(expected);
        EXPECT_EQ(image.size(), 300u * 1024 + 1) << "one more than the bytes spanned";
        // The device takes whole blocks; past the image they carry erased flash.
        const std::size_t block = std::string(version) == "1" ? 1024 : 2000;
        const std::size_t whole = std::string(version) == "1" ? (image.size() + block - 1) / block * block
                                                              : (image.size() / block + 1) * block;
        image.resize(whole, '\xff');
        ASSERT_TRUE(waitForFileSize(record, whole));
        EXPECT_TRUE(readFile(record) == image) << "version " << version;
    }
    std::filesystem::remove_all(dir);
}

TEST(CliDevsim, BootFailuresExitWithTheirCodeAndMessage)
{
    const std::string file = tempPath("app") + ".bin";
    std::ofstream(file, std::ios::binary) << std::string(5000, 'x');
    const struct {
        std::vector<std::string> device;
        std::vector<std::string> extra;
        int code;
        const char* message;
    } cases[] = {
        { { "--boot", "--flash-kb", "4" }, {}, 8, "Program too big for available flash" },
        { { "--boot", "--no-subversion" }, {}, 7, "Incorrect boot loader version" },
        { { "--boot", "--silent-after-blocks", "1" }, {}, 9, "No ACK from target" },
        { { "--boot", "--boot-version", "1", "--cancel-at-start" }, {}, 26, "Xmodem cancelled by target" },
        { { "--boot", "--boot-version", "1", "--nak-block", "2:20" }, {}, 22, "Xmodem no ACK recieved from target" },
        { { "--boot" }, { "--flash-kb", "2" }, 8, "Program too big for available flash" },
    };
    for (const auto& c : cases) {
        Devsim sim(c.device);
        std::vector<std::string> args { "boot", "-p", sim.port() };
        if (c.extra.empty())
            args.insert(args.end(), { "--flash-kb", "512" });
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        args.push_back(file);
        const auto r = cli(args, 60000);
        EXPECT_EQ(r.exitCode, 64 + c.code) << c.message;
        EXPECT_EQ(r.err, std::string(c.message) + "\n");
    }
    const auto noSize = cli({ "boot", "-p", "/dev/null", "--flash-kb", "many", file });
    EXPECT_EQ(noSize.err, "Flash size must be a number of kilobytes\n");
    std::filesystem::remove(file);
}

TEST(CliDevsim, BinaryPictureAndFontStreams)
{
    const std::string dir = tempPath("streams");
    std::filesystem::create_directories(dir);
    std::string data;
    for (int i = 0; i < 100000; ++i)
        data.push_back(static_cast<char>(i * 7 + i / 251));
    std::ofstream(dir + "/data.bin", std::ios::binary) << data;
    {
        // The device holds the host back now and then; nothing is lost.
        const std::string record = dir + "/binary.rec";
        Devsim sim({ "--record", record, "--no-echo", "--no-greeting", "--cts-hold", "30", "--cts-hold-after", "20000" });
        const auto r = cli({ "binary", "-p", sim.port(), "--first", "\\0x02", dir + "/data.bin" });
        EXPECT_EQ(r.exitCode, 0) << r.err;
        const std::string expected = "\x02" + data + "\r";
        ASSERT_TRUE(waitForFileSize(record, expected.size()));
        EXPECT_TRUE(readFile(record) == expected);
    }
    {
        const std::string font = std::string(MEROVAN_TEST_DATA) + "/fonts/CBFG_TestFont.bff";
        const std::string record = dir + "/font.rec";
        Devsim sim({ "--record", record, "--no-echo", "--no-greeting" });
        const auto sent = cli({ "font", "-p", sim.port(), font });
        EXPECT_EQ(sent.exitCode, 0) << sent.err;
        std::filesystem::copy_file(font, dir + "/copy.bff");
        const auto made = cli({ "font", "--create", dir + "/copy.bff" });
        EXPECT_EQ(made.exitCode, 0) << made.err;
        EXPECT_EQ(made.out, dir + "/copy.bf\n");
        // T = 6935 + 144 = 7079: the file holds 11 + T bytes, the device whole
        // 200-byte blocks, then the closing CR.
        const std::string bf = readFile(dir + "/copy.bf");
        ASSERT_EQ(bf.size(), 11u + 7079u);
        ASSERT_TRUE(waitForFileSize(record, 11 + 7200 + 1));
        const std::string got = readFile(record);
        EXPECT_EQ(got.size(), 11u + 7200u + 1u);
        EXPECT_TRUE(got.substr(0, bf.size()) == bf);
        EXPECT_EQ(got.substr(bf.size()), std::string(7200 - 7079, '\0') + "\r");
    }
    {
        const std::string bmp = dir + "/pic.bmp";
        const std::string make = "convert -size 4x2 xc:'rgb(255,128,4)' BMP3:" + bmp;
        if (std::system("command -v convert >/dev/null 2>&1") == 0 && std::system(make.c_str()) == 0) {
            const std::string record = dir + "/pic.rec";
            Devsim sim({ "--record", record, "--no-echo", "--no-greeting" });
            const auto r = cli({ "picture", "-p", sim.port(), bmp });
            EXPECT_EQ(r.exitCode, 0) << r.err;
            std::string expected("\x00\x02\x00\x04", 4);
            for (int i = 0; i < 8; ++i)
                expected += std::string("\x3f\x20\x01", 3);
            ASSERT_TRUE(waitForFileSize(record, expected.size() + 1));
            EXPECT_TRUE(readFile(record) == expected + "\r");

            const auto header = runProgram("/bin/sh", { "-c", "cd " + dir + " && " + MEROVAN_CLI_PATH
                                                                 + " picture --header-only pic.bmp" });
            EXPECT_EQ(header.exitCode, 0) << header.err;
            EXPECT_EQ(readFile(dir + "/bmpHead.h"), "\nconst unsigned char pic[]={ 0,2,0,4,"
                                                    "63,32,1,63,32,1,63,32,1,63,32,1,63,32,1,63,32,1\n"
                                                    ",63,32,1,63,32,1 };\n");
        }
    }
    const auto eight = cli({ "picture", "--header-only", std::string(MEROVAN_TEST_DATA) + "/fonts/CBFG_TestFont.bff" });
    EXPECT_EQ(eight.exitCode, 64 + 1);
    EXPECT_EQ(eight.err, "Cant open file: " + std::string(MEROVAN_TEST_DATA) + "/fonts/CBFG_TestFont.bff: not a BMP picture\n");
    std::filesystem::remove_all(dir);
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
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "Cannot open /dev/merovan-no-such-port: No such file or directory\n");

    Devsim sim({});
    merovan::SteadyClock clock;
    merovan::SerialPort holder(clock);
    ASSERT_EQ(holder.openPort(sim.port(), "9600,8,N,1"), 0);
    r = cli({ "send", "-p", sim.port(), "x" });
    EXPECT_EQ(r.exitCode, 3);
    EXPECT_EQ(r.err, "Cannot open " + sim.port() + ": the port is in use by another program\n");
    holder.closePort();

    r = cli({ "monitor", "-p", sim.port(), "-d", "4", "--seconds", "0" });
    EXPECT_EQ(r.exitCode, 3);
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
