// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "plot/series_parser.h"
#include "plot/series_store.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace merovan {

// The wide CSV form of a session's samples: a header "time,<series names in
// order of first appearance>", then one row per data line, time in seconds
// since the first row with millisecond precision, an empty cell where a line
// has no value of a series. Values are written as the shortest text that
// reads back as the same number; gaps as nan, inf or -inf.

// Appends v as described.
void appendSeriesValue(std::string& out, double v);
// Appends ms as seconds, "12.345" (never with a locale's comma).
void appendSeconds(std::string& out, std::int64_t ms);
// "time,a,b": names holding a comma, quote or blank at either end are quoted.
std::string seriesCsvHeader(const std::vector<std::string>& names);

// Writes what a store keeps (every sample still in its rings) to path, by
// way of a temporary file beside it. False, with reason, on failure.
bool writeSeriesCsv(const SeriesStore& store, const std::vector<std::string>& names, const std::string& path,
                    std::string& reason);

// Collects rows as they arrive for a file written at the end, when every
// series name is known. The rows wait in a spool file beside the target
// (path + ".rows"), so a long session takes no memory.
class SeriesCsvFile
{
public:
    SeriesCsvFile() = default;
    ~SeriesCsvFile();
    SeriesCsvFile(const SeriesCsvFile&) = delete;
    SeriesCsvFile& operator=(const SeriesCsvFile&) = delete;

    // Starts the spool. False, with reason, when it cannot be written.
    bool open(const std::string& path, std::string& reason);
    void add(const SeriesRow& row);
    std::uint64_t rows() const { return m_rows; }
    // Writes path with the header for names and every row, padded to the
    // full width, and removes the spool. False, with reason, on failure (a
    // write that failed earlier included).
    bool finish(const std::vector<std::string>& names, std::string& reason);

private:
    std::string m_path;
    std::string m_spoolPath;
    std::FILE* m_spool = nullptr;
    bool m_failed = false;
    int m_error = 0;
    bool m_haveFirst = false;
    std::int64_t m_firstMs = 0;
    std::uint64_t m_rows = 0;
    std::string m_line;
    std::vector<double> m_cells;
    std::vector<bool> m_has;
};

} // namespace merovan
