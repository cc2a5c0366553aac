// SPDX-License-Identifier: GPL-3.0-or-later
#include "plot/series_parser.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace merovan {

namespace {

constexpr unsigned kComma = 1;
constexpr unsigned kTab = 2;

std::string_view trimmed(std::string_view s, std::string_view blanks = " \t")
{
    const auto first = s.find_first_not_of(blanks);
    if (first == std::string_view::npos)
        return {};
    const auto last = s.find_last_not_of(blanks);
    return s.substr(first, last - first + 1);
}

bool isDigit(char c)
{
    return c >= '0' && c <= '9';
}

bool sameWord(std::string_view text, std::string_view lowerWord)
{
    if (text.size() != lowerWord.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != lowerWord[i])
            return false;
    }
    return true;
}

bool hasControlByte(std::string_view s)
{
    for (const char c : s) {
        const auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            return true;
    }
    return false;
}

// A header name as a CSV file writes it: surrounding quotes go.
std::string headerName(std::string_view piece)
{
    if (piece.size() >= 2 && piece.front() == '"' && piece.back() == '"')
        piece = piece.substr(1, piece.size() - 2);
    return std::string(piece);
}

} // namespace

bool parseSeriesNumber(std::string_view text, double& value)
{
    if (text.empty())
        return false;
    bool negative = false;
    if (text.front() == '+' || text.front() == '-') {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (sameWord(text, "nan")) {
        value = std::numeric_limits<double>::quiet_NaN();
        return true;
    }
    if (sameWord(text, "inf") || sameWord(text, "infinity")) {
        value = negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
        return true;
    }
    std::size_t i = 0;
    std::size_t digits = 0;
    while (i < text.size() && isDigit(text[i])) {
        ++i;
        ++digits;
    }
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
            ++digits;
        }
    }
    if (digits == 0)
        return false;
    bool negativeExponent = false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
            negativeExponent = text[i] == '-';
            ++i;
        }
        std::size_t exponentDigits = 0;
        while (i < text.size() && isDigit(text[i])) {
            ++i;
            ++exponentDigits;
        }
        if (exponentDigits == 0)
            return false;
    }
    if (i != text.size())
        return false;
    double v = 0.0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        v = negativeExponent ? 0.0 : std::numeric_limits<double>::infinity();
    } else if (ec != std::errc() || end != text.data() + text.size()) {
        return false;
    }
    value = negative ? -v : v;
    return true;
}

SeriesParser::SeriesParser()
{
    m_line.reserve(kMaxLineBytes);
}

void SeriesParser::feed(std::string_view text, std::int64_t timeMs, std::vector<SeriesRow>& rows)
{
    feed(std::span<const std::uint8_t>(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), timeMs,
         rows);
}

void SeriesParser::feed(std::span<const std::uint8_t> bytes, std::int64_t timeMs, std::vector<SeriesRow>& rows)
{
    std::size_t i = 0;
    const std::size_t n = bytes.size();
    while (i < n) {
        const std::uint8_t b = bytes[i];
        if (b == '\n' || b == '\r') {
            if (m_inLine)
                endLine(rows);
            m_resync = false;
            ++i;
            continue;
        }
        if (m_resync) {
            // The rest of a line whose start was lost.
            if (!m_fragment) {
                m_fragment = true;
                ++m_counts.cutLines;
                ++m_counts.skippedLines;
            }
            while (i < n && bytes[i] != '\n' && bytes[i] != '\r')
                ++i;
            continue;
        }
        if (!m_inLine) {
            m_inLine = true;
            m_overlong = false;
            m_lineTime = timeMs;
            m_line.clear();
        }
        std::size_t end = i;
        while (end < n && bytes[end] != '\n' && bytes[end] != '\r')
            ++end;
        if (!m_overlong) {
            const std::size_t room = kMaxLineBytes - m_line.size();
            if (end - i > room) {
                // Too long to be data: nothing more of it is kept.
                m_overlong = true;
                m_line.clear();
            } else {
                m_line.append(reinterpret_cast<const char*>(bytes.data() + i), end - i);
            }
        }
        i = end;
    }
}

void SeriesParser::endLine(std::vector<SeriesRow>& rows)
{
    m_inLine = false;
    if (m_overlong) {
        m_overlong = false;
        ++m_counts.longLines;
        ++m_counts.skippedLines;
        m_pending.clear();
        return;
    }
    parseLine(m_line, rows);
    m_line.clear();
}

void SeriesParser::cut()
{
    m_resync = true;
    // The line under way and its rest after the cut count once.
    m_fragment = m_inLine;
    if (!m_inLine)
        return;
    m_inLine = false;
    m_overlong = false;
    m_line.clear();
    ++m_counts.cutLines;
    ++m_counts.skippedLines;
    m_pending.clear();
}

void SeriesParser::reset()
{
    m_line.clear();
    m_inLine = false;
    m_overlong = false;
    m_resync = m_fragment = false;
    m_nextLine = 0;
    m_names.clear();
    m_index.clear();
    m_lastSeries.clear();
    m_firstRefused.clear();
    m_counts = {};
    m_header.clear();
    m_pending.clear();
    m_headerSeparators = m_pendingSeparators = 0;
}

