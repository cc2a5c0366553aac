// SPDX-License-Identifier: GPL-3.0-or-later
#include "plot/series_csv.h"
#include "plot/series_store.h"


#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>

using merovan::SeriesAxis;
using merovan::SeriesColumn;
using merovan::SeriesRing;
using merovan::SeriesSample;

namespace {

SeriesColumn bruteRange(const std::vector<SeriesSample>& kept, std::size_t from, std::size_t to)
{
    SeriesColumn c;
    for (std::size_t i = from; i < to; ++i) {
        const double v = kept[i].value;
        if (!std::isfinite(v)) {
            c.gap = true;
        } else if (!c.any) {
            c.any = true;
            c.min = c.max = v;
        } else {
            c.min = std::min(c.min, v);
            c.max = std::max(c.max, v);
        }
    }
    if (from < to) {
        c.first = kept[from].value;
        c.last = kept[to - 1].value;
    }
    return c;
}

double xOf(const SeriesSample& s, SeriesAxis axis)
{
    return axis == SeriesAxis::Time ? static_cast<double>(s.timeMs) : static_cast<double>(s.line);
}

void expectSame(const SeriesColumn& got, const SeriesColumn& want, const std::string& where)
{
    ASSERT_EQ(got.any, want.any) << where;
    ASSERT_EQ(got.gap, want.gap) << where;
    if (want.any) {
        ASSERT_EQ(got.min, want.min) << where;
        ASSERT_EQ(got.max, want.max) << where;
    }
    // first and last may be NaN
    ASSERT_TRUE(got.first == want.first || (std::isnan(got.first) && std::isnan(want.first))) << where;
    ASSERT_TRUE(got.last == want.last || (std::isnan(got.last) && std::isnan(want.last))) << where;
}

} // namespace

// The block extremes and the pixel columns agree with a plain scan over the
// samples kept, for rings that wrapped and rings that did not, on random
// values with gaps and random times with repeats.
TEST(SeriesRing, RangesAndColumnsMatchBruteForce)
{
    std::mt19937_64 random(20261209);
    struct Shape
    {
        std::size_t capacity;
        std::size_t pushes;
    };
    for (const Shape shape : { Shape { 100, 60 }, Shape { 5000, 4999 }, Shape { 5000, 23456 },
                               Shape { 70000, 200000 }, Shape { 1 << 16, 1 << 16 } }) {
        SeriesRing ring(shape.capacity);
        std::vector<SeriesSample> all;
        std::int64_t t = 1000;
        std::uniform_real_distribution<double> value(-1e6, 1e6);
        for (std::size_t i = 0; i < shape.pushes; ++i) {
            t += static_cast<std::int64_t>(random() % 4); // repeats too
            SeriesSample s { t, i, value(random) };
            if (random() % 50 == 0)
                s.value = std::numeric_limits<double>::quiet_NaN();
            else if (random() % 400 == 0)
                s.value = -std::numeric_limits<double>::infinity();
            ring.push(s);
            all.push_back(s);
        }
        const std::size_t keep = std::min(shape.capacity, shape.pushes);
        const std::vector<SeriesSample> kept(all.end() - static_cast<std::ptrdiff_t>(keep), all.end());
        ASSERT_EQ(ring.size(), keep);
        ASSERT_EQ(ring.dropped(), shape.pushes - keep);
        const std::uint64_t base = ring.begin();
        for (std::size_t i = 0; i < keep; i += 997)
            ASSERT_EQ(ring.at(base + i).timeMs, kept[i].timeMs);

        for (int q = 0; q < 300; ++q) {
            std::size_t a = random() % (keep + 1);
            std::size_t b = random() % (keep + 1);
            if (q % 3 == 0) // long ranges, where the big blocks do the work
                a = random() % (keep / 8 + 1), b = keep - random() % (keep / 8 + 1);
            if (a > b)
                std::swap(a, b);
            expectSame(ring.range(base + a, base + b), bruteRange(kept, a, b),
                       "range " + std::to_string(a) + ".." + std::to_string(b));
        }

        for (const SeriesAxis axis : { SeriesAxis::Time, SeriesAxis::Sample }) {
            for (int q = 0; q < 12; ++q) {
                const double lo = xOf(kept.front(), axis);
                const double hi = xOf(kept.back(), axis);
                std::uniform_real_distribution<double> pick(lo - (hi - lo) * 0.1, hi + (hi - lo) * 0.1);
                double x0 = pick(random);
                double x1 = pick(random);
                if (q == 0)
                    x0 = lo, x1 = hi;
                if (x0 > x1)
                    std::swap(x0, x1);
                if (!(x1 > x0))
                    continue;
                const int width = 1 + static_cast<int>(random() % 1500);
                const std::vector<SeriesColumn> got = ring.columns(axis, x0, x1, width);
                ASSERT_EQ(got.size(), static_cast<std::size_t>(width));
                const double w = (x1 - x0) / width;
                std::size_t at = 0;
                while (at < kept.size() && xOf(kept[at], axis) < x0)
                    ++at;
                for (int c = 0; c < width; ++c) {
                    std::size_t end = at;
                    const double upper = x0 + (c + 1) * w;
                    while (end < kept.size()
                           && (c + 1 == width ? xOf(kept[end], axis) <= x1 : xOf(kept[end], axis) < upper))
                        ++end;
                    expectSame(got[static_cast<std::size_t>(c)], bruteRange(kept, at, end),
                               "column " + std::to_string(c) + " of " + std::to_string(width));
                    at = end;
                }
            }
        }
    }
}

