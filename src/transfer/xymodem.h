// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace merovan {

// What a YMODEM block 0 says about the file that follows.
struct YmodemHeader
{
    bool endOfBatch = false;   // an empty name: no more files
    std::string name;          // a base name, safe to put in the receive folder
    std::int64_t size = -1;    // -1 when the sender gave none
    std::int64_t mtime = 0;    // seconds since 1970; 0 when not given
    std::uint32_t mode = 0;    // as sent; 0 when not given
};

// Sizes beyond this (1 TiB) are taken for a broken block 0.
inline constexpr std::int64_t kYmodemMaxSize = std::int64_t(1) << 40;

// Reads the data of a block 0 (128 or 1024 bytes). A name with directories
// is reduced to its base name; one that is absolute or climbs out ("..") is
// refused, as are a name without its closing NUL, control characters, and
// a size that is not a number or is impossibly large. False with why
// ("block 0: ...") for those.
bool parseYmodemHeader(std::span<const std::uint8_t> data, YmodemHeader& header, std::string& why);

// The data of block 0 for a file: "name NUL size mtime mode", in 128 bytes
// when it fits, else 1024. An empty name makes the end-of-batch block.
std::vector<std::uint8_t> buildYmodemHeader(const std::string& name, std::int64_t size, std::int64_t mtime,
                                            std::uint32_t mode);

} // namespace merovan
