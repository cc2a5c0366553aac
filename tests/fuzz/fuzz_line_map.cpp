// SPDX-License-Identifier: GPL-3.0-or-later
// Received bytes through each incoming line-end map. The first byte picks the
// map and where the rest is split into two reads; the split must change
// nothing, and the output stays within twice the input.
#include "terminal/line_map.h"

#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    const merovan::IncomingMap maps[] = { merovan::IncomingMap::AsReceived, merovan::IncomingMap::LfAddsCr,
                                          merovan::IncomingMap::LoneCrBreaks };
    const merovan::IncomingMap map = maps[data[0] % 3];
    const std::span<const std::uint8_t> rest(data + 1, size - 1);
    const std::size_t cut = rest.empty() ? 0 : (data[0] / 3u) % (rest.size() + 1);

    merovan::IncomingLineMapper whole(map);
    const std::vector<std::uint8_t> once = whole.apply(rest);
    merovan::IncomingLineMapper split(map);
    std::vector<std::uint8_t> twice;
    split.apply(rest.subspan(0, cut), twice);
    split.apply(rest.subspan(cut), twice);
    if (once != twice || once.size() > rest.size() * 2)
        __builtin_trap();
    return 0;
}
