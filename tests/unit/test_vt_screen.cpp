// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/vt_screen.h"
#include "terminal/vt_text.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

using merovan::VtCell;
using merovan::VtColor;
using merovan::VtKey;
using merovan::VtLine;
using merovan::VtScreen;

namespace {

std::vector<std::string> rowsOf(const VtScreen& s)
{
    std::vector<std::string> rows;
    for (int r = 0; r < s.rows(); ++r)
        rows.push_back(merovan::vtLineText(s.row(r)));
    while (!rows.empty() && rows.back().empty())
        rows.pop_back();
    return rows;
}

// Everything a view could draw: every cell with its look, and the cursor.
struct Snapshot
{
    std::vector<VtLine> rows;
    int cursorRow = 0;
    int cursorCol = 0;
    bool alt = false;
    std::vector<std::string> scrolled;
    std::string answers;
    friend bool operator==(const Snapshot&, const Snapshot&) = default;
};

Snapshot run(const std::vector<std::string>& feeds, int rows = 6, int cols = 20)
{
    Snapshot snap;
    VtScreen s(rows, cols);
    s.setScrollbackHandler([&](const VtLine& line) { snap.scrolled.push_back(merovan::vtLineText(line)); });
    s.setOutputHandler([&](std::string_view bytes) { snap.answers.append(bytes); });
    for (const std::string& f : feeds)
        s.feed(f);
    for (int r = 0; r < s.rows(); ++r)
        snap.rows.push_back(s.row(r));
    snap.cursorRow = s.cursorRow();
    snap.cursorCol = s.cursorCol();
    snap.alt = s.altScreen();
    return snap;
}

std::vector<std::string> textOf(const Snapshot& snap)
{
    std::vector<std::string> rows;
    for (const VtLine& l : snap.rows)
        rows.push_back(merovan::vtLineText(l));
    while (!rows.empty() && rows.back().empty())
        rows.pop_back();
    return rows;
}

struct Case
{
    const char* name;
    std::string input;
    std::vector<std::string> screen; // the rows, trailing empty ones left out
    int cursorRow;
    int cursorCol;
};

const std::vector<Case>& cases()
{
    static const std::vector<Case> table = {
        { "plain text and CR LF", "ab\r\ncd", { "ab", "cd" }, 1, 2 },
        { "LF alone keeps the column", "ab\ncd", { "ab", "  cd" }, 1, 4 },
        { "backspace moves back", "abc\bX", { "abX" }, 0, 3 },
        { "cursor up, down, forward, back", "\x1b[3;5Hx\x1b[Ay\x1b[2Bz\x1b[3Cw\x1b[5Dv",
          { "", "     y", "    x", "      v   w" }, 3, 7 },
        { "cursor addressing CUP, HVP, CHA, VPA", "\x1b[2;3Ha\x1b[4;1fb\x1b[6Gc\x1b[1dd",
          { "      d", "  a", "", "b    c" }, 0, 7 },
        { "CUP without arguments goes home", "xyz\x1b[Hq", { "qyz" }, 0, 1 },
        { "erase in line: to the end, to the start, whole",
          "abcdef\x1b[1;3H\x1b[K\r\n123456\x1b[2;3H\x1b[1K\r\n\r\nuvwxyz\x1b[2K",
          { "ab", "   456" }, 3, 6 },
        { "erase in display: below, above, all", "11\r\n22\r\n33\x1b[2;1H\x1b[J", { "11" }, 1, 0 },
        { "erase above", "11\r\n22\r\n33\x1b[2;2H\x1b[1J", { "", "", "33" }, 1, 1 },
        { "erase all keeps the cursor", "11\r\n22\x1b[2J", {}, 1, 2 },
        { "insert and delete characters", "abcdef\x1b[1;2H\x1b[2@XY\x1b[1;6H\x1b[1P", { "aXYbcef" }, 0, 5 },
        { "erase characters", "abcdef\x1b[1;2H\x1b[3X", { "a   ef" }, 0, 1 },
        { "insert and delete lines", "1\r\n2\r\n3\r\n4\x1b[2;1H\x1b[L\x1b[4;1H\x1b[M",
          { "1", "", "2", "4" }, 3, 0 },
        { "scroll region: LF at its bottom scrolls only the region",
          "top\x1b[2;4r\x1b[2;1Ha\r\nb\r\nc\r\nd\x1b[r\x1b[6;1Hbot", { "top", "b", "c", "d", "", "bot" }, 5, 3 },
        { "reverse index at the region's top scrolls down", "\x1b[2;4r\x1b[2;1Ha\x1b[3;1Hb\x1b[2;1H\x1bMz",
          { "", "z", "a", "b" }, 1, 1 },
        { "save and restore the cursor, ESC 7 / ESC 8", "ab\x1b" "7\x1b[4;4Hxx\x1b" "8cd", { "abcd", "", "", "   xx" }, 0, 4 },
        { "save and restore the cursor, CSI s / u", "ab\x1b[s\x1b[4;4Hxx\x1b[ucd", { "abcd", "", "", "   xx" }, 0, 4 },
        { "alternate screen keeps the main one", "main\x1b[?1049hALT\x1b[?1049l", { "main" }, 0, 4 },
        { "autowrap on", "0123456789012345678901", { "01234567890123456789", "01" }, 1, 2 },
        { "autowrap off overwrites the last column", "\x1b[?7l0123456789012345678901", { "01234567890123456781" },
          0, 19 },
        { "tabs every eight columns", "a\tb\tc", { "a       b       c" }, 0, 17 },
        { "tab stops set and cleared", "\x1b[3g\x1b[1;4H\x1bH\r\tx\x1b[1;4H\x1b[g\r\ty", { "   x               y" }, 0, 19 },
        { "DEC line drawing", "\x1b(0lqk\r\nx x\r\nmqj\x1b(Bq", { "┌─┐", "│ │", "└─┘q" }, 2, 4 },
        { "SGR leaves the text alone", "\x1b[1;4;7;31;42mX\x1b[38;5;208;48;2;1;2;3mY\x1b[0mZ", { "XYZ" }, 0, 3 },
        { "REP repeats the last character to the line's end", "ab\x1b[3bc\r\n-\x1b[99b", { "abbbbc", std::string(20, '-') }, 1, 19 },
        { "UTF-8 characters", "gr\xc3\xbc\xc3\x9f \xe2\x82\xac", { "grüß €" }, 0, 6 },
    };
    return table;
}

} // namespace

