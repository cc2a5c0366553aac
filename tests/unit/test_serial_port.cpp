// SPDX-License-Identifier: GPL-3.0-or-later
#include "common/system_error.h"
#include "serial/serial_port.h"
#include "support/fake_backend.h"

#include <gtest/gtest.h>

#include <cerrno>

using merovan::LineParams;
using merovan::ModemLine;
using merovan::SerialPort;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;

namespace {

class PortTest : public ::testing::Test
{
protected:
    explicit PortTest(std::unique_ptr<devsim::DeviceModel> model = nullptr)
        : device(std::move(model))
    {
        auto backend = std::make_unique<FakeBackend>(clock, log, device.get());
        fake = backend.get();
        port = std::make_unique<SerialPort>(clock, std::move(backend));
    }

    // Declared first so that it outlives the port, which closes on destruction.
    std::unique_ptr<devsim::DeviceModel> device;
    FakeClock clock;
    FakeLineLog log;
    FakeBackend* fake = nullptr;
    std::unique_ptr<SerialPort> port;
};

class PortWithEcho : public PortTest
{
protected:
    PortWithEcho()
        : PortTest(std::make_unique<devsim::EchoDevice>(options()))
    {
    }
    static devsim::DeviceOptions options()
    {
        devsim::DeviceOptions o;
        o.greeting = false;
        return o;
    }
};

} // namespace

TEST_F(PortTest, ConfigureParsesTheSettingsTextLikeTheDevicePanel)
{
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    const struct {
        const char* settings;
        std::uint32_t baud, data;
        std::int32_t parity;
        std::uint32_t stop;
    } cases[] = {
        { "9600,8,N,1", 9600, 8, 0, 1 },
        { "115200,7,E,2", 115200, 7, 2, 2 },
        { "  57600 , +8 ,N, 1.5", 57600, 8, 0, 1 }, // blanks, a sign, 1.5 read as 1
        { "300,5,O,1", 300, 5, 1, 1 },
        { "1200,8,NE,1", 1200, 8, 2, 1 },  // E is looked for after N
        { "1200,8,EO,1", 1200, 8, 1, 1 },  // and O after E
        { "1200,8,ON,1", 1200, 8, 1, 1 },  // O wins over N, whatever the position
        { "1200,8,n,1", 1200, 8, 1, 1 },   // lower case matches nothing: parity kept
        { "2000000,8,N,3", 2000000, 8, 0, 3 },
    };
    for (const auto& c : cases) {
        log.applied.clear();
        log.modem.clear();
        ASSERT_EQ(port->configurePort(c.settings), 0) << c.settings;
        ASSERT_EQ(log.applied.size(), 1u) << c.settings;
        const LineParams& p = log.applied.back();
        EXPECT_EQ(p.baudRate, c.baud) << c.settings;
        EXPECT_EQ(p.dataBits, c.data) << c.settings;
        EXPECT_EQ(p.parity, c.parity) << c.settings;
        EXPECT_EQ(p.stopBits, c.stop) << c.settings;
        EXPECT_FALSE(p.hardwareFlow) << c.settings;
        // A configured line always starts with DTR and RTS inactive.
        EXPECT_FALSE(log.dtr);
        EXPECT_FALSE(log.rts);
    }
}

TEST_F(PortTest, ConfigureReportsTheMissingCommaAndAppliesNothing)
{
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    log.applied.clear();
    EXPECT_EQ(port->configurePort("9600"), merovan::kMissingFirstComma);
    EXPECT_EQ(port->configurePort("19200,8"), merovan::kMissingSecondComma);
    EXPECT_EQ(port->baudRate(), 19200u); // fields before the gap are taken
    EXPECT_EQ(port->configurePort("4800,7,E"), merovan::kMissingThirdComma);
    EXPECT_EQ(port->dataBits(), 7u);
    EXPECT_EQ(port->parity(), 0); // parity is only read with its comma
    EXPECT_TRUE(log.applied.empty());
}

TEST_F(PortTest, ConfigureWithoutADeviceOnlyRecordsTheFields)
{
    EXPECT_EQ(port->configurePort("38400,6,O,2"), 0);
    EXPECT_TRUE(log.applied.empty());
    EXPECT_EQ(port->baudRate(), 38400u);
    EXPECT_EQ(port->dataBits(), 6u);
    EXPECT_EQ(port->parity(), 1);
    EXPECT_EQ(port->stopBits(), 2u);
}

TEST_F(PortTest, OpenSettlesForHalfASecondAndFailuresLeaveThePortClosed)
{
    const auto before = clock.nowMs();
    ASSERT_EQ(port->openPort("/dev/ttyACM0", "115200,8,N,1"), 0);
    EXPECT_TRUE(port->isOpen());
    EXPECT_GE(clock.nowMs() - before, 500u);

    // Opening again closes the old device first.
    ASSERT_EQ(port->openPort("/dev/ttyACM1", "9600,8,N,1"), 0);
    EXPECT_EQ(log.closes, 1);
    EXPECT_EQ(log.opened, (std::vector<std::string> { "/dev/ttyACM0", "/dev/ttyACM1" }));

    fake->openError = EBUSY;
    fake->openReason = "the port is in use by another program";
    EXPECT_EQ(port->openPort("/dev/ttyACM2", "9600,8,N,1"), EBUSY);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(port->lastError(), "the port is in use by another program");

    fake->openError = 0;
    fake->applyError = EINVAL;
    fake->applyReason = "4 data bits are not supported on this system";
    EXPECT_EQ(port->openPort("/dev/ttyACM2", "9600,4,N,1"), EINVAL);
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(port->lastError(), "4 data bits are not supported on this system");
    // The device stays held until closePort releases it.
    EXPECT_TRUE(fake->isOpen());
    port->closePort();
    EXPECT_FALSE(fake->isOpen());

    fake->applyError = 0;
    EXPECT_EQ(port->openPort("/dev/ttyACM2", "9600"), merovan::kMissingFirstComma);
    EXPECT_FALSE(port->isOpen());
}

