// SPDX-License-Identifier: GPL-3.0-or-later
// The Windows half of the platform layer, run under wine in CI: port names,
// the port list, error texts, the settings path and replacing files.

#include "common/durable_file.h"
#include "common/system_error.h"
#include "serial/clock.h"
#include "serial/port_enumeration.h"
#include "serial/port_holder.h"
#include "serial/serial_port.h"
#include "serial/windows_ports_p.h"
#include "settings/ini_file.h"
#include "settings/settings_path.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace merovan;

namespace {

fs::path scratchDir(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("merovan-win-" + std::to_string(GetCurrentProcessId()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

std::string slurp(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

} // namespace

TEST(WindowsPorts, NamesReachEveryPortNumber)
{
    struct Case
    {
        const char* given;
        const char* canonical;
        const char* device;
        unsigned number;
    };
    const Case cases[] = {
        { "COM1", "COM1", "\\\\.\\COM1", 1 },
        { "com5", "COM5", "\\\\.\\COM5", 5 },
        { "COM12", "COM12", "\\\\.\\COM12", 12 },
        { "\\\\.\\COM256", "COM256", "\\\\.\\COM256", 256 },
        { "//./com3", "COM3", "\\\\.\\COM3", 3 },
        { "COM0", "COM0", "COM0", 0 },
        { "COM", "COM", "COM", 0 },
        { "COM1x", "COM1x", "COM1x", 0 },
        { "\\\\.\\CNCA0", "\\\\.\\CNCA0", "\\\\.\\CNCA0", 0 },
    };
    for (const Case& c : cases) {
        EXPECT_EQ(detail::canonicalPortName(c.given), c.canonical) << c.given;
        EXPECT_EQ(detail::devicePathOf(c.given), c.device) << c.given;
        EXPECT_EQ(detail::comNumber(c.given), c.number) << c.given;
    }
    EXPECT_EQ(deviceNumberOf("com7"), 7u);
}

TEST(WindowsPorts, ListingIsOrderedUniqueAndLeavesOutTheHeldPort)
{
    const std::vector<std::string> ports = listSerialPorts(0);
    std::vector<unsigned> numbers;
    for (const std::string& p : ports) {
        EXPECT_NE(detail::comNumber(p), 0u) << p;
        EXPECT_EQ(detail::canonicalPortName(p), p) << p;
        numbers.push_back(detail::comNumber(p));
    }
    EXPECT_TRUE(std::is_sorted(numbers.begin(), numbers.end()));
    EXPECT_EQ(std::adjacent_find(numbers.begin(), numbers.end()), numbers.end());
    if (!numbers.empty()) {
        const auto without = listSerialPorts(numbers.front());
        EXPECT_EQ(without.size(), ports.size() - 1);
        EXPECT_EQ(std::count(without.begin(), without.end(), ports.front()), 0);
    }
}

TEST(WindowsPorts, AMissingPortFailsWithTheSystemsReason)
{
    SteadyClock clock;
    SerialPort port(clock);
    const int rc = port.openPort("COM231", "9600,8,N,1");
    EXPECT_EQ(rc, ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(port.lastError(), systemErrorText(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(openFailureText("COM231", rc, port.lastError()), "Cannot open COM231: " + port.lastError());
    EXPECT_EQ(port.writeByte(1), notOpenError());
    std::uint8_t byte = 0;
    EXPECT_EQ(port.readByte(byte), 0);
}

TEST(WindowsPorts, ABusyPortNamesThisProgramWhenItHoldsIt)
{
    detail::noteHeldHere("COM9", true);
    EXPECT_EQ(findPortHolder("com9"), "this program");
    EXPECT_EQ(openFailureText("COM9", ERROR_ACCESS_DENIED, "Access is denied."),
              "Cannot open COM9: Access is denied. (held by this program)");
    detail::noteHeldHere("COM9", false);
    EXPECT_EQ(findPortHolder("COM9"), "");
    EXPECT_EQ(openFailureText("COM9", ERROR_ACCESS_DENIED, "Access is denied."),
              "Cannot open COM9: Access is denied. (the port is in use by another program)");
}

TEST(SystemError, TextsAndVanishedDevices)
{
    const std::string text = systemErrorText(ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(text.empty());
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), '\r');
    EXPECT_FALSE(systemErrorText(0x7FFF0000).empty()) << "an unknown code still says something";
    for (const long gone : { ERROR_ACCESS_DENIED, ERROR_BAD_COMMAND, ERROR_NOT_READY, ERROR_DEVICE_NOT_CONNECTED, ERROR_GEN_FAILURE })
        EXPECT_TRUE(isDeviceGoneError(static_cast<int>(gone))) << gone;
    for (const long stays : { 0L, ERROR_TIMEOUT, ERROR_INVALID_PARAMETER, ERROR_OPERATION_ABORTED })
        EXPECT_FALSE(isDeviceGoneError(static_cast<int>(stays))) << stays;
    EXPECT_TRUE(isDeviceGoneError(deviceGoneError()));
    EXPECT_FALSE(isDeviceGoneError(notOpenError()));
}

TEST(SettingsPath, EnvironmentThenExecutableFolderThenAppData)
{
    const fs::path dir = scratchDir("path");
    _putenv_s("MEROVAN_INI", "C:\\somewhere\\else.ini");
    EXPECT_EQ(settingsFilePath(dir.string()), "C:\\somewhere\\else.ini");
    _putenv_s("MEROVAN_INI", "");
    EXPECT_EQ(settingsFilePath(dir.string()), (dir / "Merovan.ini").string());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0)
        << "the write test leaves nothing behind";

    const char* oldAppData = std::getenv("APPDATA");
    const std::string saved = oldAppData ? oldAppData : "";
    const fs::path appData = dir / "appdata";
    _putenv_s("APPDATA", appData.string().c_str());
    EXPECT_EQ(settingsFilePath((dir / "not-there").string()), (appData / "Merovan" / "Merovan.ini").string());
    EXPECT_TRUE(fs::is_directory(appData / "Merovan"));
    _putenv_s("APPDATA", saved.c_str());
    fs::remove_all(dir);
}

TEST(DurableFile, SavesReplaceAnExistingFile)
{
    // rename() of the C library refuses to replace a file on Windows.
    const fs::path dir = scratchDir("replace");
    const fs::path ini = dir / "Merovan.ini";
    IniFile settings(ini.string());
    settings.writeInteger("COMM", "Baud", 9);
    ASSERT_TRUE(settings.save()) << settings.error();
    settings.writeInteger("COMM", "Baud", 10);
    ASSERT_TRUE(settings.save()) << settings.error();
    EXPECT_EQ(slurp(ini), "[COMM]\r\nBaud=10\r\n");
    EXPECT_FALSE(fs::exists(dir / "Merovan.ini.tmp"));

    std::string reason;
    EXPECT_FALSE(renameOver((dir / "absent").string(), ini.string(), reason));
    EXPECT_FALSE(reason.empty());
    EXPECT_EQ(slurp(ini), "[COMM]\r\nBaud=10\r\n");
    fs::remove_all(dir);
}

TEST(SteadyClockWin, AdvancesAtLeastAsFarAsItSlept)
{
    SteadyClock clock;
    const std::uint64_t start = clock.nowMs();
    for (int i = 0; i < 5; ++i)
        clock.sleepMs(3);
    EXPECT_GE(clock.nowMs() - start, 15u);
    std::uint64_t last = clock.nowMs();
    for (int i = 0; i < 1000; ++i) {
        const std::uint64_t now = clock.nowMs();
        ASSERT_GE(now, last);
        last = now;
    }
}