TEST(VtScreen, EachSequenceGivesItsScreen)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const Snapshot snap = run({ c.input });
        EXPECT_EQ(textOf(snap), c.screen);
        EXPECT_EQ(snap.cursorRow, c.cursorRow);
        EXPECT_EQ(snap.cursorCol, c.cursorCol);
    }
}

TEST(VtScreen, SequencesSplitAtEveryByteGiveTheSameScreen)
{
    for (const Case& c : cases()) {
        SCOPED_TRACE(c.name);
        const Snapshot whole = run({ c.input });
        for (std::size_t at = 1; at < c.input.size(); ++at) {
            SCOPED_TRACE("split at " + std::to_string(at));
            ASSERT_EQ(run({ c.input.substr(0, at), c.input.substr(at) }), whole);
        }
        std::vector<std::string> bytes;
        for (const char b : c.input)
            bytes.emplace_back(1, b);
        EXPECT_EQ(run(bytes), whole) << "fed one byte at a time";
    }
}

TEST(VtScreen, SgrSetsTheCellsLook)
{
    VtScreen s(2, 20);
    s.feed("\x1b[1mB\x1b[22;4mU\x1b[24;7mR\x1b[0m"
           "\x1b[31ma\x1b[91mb\x1b[38;5;208mc\x1b[38;2;1;2;3md\x1b[39m"
           "\x1b[44me\x1b[48;5;17mf\x1b[48;2;250;251;252mg\x1b[0mh");
    struct Expect
    {
        int col;
        char32_t ch;
        bool bold, underline, reverse;
        VtColor fg, bg;
    };
    const Expect table[] = {
        { 0, U'B', true, false, false, {}, {} },
        { 1, U'U', false, true, false, {}, {} },
        { 2, U'R', false, false, true, {}, {} },
        { 3, U'a', false, false, false, VtColor::indexed(1), {} },
        { 4, U'b', false, false, false, VtColor::indexed(9), {} },
        { 5, U'c', false, false, false, VtColor::indexed(208), {} },
        { 6, U'd', false, false, false, VtColor::rgb(1, 2, 3), {} },
        { 7, U'e', false, false, false, {}, VtColor::indexed(4) },
        { 8, U'f', false, false, false, {}, VtColor::indexed(17) },
        { 9, U'g', false, false, false, {}, VtColor::rgb(250, 251, 252) },
        { 10, U'h', false, false, false, {}, {} },
    };
    for (const Expect& e : table) {
        SCOPED_TRACE(e.col);
        const VtCell c = s.cell(0, e.col);
        EXPECT_EQ(c.ch, e.ch);
        EXPECT_EQ(c.bold, e.bold);
        EXPECT_EQ(c.underline, e.underline);
        EXPECT_EQ(c.reverse, e.reverse);
        EXPECT_EQ(c.fg, e.fg);
        EXPECT_EQ(c.bg, e.bg);
    }
}

