// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "support/scripted_device.h"
#include "transfer/text_transfer.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

using merovan::SerialPort;
using merovan::TransferRequest;
using merovan::TransferResult;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;
using merovan::test::ScriptedDevice;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s)
{
    return { s.begin(), s.end() };
}

class TextTransfer : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(port->openPort("/dev/fake", "9600,8,N,1"), 0); }
    void TearDown() override { fs::remove(m_file); }

    // A port whose device is the given model.
    void useDevice(std::unique_ptr<devsim::DeviceModel> model)
    {
        port.reset(); // it refers to the old device until it closes
        device = std::move(model);
        port = std::make_unique<SerialPort>(clock, std::make_unique<FakeBackend>(clock, log, device.get()));
        ASSERT_EQ(port->openPort("/dev/fake", "9600,8,N,1"), 0);
        log.writes.clear();
    }

    const std::string& file(std::string_view content)
    {
        std::ofstream(m_file, std::ios::binary) << content;
        return m_file;
    }

    TransferResult run(const std::string& path, std::uint8_t wait = 0, std::uint8_t error = 0, std::uint8_t delay = 0,
                       std::string first = {})
    {
        calls.clear();
        TransferRequest request(*port);
        request.fileName = path;
        request.eolWaitChar = wait;
        request.errorChar = error;
        request.eolDelay = delay;
        request.sendFirst = std::move(first);
        return merovan::sendTextFile(request, [this](std::int32_t max, std::int32_t pos) {
            calls.emplace_back(max, pos);
            return cancelAt >= 0 && static_cast<int>(calls.size()) > cancelAt ? 1 : 0;
        });
    }

    std::unique_ptr<devsim::DeviceModel> device;
    FakeClock clock;
    FakeLineLog log;
    std::unique_ptr<SerialPort> port = std::make_unique<SerialPort>(clock, std::make_unique<FakeBackend>(clock, log));
    std::vector<std::pair<std::int32_t, std::int32_t>> calls;
    int cancelAt = -1;
    std::string m_file = (fs::temp_directory_path() / ("merovan-text-" + std::to_string(::getpid()))).string();
};

devsim::DeviceOptions acking(bool echo = true)
{
    devsim::DeviceOptions o;
    o.greeting = false;
    o.echo = echo;
    o.ack = 6;
    return o;
}

} // namespace

TEST_F(TextTransfer, EachLineGoesOutInOneWriteEndingInOneCr)
{
    const struct {
        const char* name;
        std::string content;
        std::vector<Bytes> writes;
    } cases[] = {
        { "CR LF", "AB\r\nCD\r\n", { bytes("AB\r"), bytes("CD\r") } },
        { "LF only", "AB\nCD\n", { bytes("AB\r"), bytes("CD\r") } },
        { "last line without an end", "AB\r\nCD", { bytes("AB\r"), bytes("CD\r") } },
        { "last line ending in CR", "AB\r\nCD\r", { bytes("AB\r"), bytes("CD\r") } },
        { "empty lines", "\n\r\n", { bytes("\r"), bytes("\r") } },
        { "empty file", "", {} },
        { "a long line", std::string(300, 'x') + "\nX\n", { bytes(std::string(300, 'x') + "\r"), bytes("X\r") } },
    };
    for (const auto& c : cases) {
        log.writes.clear();
        calls.clear();
        EXPECT_EQ(run(file(c.content)), TransferResult::Success) << c.name;
        EXPECT_EQ(log.writes, c.writes) << c.name;
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), std::make_pair(static_cast<std::int32_t>(c.content.size()), 0)) << c.name;
        EXPECT_EQ(calls.back().second, static_cast<std::int32_t>(c.content.size())) << c.name;
    }
}

TEST_F(TextTransfer, SendFirstTextGoesOutBeforeTheFile)
{
    EXPECT_EQ(run(file(""), 0, 0, 0, "go\\r"), TransferResult::Success);
    EXPECT_EQ(log.written, bytes("go\r"));
}

