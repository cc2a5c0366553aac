// SPDX-License-Identifier: GPL-3.0-or-later
#include "plot/series_store.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace merovan {

namespace {

constexpr double kNone = std::numeric_limits<double>::infinity();

double xOf(const SeriesSample& s, SeriesAxis axis)
{
    return axis == SeriesAxis::Time ? static_cast<double>(s.timeMs) : static_cast<double>(s.line);
}

} // namespace

SeriesRing::SeriesRing(std::size_t capacity)
    : m_capacity(std::max<std::size_t>(capacity, 1))
{
}

std::size_t SeriesRing::blockSize(int level)
{
    std::size_t size = kFanOut;
    for (int i = 0; i < level; ++i)
        size *= kFanOut;
    return size;
}

void SeriesRing::clear()
{
    m_total = 0;
    m_samples.clear();
    for (auto& level : m_blocks)
        level.clear();
}

void SeriesRing::push(SeriesSample sample)
{
    if (m_total > 0) {
        const SeriesSample& previous = at(m_total - 1);
        sample.timeMs = std::max(sample.timeMs, previous.timeMs);
        sample.line = std::max(sample.line, previous.line);
    }
    if (m_samples.size() < m_capacity)
        m_samples.push_back(sample);
    else
        m_samples[static_cast<std::size_t>(m_total % m_capacity)] = sample;

    const bool finite = std::isfinite(sample.value);
    for (int level = 0; level < kLevels; ++level) {
        const std::size_t size = blockSize(level);
        // Enough blocks for every one that overlaps the kept samples.
        const std::size_t count = m_capacity / size + 2;
        const std::uint64_t block = m_total / size;
        const auto slot = static_cast<std::size_t>(block % count);
        auto& blocks = m_blocks[static_cast<std::size_t>(level)];
        if (slot >= blocks.size())
            blocks.resize(slot + 1);
        Summary& s = blocks[slot];
        if (m_total % size == 0)
            s = Summary { kNone, -kNone, false };
        if (finite) {
            s.min = std::min(s.min, sample.value);
            s.max = std::max(s.max, sample.value);
        } else {
            s.gap = true;
        }
    }
    ++m_total;
}

std::uint64_t SeriesRing::lowerBound(SeriesAxis axis, double x) const
{
    return bound(axis, x, false);
}

std::uint64_t SeriesRing::bound(SeriesAxis axis, double x, bool after) const
{
    std::uint64_t lo = begin();
    std::uint64_t hi = end();
    while (lo < hi) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        const double v = xOf(at(mid), axis);
        if (v < x || (after && v == x))
            lo = mid + 1;
        else
            hi = mid;
    }
    return lo;
}

void SeriesRing::rangeAt(int level, std::uint64_t from, std::uint64_t to, SeriesColumn& out) const
{
    if (from >= to)
        return;
    if (level < 0) {
        for (std::uint64_t n = from; n < to; ++n) {
            const double v = at(n).value;
            if (std::isfinite(v)) {
                if (!out.any) {
                    out.min = out.max = v;
                    out.any = true;
                } else {
                    out.min = std::min(out.min, v);
                    out.max = std::max(out.max, v);
                }
            } else {
                out.gap = true;
            }
        }
        return;
    }
    const std::uint64_t size = blockSize(level);
    const std::uint64_t first = (from + size - 1) / size * size;
    const std::uint64_t last = to / size * size;
    if (first >= last) {
        rangeAt(level - 1, from, to, out);
        return;
    }
    rangeAt(level - 1, from, first, out);
    // Whole blocks inside [from, to) are complete and still kept.
    const auto& blocks = m_blocks[static_cast<std::size_t>(level)];
    const std::size_t count = m_capacity / size + 2;
    for (std::uint64_t b = first / size; b < last / size; ++b) {
        const Summary& s = blocks[static_cast<std::size_t>(b % count)];
        if (s.min <= s.max) {
            if (!out.any) {
                out.min = s.min;
                out.max = s.max;
                out.any = true;
            } else {
                out.min = std::min(out.min, s.min);
                out.max = std::max(out.max, s.max);
            }
        }
        out.gap = out.gap || s.gap;
    }
    rangeAt(level - 1, last, to, out);
}

SeriesColumn SeriesRing::range(std::uint64_t from, std::uint64_t to) const
{
    SeriesColumn out;
    from = std::max(from, begin());
    to = std::min(to, end());
    if (from >= to)
        return out;
    out.first = at(from).value;
    out.last = at(to - 1).value;
    rangeAt(kLevels - 1, from, to, out);
    return out;
}

std::vector<SeriesColumn> SeriesRing::columns(SeriesAxis axis, double x0, double x1, int width) const
{
    std::vector<SeriesColumn> out(static_cast<std::size_t>(std::max(width, 0)));
    if (width <= 0 || !(x1 > x0) || m_total == 0)
        return out;
    const double w = (x1 - x0) / width;
    std::uint64_t from = lowerBound(axis, x0);
    for (int c = 0; c < width && from < end(); ++c) {
        // The last column closes the range.
        const std::uint64_t to
            = std::max(from, c + 1 == width ? bound(axis, x1, true) : lowerBound(axis, x0 + (c + 1) * w));
        if (to > from)
            out[static_cast<std::size_t>(c)] = range(from, to);
        from = to;
    }
    return out;
}

SeriesStore::SeriesStore(std::size_t capacityPerSeries)
    : m_capacity(capacityPerSeries)
{
}

void SeriesStore::add(const SeriesRow& row)
{
    if (row.values.empty())
        return;
    if (m_samples == 0) {
        m_firstTime = row.timeMs;
        m_firstLine = row.line;
    }
    m_lastTime = std::max(m_lastTime, row.timeMs);
    m_lastLine = std::max(m_lastLine, row.line);
    for (const SeriesValue& v : row.values) {
        if (v.series < 0)
            continue;
        const auto index = static_cast<std::size_t>(v.series);
        while (m_series.size() <= index)
            m_series.push_back(std::make_unique<SeriesRing>(m_capacity));
        m_series[index]->push({ row.timeMs, row.line, v.value });
        ++m_samples;
    }
}

void SeriesStore::clear()
{
    m_series.clear();
    m_samples = 0;
    m_firstTime = m_lastTime = 0;
    m_firstLine = m_lastLine = 0;
}

std::uint64_t SeriesStore::dropped() const
{
    std::uint64_t total = 0;
    for (const auto& s : m_series)
        total += s->dropped();
    return total;
}

} // namespace merovan
