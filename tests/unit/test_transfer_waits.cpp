// SPDX-License-Identifier: GPL-3.0-or-later
// The waits of every transfer, in virtual time: each serves its caller at
// least every kServeIntervalMs (so a window stays alive and a cancel is
// heard during a silent peer's start), and each wait that follows a write
// also allows for that write's time on the line at the port's rate.

#include "convert/bitmap_font.h"
#include "convert/bmp_reader.h"
#include "convert/intel_hex.h"
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "support/paced_device.h"
#include "transfer/binary_transfers.h"
#include "transfer/boot_loader.h"
#include "transfer/file_transfer.h"
#include "transfer/text_transfer.h"
#include "transfer/xmodem.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

using namespace merovan;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;
using merovan::test::PacedDevice;

namespace fs = std::filesystem;

namespace {

constexpr std::uint64_t kCancelAtMs = 200;

class Waits : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override
    {
        port.reset();
        fs::remove_all(dir);
    }

    // A port at settings with device (or nobody) at the other end; its
    // driver holds what is written for its time on the line when asked to.
    void openPort(devsim::DeviceModel* device, const char* settings = "9600,8,N,1", bool holdsOutput = false)
    {
        port.reset();
        auto backend = std::make_unique<FakeBackend>(clock, log, device, &recorded);
        backend->holdsOutput = holdsOutput;
        port = std::make_unique<SerialPort>(clock, std::move(backend));
        ASSERT_EQ(port->openPort("/dev/fake", settings), 0);
        log.written.clear();
        start = clock.nowMs();
    }

    std::string file(const std::string& name, const std::string& content)
    {
        const std::string path = dir + "/" + name;
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }

    // Notes a call from the routine; true once the cancel is due.
    bool served()
    {
        const std::uint64_t now = clock.nowMs();
        gaps = std::max(gaps, now - last);
        last = now;
        if (calls++ == 0)
            writtenAtFirstCall = log.written.size();
        if (now - start >= kCancelAtMs && canceledAt == 0)
            canceledAt = now;
        return canceledAt != 0;
    }

    void resetProbe()
    {
        last = start = clock.nowMs();
        gaps = 0;
        calls = 0;
        canceledAt = 0;
        writtenAtFirstCall = 0;
    }

    std::string dir = (fs::temp_directory_path() / ("merovan-waits-" + std::to_string(::getpid()))).string();
    FakeClock clock;
    FakeLineLog log;
    std::vector<std::uint8_t> recorded;
    std::unique_ptr<SerialPort> port;
    std::uint64_t start = 0;
    std::uint64_t last = 0;
    std::uint64_t gaps = 0;          // the longest time between two calls
    std::uint64_t canceledAt = 0;
    int calls = 0;
    std::size_t writtenAtFirstCall = 0;
};

} // namespace

TEST_F(Waits, FileTransfersServeTheirCallerWhileThePeerIsSilentAndStopAtOnce)
{
    const struct {
        FileProtocol protocol;
        bool oneK;
        bool send;
        const char* name;
    } rows[] = {
        { FileProtocol::Xmodem, false, true, "XMODEM send" },
        { FileProtocol::Xmodem, true, true, "XMODEM-1K send" },
        { FileProtocol::Ymodem, true, true, "YMODEM send" },
        { FileProtocol::Zmodem, false, true, "ZMODEM send" },
        { FileProtocol::Xmodem, false, false, "XMODEM receive" },
        { FileProtocol::Ymodem, false, false, "YMODEM receive" },
        { FileProtocol::Zmodem, false, false, "ZMODEM receive" },
    };
    const std::string payload = file("payload.bin", std::string(3000, 'p'));
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        openPort(nullptr);
        resetProbe();
        FileTransferOptions o;
        o.protocol = row.protocol;
        o.oneK = row.oneK;
        o.receiveDir = dir;
        o.xmodemFileName = dir + "/x.bin";
        const FileProgressCallback progress = [&](const FileTransferProgress&) { return served(); };
        const FileTransferOutcome outcome
            = row.send ? sendFiles(*port, { payload }, o, progress) : receiveFiles(*port, o, progress);
        EXPECT_EQ(outcome.result, toInt(TransferResult::Canceled)) << outcome.detail;
        EXPECT_EQ(writtenAtFirstCall, 0u) << "the caller is served before the first byte goes out";
        EXPECT_LE(gaps, kServeIntervalMs);
        ASSERT_NE(canceledAt, 0u);
        EXPECT_LE(clock.nowMs() - canceledAt, kServeIntervalMs) << "the cancel ends the wait";
    }
}