TEST(SeriesRing, KeepsAMillionSamplesAndDropsTheOldest)
{
    merovan::SeriesStore store;
    const std::uint64_t lines = merovan::SeriesStore::kDefaultCapacity + 51234;
    merovan::SeriesRow row;
    row.values = { { 0, 0.0 } };
    for (std::uint64_t i = 0; i < lines; ++i) {
        row.timeMs = static_cast<std::int64_t>(i);
        row.line = i;
        row.values[0].value = static_cast<double>(i % 1000);
        store.add(row);
    }
    const SeriesRing& ring = store.series(0);
    EXPECT_GE(ring.size(), 1000000u);
    EXPECT_EQ(ring.size(), merovan::SeriesStore::kDefaultCapacity);
    EXPECT_EQ(store.dropped(), 51234u);
    EXPECT_EQ(ring.at(ring.begin()).line, 51234u);
    EXPECT_EQ(ring.at(ring.end() - 1).line, lines - 1);
    const SeriesColumn all = ring.range(ring.begin(), ring.end());
    EXPECT_EQ(all.min, 0.0);
    EXPECT_EQ(all.max, 999.0);
}

TEST(SeriesRing, TimeNeverGoesBack)
{
    SeriesRing ring(10);
    ring.push({ 100, 0, 1.0 });
    ring.push({ 90, 1, 2.0 });
    EXPECT_EQ(ring.at(1).timeMs, 100);
    EXPECT_EQ(ring.lowerBound(SeriesAxis::Time, 100.0), 0u);
    EXPECT_EQ(ring.lowerBound(SeriesAxis::Sample, 1.0), 1u);
    EXPECT_EQ(ring.lowerBound(SeriesAxis::Time, 101.0), 2u);
}

TEST(SeriesStore, RowsComeBackWithEmptyCellsAndTheLastOfARepeat)
{
    merovan::SeriesStore store;
    store.add({ 1000, 0, { { 0, 1.0 }, { 1, 2.0 } } });
    store.add({ 1010, 1, { { 1, 3.0 } } });
    store.add({ 1020, 2, { { 0, 4.0 }, { 0, 5.0 }, { 2, std::numeric_limits<double>::quiet_NaN() } } });
    std::ostringstream seen;
    store.forEachRow([&](std::int64_t t, std::uint64_t line, const std::vector<merovan::SeriesStore::Cell>& cells) {
        seen << t << '/' << line << ':';
        for (const auto& c : cells)
            seen << (c.hasValue ? std::to_string(static_cast<int>(std::isnan(c.value) ? -1 : c.value)) : "_") << ' ';
        seen << '\n';
    });
    EXPECT_EQ(seen.str(), "1000/0:1 2 _ \n1010/1:_ 3 _ \n1020/2:5 _ -1 \n");
    EXPECT_EQ(store.samples(), 6u);
    EXPECT_EQ(store.firstTimeMs(), 1000);
    EXPECT_EQ(store.lastTimeMs(), 1020);
    store.clear();
    EXPECT_TRUE(store.empty());
    EXPECT_EQ(store.seriesCount(), 0u);
}