TEST(VtScreen, LinesScrolledOffGoToTheScrollbackInOrder)
{
    VtScreen s(3, 10);
    std::vector<VtLine> scrolled;
    s.setScrollbackHandler([&](const VtLine& line) { scrolled.push_back(line); });
    s.feed("\x1b[31mred\x1b[0m  \r\n2\r\n3\r\n4\r\n5");
    ASSERT_EQ(scrolled.size(), 2u);
    EXPECT_EQ(merovan::vtLineText(scrolled[0]), "red");
    EXPECT_EQ(scrolled[0].size(), 3u) << "trailing blanks are left off";
    EXPECT_EQ(scrolled[0][0].fg, VtColor::indexed(1)) << "the colours go along";
    EXPECT_EQ(merovan::vtLineText(scrolled[1]), "2");
    EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "3", "4", "5" }));

    // Neither the alternate screen nor a region below the top feeds it.
    s.feed("\x1b[?1049h\r\na\r\nb\r\nc\r\nd\x1b[?1049l");
    s.feed("\x1b[2;3r\x1b[3;1H\r\nx\r\ny\x1b[r");
    EXPECT_EQ(scrolled.size(), 2u);
    // Erasing the screen does not either; scrolling it up does.
    s.feed("\x1b[2J\x1b[H1\r\n2\r\n3\r\n4");
    ASSERT_EQ(scrolled.size(), 3u);
    EXPECT_EQ(merovan::vtLineText(scrolled[2]), "1");
}

// Where two texts part: the line there in each, or nothing when they do not.
std::string firstDifference(const std::string& a, const std::string& b)
{
    const auto at = static_cast<std::size_t>(std::mismatch(a.begin(), a.begin() + static_cast<std::ptrdiff_t>(std::min(a.size(), b.size())), b.begin()).first - a.begin());
    if (at == a.size() && at == b.size())
        return {};
    const std::size_t line = a.rfind('\n', at == 0 ? 0 : at - 1);
    const std::size_t from = line == std::string::npos ? 0 : line + 1;
    return "at byte " + std::to_string(at) + ": \"" + a.substr(from, a.find('\n', at) - from) + "\" against \""
        + b.substr(from, b.find('\n', at) - from) + "\"";
}