TEST_F(Waits, TheWindowsOwnTransfersServeTheirCallerDuringEveryWait)
{
    const std::string image = file("app.bin", std::string(5000, 'a'));
    const std::string text = file("prog.bas", "10 PRINT 1\r\n20 PRINT 2\r\n");
    // Cancels at 200 ms (the reset and wake pauses) and later, in the
    // waits for the loader's answer and for XMODEM's start.
    for (const std::uint64_t cancelAt : { kCancelAtMs, std::uint64_t(1500), std::uint64_t(3500) }) {
        SCOPED_TRACE(cancelAt);
        openPort(nullptr);
        resetProbe();
        TransferRequest request(*port);
        request.fileName = image;
        request.flashSize = 512 * 1024;
        request.serve = [&] { return served() && clock.nowMs() - start >= cancelAt; };
        const int rc = runBootLoader(request, [&](std::int32_t, std::int32_t) { return served() && clock.nowMs() - start >= cancelAt ? 1 : 0; });
        EXPECT_EQ(rc, toInt(TransferResult::Canceled)) << bootLoaderMessage(rc);
        EXPECT_LE(gaps, kServeIntervalMs);
        EXPECT_LE(clock.nowMs() - (start + cancelAt), kServeIntervalMs);
    }
    {
        SCOPED_TRACE("text transfer, acknowledge awaited");
        openPort(nullptr);
        resetProbe();
        TransferRequest request(*port);
        request.fileName = text;
        request.eolWaitChar = 6;
        request.serve = [&] { return served(); };
        const TransferResult rc = sendTextFile(request, [&](std::int32_t, std::int32_t) { return served() ? 1 : 0; });
        // Without the cancel the silent device gives Timeout after 0.6 s.
        request.serve = nullptr;
        EXPECT_EQ(rc, TransferResult::Canceled);
        EXPECT_LE(gaps, kServeIntervalMs);
    }
}

