// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_enumeration.h"

#include "support/fake_sysfs.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

// A scratch /sys/class/tty and /dev laid out by the test.
class FakeTree : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_root = fs::temp_directory_path() / ("merovan-enum-" + std::to_string(::getpid()) + "-"
                                              + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(m_root);
        fs::create_directories(sys());
        fs::create_directories(dev());
        ::unsetenv("MEROVAN_EXTRA_PORTS");
    }
    void TearDown() override
    {
        ::unsetenv("MEROVAN_EXTRA_PORTS");
        fs::remove_all(m_root);
    }

    std::string sys() const { return (m_root / "sys").string(); }
    std::string dev() const { return (m_root / "dev").string(); }

    // A tty entry; withDriver gives it a device/driver link, uartType writes
    // the 8250 "type" file.
    void addTty(const std::string& name, bool withDriver, int uartType = -1, bool node = true)
    {
        const fs::path entry = fs::path(sys()) / name;
        fs::create_directories(entry / "device");
        if (withDriver)
            fs::create_directories(entry / "device" / "driver");
        if (uartType >= 0)
            std::ofstream(entry / "type") << uartType << "\n";
        if (node)
            std::ofstream(fs::path(dev()) / name) << "";
    }

    fs::path m_root;
};

} // namespace

TEST_F(FakeTree, ListsDriverBackedTtysInNaturalOrderWithoutPhantomUarts)
{
    addTty("ttyS10", true, 4);
    addTty("ttyS2", true, 4);
    addTty("ttyS3", true, 0); // no UART fitted
    addTty("ttyUSB0", true);
    addTty("ttyACM0", true);
    addTty("tty1", false);       // a virtual console
    addTty("ttyUSB1", true, -1, false); // node gone already
    const auto ports = merovan::listSerialPorts(0, sys(), dev());
    const std::vector<std::string> expected { dev() + "/ttyACM0", dev() + "/ttyS2", dev() + "/ttyS10",
                                              dev() + "/ttyUSB0" };
    EXPECT_EQ(ports, expected);
}

TEST_F(FakeTree, ExtraPortsFollowInTheirOwnOrderOnlyWhenPresent)
{
    addTty("ttyUSB0", true);
    const std::string a = (m_root / "simA").string();
    const std::string b = (m_root / "simB").string();
    std::ofstream(a) << "";
    std::ofstream(b) << "";
    const std::string extra = b + "::" + (m_root / "missing").string() + ":" + a + ":" + b;
    ::setenv("MEROVAN_EXTRA_PORTS", extra.c_str(), 1);
    const auto ports = merovan::listSerialPorts(0, sys(), dev());
    const std::vector<std::string> expected { dev() + "/ttyUSB0", b, a };
    EXPECT_EQ(ports, expected);
}

TEST_F(FakeTree, MissingSysTreeGivesOnlyExtraPorts)
{
    ::setenv("MEROVAN_EXTRA_PORTS", "/dev/null", 1);
    const auto ports = merovan::listSerialPorts(0, (m_root / "nothing").string(), dev());
    EXPECT_EQ(ports, std::vector<std::string> { "/dev/null" });
    // The held device is left out by its device number, whatever its name.
    EXPECT_TRUE(merovan::listSerialPorts(merovan::deviceNumberOf("/dev/null"), (m_root / "nothing").string(), dev())
                    .empty());
}

namespace {

class PortIdentity : public ::testing::Test
{
protected:
    void SetUp() override { ::unsetenv("MEROVAN_EXTRA_PORTS"); }
    merovan::test::FakeSysfs tree { fs::temp_directory_path() / ("merovan-sysfs-" + std::to_string(::getpid())) };
};

} // namespace