// A flood of plain lines is taken in bulk when it arrives in one piece; fed a
// byte at a time it never is. Both must give the same scrollback text, the
// same cells and cursor, and carry on alike.
TEST(VtScreen, AFloodTakenInBulkShowsAsLineByLine)
{
    auto lines = [](int count, auto make) {
        std::string out;
        for (int i = 0; i < count; ++i)
            out += make(i) + "\r\n";
        return out;
    };
    const std::string esp = lines(300, [](int i) {
        static const char* colours[] = { "32", "33", "31", "32" };
        std::string words;
        for (int w = 0; w < 3 + i % 17; ++w)
            words += " w" + std::to_string(i * w % 9973);
        return "\x1b[0;" + std::string(colours[i % 4]) + "mI (" + std::to_string(i * 37) + ") tag:" + words + "\x1b[0m";
    });
    const std::string widths = lines(300, [](int i) {
        // Empty, short, exactly one and two screens wide, trailing spaces.
        const int n = (i * 7) % 170;
        std::string s(static_cast<std::size_t>(n), static_cast<char>('a' + i % 26));
        if (i % 5 == 0 && n > 3)
            s.replace(s.size() - 3, 3, "   ");
        if (i % 11 == 0)
            s.assign(static_cast<std::size_t>(i % 3 == 0 ? 80 : 160), 'x');
        return s;
    });
    const std::string backgrounds = lines(200, [](int i) {
        // The pen's background outlives the line end: the new row is filled with it.
        return "\x1b[" + std::to_string(41 + i % 6) + "mbg " + std::to_string(i) + (i % 3 ? "\x1b[m" : "")
            + (i % 7 == 0 ? "\x1b[1;4;7;38;5;200;48;2;1;2;3m" : "");
    });
    struct Case
    {
        const char* name;
        std::string before;
        std::string flood;
    };
    const std::vector<Case> cases = {
        { "coloured log", "", esp },
        { "widths and wraps", "", widths },
        { "backgrounds", "", backgrounds },
        { "screen with text, cursor at the top", "\x1b[2J\x1b[Htop\r\nsecond\x1b[5;3Hmid", esp },
        { "cursor at the bottom of a full screen", lines(40, [](int i) { return "old " + std::to_string(i); }), esp },
        { "bottom row with text under the cursor", lines(40, [](int i) { return std::to_string(i); }) + "prompt> \r",
          widths },
        { "scroll region", "\x1b[3;5r", esp },
        { "region set and reset", "\x1b[3;5r\x1b[r\x1b[99;1H", esp },
        { "line drawing", "\x1b(0", widths },
        { "line drawing in G1 shifted in", "\x1b)0\x0e\x0f", widths },
        { "line drawing shifted out", "\x1b)0\x0e", widths },
        { "alternate screen", "\x1b[?1049h", esp },
        { "back from the alternate screen", "\x1b[?1049h\x1b[?1049l\x1b[99;1H", esp },
        { "no autowrap", "\x1b[?7l", widths },
        { "newline mode", "\x1b[20h", esp },
        { "insert mode", "\x1b[4h", esp },
        { "left and right margins", "\x1b[?69h\x1b[3;9s", widths },
        { "double-width line", "\x1b[99;1H\x1b#6", widths },
        { "single shift", "\x1b*0\x1bN", esp },
        { "after a full reset", "\x1b(0\x1b[3;5r\x1b" "c", esp },
    };
    for (const int size : { 0, 1, 2, 3 }) {
        const int rows[] = { 24, 5, 1, 3 };
        const int cols[] = { 80, 10, 2, 7 };
        for (const Case& c : cases) {
            for (const bool latin1 : { false, true }) {
                SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(rows[size]) + "x" + std::to_string(cols[size])
                             + (latin1 ? " in Latin-1" : ""));
                VtScreen whole(rows[size], cols[size]);
                VtScreen bytes(rows[size], cols[size]);
                std::string wholeText;
                std::string bytesText;
                whole.setScrollbackTextHandler([&](std::string_view t) { wholeText += t; });
                bytes.setScrollbackTextHandler([&](std::string_view t) { bytesText += t; });
                whole.setUtf8(!latin1);
                bytes.setUtf8(!latin1);
                // Then a repeat of the last character, and more of the same.
                const std::string after = "\x1b[3b\r\n" + c.flood.substr(0, 700) + "end";
                for (const std::string& part : { c.before, c.flood, after }) {
                    whole.feed(part);
                    for (const char ch : part)
                        bytes.feed(std::string_view(&ch, 1));
                    ASSERT_EQ(firstDifference(wholeText, bytesText), "");
                    ASSERT_EQ(whole.cursorRow(), bytes.cursorRow());
                    ASSERT_EQ(whole.cursorCol(), bytes.cursorCol());
                    for (int r = 0; r < whole.rows(); ++r) {
                        for (int col = 0; col < whole.cols(); ++col)
                            ASSERT_EQ(whole.cell(r, col), bytes.cell(r, col)) << "row " << r << " column " << col;
                    }
                }
                // Neither a region short of the screen, nor the alternate
                // screen, nor a screen of one row scrolls into it.
                const std::string_view name = c.name;
                EXPECT_EQ(wholeText.empty(), name == "scroll region" || name == "alternate screen"
                                                 || name == "left and right margins" || rows[size] == 1);
            }
        }
    }
}

