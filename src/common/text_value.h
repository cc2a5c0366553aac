// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merovan {

// Leading decimal number of a text: optional blanks (spaces and tabs), an
// optional sign, then the run of digits. A text without digits gives 0.
// A value beyond the 64-bit range saturates instead of overflowing.
std::int64_t decimalValue(std::string_view text);

// Text after the last '.' of a file name, in upper case; empty when the
// name holds no '.'. Directory parts are not special: "a.b/c" gives "B/C".
std::string fileExtension(std::string_view name);

} // namespace merovan
