// SPDX-License-Identifier: GPL-3.0-or-later
#include "settings/stored_list.h"

namespace merovan {

std::vector<std::string> splitList(std::string_view value, char separator)
{
    std::vector<std::string> entries;
    std::size_t start = 0;
    for (;;) {
        const auto sep = value.find(separator, start);
        if (sep == std::string_view::npos)
            break;
        entries.emplace_back(value.substr(start, sep - start));
        start = sep + 1;
    }
    return entries;
}

std::string joinList(const std::vector<std::string>& entries, char separator)
{
    std::string joined;
    for (const std::string& entry : entries) {
        if (joined.size() + entry.size() + 1 > kJoinBufferSize - 1)
            break;
        joined += entry;
        joined += separator;
    }
    return joined;
}

} // namespace merovan
