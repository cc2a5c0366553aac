// SPDX-License-Identifier: GPL-3.0-or-later
// Plot parser throughput for bench/plot.sh: lines of 16 labelled series, as
// merovan-devsim --stream-series prints them, fed in the terminal's 4 KiB
// reads through the parser alone and through parser and store together.
// Prints "parser MB/s" and "parser+store MB/s", best of three runs.
#include "plot/series_parser.h"
#include "plot/series_store.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    const std::size_t megabytes = argc > 1 ? static_cast<std::size_t>(std::atoi(argv[1])) : 64;
    std::string text;
    text.reserve(megabytes << 20);
    static const char* const kinds[] = { "sine", "saw", "noise" };
    std::uint32_t state = 0x2545F491;
    for (std::uint64_t k = 0; text.size() < (megabytes << 20); ++k) {
        for (int i = 0; i < 16; ++i) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            char field[64];
            std::snprintf(field, sizeof field, "%s%s%s:%.4f", i ? "," : "", kinds[i % 3],
                          i >= 3 ? std::to_string(i / 3 + 1).c_str() : "",
                          std::sin(static_cast<double>(k) / 100.0 + i) + (state % 1000) / 1e4);
            text += field;
        }
        text += "\r\n";
    }
    auto run = [&](bool store) {
        merovan::SeriesParser parser;
        merovan::SeriesStore samples;
        std::vector<merovan::SeriesRow> rows;
        const auto start = std::chrono::steady_clock::now();
        for (std::size_t at = 0; at < text.size(); at += 4090) {
            const std::size_t n = std::min<std::size_t>(4090, text.size() - at);
            parser.feed(std::string_view(text).substr(at, n), static_cast<std::int64_t>(at / 4090), rows);
            if (store)
                for (const auto& row : rows)
                    samples.add(row);
            rows.clear();
        }
        const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (parser.counts().skippedLines != 0 || parser.names().size() != 16)
            std::fprintf(stderr, "plot_parse: the lines did not parse as expected\n");
        return static_cast<double>(text.size()) / (1 << 20) / secs;
    };
    double alone = 0, both = 0;
    for (int i = 0; i < 3; ++i) {
        alone = std::max(alone, run(false));
        both = std::max(both, run(true));
    }
    std::printf("parser %.1f\nparser+store %.1f\n", alone, both);
    return 0;
}