TEST_F(PortIdentity, ReadsWhatSysfsKnowsOfEachKindOfPort)
{
    const auto ports = merovan::listSerialPortInfo(0, tree.sys(), tree.dev());
    struct Expected
    {
        std::string name, driver, vid, pid, maker, serial, interfaceNumber, identity, description;
        bool byId;
    };
    const std::string byId = tree.dev() + "/serial/by-id/";
    const Expected expected[] = {
        { "ttyACM0", "cdc_acm", "2e8a", "000a", "Raspberry Pi", "E66138935F4B2C28", "00",
          "usb:2e8a:000a:E66138935F4B2C28:00",
          "Raspberry Pi Pico (2e8a:000a) serial E66138935F4B2C28  " + byId
              + "usb-Raspberry_Pi_Pico_E66138935F4B2C28-if00",
          true },
        { "ttyS0", "serial8250", "", "", "", "", "", "", "serial8250", false },
        { "ttyUSB0", "ftdi_sio", "0403", "6001", "FTDI", "A10KZP3Q", "00", "usb:0403:6001:A10KZP3Q:00",
          "FTDI FT232R USB UART (0403:6001) serial A10KZP3Q  " + byId + "usb-FTDI_FT232R_USB_UART_A10KZP3Q-if00-port0",
          true },
        { "ttyUSB1", "cp210x", "10c4", "ea60", "Silicon Labs", "0001", "01", "usb:10c4:ea60:0001:01",
          "Silicon Labs CP2102 USB to UART Bridge Controller (10c4:ea60) serial 0001 interface 01  " + byId
              + "usb-Silicon_Labs_CP2102_USB_to_UART_Bridge_Controller_0001-if01-port0",
          true },
        // No serial string and no by-id link: nothing but the path tells it apart.
        { "ttyUSB2", "ch341", "1a86", "7523", "", "", "00", "", "USB Serial (1a86:7523)", false },
    };
    ASSERT_EQ(ports.size(), std::size(expected));
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const merovan::PortInfo& p = ports[i];
        const Expected& e = expected[i];
        SCOPED_TRACE(e.name);
        EXPECT_EQ(p.path, tree.dev() + "/" + e.name);
        EXPECT_EQ(p.driver, e.driver);
        EXPECT_EQ(p.usb, !e.vid.empty());
        EXPECT_EQ(p.vendorId, e.vid);
        EXPECT_EQ(p.productId, e.pid);
        EXPECT_EQ(p.manufacturer, e.maker);
        EXPECT_EQ(p.serial, e.serial);
        EXPECT_EQ(p.interfaceNumber, e.interfaceNumber);
        EXPECT_EQ(p.identity(), e.identity);
        EXPECT_EQ(p.description(), e.description);
        EXPECT_EQ(!p.byId.empty(), e.byId);
    }
}

TEST_F(PortIdentity, ByIdPathsAreDescribedAsTheirDevice)
{
    const std::string link = tree.dev() + "/serial/by-id/usb-FTDI_FT232R_USB_UART_A10KZP3Q-if00-port0";
    const merovan::PortInfo info = merovan::describePort(link, tree.sys(), tree.dev());
    EXPECT_EQ(info.path, link);
    EXPECT_EQ(info.byId, link);
    EXPECT_EQ(info.driver, "ftdi_sio");
    EXPECT_EQ(info.identity(), "usb:0403:6001:A10KZP3Q:00");
    // And a by-id path given as an extra port is the same device as ttyUSB0.
    ::setenv("MEROVAN_EXTRA_PORTS", link.c_str(), 1);
    EXPECT_EQ(merovan::listSerialPortInfo(0, tree.sys(), tree.dev()).size(), 5u);
    ::unsetenv("MEROVAN_EXTRA_PORTS");

    const merovan::PortInfo unknown = merovan::describePort("/dev/null", tree.sys(), tree.dev());
    EXPECT_EQ(unknown.identity(), "");
    EXPECT_EQ(unknown.description(), "");
}

TEST_F(PortIdentity, TheRootsComeFromTheEnvironment)
{
    ::setenv("MEROVAN_SYSFS_ROOT", tree.sys().c_str(), 1);
    ::setenv("MEROVAN_DEV_ROOT", tree.dev().c_str(), 1);
    EXPECT_EQ(merovan::listSerialPortInfo(0).size(), 5u);
    EXPECT_EQ(merovan::describePort(tree.dev() + "/ttyUSB0").serial, "A10KZP3Q");
    ::unsetenv("MEROVAN_SYSFS_ROOT");
    ::unsetenv("MEROVAN_DEV_ROOT");
    EXPECT_EQ(merovan::sysfsRoot(), "/sys");
    EXPECT_EQ(merovan::devRoot(), "/dev");
}
