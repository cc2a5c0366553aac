// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/intel_hex.h"
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "transfer/boot_loader.h"
#include "transfer/xmodem.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace merovan;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 13 + 1);
    return b;
}

class Boot : public ::testing::Test
{
protected:
    void SetUp() override { fs::create_directories(dir); }
    void TearDown() override
    {
        port.reset();
        fs::remove_all(dir);
    }

    void useDevice(int version, void (*tweak)(devsim::DeviceOptions&) = nullptr)
    {
        devsim::DeviceOptions o;
        o.boot = true;
        o.bootVersion = version;
        if (tweak)
            tweak(o);
        port.reset();
        device = std::make_unique<devsim::BootLoaderDevice>(o);
        port = std::make_unique<SerialPort>(clock, std::make_unique<FakeBackend>(clock, log, device.get(), &recorded));
        ASSERT_EQ(port->openPort("/dev/fake", "115200,8,N,1"), 0);
        log.written.clear();
        log.modem.clear();
    }

    std::string file(const std::string& name, const Bytes& content)
    {
        const std::string path = dir + "/" + name;
        fs::create_directories(fs::path(path).parent_path());
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                    static_cast<std::streamsize>(content.size()));
        return path;
    }

    int load(const std::string& path, std::int32_t flashKb = 512, bool eraseAll = false, int cancelAtCall = -1)
    {
        TransferRequest request(*port);
        request.fileName = path;
        request.flashSize = flashKb * 1024;
        request.eraseSize = eraseAll ? flashKb : 0;
        calls.clear();
        const int rc = runBootLoader(request, [&](std::int32_t max, std::int32_t pos) {
            calls.emplace_back(max, pos);
            return static_cast<int>(calls.size()) == cancelAtCall ? 1 : 0;
        });
        sizeSent = request.actualFileSize;
        return rc;
    }

    // The byte written right after the wake-up backslash (v1's erase command).
    std::uint8_t byteAfterWake() const
    {
        for (std::size_t i = 0; i + 1 < log.written.size(); ++i)
            if (log.written[i] == '\\')
                return log.written[i + 1];
        return 0;
    }

    // The four size bytes that follow the "v" of version 2.
    std::uint32_t announcedSize() const
    {
        for (std::size_t i = 0; i + 4 < log.written.size(); ++i)
            if (log.written[i] == 'v')
                return static_cast<std::uint32_t>(log.written[i + 1] << 24 | log.written[i + 2] << 16
                                                  | log.written[i + 3] << 8 | log.written[i + 4]);
        return 0;
    }

    std::string dir = (fs::temp_directory_path() / ("merovan-boot-" + std::to_string(::getpid()))).string();
    std::unique_ptr<devsim::BootLoaderDevice> device;
    FakeClock clock;
    FakeLineLog log;
    Bytes recorded;
    std::unique_ptr<SerialPort> port;
    std::vector<std::pair<std::int32_t, std::int32_t>> calls;
    std::int32_t sizeSent = 0;
};

} // namespace

TEST(BootFiles, TheExtensionDecidesWhatIsHex)
{
    EXPECT_TRUE(isHexFileName("prog.hex"));
    EXPECT_TRUE(isHexFileName("PROG.HEX"));
    EXPECT_TRUE(isHexFileName("prog.ihex"));
    EXPECT_TRUE(isHexFileName("/work/a.hex/prog")) << "the last '.' may be in a folder name";
    EXPECT_FALSE(isHexFileName("prog.bin"));
    EXPECT_FALSE(isHexFileName("prog"));
}

TEST_F(Boot, Version2SendsBlocksOf2000)
{
    useDevice(2);
    const Bytes image = pattern(4000);
    EXPECT_EQ(load(file("app.bin", image)), 0);
    EXPECT_EQ(announcedSize(), 4000u + 20);
    ASSERT_EQ(recorded.size(), 6000u) << "a size that is a multiple of 2000 gets one more block";
    EXPECT_TRUE(std::equal(image.begin(), image.end(), recorded.begin()));
    EXPECT_TRUE(std::all_of(recorded.begin() + 4000, recorded.end(), [](auto b) { return b == 0xFF; }));
    EXPECT_EQ(calls.front(), std::make_pair(4000, 0));
    EXPECT_EQ(calls.back(), std::make_pair(4000, 4000));
    // The reset pulse came first.
    ASSERT_GE(log.modem.size(), 2u);
    EXPECT_EQ(log.modem[0], std::make_pair(ModemLine::Dtr, true));
    EXPECT_EQ(log.modem[1], std::make_pair(ModemLine::Dtr, false));
}

TEST_F(Boot, TheLoadersProtocolBytesAreNotTakenForText)
{
    for (const int version : { 1, 2 }) {
        SCOPED_TRACE(version);
        useDevice(version);
        TransferRequest request(*port);
        request.fileName = file("app.bin", pattern(5000));
        request.flashSize = 512 * 1024;
        EXPECT_EQ(runBootLoader(request, [](std::int32_t, std::int32_t) { return 0; }), 0);
        EXPECT_EQ(request.bootVersion, version);
        // No "D" announcements, no sub-version, no ACK, no "C".
        EXPECT_TRUE(request.deviceOutput.empty())
            << std::string(request.deviceOutput.begin(), request.deviceOutput.end());
    }
}

TEST_F(Boot, EraseAllTellsVersion2TheFlashAndSendsVersion1D)
{
    useDevice(2);
    EXPECT_EQ(load(file("small.bin", pattern(100)), 512, true), 0);
    EXPECT_EQ(announcedSize(), 488468u);
    useDevice(1);
    EXPECT_EQ(load(file("small.bin", pattern(100)), 512, true), 0);
    EXPECT_EQ(byteAfterWake(), 'd');
}

