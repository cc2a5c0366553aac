// SPDX-License-Identifier: GPL-3.0-or-later
#include "scripts/script_store.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;
using namespace merovan;

namespace {

class ScriptStore : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("merovan-scr-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir);
        path = (dir / "tests.scr").string();
    }
    void TearDown() override
    {
        std::error_code ec;
        fs::permissions(dir, fs::perms::owner_all, ec);
        fs::remove_all(dir);
    }

    std::string bytes() const
    {
        std::ifstream in(path, std::ios::binary);
        std::ostringstream s;
        s << in.rdbuf();
        return s.str();
    }
    void write(const std::string& content) const { std::ofstream(path, std::ios::binary) << content; }

    StoreMessages say = [this](const std::string& m) { messages.push_back(m); };
    fs::path dir;
    std::string path;
    std::vector<std::string> messages;
};

} // namespace

TEST_F(ScriptStore, RecordsHaveTheirExactBytes)
{
    ASSERT_TRUE(createScriptFile(path));
    EXPECT_EQ(bytes(), "\x17");
    EXPECT_EQ(readScriptNames(path), std::vector<std::string> {});

    EXPECT_TRUE(addScript(path, "A", "x", say));
    EXPECT_EQ(bytes(), "A\x1fx\x1e\x17");
    EXPECT_TRUE(addScript(path, "B", "y", say));
    EXPECT_EQ(bytes(), "A\x1fx\x1e" "B\x1fy\x1e\x17");

    EXPECT_FALSE(addScript(path, "A", "other", say));
    EXPECT_EQ(messages, std::vector<std::string> { "Scip name already exists, use update" });
    EXPECT_EQ(bytes(), "A\x1fx\x1e" "B\x1fy\x1e\x17");

    updateScript(path, "A", "zz", say);
    EXPECT_EQ(bytes(), "A\x1fzz\x1e" "B\x1fy\x1e\x17");
    EXPECT_FALSE(fs::exists(dir / "tests.tmp"));

    EXPECT_TRUE(addScript(path, "a", "lower", say)) << "names differ by case";
    EXPECT_EQ(readScriptNames(path), (std::vector<std::string> { "A", "B", "a" }));
    EXPECT_EQ(getScriptText(path, "a"), "lower");
    EXPECT_EQ(getScriptText(path, "missing"), std::nullopt);
}

TEST_F(ScriptStore, UpdateOfANewNameAppendsAndRemoveKeepsTheMarker)
{
    write("A\x1fx\x1e\x17");
    updateScript(path, "C", "new", say);
    EXPECT_EQ(bytes(), "A\x1fx\x1e" "C\x1fnew\x1e\x17");
    removeScript(path, "C", say);
    EXPECT_EQ(bytes(), "A\x1fx\x1e\x17");
    removeScript(path, "A", say);
    EXPECT_EQ(bytes(), "\x17");
    removeScript(path, "A", say);
    EXPECT_EQ(messages, std::vector<std::string> { "Scrip not found do cant remove" });
    EXPECT_EQ(bytes(), "\x17");
}

TEST_F(ScriptStore, TextsKeepLineEndsAndUnitSeparators)
{
    write("A\x1fx\x1e\x17");
    const std::string multi = "AT\\r\r\nATZ\r\n\\w100";
    EXPECT_TRUE(addScript(path, "multi", multi, say));
    EXPECT_EQ(getScriptText(path, "multi"), multi);

    // A file from elsewhere may hold 0x1F inside a text.
    write("A\x1fone\x1fmore\x1e" "B\x1fy\x1e\x17");
    EXPECT_EQ(getScriptText(path, "A"), "one\x1fmore");
    EXPECT_EQ(readScriptNames(path), (std::vector<std::string> { "A", "B" }));
    updateScript(path, "B", "z", say);
    EXPECT_EQ(bytes(), "A\x1fone\x1fmore\x1e" "B\x1fz\x1e\x17");
}

TEST_F(ScriptStore, BytesAfterTheMarkerAreNotContent)
{
    write("A\x1fx\x1e\x17junk\x1fj\x1e");
    EXPECT_EQ(readScriptNames(path), std::vector<std::string> { "A" });
    EXPECT_TRUE(addScript(path, "B", "y", say));
    EXPECT_EQ(bytes(), std::string("A\x1fx\x1e" "B\x1fy\x1e\x17") + "\x1fj\x1e") << "written over the marker";
    removeScript(path, "A", say);
    EXPECT_EQ(bytes(), "B\x1fy\x1e\x17");
}

