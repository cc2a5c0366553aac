// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli_plot.h"

#include <cstdio>

namespace merovan::cli {

bool PlotRecorder::start(const std::string& path, const std::string& prefix)
{
    std::string reason;
    if (!m_file.open(path, reason)) {
        std::fprintf(stderr, "Cannot write the plot CSV %s: %s\n", path.c_str(), reason.c_str());
        return false;
    }
    m_path = path;
    m_parser.setPrefix(prefix);
    m_active = true;
    return true;
}

void PlotRecorder::received(std::span<const std::uint8_t> bytes, std::uint64_t nowMs)
{
    if (!m_active)
        return;
    m_parser.feed(bytes, static_cast<std::int64_t>(nowMs), m_rows);
    for (const SeriesRow& row : m_rows)
        m_file.add(row);
    m_rows.clear();
}

void PlotRecorder::reconnected()
{
    if (m_active)
        m_parser.cut();
}

bool PlotRecorder::finish()
{
    if (!m_active)
        return true;
    m_active = false;
    std::string reason;
    if (!m_file.finish(m_parser.names(), reason)) {
        std::fprintf(stderr, "Cannot write the plot CSV %s: %s\n", m_path.c_str(), reason.c_str());
        return false;
    }
    const SeriesCounts& c = m_parser.counts();
    std::string note;
    if (!m_parser.firstRefusedLabel().empty())
        note = "Plot: more than " + std::to_string(SeriesParser::kMaxSeries) + " series; \"" + m_parser.firstRefusedLabel()
            + "\" and later labels were left out\n";
    note += "Plot: " + std::to_string(c.dataLines) + " data lines, " + std::to_string(m_parser.names().size())
        + " series, " + std::to_string(c.skippedLines) + " other lines skipped, written to " + m_path + "\n";
    std::fputs(note.c_str(), stderr);
    return true;
}

} // namespace merovan::cli