TEST_F(PortTest, LineControlsMapToCtsRtsAndDtr)
{
    // A closed port ignores them all.
    EXPECT_EQ(port->setDtr(true), 0);
    EXPECT_EQ(port->setRts(true), 0);
    port->setCtsFlow(true);
    EXPECT_TRUE(log.applied.empty());
    EXPECT_TRUE(log.modem.empty());

    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    port->setCtsFlow(true);
    EXPECT_TRUE(log.applied.back().hardwareFlow);
    EXPECT_EQ(log.applied.back().baudRate, 9600u);
    port->setRts(true);
    EXPECT_TRUE(log.applied.back().hardwareFlow);
    EXPECT_TRUE(log.rts);
    port->setCtsFlow(false);
    EXPECT_TRUE(log.applied.back().hardwareFlow) << "RTS handshaking still needs CRTSCTS";
    port->setRts(false);
    EXPECT_FALSE(log.applied.back().hardwareFlow);
    EXPECT_FALSE(log.rts) << "RTS off without handshaking holds RTS inactive";

    port->setDtr(true);
    EXPECT_TRUE(log.dtr);
    port->setDtr(false);
    EXPECT_FALSE(log.dtr);

    // Reconfiguring switches flow control off again.
    port->setCtsFlow(true);
    ASSERT_EQ(port->configurePort("9600,8,N,1"), 0);
    EXPECT_FALSE(log.applied.back().hardwareFlow);
}

TEST_F(PortTest, WaitByteCountsAttemptsInVirtualTime)
{
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    auto start = clock.nowMs();
    EXPECT_EQ(port->waitByte(200), 0);
    // Each attempt is a 2 ms read plus a 1 ms pause.
    EXPECT_EQ(clock.nowMs() - start, 600u);

    start = clock.nowMs();
    EXPECT_EQ(port->waitByte(1000), 0);
    EXPECT_EQ(clock.nowMs() - start, 3000u);

    fake->incoming.push_back(0x06);
    EXPECT_EQ(port->waitByte(5), 0x06);
}

TEST_F(PortTest, ClosedPortReadsNothingAndRefusesWrites)
{
    std::uint8_t buffer[16];
    EXPECT_EQ(port->readBlock(buffer), 0u);
    EXPECT_EQ(port->writeByte('x'), merovan::notOpenError());
    EXPECT_EQ(port->waitByte(0), 0) << "waitByte(0) must not spin on a closed port";
    EXPECT_TRUE(log.written.empty());
}

TEST_F(PortTest, VanishedDeviceClosesThePortAndEndsWaits)
{
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    fake->vanished = true;
    EXPECT_EQ(port->waitByte(0), 0);
    EXPECT_FALSE(port->isOpen());
    EXPECT_TRUE(port->wasDisconnected());
    EXPECT_EQ(port->lastError(), "device disconnected");

    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    EXPECT_FALSE(port->wasDisconnected());
    fake->vanished = true;
    EXPECT_TRUE(merovan::isDeviceGoneError(port->writeByte('a')));
    EXPECT_FALSE(port->isOpen());
    EXPECT_EQ(port->lastError(), "device disconnected");
}

TEST_F(PortTest, FlushOnOpenDiscardsOnlyWhatWasWaiting)
{
    // More than one read's worth was waiting before the port opened.
    fake->incoming.assign(700, 's');
    port->setFlushOnOpen(true);
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    std::uint8_t buffer[16] {};
    EXPECT_EQ(port->readBlock(buffer), 0u);
    fake->incoming.assign({ 'n', 'e', 'w' });
    ASSERT_EQ(port->readBlock(buffer), 3u) << "what comes after the open is kept";
    EXPECT_EQ(std::string(buffer, buffer + 3), "new");
    port->closePort();

    fake->incoming.assign({ 'o', 'l', 'd' });
    port->setFlushOnOpen(false);
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    ASSERT_EQ(port->readBlock(buffer), 3u);
    EXPECT_EQ(std::string(buffer, buffer + 3), "old");
}

TEST_F(PortWithEcho, WritesReachTheDeviceAndItsAnswerComesBack)
{
    ASSERT_EQ(port->openPort("/dev/ttyUSB0", "9600,8,N,1"), 0);
    port->writeString(std::string_view("AT\r\0ignored", 11));
    EXPECT_EQ(log.written, (std::vector<std::uint8_t> { 'A', 'T', '\r' }));
    std::uint8_t buffer[8] {};
    ASSERT_EQ(port->readBlock(buffer), 3u);
    EXPECT_EQ(std::string(buffer, buffer + 3), "AT\r");

    port->writeString("xyz");
    port->drainInput();
    EXPECT_EQ(port->readBlock(buffer), 0u);
}

TEST(LineSettingsText, JoinsBaudDataAndStopWithNoParity)
{
    EXPECT_EQ(merovan::lineSettingsText("115200", "8", "1"), "115200,8,N,1");
    EXPECT_EQ(merovan::lineSettingsText("", "", ""), ",,N,");
}
