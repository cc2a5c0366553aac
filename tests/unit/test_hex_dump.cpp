// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/hex_dump.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <unistd.h>

namespace {

std::vector<std::uint8_t> bytes(std::string_view s)
{
    return { s.begin(), s.end() };
}

} // namespace

TEST(HexDump, RowsOfSixteenWithOffsetAndPrintableCharacters)
{
    merovan::HexDumper d;
    std::string out;
    d.feed(bytes(std::string("Hello\r\n\0\xff" "ABCDEFGHIJ", 19)), out);
    EXPECT_EQ(out, "00000000  48 65 6c 6c 6f 0d 0a 00  ff 41 42 43 44 45 46 47  |Hello....ABCDEFG|\n");
    EXPECT_EQ(d.partialRow(), "00000010  48 49 4a                                          |HIJ|");
    EXPECT_EQ(d.offset(), 19u);
    EXPECT_EQ(out.size() - 1, merovan::HexDumper::kRowLength);
}

TEST(HexDump, ARowSplitAcrossReadsComesOutWhole)
{
    const std::string data = "0123456789abcdefXYZ";
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
        merovan::HexDumper split;
        std::string out;
        split.feed(bytes(data.substr(0, cut)), out);
        if (cut < 16) {
            EXPECT_EQ(out, "") << cut;
        }
        split.feed(bytes(data.substr(cut)), out);
        merovan::HexDumper whole;
        std::string expected;
        whole.feed(bytes(data), expected);
        EXPECT_EQ(out, expected) << cut;
        EXPECT_EQ(split.partialRow(), whole.partialRow()) << cut;
    }
    merovan::HexDumper d;
    EXPECT_EQ(d.partialRow(), "");
}

// The same layout as the standard tool, on random data cut into random reads.
TEST(HexDump, MatchesHexdumpDashC)
{
    if (std::system("command -v hexdump >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "hexdump is not installed";
    std::mt19937 rng(13);
    std::vector<std::uint8_t> data(1000);
    for (auto& x : data)
        x = static_cast<std::uint8_t>(rng());
    const std::string in = std::filesystem::temp_directory_path() / ("merovan-hex-" + std::to_string(::getpid()));
    std::ofstream(in, std::ios::binary).write(reinterpret_cast<const char*>(data.data()), 1000);

    merovan::HexDumper d;
    std::string ours;
    for (std::size_t at = 0; at < data.size();) {
        const std::size_t n = std::min<std::size_t>(rng() % 40, data.size() - at);
        d.feed(std::span(data).subspan(at, n), ours);
        at += n;
    }
    ours += d.partialRow() + "\n";

    std::string theirs;
    if (std::FILE* p = ::popen(("hexdump -v -C " + in).c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
            theirs.append(buf, n);
        ::pclose(p);
    }
    std::filesystem::remove(in);
    // hexdump ends with the total length on a line of its own.
    ASSERT_EQ(theirs.substr(theirs.size() - 9), "000003e8\n");
    theirs.resize(theirs.size() - 9);
    // and pads a short last row with blanks to the full width.
    const auto lastRow = ours.rfind('\n', ours.size() - 2) + 1;
    EXPECT_EQ(ours.substr(0, lastRow), theirs.substr(0, lastRow));
    EXPECT_EQ(ours.substr(lastRow, 60), theirs.substr(lastRow, 60));
}

TEST(HexDump, StampedRowsCarryTheTimeOfTheirFirstByte)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    constexpr std::int64_t t0 = 1796749571123; // 2026-12-08 17:06:11.123
    merovan::StampedHexDump d;
    d.setTimestamps(true);
    std::string out;
    d.feed(bytes("0123456789"), t0, out);
    EXPECT_EQ(out, "");
    EXPECT_EQ(d.partialRow().substr(0, 34), "2026-12-08 17:06:11.123 00000000  ");
    d.feed(bytes("abcdefghijklmnopqrstuvwxyz"), t0 + 1000, out);
    // The first row began in the first read; the second began in the second.
    EXPECT_EQ(out, "2026-12-08 17:06:11.123 00000000  30 31 32 33 34 35 36 37  38 39 61 62 63 64 65 66  |0123456789abcdef|\n"
                   "2026-12-08 17:06:12.123 00000010  67 68 69 6a 6b 6c 6d 6e  6f 70 71 72 73 74 75 76  |ghijklmnopqrstuv|\n");
    EXPECT_EQ(d.partialRow().substr(0, 24), "2026-12-08 17:06:12.123 ");
    merovan::StampedHexDump plain;
    std::string rows;
    plain.feed(bytes("0123456789abcdef"), t0, rows);
    EXPECT_EQ(rows.substr(0, 10), "00000000  ");
}