TEST(VtScreen, AnswersCursorPositionAndDeviceAttributes)
{
    struct Query
    {
        const char* name;
        std::string input;
        std::string answer;
    };
    const Query table[] = {
        { "cursor position at home", "\x1b[6n", "\x1b[1;1R" },
        { "cursor position after moves", "\x1b[5;12Hab\x1b[6n", "\x1b[5;14R" },
        { "cursor position clamped to the screen", "\x1b[99;99H\x1b[6n", "\x1b[24;80R" },
        { "DEC cursor position", "\x1b[3;4H\x1b[?6n", "\x1b[?3;4R" },
        { "status", "\x1b[5n", "\x1b[0n" },
        { "primary Device Attributes", "\x1b[c", "\x1b[?1;2c" },
        { "primary Device Attributes with 0", "\x1b[0c", "\x1b[?1;2c" },
        { "secondary Device Attributes", "\x1b[>c", "\x1b[>0;100;0c" },
        { "linenoise's probe: column at the far right", "\x1b[999C\x1b[6n", "\x1b[1;80R" },
    };
    for (const Query& q : table) {
        SCOPED_TRACE(q.name);
        VtScreen s(24, 80);
        std::string answer;
        s.setOutputHandler([&](std::string_view bytes) { answer.append(bytes); });
        for (std::size_t at = 0; at < q.input.size(); ++at) {
            answer.clear();
            s.reset();
            s.feed(q.input.substr(0, at));
            s.feed(q.input.substr(at));
            EXPECT_EQ(answer, q.answer) << "split at " << at;
        }
    }
}

// libvterm 0.1.4 answers an unknown status request (DCS $ q) through a
// format that reads memory at an address made of the request's length: only
// the requests it knows reach it, the others go unanswered.
TEST(VtScreen, OnlyKnownStatusRequestsAreAnswered)
{
    struct Row
    {
        const char* request;
        bool answered;
    };
    for (const Row& row : { Row { "\x1bP$qm\x1b\\", true }, Row { "\x1bP$qr\x07", true }, Row { "\x1bP$q q\x1b\\", true },
                            Row { "\x1bP$qx\x1b\\", false }, Row { "\x1bP$q\xff\x07", false },
                            Row { "\x1bP$qmm\x1b\\", false }, Row { "\x1bP$q\x1b\\", false } }) {
        SCOPED_TRACE(row.request);
        VtScreen s(4, 10);
        std::string sent;
        s.setOutputHandler([&](std::string_view bytes) { sent.append(bytes); });
        const std::string request = row.request;
        for (const char c : request)
            s.feed(std::string_view(&c, 1)); // split anywhere too
        s.feed(request + "ok");
        EXPECT_EQ(!sent.empty(), row.answered) << sent;
        EXPECT_EQ(merovan::vtLineText(s.row(0)), "ok");
    }
}

TEST(VtScreen, BracketedPasteIsTrackedAndWrapsPastedText)
{
    VtScreen s(4, 20);
    std::string sent;
    s.setOutputHandler([&](std::string_view bytes) { sent.append(bytes); });
    EXPECT_FALSE(s.bracketedPaste());
    s.paste("ls\r");
    EXPECT_EQ(sent, "ls\r");
    sent.clear();
    s.feed("\x1b[?2004h");
    EXPECT_TRUE(s.bracketedPaste());
    EXPECT_EQ(sent, "") << "asking does not send";
    s.paste("a\x1b[201~b");
    EXPECT_EQ(sent, "\x1b[200~a[201~b\x1b[201~") << "the text cannot close the bracket itself";
    s.feed("\x1b[?2004l");
    EXPECT_FALSE(s.bracketedPaste());
}