TEST_F(Waits, TheWaitForTheDriverAndSendFirstPausesServeTheirCaller)
{
    // 4,800 bytes at 1200 baud: 40 s in the driver after the last write.
    const std::string image = file("image.bin", std::string(4800, 'b'));
    const std::string text = file("prog.bas", "10 PRINT 1\r\n");
    const struct {
        const char* name;
        bool textTransfer;
        const char* sendFirst;
    } rows[] = {
        { "binary: the wait until the driver has sent the file", false, "" },
        { "binary: a pause in Send first", false, "go\\w60000" },
        { "text: a pause in Send first", true, "go\\w60000" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        openPort(nullptr, "1200,8,N,1", true);
        resetProbe();
        TransferRequest request(*port);
        request.fileName = row.textTransfer ? text : image;
        request.sendFirst = row.sendFirst;
        request.serve = [&] { return served(); };
        const auto never = [](std::int32_t, std::int32_t) { return 0; };
        const TransferResult rc = row.textTransfer ? sendTextFile(request, never) : sendBinaryFile(request, never);
        EXPECT_EQ(rc, TransferResult::Canceled);
        EXPECT_LE(gaps, kServeIntervalMs);
        EXPECT_LE(clock.nowMs() - canceledAt, kServeIntervalMs);
        if (*row.sendFirst != 0) {
            EXPECT_EQ(std::string(log.written.begin(), log.written.end()), "go") << "nothing after the pause";
        }
    }
    {
        SCOPED_TRACE("binary, never canceled: waits out the driver");
        openPort(nullptr, "1200,8,N,1", true);
        resetProbe();
        TransferRequest request(*port);
        request.fileName = image;
        request.serve = [&] {
            served();
            return false;
        };
        EXPECT_EQ(sendBinaryFile(request, [](std::int32_t, std::int32_t) { return 0; }), TransferResult::Success);
        EXPECT_GE(clock.nowMs() - start, 40000u);
        EXPECT_EQ(port->sentWaitLimitMs(), 1000u) << "nothing left in the driver";
        EXPECT_LE(gaps, kServeIntervalMs);
    }
}

TEST_F(Waits, WaitsAfterAWriteAllowForItsTimeOnTheLine)
{
    // 64 KB through both loader versions at 9600 baud: a 2000-byte block
    // takes about 2.1 s on the line, a 1024-byte packet about 1.1 s.
    std::string content(64 * 1024, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<char>(i * 31 + i / 97);
    const std::string image = file("app64.bin", content);
    for (const int version : { 1, 2 }) {
        SCOPED_TRACE(version);
        devsim::DeviceOptions options;
        options.boot = true;
        options.bootVersion = version;
        devsim::BootLoaderDevice loader(options);
        PacedDevice line(loader, 9600);
        recorded.clear();
        openPort(&line);
        TransferRequest request(*port);
        request.fileName = image;
        request.flashSize = 512 * 1024;
        const int rc = runBootLoader(request, [](std::int32_t, std::int32_t) { return 0; });
        ASSERT_EQ(rc, 0) << bootLoaderMessage(rc);
        ASSERT_GE(recorded.size(), content.size());
        EXPECT_TRUE(std::string(recorded.begin(), recorded.begin() + static_cast<std::ptrdiff_t>(content.size())) == content);
        // The line's time, not the loader, set the pace.
        EXPECT_GE(clock.nowMs() - start, content.size() * 10 * 1000 / 9600);
        port.reset(); // before the device it reads goes out of scope
    }
    {
        SCOPED_TRACE("a long line at 1200 baud under line acknowledge");
        devsim::DeviceOptions options;
        options.echo = false;
        options.greeting = false;
        options.ack = 6;
        devsim::EchoDevice device(options);
        PacedDevice line(device, 1200);
        openPort(&line, "1200,8,N,1");
        std::string text;
        for (int i = 0; i < 3; ++i)
            text += std::string(200, static_cast<char>('a' + i)) + "\r\n";
        TransferRequest request(*port);
        request.fileName = file("long.bas", text);
        request.eolWaitChar = 6;
        const TransferResult rc = sendTextFile(request, [](std::int32_t, std::int32_t) { return 0; });
        EXPECT_EQ(rc, TransferResult::Success);
        port.reset();
    }
}

TEST(LineTime, TenBitsAByteAtThePortsRate)
{
    FakeClock clock;
    FakeLineLog log;
    SerialPort port(clock, std::make_unique<FakeBackend>(clock, log));
    ASSERT_EQ(port.openPort("/dev/fake", "9600,8,N,1"), 0);
    EXPECT_EQ(lineTimeMs(port, 0), 0u);
    EXPECT_EQ(lineTimeMs(port, 1), 2u) << "rounded up";
    EXPECT_EQ(lineTimeMs(port, 2000), 2084u);
    EXPECT_EQ(lineTimeMs(port, 1029), 1072u);
    ASSERT_EQ(port.configurePort("115200,8,N,1"), 0);
    EXPECT_EQ(lineTimeMs(port, 2000), 174u);
}

TEST(FolderInput, EveryReaderRefusesAFolderWithoutThrowing)
{
    const std::string folder = fs::temp_directory_path().string();
    EXPECT_EQ(readBmpFile(folder), nullptr);
    EXPECT_FALSE(readFontFile(folder).has_value());
    errno = 0;
    EXPECT_EQ(openInputFile(folder), nullptr);
    EXPECT_EQ(errno, EISDIR);
    std::vector<std::uint8_t> image(4096, 0xFF);
    std::int32_t size = 0;
    std::string why;
    EXPECT_EQ(convertHexFile(folder, 0, 1024, image, size, &why), kHexFailed);
    EXPECT_EQ(why, folder + ": " + std::strerror(EISDIR));
}
