// SPDX-License-Identifier: GPL-3.0-or-later
#include "plot/series_csv.h"
#include "plot/series_parser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

using merovan::SeriesParser;
using merovan::SeriesRow;

namespace {

// Rows as "name=value;name=value | ...", values in the CSV form.
std::string describe(const SeriesParser& parser, const std::vector<SeriesRow>& rows)
{
    std::string out;
    for (const SeriesRow& row : rows) {
        if (!out.empty())
            out += " | ";
        bool first = true;
        for (const auto& v : row.values) {
            if (!first)
                out += ';';
            first = false;
            out += parser.names().at(static_cast<std::size_t>(v.series)) + '=';
            merovan::appendSeriesValue(out, v.value);
        }
    }
    return out;
}

struct Case
{
    const char* what;
    std::string input;
    std::string prefix;
    std::string rows;
    std::uint64_t skipped;
};

} // namespace

TEST(SeriesParser, FieldsSeparatorsLabelsNumbersAndHeaders)
{
    const Case cases[] = {
        { "labels split on commas", "a:1,b:2\r\n", "", "a=1;b=2", 0 },
        { "labels may hold blanks with commas", "temp left:1.5, temp right:-2\n", "", "temp left=1.5;temp right=-2", 0 },
        { "tabs split too", "x:1\ty:2\n", "", "x=1;y=2", 0 },
        { "a comma and a tab in one line", "x:1,y:2\tz:3\n", "", "x=1;y=2;z=3", 0 },
        { "runs of blanks without commas", "1 2   3\n", "", "1=1;2=2;3=3", 0 },
        { "labels split on blanks", "a:1 b:2\n", "", "a=1;b=2", 0 },
        { "a label parted from its value by blanks", "temp: 21.5 hum:  40\n", "", "temp=21.5;hum=40", 0 },
        { "bare values named by position", "1.5,2.5\n", "", "1=1.5;2=2.5", 0 },
        { "labelled and bare mixed", "a:1,2\n", "", "a=1;2=2", 0 },
        { "padded numbers", "  12 ,  -3.25  \n", "", "1=12;2=-3.25", 0 },
        { "signs, points and exponents", "+1e3,-1.5e-3,.5,5.,1E+2\n", "", "1=1000;2=-0.0015;3=0.5;4=5;5=100", 0 },
        { "nan is a gap", "a:nan,b:1\n", "", "a=nan;b=1", 0 },
        { "infinities and exponents out of range", "a:inf,b:-Infinity,c:1e999,d:1e-999,e:-1e99999999999\n", "",
          "a=inf;b=-inf;c=inf;d=0;e=-inf", 0 },
        { "a colon inside a label", "ch:1:3.5\n", "", "ch:1=3.5", 0 },
        { "trailing separators", "1,2,\na:1\tb:2\t\n", "", "1=1;2=2 | a=1;b=2", 0 },
        { "an empty field inside is a gap", "1,,3\n", "", "1=1;2=nan;3=3", 0 },
        { "an empty value is a gap", "a:,b:2\n", "", "a=nan;b=2", 0 },
        { "a field that is not a number spoils the line", "a:1,b:x\n", "", "", 1 },
        { "text is skipped", "hello\nBoot v1.2 ok\n1\n", "", "1=1", 2 },
        { "not numbers", "0x10\n1e\ne5\n.\n+\n--1\n1.2.3\n1,2,a\n", "", "", 8 },
        { "an empty label", ":5\n", "", "", 1 },
        { "control bytes in a label", "a\x01:1\n", "", "", 1 },
        { "blank lines are not counted", "\r\n\r\n   \n1\r\n", "", "1=1", 0 },
        { "CR alone ends a line", "1\r2\r", "", "1=1 | 1=2", 0 },
        { "a CSV header names the columns", "time,temp,hum\n0,21.5,40\n1,21.6,41\n", "",
          "time=0;temp=21.5;hum=40 | time=1;temp=21.6;hum=41", 1 },
        { "a header with tabs", "x\ty\n1\t2\n", "", "x=1;y=2", 1 },
        { "a header with blanks", "x y\n1 2\n", "", "x=1;y=2", 1 },
        { "quoted header names", "\"x\",\"y\"\n1,2\n", "", "x=1;y=2", 1 },
        { "a header not right before its data", "x,y\nsome text\n1,2\n", "", "1=1;2=2", 2 },
        { "a header with another field count", "a,b\n1,2,3\n", "", "1=1;2=2;3=3", 1 },
        { "a header with other separators", "a b\n1,2\n", "", "1=1;2=2", 1 },
        { "a header stays until another", "a,b\n1,2\nnoise\n3,4\nc,d\n5,6\n", "", "a=1;b=2 | a=3;b=4 | c=5;d=6", 3 },
        { "labelled lines ignore the header", "a,b\n1,2\nx:1,y:2\n", "", "a=1;b=2 | x=1;y=2", 1 },
        { "the prefix filter", "> a:1\nlog text\n>b:2\n", ">", "a=1 | b=2", 1 },
        { "a longer prefix", "DATA:1,2\nDATA: t:5\nDATA\nDAT:1\n", "DATA:", "1=1;2=2 | t=5", 2 },
        { "a prefix alone", ">\n> \n", ">", "", 2 },
        { "without the prefix a prefixed line is text", "> 1\n", "", "", 1 },
    };
    for (const Case& c : cases) {
        SeriesParser parser;
        parser.setPrefix(c.prefix);
        std::vector<SeriesRow> rows;
        parser.feed(c.input, 0, rows);
        EXPECT_EQ(describe(parser, rows), c.rows) << c.what;
        EXPECT_EQ(parser.counts().skippedLines, c.skipped) << c.what;
        EXPECT_EQ(parser.counts().dataLines, rows.size()) << c.what;
        // Byte by byte, the same.
        SeriesParser slow;
        slow.setPrefix(c.prefix);
        std::vector<SeriesRow> slowRows;
        for (const char ch : c.input)
            slow.feed(std::string_view(&ch, 1), 0, slowRows);
        EXPECT_EQ(describe(slow, slowRows), c.rows) << c.what << " (byte by byte)";
    }
}

