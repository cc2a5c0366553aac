// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "plot/series_parser.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace merovan {

// The X axis a query is made in: the time a sample's line arrived (in
// milliseconds of the clock the rows carry) or its data line's number.
enum class SeriesAxis { Time, Sample };

struct SeriesSample
{
    std::int64_t timeMs = 0;
    std::uint64_t line = 0;
    double value = 0.0; // NaN or an infinity: a gap
};

// What one pixel column of a plot holds.
struct SeriesColumn
{
    bool any = false;  // a drawable (finite) value lies in the column
    bool gap = false;  // a gap (NaN or infinity) lies in it
    double min = 0.0;  // of the finite values
    double max = 0.0;
    double first = 0.0; // the column's first and last samples (may be gaps)
    double last = 0.0;
};

// The samples of one series in a bounded ring: when it is full, each new
// sample drops the oldest. Minimum and maximum are kept as samples arrive
// for aligned blocks of 16, 256, 4,096 and 65,536 samples, so any range's
// extremes take a few dozen steps however many samples it spans.
//
// Samples are addressed by their absolute number since the ring was made:
// the ones kept run from begin() to end(). X values (times and line
// numbers) must not decrease from sample to sample; a time that goes back
// is taken as the one before.
class SeriesRing
{
public:
    static constexpr int kLevels = 4;
    static constexpr std::size_t kFanOut = 16;

    explicit SeriesRing(std::size_t capacity);

    void push(SeriesSample sample);
    void clear();

    std::size_t capacity() const { return m_capacity; }
    std::uint64_t begin() const { return m_total > m_capacity ? m_total - m_capacity : 0; }
    std::uint64_t end() const { return m_total; }
    std::size_t size() const { return static_cast<std::size_t>(m_total - begin()); }
    // Samples dropped to make room.
    std::uint64_t dropped() const { return begin(); }
    // The sample numbered n, begin() <= n < end().
    const SeriesSample& at(std::uint64_t n) const { return m_samples[static_cast<std::size_t>(n % m_capacity)]; }

    // The first sample at or after x on the axis (end() when none).
    std::uint64_t lowerBound(SeriesAxis axis, double x) const;

    // Extremes of the finite values among samples [from, to), which must lie
    // within [begin(), end()).
    SeriesColumn range(std::uint64_t from, std::uint64_t to) const;

    // One column per pixel for width columns spanning [x0, x1) on the axis:
    // column c takes the samples with x in [x0 + c*w, x0 + (c+1)*w), w =
    // (x1 - x0) / width; the last column also takes x1 itself.
    std::vector<SeriesColumn> columns(SeriesAxis axis, double x0, double x1, int width) const;

private:
    struct Summary
    {
        double min;
        double max;
        bool gap;
    };
    std::uint64_t bound(SeriesAxis axis, double x, bool after) const;
    void rangeAt(int level, std::uint64_t from, std::uint64_t to, SeriesColumn& out) const;
    static std::size_t blockSize(int level);

    std::size_t m_capacity;
    std::uint64_t m_total = 0;
    std::vector<SeriesSample> m_samples;
    std::array<std::vector<Summary>, kLevels> m_blocks; // rings of block summaries, level 1 first
};

// The samples of every series of a session, as rows arrive.
class SeriesStore
{
public:
    // At least a million samples per series.
    static constexpr std::size_t kDefaultCapacity = std::size_t { 1 } << 20;

    explicit SeriesStore(std::size_t capacityPerSeries = kDefaultCapacity);

    // Adds a data row; a series index not seen before makes that series.
    void add(const SeriesRow& row);
    void clear();

    std::size_t seriesCount() const { return m_series.size(); }
    const SeriesRing& series(std::size_t index) const { return *m_series[index]; }
    // Samples dropped from full rings, over every series.
    std::uint64_t dropped() const;
    std::uint64_t samples() const { return m_samples; }
    bool empty() const { return m_samples == 0; }
    // The first row's time and line, and the last row's.
    std::int64_t firstTimeMs() const { return m_firstTime; }
    std::int64_t lastTimeMs() const { return m_lastTime; }
    std::uint64_t firstLine() const { return m_firstLine; }
    std::uint64_t lastLine() const { return m_lastLine; }

    // Calls fn(timeMs, line, cells) for each data line whose samples are
    // kept, in order; cells holds one value per series, NaN where the line
    // has none (hasValue false).
    struct Cell
    {
        bool hasValue = false;
        double value = 0.0;
    };
    template<typename Fn> void forEachRow(Fn&& fn) const;

private:
    std::size_t m_capacity;
    std::vector<std::unique_ptr<SeriesRing>> m_series;
    std::uint64_t m_samples = 0;
    std::int64_t m_firstTime = 0;
    std::int64_t m_lastTime = 0;
    std::uint64_t m_firstLine = 0;
    std::uint64_t m_lastLine = 0;
};

template<typename Fn> void SeriesStore::forEachRow(Fn&& fn) const
{
    std::vector<std::uint64_t> at(m_series.size());
    for (std::size_t s = 0; s < m_series.size(); ++s)
        at[s] = m_series[s]->begin();
    std::vector<Cell> cells(m_series.size());
    for (;;) {
        // The lowest line any series has next.
        bool found = false;
        std::uint64_t line = 0;
        std::int64_t time = 0;
        for (std::size_t s = 0; s < m_series.size(); ++s) {
            if (at[s] < m_series[s]->end()) {
                const SeriesSample& sample = m_series[s]->at(at[s]);
                if (!found || sample.line < line) {
                    line = sample.line;
                    time = sample.timeMs;
                    found = true;
                }
            }
        }
        if (!found)
            return;
        for (std::size_t s = 0; s < m_series.size(); ++s) {
            cells[s] = Cell {};
            // A label twice in a line: its last value stands.
            while (at[s] < m_series[s]->end() && m_series[s]->at(at[s]).line == line) {
                cells[s].hasValue = true;
                cells[s].value = m_series[s]->at(at[s]).value;
                ++at[s];
            }
        }
        fn(time, line, cells);
    }
}

} // namespace merovan