TEST(VtScreen, KeysSendXtermSequences)
{
    struct Key
    {
        const char* name;
        std::string modes; // fed first
        VtKey key;
        unsigned mods;
        std::string bytes;
    };
    const Key table[] = {
        { "up", "", VtKey::Up, 0, "\x1b[A" },
        { "down", "", VtKey::Down, 0, "\x1b[B" },
        { "right", "", VtKey::Right, 0, "\x1b[C" },
        { "left", "", VtKey::Left, 0, "\x1b[D" },
        { "up in application cursor mode", "\x1b[?1h", VtKey::Up, 0, "\x1bOA" },
        { "home", "", VtKey::Home, 0, "\x1b[H" },
        { "end", "", VtKey::End, 0, "\x1b[F" },
        { "page up", "", VtKey::PageUp, 0, "\x1b[5~" },
        { "page down", "", VtKey::PageDown, 0, "\x1b[6~" },
        { "insert", "", VtKey::Insert, 0, "\x1b[2~" },
        { "delete", "", VtKey::Delete, 0, "\x1b[3~" },
        { "F1", "", VtKey::F1, 0, "\x1bOP" },
        { "F4", "", VtKey::F4, 0, "\x1bOS" },
        { "F5", "", VtKey::F5, 0, "\x1b[15~" },
        { "F10", "", VtKey::F10, 0, "\x1b[21~" },
        { "F12", "", VtKey::F12, 0, "\x1b[24~" },
        { "ctrl+right", "", VtKey::Right, merovan::kVtCtrl, "\x1b[1;5C" },
        { "enter", "", VtKey::Enter, 0, "\r" },
        { "tab", "", VtKey::Tab, 0, "\t" },
        { "shift+tab", "", VtKey::Tab, merovan::kVtShift, "\x1b[Z" },
        { "escape", "", VtKey::Escape, 0, "\x1b" },
        { "backspace (DEL by default)", "", VtKey::Backspace, 0, "\x7f" },
        { "alt+backspace", "", VtKey::Backspace, merovan::kVtAlt, "\x1b\x7f" },
    };
    for (const Key& k : table) {
        SCOPED_TRACE(k.name);
        VtScreen s(24, 80);
        std::string sent;
        s.setOutputHandler([&](std::string_view bytes) { sent.append(bytes); });
        s.feed(k.modes);
        s.sendKey(k.key, k.mods);
        EXPECT_EQ(sent, k.bytes);
    }

    VtScreen s(24, 80);
    std::string sent;
    s.setOutputHandler([&](std::string_view bytes) { sent.append(bytes); });
    s.setBackspaceByte(0x08);
    s.sendKey(VtKey::Backspace);
    EXPECT_EQ(sent, "\b");
    sent.clear();
    s.sendChar(U'c', merovan::kVtCtrl);
    s.sendChar(U'A', merovan::kVtCtrl);
    s.sendChar(U'x', merovan::kVtAlt);
    s.sendChar(U'é');
    EXPECT_EQ(sent, "\x03\x01\x1bx\xc3\xa9");
    sent.clear();
    s.setUtf8(false);
    s.sendChar(U'é');
    EXPECT_EQ(sent, "\xe9");
}

TEST(VtScreen, Latin1ModeTakesSingleBytes)
{
    VtScreen s(2, 20);
    s.setUtf8(false);
    s.feed("caf\xe9 \xb0"
           "C");
    EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "café °C" }));
    s.feed("\r\n\x9b" "1mB\x9b" "0m\x9d" "0;title\x9c" "x");
    EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "café °C", "Bx" })) << "C1 controls act";
    EXPECT_TRUE(s.cell(1, 0).bold);
    EXPECT_EQ(s.title(), "title");
}

TEST(VtScreen, UnicodeSplitAcrossFeedsAndLongRunsOfMarks)
{
    VtScreen s(2, 20);
    for (const char b : std::string("\xe2\x82\xac\xf0\x9f\x98\x80!"))
        s.feed(std::string(1, b));
    EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "€\xf0\x9f\x98\x80!" }));
    EXPECT_EQ(s.cell(0, 1).width, 2) << "a wide character";

    const std::size_t start = s.engineBytes();
    s.feed("e");
    std::string marks;
    for (int i = 0; i < 2048; ++i)
        marks += "\xcc\x81";
    for (int i = 0; i < 100; ++i)
        s.feed(marks);
    EXPECT_EQ(s.engineBytes(), start) << "a run of combining marks is cut short";
    s.feed("x");
    EXPECT_EQ(s.cell(0, 4).ch, U'e');
    EXPECT_EQ(s.cell(0, 5).ch, U'x');
}