int SeriesParser::seriesFor(std::string_view name)
{
    auto it = m_index.find(std::string(name));
    if (it != m_index.end())
        return it->second;
    if (m_names.size() >= kMaxSeries) {
        if (m_firstRefused.empty())
            m_firstRefused = std::string(name);
        return -1;
    }
    const int index = static_cast<int>(m_names.size());
    m_names.emplace_back(name);
    m_index.emplace(std::string(name), index);
    return index;
}

void SeriesParser::parseLine(std::string_view line, std::vector<SeriesRow>& rows)
{
    line = trimmed(line);
    if (line.empty())
        return; // blank lines are neither data nor skipped text
    // A header waits only for the line right after it.
    std::vector<std::string> pending;
    pending.swap(m_pending);
    const unsigned pendingSeparators = m_pendingSeparators;

    if (!m_prefix.empty()) {
        if (line.substr(0, m_prefix.size()) != m_prefix) {
            ++m_counts.skippedLines;
            return;
        }
        line = trimmed(line.substr(m_prefix.size()));
        if (line.empty()) {
            ++m_counts.skippedLines;
            return;
        }
    }

    unsigned separators = 0;
    for (const char c : line) {
        if (c == ',')
            separators |= kComma;
        else if (c == '\t')
            separators |= kTab;
    }

    // The raw pieces first, as a header would name them.
    std::vector<std::string_view>& pieces = m_pieces;
    pieces.clear();
    if (separators != 0) {
        std::size_t start = 0;
        for (std::size_t i = 0; i <= line.size(); ++i) {
            if (i == line.size() || line[i] == ',' || line[i] == '\t') {
                pieces.push_back(trimmed(line.substr(start, i - start), " "));
                start = i + 1;
            }
        }
        while (!pieces.empty() && pieces.back().empty())
            pieces.pop_back();
    } else {
        std::size_t i = 0;
        while (i < line.size()) {
            while (i < line.size() && line[i] == ' ')
                ++i;
            const std::size_t start = i;
            while (i < line.size() && line[i] != ' ')
                ++i;
            if (i > start)
                pieces.push_back(line.substr(start, i - start));
        }
        // "temp: 21.5": a label and its value parted by blanks are one field.
        for (std::size_t k = 0; k + 1 < pieces.size(); ++k) {
            if (pieces[k].back() == ':') {
                const char* from = pieces[k].data();
                const char* to = pieces[k + 1].data() + pieces[k + 1].size();
                pieces[k] = std::string_view(from, static_cast<std::size_t>(to - from));
                pieces.erase(pieces.begin() + static_cast<std::ptrdiff_t>(k) + 1);
            }
        }
    }

    m_fields.clear();
    std::vector<double>& values = m_values;
    values.clear();
    bool data = !pieces.empty();
    bool anyLabel = false;
    for (const std::string_view piece : pieces) {
        Field f;
        const auto colon = piece.rfind(':');
        if (colon != std::string_view::npos) {
            f.labelled = true;
            f.label = trimmed(piece.substr(0, colon), " ");
            f.text = trimmed(piece.substr(colon + 1), " ");
            anyLabel = true;
            if (f.label.empty() || hasControlByte(f.label)) {
                data = false;
                break;
            }
        } else {
            f.text = piece;
        }
        double v = std::numeric_limits<double>::quiet_NaN();
        if (!f.text.empty() && !parseSeriesNumber(f.text, v)) {
            data = false;
            break;
        }
        values.push_back(v);
        m_fields.push_back(f);
    }

    if (!data) {
        ++m_counts.skippedLines;
        // Perhaps the names of the columns that follow.
        bool header = pieces.size() >= 2 && pieces.size() <= kMaxSeries;
        for (std::size_t k = 0; header && k < pieces.size(); ++k) {
            double ignored = 0.0;
            header = !pieces[k].empty() && !hasControlByte(pieces[k]) && !parseSeriesNumber(pieces[k], ignored);
        }
        if (header) {
            for (const std::string_view piece : pieces)
                m_pending.push_back(headerName(piece));
            m_pendingSeparators = separators;
        }
        return;
    }

    if (!anyLabel && !pending.empty() && pendingSeparators == separators && pending.size() == m_fields.size()) {
        m_header = std::move(pending);
        m_headerSeparators = separators;
    }
    const bool useHeader = !anyLabel && !m_header.empty() && m_headerSeparators == separators
        && m_header.size() == m_fields.size();

    SeriesRow row;
    row.timeMs = m_lineTime;
    row.line = m_nextLine++;
    row.values.reserve(m_fields.size());
    for (std::size_t k = 0; k < m_fields.size(); ++k) {
        const Field& f = m_fields[k];
        char position[24];
        std::string_view name;
        if (f.labelled) {
            name = f.label;
        } else if (useHeader) {
            name = m_header[k];
        } else {
            const auto [end, ec] = std::to_chars(position, position + sizeof position, k + 1);
            name = std::string_view(position, static_cast<std::size_t>(end - position));
        }
        // Lines mostly repeat the labels of the one before, in the same order.
        int series = k < m_lastSeries.size() ? m_lastSeries[k] : -1;
        if (series < 0 || m_names[static_cast<std::size_t>(series)] != name) {
            series = seriesFor(name);
            if (k >= m_lastSeries.size())
                m_lastSeries.resize(k + 1, -1);
            m_lastSeries[k] = series;
        }
        if (series < 0) {
            ++m_counts.refusedValues;
            continue;
        }
        row.values.push_back({ series, values[k] });
    }
    ++m_counts.dataLines;
    if (!row.values.empty())
        rows.push_back(std::move(row));
}

} // namespace merovan