TEST_F(ScriptStore, AFileWithoutAnEndMarkerTakesNoNewRecords)
{
    write("A\x1fx\x1e");
    EXPECT_FALSE(addScript(path, "B", "y", say));
    EXPECT_EQ(messages, std::vector<std::string> { path + " is not a script file (no end marker); nothing was written" });
    EXPECT_EQ(bytes(), "A\x1fx\x1e");
    EXPECT_EQ(readScriptNames(path), (std::vector<std::string> { "A", "" })) << "one more, empty, name";
    write("A\x1fx\x1e" "B\x1fpart");
    EXPECT_EQ(readScriptNames(path), (std::vector<std::string> { "A", "B" }));
}

TEST_F(ScriptStore, LimitsAndReservedBytesAreRefusedAndChangeNothing)
{
    write("\x17");
    EXPECT_FALSE(addScript(path, std::string(260, 'n'), "x", say));
    EXPECT_TRUE(addScript(path, std::string(259, 'n'), "x", say));
    EXPECT_FALSE(addScript(path, "long", std::string(1024, 't'), say));
    EXPECT_TRUE(addScript(path, "fits", std::string(1023, 't'), say));
    EXPECT_FALSE(addScript(path, "bad\x1e", "x", say));
    EXPECT_FALSE(addScript(path, "bad\x1f", "x", say));
    EXPECT_FALSE(addScript(path, "bad\x17", "x", say));
    EXPECT_FALSE(addScript(path, "bad", "x\x17y", say));
    EXPECT_FALSE(addScript(path, "bad", "x\x1ey", say));
    const std::string before = bytes();
    updateScript(path, "fits", std::string(1024, 'u'), say);
    updateScript(path, "fits", "a\x1e" "b", say);
    EXPECT_EQ(bytes(), before);
    ASSERT_EQ(messages.size(), 9u);
    EXPECT_EQ(messages[0], "Script name too long: at most 259 bytes");
    EXPECT_EQ(messages[1], "Script text too long: at most 1023 bytes");
    EXPECT_EQ(messages[2], "Script name holds a byte reserved by script files (1F, 1E or 17)");
    EXPECT_EQ(messages[5], "Script text holds a byte reserved by script files (1E or 17)");
}

TEST_F(ScriptStore, ATextHoldingAUnitSeparatorIsStoredAndReadBack)
{
    ASSERT_TRUE(createScriptFile(path));
    ASSERT_TRUE(addScript(path, "framed", "a\x1f" "b\x1f", say));
    ASSERT_TRUE(addScript(path, "next", "plain", say));
    EXPECT_EQ(readScriptNames(path), (std::vector<std::string> { "framed", "next" }));
    EXPECT_EQ(getScriptText(path, "framed"), "a\x1f" "b\x1f");
    EXPECT_EQ(getScriptText(path, "next"), "plain");
    // Rewrites around it keep it whole.
    ASSERT_TRUE(updateScript(path, "next", "changed", say));
    ASSERT_TRUE(removeScript(path, "next", say));
    EXPECT_EQ(getScriptText(path, "framed"), "a\x1f" "b\x1f");
    ASSERT_TRUE(updateScript(path, "framed", "\x1f", say));
    EXPECT_EQ(getScriptText(path, "framed"), "\x1f");
    EXPECT_EQ(readScriptNames(path), (std::vector<std::string> { "framed" }));
    EXPECT_TRUE(messages.empty());
}

TEST_F(ScriptStore, TemporaryNamesAndDefaultExtensions)
{
    EXPECT_EQ(scriptTempPath("/x/tests.scr"), "/x/tests.tmp");
    EXPECT_EQ(scriptTempPath("/x/my.tests.scr"), "/x/my.tmp");
    EXPECT_EQ(scriptTempPath("/x.d/plain"), "/x.d/plain.tmp");
    EXPECT_EQ(scriptTempPath("/x/keep.tmp"), "/x/keep.tmp.tmp") << "never the script file itself";

    std::string p;
    EXPECT_FALSE(addDefaultExtension(p));
    p = "/x/name";
    EXPECT_TRUE(addDefaultExtension(p));
    EXPECT_EQ(p, "/x/name.scr");
    p = "/x/name.";
    EXPECT_TRUE(addDefaultExtension(p));
    EXPECT_EQ(p, "/x/name..scr");
    p = "/x/name.txt";
    EXPECT_TRUE(addDefaultExtension(p));
    EXPECT_EQ(p, "/x/name.txt");
    p = "/x.d/name";
    EXPECT_TRUE(addDefaultExtension(p));
    EXPECT_EQ(p, "/x.d/name.scr");
}

