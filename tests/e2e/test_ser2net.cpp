// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli through the real ser2net (Debian's package) on loopback: a
// raw TCP and an RFC 2217 accepter in front of merovan-devsim, lrzsz and a
// pseudo-terminal the test drives; each test writes its own YAML file and
// runs ser2net in the foreground.
#include "support/process.h"
#include "support/pty_pair.h"
#include "support/ser2net.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <regex>
#include <thread>

using merovan::test::Devsim;
using merovan::test::PtyBridge;
using merovan::test::PtyPair;
using merovan::test::readFile;
using merovan::test::runProgram;
using merovan::test::runShell;
using merovan::test::Ser2net;
using merovan::test::freePort;
using merovan::test::tempPath;
using merovan::test::waitForFileSize;
namespace fs = std::filesystem;

namespace {

merovan::test::RunResult cli(const std::vector<std::string>& args, int timeoutMs = 30000)
{
    return runProgram(MEROVAN_CLI_PATH, args, timeoutMs);
}

std::string randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s)
        c = static_cast<char>(rng() & 0xFF);
    return s;
}

class Ser2netTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (!Ser2net::installed()) {
            if (Ser2net::required())
                FAIL() << "ser2net is missing under CI: tools/install-deps.sh installs it";
            GTEST_SKIP() << "ser2net is not installed (Debian package ser2net; tools/install-deps.sh)";
        }
        dir = tempPath("ser2net-e2e");
        fs::create_directories(dir);
    }
    void TearDown() override
    {
        if (!HasFailure())
            fs::remove_all(dir);
    }
    std::string dir;
};

const bool kKinds[] = { false, true }; // raw TCP, RFC 2217

const char* kindName(bool rfc2217)
{
    return rfc2217 ? "rfc2217" : "raw";
}

} // namespace

TEST_F(Ser2netTest, SendAndEveryByteValueReachTheDeviceThroughEachKind)
{
    std::string every;
    for (int round = 0; round < 4; ++round)
        for (int i = 0; i < 256; ++i)
            every.push_back(static_cast<char>(i));
    std::ofstream(dir + "/every.bin", std::ios::binary) << every;
    for (const bool rfc2217 : kKinds) {
        const std::string record = dir + "/record-" + kindName(rfc2217);
        // No greeting: it comes as ser2net opens the device, while the
        // connection is set up, and --listen's flush on open may take it.
        Devsim sim({ "--record", record, "--no-greeting" });
        Ser2net server({ { rfc2217, sim.port() } });
        const std::string text = "hello\\0xff\\0x00\\r\\n";
        const auto r = cli({ "send", "-p", server.url(0), "-b", "115200", "--listen", "600", text });
        EXPECT_EQ(r.exitCode, 0) << kindName(rfc2217) << ": " << r.err;
        EXPECT_EQ(r.out, "hello[ff][00]\r\nhello[ff][00]\r\n") << kindName(rfc2217) << ": what went out, then the echo";
        const bool notedRaw = r.err.find("raw TCP carries bytes only; line settings and DTR/RTS are not applied")
            != std::string::npos;
        EXPECT_EQ(notedRaw, !rfc2217) << r.err;

        const auto b = cli({ "binary", "-p", server.url(0), "-b", "115200", dir + "/every.bin" });
        EXPECT_EQ(b.exitCode, 0) << kindName(rfc2217) << ": " << b.err;
        // The driver's closing carriage return follows the file.
        const std::string expected = std::string("hello\xff\0\r\n", 9) + every + "\r";
        ASSERT_TRUE(waitForFileSize(record, expected.size())) << kindName(rfc2217);
        EXPECT_TRUE(readFile(record) == expected) << kindName(rfc2217) << ": every byte value, IAC (ff) included";
    }
}

