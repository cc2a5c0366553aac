#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// The terminal view's form of received bytes: tab, line feed, carriage
// return and 20..7F stand as themselves, backspace is dropped, and every
// other byte, zero included, becomes "[xx]" in lower-case hex.
std::string formatForDisplay(std::span<const std::uint8_t> bytes);

} // namespace merovan
