// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/display_text.h"
#include "terminal/line_map.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using merovan::EnterMap;
using merovan::IncomingLineMapper;
using merovan::IncomingMap;

std::vector<std::uint8_t> bytesOf(std::string_view text)
{
    return { text.begin(), text.end() };
}

std::string textOf(const std::vector<std::uint8_t>& bytes)
{
    return { bytes.begin(), bytes.end() };
}

// Feeds the reads one after another and returns everything mapped.
std::string mapReads(IncomingMap map, const std::vector<std::string>& reads)
{
    IncomingLineMapper mapper(map);
    std::vector<std::uint8_t> out;
    for (const std::string& read : reads)
        mapper.apply(bytesOf(read), out);
    return textOf(out);
}

struct MapCase
{
    IncomingMap map;
    std::vector<std::string> reads;
    std::string expected;
};

} // namespace

TEST(LineMap, EnterSendsTheChosenLineEnd)
{
    EXPECT_EQ(textOf({ merovan::enterBytes(EnterMap::Cr).begin(), merovan::enterBytes(EnterMap::Cr).end() }), "\r");
    EXPECT_EQ(textOf({ merovan::enterBytes(EnterMap::Lf).begin(), merovan::enterBytes(EnterMap::Lf).end() }), "\n");
    EXPECT_EQ(textOf({ merovan::enterBytes(EnterMap::CrLf).begin(), merovan::enterBytes(EnterMap::CrLf).end() }),
              "\r\n");
}

TEST(LineMap, NamesGoBothWaysAndUnknownWordsGiveNothing)
{
    for (const EnterMap m : { EnterMap::Cr, EnterMap::Lf, EnterMap::CrLf })
        EXPECT_EQ(merovan::enterMapFromName(merovan::enterMapName(m)), m);
    for (const IncomingMap m : { IncomingMap::AsReceived, IncomingMap::LfAddsCr, IncomingMap::LoneCrBreaks })
        EXPECT_EQ(merovan::incomingMapFromName(merovan::incomingMapName(m)), m);
    EXPECT_EQ(merovan::enterMapFromName("crlf"), EnterMap::CrLf);
    EXPECT_EQ(merovan::incomingMapFromName("lf-crlf"), IncomingMap::LfAddsCr);
    EXPECT_EQ(merovan::enterMapFromName(""), std::nullopt);
    EXPECT_EQ(merovan::enterMapFromName("CRL"), std::nullopt);
    EXPECT_EQ(merovan::incomingMapFromName("CR"), std::nullopt);
}

TEST(LineMap, IncomingMapsTable)
{
    const IncomingMap asIs = IncomingMap::AsReceived;
    const IncomingMap lf = IncomingMap::LfAddsCr;
    const IncomingMap cr = IncomingMap::LoneCrBreaks;
    const std::vector<MapCase> cases = {
        { asIs, { "a\rb\nc\r\nd" }, "a\rb\nc\r\nd" },
        { asIs, { std::string("\x1b[1m\0\xff", 6) }, std::string("\x1b[1m\0\xff", 6) },
        { lf, { "a\nb" }, "a\r\nb" },
        { lf, { "a\r\nb" }, "a\r\nb" },
        { lf, { "a\r", "\nb" }, "a\r\nb" },
        { lf, { "\n\n" }, "\r\n\r\n" },
        { lf, { "a\rb" }, "a\rb" },
        { lf, { "\r\r\n" }, "\r\r\n" },
        { lf, { "\n\r" }, "\r\n\r" },
        { cr, { "a\rb" }, "a\r\nb" },
        { cr, { "a\r\nb" }, "a\r\nb" },
        { cr, { "a\r", "\nb" }, "a\r\nb" },
        { cr, { "a\r", "b" }, "a\r\nb" },
        { cr, { "a\r" }, "a\r" },
        { cr, { "a\nb" }, "a\nb" },
        { cr, { "\r\r\n" }, "\r\r\n" },
        { cr, { "\r\r", "x" }, "\r\r\nx" },
        { cr, { "a\r\x1b[K" }, "a\r\n\x1b[K" },
        { cr, { "\r", "", "\n" }, "\r\n" },
    };
    for (const MapCase& c : cases) {
        std::string label;
        for (const std::string& r : c.reads)
            label += "[" + r + "]";
        EXPECT_EQ(mapReads(c.map, c.reads), c.expected) << "map " << merovan::incomingMapName(c.map) << " reads " << label;
    }
}

TEST(LineMap, SplittingTheInputAnywhereChangesNothing)
{
    const std::string input = "boot\r\nok\rprompt> \n\r\n\r\rx\n\x1b[0m\r";
    for (const IncomingMap m : { IncomingMap::AsReceived, IncomingMap::LfAddsCr, IncomingMap::LoneCrBreaks }) {
        const std::string whole = mapReads(m, { input });
        for (std::size_t cut = 0; cut <= input.size(); ++cut)
            EXPECT_EQ(mapReads(m, { input.substr(0, cut), input.substr(cut) }), whole)
                << merovan::incomingMapName(m) << " cut at " << cut;
    }
}

// What the raw view shows: a CR LF pair, wherever the reads split it, is one
// line end and never a blank line, under every map.
TEST(LineMap, RawViewShowsASplitPairAsOneLineEnd)
{
    const std::string input = "one\r\ntwo\r\nthree\r\n";
    for (const IncomingMap m : { IncomingMap::AsReceived, IncomingMap::LfAddsCr, IncomingMap::LoneCrBreaks }) {
        for (std::size_t cut = 0; cut <= input.size(); ++cut) {
            IncomingLineMapper mapper(m);
            merovan::TerminalTextFormatter formatter;
            std::string shown;
            for (const std::string& part : { input.substr(0, cut), input.substr(cut) })
                shown += formatter.format(mapper.apply(bytesOf(part)));
            EXPECT_EQ(shown, "one\ntwo\nthree\n") << merovan::incomingMapName(m) << " cut at " << cut;
        }
    }
}

TEST(LineMap, AsReceivedLeavesTheRawViewAsItWas)
{
    // The raw view already starts a line at a lone CR and a lone LF; the
    // default map must leave every byte as it came.
    std::vector<std::uint8_t> all;
    for (int b = 0; b < 256; ++b)
        all.push_back(static_cast<std::uint8_t>(b));
    IncomingLineMapper mapper;
    EXPECT_EQ(mapper.apply(all), all);
}

TEST(LineMap, ResetForgetsACrJustRead)
{
    IncomingLineMapper mapper(IncomingMap::LfAddsCr);
    mapper.apply(bytesOf("a\r"));
    mapper.reset();
    EXPECT_EQ(textOf(mapper.apply(bytesOf("\n"))), "\r\n");
    mapper.setMap(IncomingMap::LoneCrBreaks);
    EXPECT_EQ(mapper.map(), IncomingMap::LoneCrBreaks);
    mapper.apply(bytesOf("\r"));
    mapper.reset();
    EXPECT_EQ(textOf(mapper.apply(bytesOf("b"))), "b");
}