TEST(VtScreen, MalformedAndEndlessSequencesStayBounded)
{
    struct Bad
    {
        const char* name;
        std::string input;
        std::vector<std::string> screen;
    };
    const std::string manyParams = "\x1b[" + std::string(40, ';') + "1m";
    const std::string manyDigits = "\x1b[" + std::string(40, '9') + "A";
    const std::string longTitle = "\x1b]0;" + std::string(10000, 't') + "\x07";
    const Bad table[] = {
        { "forty parameters are dropped whole", "a" + manyParams + "b", { "ab" } },
        { "forty colons too", "a\x1b[38" + std::string(40, ':') + "5m" + "b", { "ab" } },
        { "a forty-digit parameter is dropped whole", "a" + manyDigits + "b", { "ab" } },
        { "a control inside a dropped sequence still acts", "a\x1b[" + std::string(20, ';') + "\r\nm" + "b",
          { "a", "b" } },
        { "an ESC ends a dropped sequence", "a\x1b[" + std::string(20, ';') + "\x1b[1mb", { "ab" } },
        { "an over-long title is abandoned, the rest shown", longTitle + "ok",
          { std::string(20, 't'), std::string(20, 't') } },
        { "a CSI cut by CAN", "a\x1b[12\x18" "b", { "ab" } },
        { "a CSI cut by ESC", "a\x1b[1\x1b[31mb", { "ab" } },
        { "stray bytes in a CSI", "a\x1b[1\x80" "b", { "ab" } },
        { "an ST without a string", "a\x1b\\b", { "ab" } },
        { "an unknown private mode", "a\x1b[?9999hb", { "ab" } },
        { "a cursor far off the screen", "\x1b[999999999;999999999Hx", { "", "", "", "", "", "                   x" } },
        { "a title ended by ESC backslash", "\x1b]0;hi\x1b\\ok", { "ok" } },
        { "a title of NULs ended by ESC backslash", "\x1b]0;" + std::string(20, '\0') + "t\x1b\\ok", { "ok" } },
        { "controls between a string's ESC and backslash", "\x1b]0;t\x1b\r" + std::string(1, '\0') + "\\ok", { "ok" } },
        { "controls after a string's ESC", "\x1b]0;t\x1b" + std::string(100, '\0') + "ok", { "ok" } },
        { "REP before any character", "\x1b[5bx", { "x" } },
        { "REP of a character without width", "\xe2\x80\x8b\x1b[999999999bx", { "x" } },
        { "invalid UTF-8", "a\xff\xc3(b", { "a\xef\xbf\xbd\xef\xbf\xbd(b" } },
    };
    for (const Bad& b : table) {
        SCOPED_TRACE(b.name);
        const Snapshot whole = run({ b.input });
        const std::vector<std::string> text = textOf(whole);
        if (std::string(b.name).find("title") != std::string::npos) {
            // Only the part past the limit shows; the screen keeps its last rows.
            ASSERT_FALSE(text.empty());
            EXPECT_EQ(text.back().substr(text.back().size() - 2), "ok");
        } else {
            EXPECT_EQ(text, b.screen);
        }
        for (std::size_t at = 1; at < b.input.size(); at += 1 + b.input.size() / 50)
            EXPECT_EQ(run({ b.input.substr(0, at), b.input.substr(at) }), whole) << "split at " << at;
    }
}

TEST(VtScreen, AnUnterminatedOscOfOneMegabyteNeitherHangsNorGrows)
{
    for (const std::string& opener : { std::string("\x1b]0;"), std::string("\x1bP"), std::string("\x1b]8;;") }) {
        SCOPED_TRACE(opener.substr(1));
        VtScreen s(24, 80);
        s.feed("before\r\n");
        const std::size_t start = s.engineBytes();
        s.feed(opener);
        const std::string chunk(4096, 'x');
        std::size_t most = start;
        for (int i = 0; i < 256; ++i) {
            s.feed(chunk);
            most = std::max(most, s.engineBytes());
        }
        EXPECT_EQ(most, start) << "the engine's memory stays as it was";
        // The string was abandoned: what follows shows.
        s.feed("\x1b[2J\x1b[Hafter");
        EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "after" }));
    }
}

TEST(VtScreen, ResizeKeepsTheTextAndTellsTheDeviceNothing)
{
    VtScreen s(4, 10);
    std::string sent;
    s.setOutputHandler([&](std::string_view bytes) { sent.append(bytes); });
    s.feed("abc\r\ndef");
    s.resize(8, 40);
    EXPECT_EQ(s.rows(), 8);
    EXPECT_EQ(s.cols(), 40);
    EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "abc", "def" }));
    s.feed("\x1b[99;99H\x1b[6n");
    EXPECT_EQ(sent, "\x1b[8;40R") << "only the query is answered";
    s.resize(0, -3);
    EXPECT_EQ(s.rows(), 1);
    EXPECT_EQ(s.cols(), 2) << "room for a wide character";
    s.feed("\xe4\xb8\xad\xe4\xb8\xad");
    EXPECT_EQ(s.cell(0, 0).width, 2);
}

