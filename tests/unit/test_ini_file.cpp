// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/ini_file.h"
#include "settings/settings_path.h"
#include "settings/stored_list.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

using merovan::IniFile;

namespace fs = std::filesystem;

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

fs::path scratchDir(const std::string& name)
{
    const fs::path dir = fs::temp_directory_path() / ("merovan-ini-" + std::to_string(::getpid()) + "-" + name);
    fs::remove_all(dir);
    fs::create_directories(dir);
    return dir;
}

} // namespace

TEST(IniFile, NamesMatchWithoutRegardToCase)
{
    IniFile ini;
    ini.parse("[comm]\r\nPORT=3\r\n[MainForm]\nFont = Courier New \n");
    EXPECT_EQ(ini.readInteger("COMM", "Port", 0), 3);
    EXPECT_EQ(ini.readString("MAINFORM", "font", "x"), "Courier New");
    EXPECT_EQ(ini.readString("MainFORM", "Missing", "fallback"), "fallback");
    EXPECT_EQ(ini.readString("Nowhere", "Font", "fb"), "fb");
}

TEST(IniFile, IntegersAreDecimalOrHexAndAnythingElseGivesTheDefault)
{
    IniFile ini;
    ini.parse("[s]\nhex=0xFF\nHEX=0XfF\ntwo=0x\nneg=-12\nword=abc\nmixed=12abc\nempty=\nbig=0x00FF8000\nplus=+7\n");
    EXPECT_EQ(ini.readInteger("s", "hex", -1), 255);
    EXPECT_EQ(ini.readInteger("s", "two", -1), -1) << "\"0x\" alone is not a number";
    EXPECT_EQ(ini.readInteger("s", "neg", 0), -12);
    EXPECT_EQ(ini.readInteger("s", "word", 10), 10);
    EXPECT_EQ(ini.readInteger("s", "mixed", 10), 10);
    EXPECT_EQ(ini.readInteger("s", "empty", 4), 4);
    EXPECT_EQ(ini.readInteger("s", "big", 0), 0xFF8000);
    EXPECT_EQ(ini.readInteger("s", "plus", 0), 7);
    EXPECT_EQ(ini.readInteger("s", "none", 42), 42);
    EXPECT_TRUE(ini.readBool("s", "neg", false));
    EXPECT_FALSE(ini.readBool("s", "word", false));
}

TEST(IniFile, ReadsAreCutTo1023CharactersAndKeepByte7F)
{
    const std::string longValue(2000, 'x');
    const std::string list = std::string("a.txt\x7f") + "b.txt\x7f";
    IniFile ini;
    ini.writeString("s", "long", longValue);
    ini.writeString("s", "list", list);
    EXPECT_EQ(ini.readString("s", "long", "").size(), 1023u);
    EXPECT_EQ(ini.readString("s", "list", ""), list);
    // The whole value is kept in the file, only reads are cut.
    EXPECT_NE(ini.text().find(longValue), std::string::npos);
}

TEST(IniFile, WritesKeepUnknownLinesAndTheKeysSpelling)
{
    IniFile ini;
    ini.parse("; a comment\n[Other]\nmine=1\n\n[checked]\nECHO=5\nFoo=bar\n[Tail]\nz=9\n");
    ini.writeInteger("CHECKED", "Echo", 1);
    ini.writeInteger("CHECKED", "CTS", 0);
    ini.writeString("New", "Key", "v");
    EXPECT_EQ(ini.text(), "; a comment\r\n[Other]\r\nmine=1\r\n\r\n[checked]\r\nECHO=1\r\nFoo=bar\r\nCTS=0\r\n[Tail]\r\nz=9\r\n"
                          "[New]\r\nKey=v\r\n");
}

TEST(IniFile, LineBreaksCannotCorruptTheFile)
{
    IniFile ini;
    ini.writeString("s", "k", "first\nsecond=evil");
    EXPECT_EQ(ini.readString("s", "k", ""), "first");
    EXPECT_FALSE(ini.hasKey("s", "second"));
}

TEST(IniFile, SaveReplacesTheFileAtomicallyAndReportsFailure)
{
    const fs::path dir = scratchDir("save");
    const std::string path = (dir / "Merovan.ini").string();
    IniFile missing(path);
    EXPECT_TRUE(missing.load()) << "a missing file reads as empty";
    EXPECT_EQ(missing.readInteger("COMM", "Baud", 4), 4);

    missing.writeInteger("COMM", "Baud", 9);
    ASSERT_TRUE(missing.save()) << missing.error();
    EXPECT_EQ(slurp(path), "[COMM]\r\nBaud=9\r\n");
    EXPECT_FALSE(fs::exists(path + ".tmp"));

    IniFile again(path);
    ASSERT_TRUE(again.load());
    EXPECT_EQ(again.readInteger("comm", "baud", 0), 9);

    IniFile nowhere((dir / "no-such-dir" / "Merovan.ini").string());
    nowhere.writeInteger("a", "b", 1);
    EXPECT_FALSE(nowhere.save());
    fs::remove_all(dir);
}

TEST(StoredList, SplitAndJoinFollowTheSeparator)
{
    using merovan::joinList;
    using merovan::splitList;
    EXPECT_TRUE(splitList("").empty());
    EXPECT_EQ(splitList("a.bin\x7f" "b.bmp\x7f"), (std::vector<std::string> { "a.bin", "b.bmp" }));
    EXPECT_EQ(splitList("a.bin\x7f" "b.bmp"), (std::vector<std::string> { "a.bin" })) << "no trailing 7F";
    EXPECT_EQ(splitList("a\x7f\x7f" "b\x7f"), (std::vector<std::string> { "a", "", "b" }));
    EXPECT_EQ(joinList({ "a", "", "b" }), "a\x7f\x7f" "b\x7f");
    EXPECT_EQ(joinList({}), "");
    EXPECT_EQ(joinList({ "same", "same" }), "same\x7fsame\x7f");

    // Entries that do not fit the join buffer are left out whole.
    std::vector<std::string> many(30, std::string(1000, 'p'));
    const std::string joined = joinList(many);
    EXPECT_LT(joined.size(), merovan::kJoinBufferSize);
    EXPECT_EQ(joined.size() % 1001, 0u);
    EXPECT_EQ(splitList(joined).size(), joined.size() / 1001);
}