namespace {

std::string slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string tempPath(const char* name)
{
    return (std::filesystem::temp_directory_path() / (std::string("merovan_series_") + name)).string();
}

} // namespace

TEST(SeriesCsv, ValuesTimesAndHeaders)
{
    std::string out;
    for (const double v : { 0.0, -1.5e-3, 21.5, 1e300, 0.1, std::numeric_limits<double>::quiet_NaN(),
                            std::numeric_limits<double>::infinity(), -std::numeric_limits<double>::infinity() }) {
        merovan::appendSeriesValue(out, v);
        out += ' ';
    }
    EXPECT_EQ(out, "0 -0.0015 21.5 1e+300 0.1 nan inf -inf ");
    out.clear();
    for (const std::int64_t ms : { 0, 5, 1234, 60001, -20 }) {
        merovan::appendSeconds(out, ms);
        out += ' ';
    }
    EXPECT_EQ(out, "0.000 0.005 1.234 60.001 -0.020 ");
    EXPECT_EQ(merovan::seriesCsvHeader({ "a", "temp left", "x,y", "say \"hi\"", " pad" }),
              "time,a,temp left,\"x,y\",\"say \"\"hi\"\"\",\" pad\"");
}

TEST(SeriesCsv, TheSpoolIsWrittenOutWithEverySeries)
{
    const std::string path = tempPath("spool.csv");
    std::remove(path.c_str());
    {
        merovan::SeriesCsvFile file;
        std::string reason;
        ASSERT_TRUE(file.open(path, reason)) << reason;
        file.add({ 5000, 0, { { 0, 1.0 } } });
        file.add({ 5012, 1, { { 0, 2.0 }, { 1, 3.0 } } });
        file.add({ 6500, 2, { { 2, -4.0 } } });
        file.add({ 6501, 3, {} }); // no values, no row
        EXPECT_EQ(file.rows(), 3u);
        ASSERT_TRUE(file.finish({ "a", "b", "c" }, reason)) << reason;
    }
    EXPECT_EQ(slurp(path), "time,a,b,c\n0.000,1,,\n0.012,2,3,\n1.500,,,-4\n");
    EXPECT_FALSE(std::filesystem::exists(path + ".rows"));
    EXPECT_FALSE(std::filesystem::exists(path + ".part"));
    std::remove(path.c_str());

    merovan::SeriesCsvFile bad;
    std::string reason;
    EXPECT_FALSE(bad.open("/nonexistent-dir/x.csv", reason));
    EXPECT_NE(reason.find("/nonexistent-dir/x.csv.rows"), std::string::npos) << reason;
}

TEST(SeriesCsv, AStoreIsWrittenAsItKeepsIt)
{
    merovan::SeriesStore store(2);
    store.add({ 100, 0, { { 0, 1.0 }, { 1, 10.0 } } });
    store.add({ 200, 1, { { 0, 2.0 } } });
    store.add({ 300, 2, { { 0, 3.0 }, { 1, 30.0 } } });
    const std::string path = tempPath("store.csv");
    std::string reason;
    ASSERT_TRUE(merovan::writeSeriesCsv(store, { "a", "b" }, path, reason)) << reason;
    // a kept 2 and 3, b both of its samples.
    EXPECT_EQ(slurp(path), "time,a,b\n0.000,,10\n0.100,2,\n0.200,3,30\n");
    std::remove(path.c_str());
    EXPECT_FALSE(merovan::writeSeriesCsv(store, { "a", "b" }, "/nonexistent-dir/y.csv", reason));
}