TEST_F(TextTransfer, TheWaitCharacterPacesEveryLine)
{
    useDevice(std::make_unique<devsim::EchoDevice>(acking()));
    EXPECT_EQ(run(file("one\r\ntwo\nthree"), 6), TransferResult::Success);
    EXPECT_EQ(log.writes, (std::vector<Bytes> { bytes("one\r"), bytes("two\r"), bytes("three\r") }));

    // Without a wait, lines follow each other with no time passing.
    const auto before = clock.nowMs();
    EXPECT_EQ(run(file("a\nb\nc\n")), TransferResult::Success);
    EXPECT_EQ(clock.nowMs(), before);
}

TEST_F(TextTransfer, TheDevicesOwnBytesAreKeptAndItsAcknowledgesAreNot)
{
    useDevice(std::make_unique<devsim::EchoDevice>(acking()));
    TransferRequest request(*port);
    request.fileName = file("one\r\ntwo\n");
    request.eolWaitChar = 6;
    const auto before = clock.nowMs();
    EXPECT_EQ(merovan::sendTextFile(request, [](std::int32_t, std::int32_t) { return 0; }), TransferResult::Success);
    EXPECT_EQ(request.deviceOutput, bytes("one\rtwo\r")) << "each line's echo, without the 06 after it";
    const auto withEcho = clock.nowMs() - before;

    // Keeping them costs no time: a device that acknowledges without an
    // echo paces the same file in the same virtual time, less the reads
    // the echo itself took.
    useDevice(std::make_unique<devsim::EchoDevice>(acking(false)));
    TransferRequest quiet(*port);
    quiet.fileName = request.fileName;
    quiet.eolWaitChar = 6;
    const auto start = clock.nowMs();
    EXPECT_EQ(merovan::sendTextFile(quiet, [](std::int32_t, std::int32_t) { return 0; }), TransferResult::Success);
    EXPECT_TRUE(quiet.deviceOutput.empty());
    EXPECT_LE(clock.nowMs() - start, withEcho);

    // Without a wait character the error check reads what came; the rest is
    // the device's, the error byte is not.
    auto noWait = std::make_unique<ScriptedDevice>();
    noWait->replies = { { 'o', 'k' }, { 'x', 5 } };
    useDevice(std::move(noWait));
    TransferRequest checked(*port);
    checked.fileName = file("1\n2\n3\n");
    checked.errorChar = 5;
    EXPECT_EQ(merovan::sendTextFile(checked, [](std::int32_t, std::int32_t) { return 0; }), TransferResult::TargetError);
    EXPECT_EQ(checked.deviceOutput, bytes("okx"));
}

TEST_F(TextTransfer, AFileThatDoesNotOpenSaysWhy)
{
    TransferRequest request(*port);
    request.fileName = "/nonexistent/file.bas";
    EXPECT_EQ(merovan::sendTextFile(request, [](std::int32_t, std::int32_t) { return 0; }), TransferResult::CantOpenFile);
    EXPECT_EQ(request.detail, "/nonexistent/file.bas: No such file or directory");
}

TEST_F(TextTransfer, SilenceTimesOutAfter200Attempts)
{
    const auto before = clock.nowMs();
    EXPECT_EQ(run(file("AB\r\nCD\r\n"), 6), TransferResult::Timeout);
    EXPECT_EQ(log.writes.size(), 1u) << "no second line";
    // The count starts once "AB\r" has had its time on the line.
    EXPECT_EQ(clock.nowMs() - before, 600u + 3) << "200 reads of 2 ms and pauses of 1 ms";
}

TEST_F(TextTransfer, TheErrorCharacterEndsTheTransfer)
{
    auto scripted = std::make_unique<ScriptedDevice>();
    scripted->replies = { { 'e', 6 }, { 5, 6 } }; // the error comes before the acknowledge
    useDevice(std::move(scripted));
    EXPECT_EQ(run(file("1\n2\n3\n"), 6, 5), TransferResult::TargetError);
    EXPECT_EQ(log.writes.size(), 2u);

    // With no wait character, what already arrived is looked at after each line.
    auto noWait = std::make_unique<ScriptedDevice>();
    noWait->replies = { {}, { 'x', 5 } };
    useDevice(std::move(noWait));
    EXPECT_EQ(run(file("1\n2\n3\n"), 0, 5), TransferResult::TargetError);
    EXPECT_EQ(log.writes.size(), 2u);

    auto quiet = std::make_unique<ScriptedDevice>();
    useDevice(std::move(quiet));
    EXPECT_EQ(run(file("1\n2\n3\n"), 0, 5), TransferResult::Success) << "silence is not an error";
}

