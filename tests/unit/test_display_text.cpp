// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/display_text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {
std::string show(std::vector<std::uint8_t> bytes)
{
    return merovan::formatForDisplay(bytes);
}
} // namespace

TEST(DisplayText, ShowsNonPrintableBytesInBrackets)
{
    EXPECT_EQ(show({ 0x41, 0x42, 0x0D, 0x0A, 0x43 }), "AB\r\nC");
    EXPECT_EQ(show({ 0x1B, 0x5B, 0x32, 0x4A }), "[1b][2J");
    EXPECT_EQ(show({ 0x41, 0x08, 0x42 }), "AB");
    EXPECT_EQ(show({ 0xFF, 0x7F, 0x80 }), "[ff]\x7f[80]");
    EXPECT_EQ(show({ 0x09, 0x01, 0x1F }), "\t[01][1f]");
}

TEST(DisplayText, ZeroByteIsShownAndDoesNotEndTheChunk)
{
    EXPECT_EQ(show({ 0x41, 0x00, 0x42 }), "A[00]B");
}

TEST(TerminalTextFormatter, EachLineEndMakesOneBreakAcrossChunks)
{
    merovan::TerminalTextFormatter f;
    auto feed = [&](std::vector<std::uint8_t> bytes) { return f.format(bytes); };
    EXPECT_EQ(feed({ 'a', 0x0D, 0x0A, 'b' }), "a\nb");
    EXPECT_EQ(feed({ 'c', 0x0D }), "c\n");
    EXPECT_EQ(feed({ 0x0A, 'd' }), "d") << "the LF completes the CR of the last chunk";
    EXPECT_EQ(feed({ 0x0A, 0x0A }), "\n\n") << "lone LFs each break";
    EXPECT_EQ(feed({ 0x0D, 0x0D, 0x0A }), "\n\n");
    EXPECT_EQ(feed({ 0x0A, 0x0D }), "\n\n");
    EXPECT_EQ(feed({ 'x', 0x00, 0x1B, 0xE9, 0x08, 'y' }), "x[00][1b][e9]y");
    f.reset();
    EXPECT_EQ(feed({ 0x0A }), "\n");
}