TEST(SeriesParser, NumbersAlone)
{
    const std::pair<const char*, double> good[] = {
        { "0", 0.0 }, { "-0", -0.0 }, { "42", 42.0 }, { "+7", 7.0 }, { "-1.5e-3", -1.5e-3 }, { "2.", 2.0 },
        { ".25", 0.25 }, { "1e308", 1e308 }, { "4.9e-324", 4.9e-324 }, { "00012", 12.0 },
    };
    for (const auto& [text, expected] : good) {
        double v = 99.0;
        ASSERT_TRUE(merovan::parseSeriesNumber(text, v)) << text;
        EXPECT_EQ(v, expected) << text;
    }
    double v = 0.0;
    ASSERT_TRUE(merovan::parseSeriesNumber("NaN", v));
    EXPECT_TRUE(std::isnan(v));
    ASSERT_TRUE(merovan::parseSeriesNumber("-INF", v));
    EXPECT_TRUE(std::isinf(v) && v < 0);
    ASSERT_TRUE(merovan::parseSeriesNumber("1e400", v));
    EXPECT_TRUE(std::isinf(v) && v > 0);
    ASSERT_TRUE(merovan::parseSeriesNumber("-1e-400", v));
    EXPECT_EQ(v, 0.0);
    for (const char* bad : { "", " 1", "1 ", "abc", "1a", "0x1F", "1e", "1e+", "e1", ".", "-", "+-1", "nan(1)", "in",
                             "1,5", "1_000" })
        EXPECT_FALSE(merovan::parseSeriesNumber(bad, v)) << bad;
}

TEST(SeriesParser, LinesAcrossReadsKeepTheTimeOfTheirFirstByte)
{
    SeriesParser parser;
    std::vector<SeriesRow> rows;
    parser.feed("a:1,b", 100, rows);
    EXPECT_TRUE(rows.empty());
    EXPECT_TRUE(parser.inLine());
    parser.feed(":2\r", 200, rows);
    parser.feed("\na:3", 300, rows);
    parser.feed("\n", 400, rows);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(describe(parser, rows), "a=1;b=2 | a=3");
    EXPECT_EQ(rows[0].timeMs, 100);
    EXPECT_EQ(rows[1].timeMs, 300);
    EXPECT_EQ(rows[0].line, 0u);
    EXPECT_EQ(rows[1].line, 1u);
}

