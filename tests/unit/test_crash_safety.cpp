// SPDX-License-Identifier: GPL-3.0-or-later
// Files that survive a crash: a writer killed at random points, hundreds of
// times, leaves the settings and script files whole (the old or the new
// version) and never a finished-looking ".bf" or header that is cut short.

#include "scripts/script_store.h"
#include "serial/serial_port.h"
#include "settings/ini_file.h"
#include "support/bmp_builder.h"
#include "support/fake_backend.h"
#include "transfer/binary_transfers.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

namespace fs = std::filesystem;
using namespace merovan;

namespace {

constexpr int kKills = 200;

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs writer over and over in a child, kills it after a random moment, and
// hands the files to check. Repeats kKills times.
void killRepeatedly(const std::function<void()>& writer, const std::function<void(int round)>& check)
{
    std::mt19937 random(1234);
    std::uniform_int_distribution<int> delayUs(0, 3000);
    for (int round = 0; round < kKills; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (;;)
                writer();
        }
        std::this_thread::sleep_for(std::chrono::microseconds(delayUs(random)));
        ::kill(child, SIGKILL);
        int status = 0;
        ::waitpid(child, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the writer ended by itself";
        check(round);
        if (::testing::Test::HasFailure())
            return;
    }
}

class CrashSafety : public ::testing::Test
{
protected:
    void SetUp() override
    {
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }
    std::string dir = (fs::temp_directory_path() / ("merovan-crash-" + std::to_string(::getpid()))).string();
};

} // namespace

TEST_F(CrashSafety, SettingsAreTheOldOrTheNewFile)
{
    const std::string path = dir + "/Merovan.ini";
    // Two versions, large enough that a save takes a while.
    auto version = [](char fill) {
        IniFile ini;
        for (int i = 0; i < 400; ++i)
            ini.writeString("Section" + std::to_string(i % 7), "Key" + std::to_string(i), std::string(40, fill));
        return ini.text();
    };
    const std::string a = version('a');
    const std::string b = version('b');
    {
        IniFile first(path);
        first.parse(a);
        ASSERT_TRUE(first.save());
    }
    int turn = 0;
    killRepeatedly(
        [&] {
            IniFile ini(path);
            ini.parse(++turn % 2 ? b : a);
            ini.save();
        },
        [&](int round) {
            const std::string now = slurp(path);
            EXPECT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
        });
}

TEST_F(CrashSafety, ScriptFilesAreNeverHalfRewritten)
{
    const std::string path = dir + "/lab.scr";
    ASSERT_TRUE(createScriptFile(path));
    const StoreMessages quiet = [](const std::string&) {};
    const std::string longText(900, 'x');
    ASSERT_TRUE(addScript(path, "A", "start", quiet));
    ASSERT_TRUE(addScript(path, "B", longText, quiet));

    // Each step gives a whole file whatever it starts from: A and B change
    // their texts in place, C comes and goes at the end.
    auto cycle = [&](int step) {
        switch (step % 4) {
        case 0:
            updateScript(path, "A", longText, quiet);
            break;
        case 1:
            removeScript(path, "C", quiet);
            updateScript(path, "B", "b1", quiet);
            break;
        case 2:
            updateScript(path, "C", "c", quiet); // adds it
            break;
        default:
            updateScript(path, "A", "start", quiet);
            updateScript(path, "B", longText, quiet);
            break;
        }
    };
    auto record = [](const std::string& name, const std::string& text) { return name + "\x1f" + text + "\x1e"; };
    int step = 0;
    killRepeatedly([&] { cycle(step++); },
                   [&](int round) {
                       const std::string now = slurp(path);
                       const auto names = readScriptNames(path);
                       ASSERT_TRUE(names.has_value());
                       const auto a = getScriptText(path, "A");
                       const auto b = getScriptText(path, "B");
                       ASSERT_TRUE(a && b) << "round " << round;
                       EXPECT_TRUE(*a == "start" || *a == longText) << "round " << round;
                       EXPECT_TRUE(*b == "b1" || *b == longText) << "round " << round;
                       // The file is exactly its records and the end marker.
                       std::string rebuilt = record("A", *a) + record("B", *b);
                       if (names->size() == 3)
                           rebuilt += record("C", "c");
                       EXPECT_TRUE(now == rebuilt + "\x17") << "round " << round << ": " << now.size() << " bytes";
                   });
}

TEST_F(CrashSafety, FontAndHeaderFilesAreCompleteOrAbsent)
{
    // A font whose ".bf" is some 50 KB, and a picture whose header is large.
    std::string font("\xbf\xf2", 2);
    auto le32 = [](std::uint32_t v) { return std::string { char(v), char(v >> 8), char(v >> 16), char(v >> 24) }; };
    font += le32(512) + le32(832) + le32(64) + le32(64) + std::string("\x08\x20", 2) + std::string(256, '\x20');
    for (int i = 0; i < 512 * 832; ++i)
        font.push_back(static_cast<char>(i % 3 ? 0 : 0xFF));
    const std::string fontPath = dir + "/big.bff";
    std::ofstream(fontPath, std::ios::binary) << font;
    const auto bmp = test::makeBmp24(200, 100, [](std::uint32_t x, std::uint32_t y) {
        return std::array<std::uint8_t, 3> { static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(y), 9 };
    });
    const std::string bmpPath = dir + "/pic.bmp";
    std::ofstream(bmpPath, std::ios::binary).write(reinterpret_cast<const char*>(bmp.data()),
                                                   static_cast<std::streamsize>(bmp.size()));

    test::FakeClock clock;
    test::FakeLineLog log;
    SerialPort port(clock, std::make_unique<test::FakeBackend>(clock, log));
    const fs::path previous = fs::current_path();
    fs::current_path(dir);
    auto writeBoth = [&] {
        TransferRequest f(port);
        f.fileName = fontPath;
        f.createFile = 1;
        sendFont(f, [](std::int32_t, std::int32_t) { return 0; });
        TransferRequest p(port);
        p.fileName = bmpPath;
        p.createFile = 1;
        sendPicture(p, [](std::int32_t, std::int32_t) { return 0; });
    };
    // The finished files, for comparison.
    writeBoth();
    const std::string bf = slurp(dir + "/big.bf");
    const std::string header = slurp(dir + "/bmpHead.h");
    ASSERT_GT(bf.size(), 40000u);
    ASSERT_GT(header.size(), 100000u);
    fs::remove(dir + "/big.bf");
    fs::remove(dir + "/bmpHead.h");

    killRepeatedly(writeBoth, [&](int round) {
        for (const auto& [name, complete] : { std::pair { "/big.bf", &bf }, std::pair { "/bmpHead.h", &header } }) {
            const std::string path = dir + name;
            if (fs::exists(path)) {
                EXPECT_TRUE(slurp(path) == *complete) << "round " << round << ": " << name << " is cut short";
            }
        }
    });
    fs::current_path(previous);
}
