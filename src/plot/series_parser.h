// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace merovan {

// One value of a data line: the series it belongs to (its index among the
// parser's names) and the number. NaN is a gap; infinities are kept as they
// came and are not drawn.
struct SeriesValue
{
    int series = 0;
    double value = 0.0;
};

// One data line.
struct SeriesRow
{
    std::int64_t timeMs = 0; // when the line's first byte arrived
    std::uint64_t line = 0;  // number of the data line, from 0 since the last reset
    std::vector<SeriesValue> values;
};

// What the parser saw besides data.
struct SeriesCounts
{
    std::uint64_t dataLines = 0;     // lines that became samples
    std::uint64_t skippedLines = 0;  // every other non-blank line, the two below included
    std::uint64_t longLines = 0;     // longer than SeriesParser::kMaxLineBytes
    std::uint64_t cutLines = 0;      // cut by cut() (a reconnect)
    std::uint64_t refusedValues = 0; // values of labels past the series limit
};

// Reads "a decimal number" as the plot takes it: an optional sign, digits
// with an optional point, an optional exponent; also nan, inf and infinity
// in any case. A magnitude too large for a double is an infinity, one too
// small is zero. False for anything else (blanks included).
bool parseSeriesNumber(std::string_view text, double& value);

// Turns received text into samples, line by line. CR and LF end a line.
//
// A line is data when every field of it parses:
// - a field is "label:value" (split at its last colon, so labels may hold
//   colons) or a bare value, named by its position in the line ("1", "2"...);
// - a line holding a comma or a tab is split on those only, so labels may
//   hold blanks; otherwise on runs of blanks ("temp: 21.5" stays one field);
// - empty fields are gaps, except trailing ones, which are ignored;
// - a line of at least two names that no number is, directly followed by a
//   line of as many bare values with the same separators, is a CSV header:
//   it names those columns from then on, until another header replaces it.
// With a prefix set, only lines that start with it are read, without it.
// Other lines, lines longer than kMaxLineBytes (never buffered past that)
// and lines cut by cut() are skipped and counted.
//
// At most kMaxSeries names are made; values of later labels are refused
// and counted, and the first refused label is kept for a note.
class SeriesParser
{
public:
    static constexpr std::size_t kMaxSeries = 64;
    static constexpr std::size_t kMaxLineBytes = 4096;

    SeriesParser();

    // Only lines beginning with prefix count (empty: every line). Takes
    // effect from the next line.
    void setPrefix(std::string prefix) { m_prefix = std::move(prefix); }
    const std::string& prefix() const { return m_prefix; }

    // Reads bytes that arrived at timeMs, appending a row for each data line
    // they complete. A line keeps the time of the call its first byte came in.
    void feed(std::span<const std::uint8_t> bytes, std::int64_t timeMs, std::vector<SeriesRow>& rows);
    void feed(std::string_view text, std::int64_t timeMs, std::vector<SeriesRow>& rows);

    // The connection was broken (a reconnect, bytes read by someone else):
    // the line under way is dropped, and so is what follows up to the next
    // line end, which is the rest of a line whose start was lost.
    void cut();

    // Forgets everything: names, header, counts, the line under way. The
    // prefix stays.
    void reset();

    // Series names in order of first appearance; a row's series index
    // points in here.
    const std::vector<std::string>& names() const { return m_names; }
    const SeriesCounts& counts() const { return m_counts; }
    // The first label refused for lack of room; empty while none was.
    const std::string& firstRefusedLabel() const { return m_firstRefused; }
    // True while a line is under way.
    bool inLine() const { return m_inLine; }

private:
    struct Field
    {
        std::string_view label; // empty for a bare value
        std::string_view text;
        bool labelled = false;
    };
    void endLine(std::vector<SeriesRow>& rows);
    void parseLine(std::string_view line, std::vector<SeriesRow>& rows);
    int seriesFor(std::string_view name);

    std::string m_prefix;
    std::string m_line;
    bool m_inLine = false;
    bool m_overlong = false;
    bool m_resync = false;   // after a cut, until the next line end
    bool m_fragment = false; // bytes were dropped in that state
    std::int64_t m_lineTime = 0;
    std::uint64_t m_nextLine = 0;

    std::vector<std::string> m_names;
    std::unordered_map<std::string, int> m_index;
    std::string m_firstRefused;
    SeriesCounts m_counts;

    // The header in force and the one waiting for its first data line.
    std::vector<std::string> m_header;
    unsigned m_headerSeparators = 0;
    std::vector<std::string> m_pending;
    unsigned m_pendingSeparators = 0;

    // Reused from line to line.
    std::vector<Field> m_fields;
    std::vector<std::string_view> m_pieces;
    std::vector<double> m_values;
    std::vector<int> m_lastSeries; // the series of each field of the last data line
};

} // namespace merovan
