#include "serial/port_enumeration.h"

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