// A region whose near edge is past the new size would scroll with a negative
// length in libvterm 0.1.4: a shrinking screen gives the margins back to the
// whole screen, and the cursor stays.
TEST(VtScreen, ShrinkingPastARegionResetsTheMargins)
{
    for (const char* margins : { "\x1b[5;9r", "\x1b[?69h\x1b[12;20s", "\x1b[12;20s" }) {
        SCOPED_TRACE(margins);
        VtScreen s(10, 30);
        std::vector<std::string> scrolled;
        s.setScrollbackTextHandler([&](std::string_view t) { scrolled.emplace_back(t); });
        s.feed(margins);
        s.feed("\x1b[3;4Hx");
        s.resize(3, 8);
        EXPECT_EQ(s.cursorRow(), 2);
        EXPECT_EQ(s.cursorCol(), 4);
        s.feed("\x1b[?69h\r\n1\r\n2\r\n3\r\n4\x1b[S\x1b[L\x1b[M");
        s.feed("\x1b[?69l\x1b[H\r\na\r\nb\r\nc\r\nd");
        EXPECT_EQ(rowsOf(s), (std::vector<std::string> { "b", "c", "d" }));
    }
    // A cursor saved further out than the screen now reaches comes back
    // at the nearest place on it.
    for (const char* restore : { "\x1b" "8", "\x1b[u", "\x1b[?1049l" }) {
        SCOPED_TRACE(restore);
        VtScreen s(10, 30);
        s.feed(std::string("\x1b[9;20H") + (restore[1] == '[' && restore[2] == '?' ? "\x1b[?1049h" : restore[1] == '[' ? "\x1b[s" : "\x1b" "7"));
        s.resize(3, 8);
        s.feed(std::string(restore) + "x");
        EXPECT_EQ(s.cursorRow(), 2);
        EXPECT_EQ(s.cell(2, 7).ch, U'x');
        s.feed("\x1b#6y\x1b" "8z"); // line data of the row the cursor is on
    }
    // Lines kept below the cursor move the screen up on a shrink; libvterm
    // 0.1.4 takes the cursor above the top with them.
    VtScreen s(6, 14);
    s.feed("\x1b[4habcd\x1b[3L");
    s.resize(2, 10);
    s.feed("x");
    EXPECT_EQ(s.cursorRow(), 0);
    EXPECT_EQ(s.cell(0, 4).ch, U'x');
}

TEST(VtText, DecodesLinesAsTextAndHtml)
{
    VtScreen s(2, 30);
    s.feed("\x1b[1;32mI (312)\x1b[0m a<b & \x1b[7mrev\x1b[0m \x1b[38;2;1;2;3mrgb\x1b[0m   ");
    const VtLine line = s.row(0);
    EXPECT_EQ(merovan::vtLineText(line), "I (312) a<b & rev rgb");
    EXPECT_EQ(merovan::vtLineHtml(line),
              "<span style=\"color:#00ff00;font-weight:bold;\">I (312)</span> a&lt;b &amp; "
              "<span style=\"color:#000000;background-color:#e5e5e5;\">rev</span> "
              "<span style=\"color:#010203;\">rgb</span>");
    const std::string page = merovan::vtHtmlBegin() + merovan::vtHtmlEnd();
    EXPECT_NE(page.find("<pre style=\"color:#e5e5e5;background-color:#000000;"), std::string::npos);

    struct Palette
    {
        std::uint8_t index;
        merovan::VtRgb rgb;
    };
    const Palette table[] = {
        { 1, { 0xCD, 0, 0 } }, { 15, { 255, 255, 255 } }, { 16, { 0, 0, 0 } },
        { 196, { 255, 0, 0 } }, { 208, { 255, 0x87, 0 } }, { 232, { 8, 8, 8 } }, { 255, { 238, 238, 238 } },
    };
    for (const Palette& p : table)
        EXPECT_EQ(merovan::vtPaletteColor(p.index), p.rgb) << int(p.index);
}