// ser2net throws away what it has not yet passed to its device when the
// connection ends, so the upload must hold the connection until the line,
// paced here as a real one is, has carried the whole file.
TEST_F(Ser2netTest, ABinaryUploadToAPacedLineArrivesWholeThroughEachKind)
{
    const std::string data = randomBytes(80 * 1024, 33);
    const std::string file = dir + "/upload.bin";
    std::ofstream(file, std::ios::binary) << data;
    for (const bool rfc2217 : kKinds) {
        const std::string k = kindName(rfc2217);
        const std::string got = dir + "/got-" + k;
        // The file, then the driver's closing carriage return.
        PtyBridge bridge({ "--rate", "115200", "--peer-log", dir + "/head-" + k + ".log", "--", "/bin/sh", "-c",
                           "exec head -c " + std::to_string(data.size() + 1) + " > " + got });
        Ser2net server({ { rfc2217, bridge.a() } });
        const auto r = cli({ "binary", "-p", server.url(0), "-b", "115200", file }, 60000);
        EXPECT_EQ(r.exitCode, 0) << k << ": " << r.err;
        EXPECT_EQ(bridge.wait(10000), 0) << k << ": the device side got " << readFile(got).size() << " of "
                                         << data.size() + 1 << " bytes";
        EXPECT_TRUE(readFile(got) == data + "\r") << k << ": the whole file, byte for byte";
    }
}

TEST_F(Ser2netTest, TextFileArrivesCompleteThroughEachKind)
{
    std::string content;
    std::string expected = "go\r";
    for (int i = 1; i <= 300; ++i) {
        const std::string line = std::to_string(i * 10) + " PRINT \"line " + std::to_string(i) + "\"";
        content += line + "\r\n";
        expected += line + "\r";
    }
    expected += "\r";
    const std::string file = dir + "/upload.bas";
    std::ofstream(file, std::ios::binary) << content;
    for (const bool rfc2217 : kKinds) {
        const std::string record = dir + "/record-" + kindName(rfc2217);
        Devsim sim({ "--record", record, "--ack", "6", "--no-greeting" });
        Ser2net server({ { rfc2217, sim.port() } });
        const auto r = cli({ "text-file", "-p", server.url(0), "-b", "115200", "--wait", "6", "--first", "go\\r", file },
                           60000);
        EXPECT_EQ(r.exitCode, 0) << kindName(rfc2217) << ": " << r.err;
        ASSERT_TRUE(waitForFileSize(record, expected.size())) << kindName(rfc2217);
        EXPECT_EQ(readFile(record), expected) << kindName(rfc2217);
    }
}

