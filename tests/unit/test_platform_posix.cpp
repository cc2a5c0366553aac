// SPDX-License-Identifier: GPL-3.0-or-later
// The POSIX half of the platform layer: the settings path's fallbacks and
// writes into folders this user may not change.

#include "scripts/script_store.h"
#include "settings/ini_file.h"
#include "settings/settings_path.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

namespace fs = std::filesystem;
using namespace merovan;

namespace {

fs::path scratchDir(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("merovan-posix-" + std::to_string(::getpid()) + "-" + name);
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

// Runs step in a child process as an ordinary user (root writes anywhere);
// true when the child ran it to the end.
bool asOrdinaryUser(const std::function<void()>& step)
{
    const pid_t child = ::fork();
    if (child < 0)
        return false;
    if (child == 0) {
        if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
            ::_exit(2);
        step();
        ::_exit(0);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

} // namespace

TEST(SettingsPath, EnvironmentThenExecutableFolderThenXdg)
{
    const fs::path dir = scratchDir("path");
    ::setenv("MEROVAN_INI", "/somewhere/else.ini", 1);
    EXPECT_EQ(merovan::settingsFilePath(dir.string()), "/somewhere/else.ini");
    ::unsetenv("MEROVAN_INI");
    EXPECT_EQ(merovan::settingsFilePath(dir.string()), (dir / "Merovan.ini").string());

    const std::string xdg = (dir / "xdg").string();
    ::setenv("XDG_CONFIG_HOME", xdg.c_str(), 1);
    EXPECT_EQ(merovan::settingsFilePath((dir / "not-there").string()), xdg + "/merovan/Merovan.ini");
    EXPECT_TRUE(fs::is_directory(xdg + "/merovan"));

    // An installed tree keeps settings per user even where bin is writable
    // (root, or a prefix in the user's home).
    fs::create_directories(dir / "prefix" / "bin");
    EXPECT_EQ(merovan::settingsFilePath((dir / "prefix" / "bin").string()), (dir / "prefix" / "bin" / "Merovan.ini").string());
    fs::create_directories(dir / "prefix" / "share" / "doc" / "merovan");
    EXPECT_TRUE(merovan::runsInstalled((dir / "prefix" / "bin").string()));
    EXPECT_EQ(merovan::settingsFilePath((dir / "prefix" / "bin").string()), xdg + "/merovan/Merovan.ini");
    ::unsetenv("XDG_CONFIG_HOME");
    fs::remove_all(dir);
}

TEST(ReadOnlyFolder, SavesFailAndLoseNothing)
{
    const fs::path dir = scratchDir("readonly");
    const fs::path ini = dir / "Merovan.ini";
    const fs::path scripts = dir / "tests.scr";
    std::ofstream(ini, std::ios::binary) << "[COMM]\r\nBaud=9\r\n";
    std::ofstream(scripts, std::ios::binary) << "A\x1fx\x1e" "B\x1fy\x1e\x17";
    ::chmod(ini.c_str(), 0644);
    ::chmod(scripts.c_str(), 0644);
    ::chmod(dir.c_str(), 0555);

    ASSERT_TRUE(asOrdinaryUser([&] {
        IniFile settings(ini.string());
        settings.load();
        settings.writeInteger("COMM", "Baud", 10);
        if (settings.save() || settings.error().empty())
            ::_exit(3);
        const StoreMessages quiet = [](const std::string&) {};
        updateScript(scripts.string(), "A", "changed", quiet);
        removeScript(scripts.string(), "B", quiet);
    })) << "the settings file must fail to save, with a reason";
    ::chmod(dir.c_str(), 0700);

    EXPECT_EQ(slurp(ini), "[COMM]\r\nBaud=9\r\n");
    EXPECT_EQ(slurp(scripts), "A\x1fx\x1e" "B\x1fy\x1e\x17");
    EXPECT_FALSE(fs::exists(dir / "Merovan.ini.tmp"));
    EXPECT_FALSE(fs::exists(dir / "tests.tmp"));
    fs::remove_all(dir);
}