TEST_F(TextTransfer, TheDelayPausesAfterEachLine)
{
    useDevice(std::make_unique<devsim::EchoDevice>(acking(false)));
    const auto before = clock.nowMs();
    EXPECT_EQ(run(file("a\nb\nc\n"), 6, 0, 100), TransferResult::Success);
    EXPECT_GE(clock.nowMs() - before, 300u);
    EXPECT_LT(clock.nowMs() - before, 320u);
}

TEST_F(TextTransfer, ProgressIsScaledForLargeFiles)
{
    std::string content;
    while (content.size() < 200000)
        content += "0123456789012345678901234567890123456789\n";
    EXPECT_EQ(run(file(content)), TransferResult::Success);
    const std::int32_t divisor = merovan::progressDivisor(static_cast<std::int64_t>(content.size()));
    EXPECT_EQ(divisor, 4);
    for (const auto& [max, pos] : calls) {
        EXPECT_EQ(max, static_cast<std::int32_t>(content.size()) / divisor);
        EXPECT_LE(pos, max);
    }
    EXPECT_EQ(calls.back().second, calls.back().first);
}

TEST_F(TextTransfer, FailuresReportTheirCodes)
{
    cancelAt = 0;
    EXPECT_EQ(run(file("AB\r\n"), 0, 0, 0, "first"), TransferResult::Canceled);
    EXPECT_TRUE(log.writes.empty()) << "nothing is sent";
    cancelAt = 1;
    EXPECT_EQ(run(file("AB\r\nCD\r\n")), TransferResult::Canceled);
    EXPECT_EQ(log.writes.size(), 1u);
    cancelAt = -1;

    EXPECT_EQ(run("/nonexistent/file.bas"), TransferResult::CantOpenFile);
    // A folder is no file to send, on every system.
    const std::string folder = fs::temp_directory_path().string();
    EXPECT_EQ(run(folder), TransferResult::CantOpenFile);
    port->closePort();
    EXPECT_EQ(run(file("AB\r\n")), TransferResult::PortNotOpen);
}

TEST_F(TextTransfer, ADeviceThatVanishesEndsWithPortNotOpen)
{
    auto scripted = std::make_unique<ScriptedDevice>();
    scripted->vanishAfterLines = 2;
    useDevice(std::move(scripted));
    EXPECT_EQ(run(file("1\n2\n3\n4\n")), TransferResult::PortNotOpen);
    EXPECT_LE(log.writes.size(), 3u);
}

TEST(TransferMessages, TextAndBinaryDriversSayTheirTexts)
{
    EXPECT_EQ(merovan::transfer1Message(0), "");
    EXPECT_EQ(merovan::transfer1Message(1), "Cant open file");
    EXPECT_EQ(merovan::transfer1Message(2), "Timeout waiting for ACK");
    EXPECT_EQ(merovan::transfer1Message(3), "Transfer canceled by target error");
    EXPECT_EQ(merovan::transfer1Message(4), "Transfer canceled");
    EXPECT_EQ(merovan::transfer1Message(5), "COM port not opened");
    for (int other : { 6, 16, 17, -1, 99 })
        EXPECT_EQ(merovan::transfer1Message(other), "File transfer canceled - unknown reason") << other;
    EXPECT_EQ(merovan::transferBinMessage(16), "Colour depth wrong - must be 24");
    EXPECT_EQ(merovan::transferBinMessage(17), "Head file requested and can't create one");
    EXPECT_EQ(merovan::transferBinMessage(4), "Transfer canceled");
    EXPECT_EQ(merovan::transferBinMessage(-3), "File transfer canceled - unknown reason");
}

TEST(ProgressDivisor, BringsSizesUnder65000)
{
    EXPECT_EQ(merovan::progressDivisor(0), 1);
    EXPECT_EQ(merovan::progressDivisor(65000), 1);
    EXPECT_EQ(merovan::progressDivisor(65001), 2);
    EXPECT_EQ(merovan::progressDivisor(130000), 2);
    EXPECT_EQ(merovan::progressDivisor(130002), 3);
    EXPECT_EQ(130002 / merovan::progressDivisor(130002), 43334);
}