TEST(SeriesParser, AReconnectCutsTheLineUnderWay)
{
    SeriesParser parser;
    std::vector<SeriesRow> rows;
    parser.feed("a:1,b:2\na:3", 0, rows);
    parser.cut();
    // The device goes on where it was: the rest of the cut line is no sample.
    parser.feed(",b:4\na:5,b:6\n", 10, rows);
    EXPECT_EQ(describe(parser, rows), "a=1;b=2 | a=5;b=6");
    EXPECT_EQ(parser.counts().cutLines, 1u);
    EXPECT_EQ(parser.counts().skippedLines, 1u);

    // A cut between lines loses the first line after it, which may be a rest.
    rows.clear();
    parser.cut();
    parser.feed("b:7\na:8\n", 20, rows);
    EXPECT_EQ(describe(parser, rows), "a=8");
    EXPECT_EQ(parser.counts().cutLines, 2u);

    // Nothing lost when the line end comes first.
    rows.clear();
    parser.cut();
    parser.feed("\na:9\n", 30, rows);
    EXPECT_EQ(describe(parser, rows), "a=9");
    EXPECT_EQ(parser.counts().cutLines, 2u);
}

TEST(SeriesParser, LabelsPastTheLimitAreRefused)
{
    SeriesParser parser;
    std::vector<SeriesRow> rows;
    std::string line;
    for (int i = 0; i < 70; ++i)
        line += "s" + std::to_string(i) + ":" + std::to_string(i) + ",";
    parser.feed(line + "\n", 0, rows);
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].values.size(), SeriesParser::kMaxSeries);
    EXPECT_EQ(parser.names().size(), SeriesParser::kMaxSeries);
    EXPECT_EQ(parser.names().back(), "s63");
    EXPECT_EQ(parser.firstRefusedLabel(), "s64");
    EXPECT_EQ(parser.counts().refusedValues, 6u);

    // Ten thousand distinct labels: the names stay at the limit, the first
    // refusal stays the one told.
    for (int i = 0; i < 10000; ++i)
        parser.feed("label" + std::to_string(i) + ":1\n", 0, rows);
    EXPECT_EQ(parser.names().size(), SeriesParser::kMaxSeries);
    EXPECT_EQ(parser.firstRefusedLabel(), "s64");
    EXPECT_EQ(parser.counts().refusedValues, 10006u);
    EXPECT_EQ(rows.size(), 1u); // a line with nothing left to plot is no row
    // Known labels still plot.
    parser.feed("s1:5\n", 0, rows);
    EXPECT_EQ(rows.size(), 2u);
}

TEST(SeriesParser, OverLongLinesAreSkippedWithoutBeingKept)
{
    SeriesParser parser;
    std::vector<SeriesRow> rows;
    const std::string chunk(64 * 1024, '7');
    parser.feed("1,", 0, rows);
    for (int i = 0; i < 16; ++i) // a megabyte without a line end
        parser.feed(chunk, 0, rows);
    parser.feed("\na:1\n", 0, rows);
    EXPECT_EQ(describe(parser, rows), "a=1");
    EXPECT_EQ(parser.counts().longLines, 1u);
    EXPECT_EQ(parser.counts().skippedLines, 1u);

    // A line of exactly the limit is still read.
    rows.clear();
    std::string longest = "x:1," + std::string(SeriesParser::kMaxLineBytes - 4, ' ');
    ASSERT_EQ(longest.size(), SeriesParser::kMaxLineBytes);
    parser.feed(longest + "\n", 0, rows);
    EXPECT_EQ(describe(parser, rows), "x=1");
    // One more byte and it is not.
    parser.feed(longest + " \n", 0, rows);
    EXPECT_EQ(parser.counts().longLines, 2u);
}

TEST(SeriesParser, GarbageMakesNoSeries)
{
    SeriesParser parser;
    std::vector<SeriesRow> rows;
    std::uint32_t x = 12345;
    std::vector<std::uint8_t> noise(200000);
    for (auto& b : noise) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    parser.feed(noise, 0, rows);
    // What binary noise yields is bounded, whatever it is.
    EXPECT_LE(parser.names().size(), SeriesParser::kMaxSeries);
    for (const auto& row : rows)
        for (const auto& v : row.values)
            EXPECT_LT(static_cast<std::size_t>(v.series), parser.names().size());
    EXPECT_GT(parser.counts().skippedLines, 0u);
}

TEST(SeriesParser, ResetForgetsNamesButKeepsThePrefix)
{
    SeriesParser parser;
    parser.setPrefix("#");
    std::vector<SeriesRow> rows;
    parser.feed("#a:1\nx\n#b:", 0, rows);
    parser.reset();
    EXPECT_TRUE(parser.names().empty());
    EXPECT_EQ(parser.counts().skippedLines, 0u);
    EXPECT_EQ(parser.prefix(), "#");
    rows.clear();
    parser.feed("#c:2\n", 0, rows);
    EXPECT_EQ(describe(parser, rows), "c=2");
    EXPECT_EQ(rows[0].line, 0u);
}