TEST_F(ScriptStore, AFailedReplaceLeavesTheOriginal)
{
    // The temporary name is taken by a folder: the rewrite cannot happen.
    write("A\x1fx\x1e" "B\x1fy\x1e\x17");
    fs::create_directories(dir / "tests.tmp" / "blocker");
    updateScript(path, "A", "changed", say);
    removeScript(path, "B", say);
    EXPECT_EQ(bytes(), "A\x1fx\x1e" "B\x1fy\x1e\x17");
    EXPECT_TRUE(fs::is_directory(dir / "tests.tmp"));
}

TEST_F(ScriptStore, FindScriptLeavesTheFileAtTheText)
{
    write("A\x1fx\x1e" "Bee\x1fyz\x1e\x17");
    std::FILE* f = std::fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(findScript(f, "Bee"), 4);
    EXPECT_EQ(std::fgetc(f), 'y');
    EXPECT_EQ(findScript(f, "A"), 0);
    EXPECT_EQ(findScript(f, "C"), -1);
    EXPECT_EQ(findScript(f, "\x17"), -1);
    std::fclose(f);
}

TEST_F(ScriptStore, AFileThatIsNoScriptFileIsNeverWritten)
{
    const struct
    {
        std::string content;
        std::string problem; // empty: a script file
    } cases[] = {
        { "\x17", "" },
        { "A\x1fx\x1e\x17", "" },
        { "A\x1fx\x1f\x1e\x17trailing \x01\x02", "" },
        { "", "no end marker" },
        { "plain text, no separators\n", "record 1: its name has no end" },
        { "A\x1fx\x1e", "no end marker" },
        { "A\x1fx", "record 1: its text has no end" },
        { "A\x1ex\x1fy\x1e\x17", "record 1: its name holds a reserved byte" },
        { "A\x1fx\x1e" "B\x1fy\x17", "record 2: its text holds the end marker" },
        { std::string(260, 'n') + "\x1fx\x1e\x17", "record 1: its name is longer than 259 bytes" },
        { "n\x1f" + std::string(1024, 't') + "\x1e\x17", "record 1: its text is longer than 1023 bytes" },
        { std::string("\x7f" "ELF\x02\x01\x01\x00\x00\x1f\x8b\x1e\xff\x00\x17", 15), "record 2: its name holds a reserved byte" },
        { std::string("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16), "record 1: its name has no end" },
    };
    for (const auto& c : cases) {
        EXPECT_EQ(scriptFileProblem(c.content), c.problem) << testing::PrintToString(c.content);
        write(c.content);
        std::string why;
        EXPECT_EQ(isScriptFile(path, &why), c.problem.empty());
        EXPECT_EQ(why, c.problem);
        if (!c.problem.empty()) {
            messages.clear();
            EXPECT_FALSE(addScript(path, "new", "x", say));
            EXPECT_FALSE(updateScript(path, "A", "x", say));
            EXPECT_FALSE(updateScript(path, "new", "x", say));
            EXPECT_FALSE(removeScript(path, "A", say));
            EXPECT_FALSE(renameScript(path, "A", "B", say));
            EXPECT_EQ(bytes(), c.content) << "nothing written";
            ASSERT_EQ(messages.size(), 5u);
            for (const std::string& m : messages)
                EXPECT_EQ(m, path + " is not a script file (" + c.problem + "); nothing was written");
        }
    }
    EXPECT_FALSE(isScriptFile((dir / "missing.scr").string()));
}

TEST_F(ScriptStore, RenameKeepsTheTextAndThePlace)
{
    write("A\x1fx\r\ny\x1e" "B\x1fz\x1e\x17tail");
    EXPECT_TRUE(renameScript(path, "A", "Alpha", say));
    EXPECT_EQ(bytes(), "Alpha\x1fx\r\ny\x1e" "B\x1fz\x1e\x17tail");
    EXPECT_TRUE(renameScript(path, "B", "B", say)) << "to itself: nothing to do";
    EXPECT_TRUE(messages.empty());
    EXPECT_FALSE(renameScript(path, "B", "Alpha", say));
    EXPECT_FALSE(renameScript(path, "missing", "C", say));
    EXPECT_FALSE(renameScript(path, "B", "bad\x1f", say));
    EXPECT_EQ(bytes(), "Alpha\x1fx\r\ny\x1e" "B\x1fz\x1e\x17tail");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0], "Scip name already exists, use update");
    EXPECT_EQ(messages[1], "Script not found: missing");
    EXPECT_EQ(messages[2], "Script name holds a byte reserved by script files (1F, 1E or 17)");
}
