// SPDX-License-Identifier: GPL-3.0-or-later
// Received text read as plot series: split into reads at arbitrary points,
// with a prefix and reconnects taken from the input itself, then stored.
#include "plot/series_parser.h"
#include "plot/series_store.h"

#include <algorithm>
#include <cmath>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size < 2)
        return 0;
    // The first byte: the prefix's length (0 to 3) and the chunk size.
    const std::size_t prefixLength = std::min<std::size_t>(data[0] & 3u, size - 1);
    const std::size_t chunk = 1 + (data[0] >> 2);
    merovan::SeriesParser parser;
    parser.setPrefix(std::string(reinterpret_cast<const char*>(data + 1), prefixLength));
    merovan::SeriesStore store(64);
    std::vector<merovan::SeriesRow> rows;
    const std::span<const std::uint8_t> text(data + 1 + prefixLength, size - 1 - prefixLength);
    std::int64_t t = 0;
    for (std::size_t at = 0; at < text.size(); at += chunk) {
        const auto piece = text.subspan(at, std::min(chunk, text.size() - at));
        // A DEL byte at a chunk's start stands for a reconnect.
        if (piece[0] == 0x7F)
            parser.cut();
        parser.feed(piece, t++, rows);
        for (const auto& row : rows) {
            if (row.values.empty())
                __builtin_trap();
            for (const auto& v : row.values)
                if (v.series < 0 || static_cast<std::size_t>(v.series) >= parser.names().size())
                    __builtin_trap();
            store.add(row);
        }
        rows.clear();
        if (parser.names().size() > merovan::SeriesParser::kMaxSeries)
            __builtin_trap();
    }
    for (std::size_t s = 0; s < store.seriesCount(); ++s) {
        const auto& ring = store.series(s);
        const auto all = ring.range(ring.begin(), ring.end());
        if (all.any && (!std::isfinite(all.min) || !std::isfinite(all.max) || all.min > all.max))
            __builtin_trap();
        (void)ring.columns(merovan::SeriesAxis::Sample, 0.0, 100.0, 7);
    }
    return 0;
}