TEST_F(Boot, Version1EraseCommandFollowsTheImageSize)
{
    const struct {
        std::size_t size;
        std::uint8_t erase;
    } cases[] = { { 100, 'a' }, { 32768, 'a' }, { 32769, 'b' }, { 98304, 'b' }, { 98305, 'c' },
                  { 229376, 'c' }, { 229377, 'd' } };
    for (const auto& c : cases) {
        useDevice(1);
        recorded.clear();
        const Bytes image = pattern(c.size);
        ASSERT_EQ(load(file("app.bin", image)), 0) << c.size;
        EXPECT_EQ(byteAfterWake(), c.erase) << c.size;
        EXPECT_EQ(recorded.size(), (c.size + 1023) / 1024 * 1024);
        EXPECT_TRUE(std::equal(image.begin(), image.end(), recorded.begin())) << c.size;
    }

    // The same 32768 bytes from a HEX file make a size one larger: "b".
    useDevice(1);
    recorded.clear();
    std::string hex = ":02000004" "1D00" "DD\r\n";
    Bytes flat(32768, 0);
    for (std::uint32_t at = 0x8000; at < 0x10000; at += 16) {
        char line[64];
        unsigned sum = 16 + (at >> 8 & 0xFF) + (at & 0xFF);
        std::snprintf(line, sizeof line, ":10%04X00", at & 0xFFFF);
        std::string l = line;
        for (int k = 0; k < 16; ++k) {
            const auto b = static_cast<std::uint8_t>(at + k);
            flat[at - 0x8000 + k] = b;
            char hb[3];
            std::snprintf(hb, sizeof hb, "%02X", b);
            l += hb;
            sum += b;
        }
        char cs[3];
        std::snprintf(cs, sizeof cs, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
        hex += l + cs + "\r\n";
    }
    hex += ":00000001FF\r\n";
    EXPECT_EQ(load(file("app.hex", Bytes(hex.begin(), hex.end()))), 0);
    EXPECT_EQ(sizeSent, 32769);
    EXPECT_EQ(byteAfterWake(), 'b');
    EXPECT_TRUE(std::equal(flat.begin(), flat.end(), recorded.begin()));
}

TEST_F(Boot, Version2Failures)
{
    useDevice(2, [](devsim::DeviceOptions& o) { o.flashKb = 4; });
    EXPECT_EQ(load(file("app.bin", pattern(5000)), 512), kBootTooBig) << "the device's NAK to the size";

    useDevice(2, [](devsim::DeviceOptions& o) { o.noSubversion = true; });
    EXPECT_EQ(load(file("app.bin", pattern(5000))), kBootBadVersion);

    useDevice(2, [](devsim::DeviceOptions& o) { o.silentAfterBlocks = 1; });
    EXPECT_EQ(load(file("app.bin", pattern(5000))), kBootNoAck);
}

TEST_F(Boot, Version1CancelledByTheDevice)
{
    useDevice(1, [](devsim::DeviceOptions& o) { o.cancelAtStart = true; });
    EXPECT_EQ(load(file("app.bin", pattern(10))), kXmodemCanceledByTarget);
}

TEST_F(Boot, ACancelAtTheFirstReportComesAfterTheReset)
{
    useDevice(2);
    EXPECT_EQ(load(file("app.bin", pattern(5000)), 512, false, 1), toInt(TransferResult::Canceled));
    EXPECT_FALSE(log.modem.empty()) << "the device was reset";
    EXPECT_TRUE(recorded.empty());
    EXPECT_EQ(announcedSize(), 0u) << "no size was sent";
}

TEST_F(Boot, RefusalsBeforeTheDeviceIsTouched)
{
    useDevice(2);
    EXPECT_EQ(load(file("big.bin", pattern(5000)), 4), kBootTooBig) << "a raw image larger than the flash";
    EXPECT_TRUE(log.modem.empty());
    EXPECT_TRUE(log.written.empty());
    EXPECT_EQ(load(dir + "/missing.bin"), toInt(TransferResult::CantOpenFile));
    port->closePort();
    EXPECT_EQ(load(file("app.bin", pattern(10))), toInt(TransferResult::PortNotOpen));
}

TEST_F(Boot, AHexFileWithNothingInTheWindowFails)
{
    useDevice(2);
    const std::string hex = ":020000041C00DE\r\n:0100000042BD\r\n:00000001FF\r\n";
    EXPECT_EQ(load(file("wrong.hex", Bytes(hex.begin(), hex.end()))), kBootHexFailed);
    EXPECT_TRUE(recorded.empty());
}

TEST(BootMessages, EachResultHasItsText)
{
    EXPECT_EQ(bootLoaderMessage(0), "");
    EXPECT_EQ(bootLoaderMessage(6), "Can't start loader");
    EXPECT_EQ(bootLoaderMessage(7), "Incorrect boot loader version");
    EXPECT_EQ(bootLoaderMessage(8), "Program too big for available flash");
    EXPECT_EQ(bootLoaderMessage(9), "No ACK from target");
    EXPECT_EQ(bootLoaderMessage(10), "Not enough memory on PC, alloc failure");
    EXPECT_EQ(bootLoaderMessage(11), "Error trying to convert hex file");
    EXPECT_EQ(bootLoaderMessage(21), "Xmodem timeout waiting for ACK/NAK");
    EXPECT_EQ(bootLoaderMessage(22), "Xmodem no ACK recieved from target");
    EXPECT_EQ(bootLoaderMessage(26), "Xmodem cancelled by target");
    EXPECT_EQ(bootLoaderMessage(3), "Transfer canceled by target error");
    EXPECT_EQ(bootLoaderMessage(42), "File transfer canceled - unknown reason");
}