TEST_F(Ser2netTest, BootVersion2LoadsTheImageThroughEachKind)
{
    if (std::system("command -v srec_cat >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "srec_cat (Debian package srecord) is not installed";
    std::ofstream(dir + "/app.bin", std::ios::binary) << randomBytes(40 * 1024, 7);
    const std::string hex = dir + "/app.hex";
    ASSERT_EQ(std::system(("srec_cat " + dir + "/app.bin -binary -offset 0x1D000000 -o " + hex
                           + " -intel -address-length=4 -output_block_size=32")
                              .c_str()),
              0);
    const std::string expectedFile = dir + "/expected.bin";
    ASSERT_EQ(cli({ "hex2bin", "--start", "0x1D000000", "--flash-kb", "512", hex, expectedFile }).exitCode, 0);
    std::string image = readFile(expectedFile);
    image.resize((image.size() / 2000 + 1) * 2000, '\xff');
    for (const bool rfc2217 : kKinds) {
        const std::string record = dir + "/record-" + kindName(rfc2217);
        Devsim sim({ "--boot", "--boot-version", "2", "--record", record });
        Ser2net server({ { rfc2217, sim.port() } });
        const auto r = cli({ "boot", "-p", server.url(0), "-b", "115200", "--flash-kb", "512", hex }, 60000);
        EXPECT_EQ(r.exitCode, 0) << kindName(rfc2217) << ": " << r.err;
        ASSERT_TRUE(waitForFileSize(record, image.size())) << kindName(rfc2217);
        EXPECT_TRUE(readFile(record) == image) << kindName(rfc2217);
    }
}

TEST_F(Ser2netTest, TheBaudRateIsAppliedOnTheDeviceSideOnlyThroughRfc2217)
{
    for (const bool rfc2217 : kKinds) {
        for (const char* baud : { "57600", "19200" }) {
            PtyPair device;
            Ser2net server({ { rfc2217, device.slavePath() } });
            merovan::test::RunResult r;
            std::thread monitor([&] { r = cli({ "monitor", "-p", server.url(0), "-b", baud, "--seconds", "5" }); });
            // While connected, ser2net holds the terminal at the rate it was
            // told, or at its own 9600 for raw TCP. Before it opens the
            // terminal, the rate is the system's default.
            const std::string wanted = std::string(rfc2217 ? baud : "9600") + "\n";
            auto speed = [&] { return runShell("stty -F " + device.slavePath() + " speed").out; };
            std::string seen = speed();
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(4);
            while (seen != wanted && std::chrono::steady_clock::now() < deadline) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                seen = speed();
            }
            // Raw TCP: still the same once the line settings would have gone.
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            if (seen == wanted)
                seen = speed();
            monitor.join();
            EXPECT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(seen, std::string(rfc2217 ? baud : "9600") + "\n") << kindName(rfc2217) << " at " << baud;
        }
    }
}

TEST_F(Ser2netTest, ZmodemBothWaysWithLrzszBehindEachKind)
{
    if (::access("/usr/bin/sz", X_OK) != 0 || ::access("/usr/bin/rz", X_OK) != 0)
        GTEST_SKIP() << "lrzsz is not installed (tools/install-deps.sh)";
    const std::string data = randomBytes(200 * 1024, 21);
    for (const bool rfc2217 : kKinds) {
        const std::string k = kindName(rfc2217);
        fs::create_directories(dir + "/" + k + "/near");
        fs::create_directories(dir + "/" + k + "/far");
        const std::string sent = dir + "/" + k + "/near/up.bin";
        const std::string offered = dir + "/" + k + "/far/down.bin";
        std::ofstream(sent, std::ios::binary) << data;
        std::ofstream(offered, std::ios::binary) << data;
        {
            PtyBridge bridge({ "--peer-log", dir + "/" + k + "/rz.log", "--", "/bin/sh", "-c",
                               "cd " + dir + "/" + k + "/far && exec rz -q" });
            Ser2net server({ { rfc2217, bridge.a() } });
            // The port hands bytes on at the line's rate: a fast one keeps
            // the test short.
            const auto r = cli({ "zmodem", "send", "-p", server.url(0), "-b", "921600", sent }, 120000);
            EXPECT_EQ(r.exitCode, 0) << k << ": " << r.err << readFile(dir + "/" + k + "/rz.log");
            EXPECT_EQ(bridge.wait(20000), 0) << k;
            EXPECT_TRUE(readFile(dir + "/" + k + "/far/up.bin") == data) << k << ": sent to rz";
        }
        {
            PtyBridge bridge({ "--peer-log", dir + "/" + k + "/sz.log", "--", "/bin/sh", "-c",
                               "cd " + dir + "/" + k + "/far && exec sz -q down.bin" });
            Ser2net server({ { rfc2217, bridge.a() } });
            const auto r = cli({ "zmodem", "recv", "-p", server.url(0), "-b", "921600", "--dir", dir + "/" + k + "/near" },
                               120000);
            EXPECT_EQ(r.exitCode, 0) << k << ": " << r.err << readFile(dir + "/" + k + "/sz.log");
            EXPECT_EQ(bridge.wait(20000), 0) << k;
            EXPECT_TRUE(readFile(dir + "/" + k + "/near/down.bin") == data) << k << ": received from sz";
        }
    }
}

TEST_F(Ser2netTest, MonitorReconnectsWhenSer2netReturnsAndLosesNothingAfter)
{
    for (const bool rfc2217 : kKinds) {
        const std::string k = kindName(rfc2217);
        PtyPair device;
        Ser2net server({ { rfc2217, device.slavePath() } });
        const std::string log = dir + "/monitor-" + k + ".log";
        merovan::test::RunResult r;
        std::thread monitor([&] {
            r = cli({ "monitor", "-p", server.url(0), "--reconnect", "--seconds", "9", "--log", log }, 30000);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        device.send({ 'b', 'e', 'f', 'o', 'r', 'e', '\n' });
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        server.stop();
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        server.start();
        bool back = false;
        for (int i = 0; i < 250 && !back; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            back = readFile(log).find("Reconnected") != std::string::npos;
        }
        EXPECT_TRUE(back) << k << ": " << readFile(log);
        // The returned connection sets the line up first; what the device
        // sends from then on must all arrive.
        std::this_thread::sleep_for(std::chrono::milliseconds(800));
        std::string after;
        for (int i = 0; i < 20; ++i) {
            const std::string line = "after " + std::to_string(i) + "\n";
            device.send(std::vector<unsigned char>(line.begin(), line.end()));
            after += line;
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        monitor.join();
        EXPECT_EQ(r.exitCode, 0) << k << ": " << r.err;
        EXPECT_NE(r.out.find("before\n"), std::string::npos) << k << ": " << r.out;
        EXPECT_NE(r.out.find(after), std::string::npos) << k << ": " << r.out;
        EXPECT_NE(r.err.find("Disconnected: " + server.url(0) + ", waiting for it to return"), std::string::npos)
            << r.err;
    }
}

TEST(NetworkPortCli, ARefusedConnectionOrABadNameFailsTheOpenWithTheReason)
{
    const std::string url = "rfc2217://127.0.0.1:" + std::to_string(freePort());
    const auto r = cli({ "send", "-p", url, "x" });
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(r.err, "Cannot open " + url + ": Connection refused\n");
    const auto bad = cli({ "send", "-p", "tcp://127.0.0.1", "x" });
    EXPECT_EQ(bad.err, "Cannot open tcp://127.0.0.1: the address needs a port number (HOST:PORT)\n");
}

// docs/remote-ports.md's YAML, with simulated boards for the by-id links and
// free loopback ports for the port numbers: every accepter answers.
TEST_F(Ser2netTest, TheGuidesYamlWorks)
{
    const std::string guide = readFile(MEROVAN_DOCS_DIR "/remote-ports.md");
    const auto lab = guide.find("## A lab machine");
    ASSERT_NE(lab, std::string::npos);
    const auto begin = guide.find("```yaml\n", lab);
    const auto end = guide.find("```", begin + 8);
    ASSERT_NE(begin, std::string::npos);
    ASSERT_NE(end, std::string::npos);
    std::string yaml = guide.substr(begin + 8, end - begin - 8);

    std::map<std::string, std::unique_ptr<Devsim>> boards;
    std::map<std::string, std::string> records;
    const std::regex byId("/dev/serial/by-id/[^,]+");
    for (std::sregex_iterator it(yaml.begin(), yaml.end(), byId), last; it != last; ++it) {
        const std::string link = it->str();
        if (boards.count(link))
            continue;
        records[link] = dir + "/board" + std::to_string(boards.size() + 1);
        boards[link] = std::make_unique<Devsim>(std::vector<std::string> { "--record", records[link], "--no-greeting" });
    }
    ASSERT_EQ(boards.size(), 2u) << "two boards";
    for (const auto& [link, sim] : boards) {
        for (std::size_t at; (at = yaml.find(link)) != std::string::npos;)
            yaml.replace(at, link.size(), sim->port());
    }
    // "tcp,7001" becomes "tcp,127.0.0.1,FREE"; which board each port serves
    // and whether it is RFC 2217 comes from its accepter line.
    struct Door
    {
        bool rfc2217;
        int port;
        std::string device;
    };
    std::vector<Door> doors;
    std::string out;
    std::istringstream lines(yaml);
    const std::regex accepter("^(\\s*accepter: )(telnet\\(rfc2217\\),)?tcp,(\\d+)\\s*$");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, accepter)) {
            doors.push_back({ m[2].matched, freePort(), {} });
            line = m[1].str() + m[2].str() + "tcp,127.0.0.1," + std::to_string(doors.back().port);
        } else if (line.find("connector: serialdev,") != std::string::npos && !doors.empty()) {
            const auto from = line.find("serialdev,") + 10;
            doors.back().device = line.substr(from, line.find(',', from) - from);
        }
        out += line + "\n";
    }
    ASSERT_EQ(doors.size(), 4u) << out;
    std::vector<int> ports;
    for (const Door& d : doors)
        ports.push_back(d.port);
    Ser2net server(out, ports);

    std::map<std::string, std::string> expected;
    for (std::size_t i = 0; i < doors.size(); ++i) {
        const Door& d = doors[i];
        const std::string url = std::string(d.rfc2217 ? "rfc2217://" : "tcp://") + "127.0.0.1:" + std::to_string(d.port);
        const std::string text = "door" + std::to_string(i) + "\r";
        const auto r = cli({ "send", "-p", url, "-b", "115200", text });
        EXPECT_EQ(r.exitCode, 0) << url << ": " << r.err << "\n" << out;
        for (const auto& [link, sim] : boards) {
            if (sim->port() == d.device)
                expected[link] += text;
        }
        // ser2net lets the device go a moment after the connection ends;
        // the next accepter of the same board waits for that.
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    for (const auto& [link, record] : records) {
        ASSERT_TRUE(waitForFileSize(record, expected[link].size())) << link;
        EXPECT_EQ(readFile(record), expected[link]) << link;
    }
}
