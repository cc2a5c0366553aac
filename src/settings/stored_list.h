// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace merovan {

inline constexpr char kListSeparator = '\x7f';
// The buffer a list is joined in, its terminating zero included.
inline constexpr std::size_t kJoinBufferSize = 20480;

// The entries of a stored list: the pieces before each separator, in order.
// Text after the last separator is not taken.
std::vector<std::string> splitList(std::string_view value, char separator = kListSeparator);

// Each entry followed by one separator. Entries that would take the joined
// text past the join buffer are left out whole, so the stored text always
// ends on an entry boundary.
std::string joinList(const std::vector<std::string>& entries, char separator = kListSeparator);

} // namespace merovan
