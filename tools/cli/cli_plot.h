// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "plot/series_csv.h"
#include "plot/series_parser.h"

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace merovan::cli {

// monitor --plot-csv: what arrives is read as plot series as the terminal
// window reads it, and written as the wide CSV when monitoring ends. The
// output on the terminal is not touched.
class PlotRecorder
{
public:
    // False, with a message on stderr, when the file cannot be started.
    bool start(const std::string& path, const std::string& prefix);
    bool active() const { return m_active; }
    // Bytes read at nowMs (a monotonic clock).
    void received(std::span<const std::uint8_t> bytes, std::uint64_t nowMs);
    // The port went away and came back: the line under way is not a sample.
    void reconnected();
    // Writes the file; false, with a message on stderr, when it fails.
    bool finish();

private:
    bool m_active = false;
    std::string m_path;
    SeriesParser m_parser;
    SeriesCsvFile m_file;
    std::vector<SeriesRow> m_rows;
};

} // namespace merovan::cli
