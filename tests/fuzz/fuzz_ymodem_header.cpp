// SPDX-License-Identifier: GPL-3.0-or-later
// YMODEM block 0 as a sender might put it on the wire: whatever is
// accepted is a name safe to put in the receive folder and a possible size,
// and reads back the same when written again.
#include "transfer/xymodem.h"

#include <cstdint>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    merovan::YmodemHeader header;
    std::string why;
    const bool ok = merovan::parseYmodemHeader(std::span(data, size), header, why);
    if (!ok) {
        if (why.rfind("block 0: ", 0) != 0)
            __builtin_trap();
        return 0;
    }
    if (header.endOfBatch)
        return 0;
    const std::string& name = header.name;
    if (name.empty() || name == "." || name == ".." || name.size() > 255
        || name.find_first_of("/\\") != std::string::npos || (name.size() >= 2 && name[1] == ':'))
        __builtin_trap();
    for (const unsigned char c : name)
        if (c < 0x20 || c == 0x7F)
            __builtin_trap();
    if (header.size < -1 || header.size > merovan::kYmodemMaxSize)
        __builtin_trap();
    merovan::YmodemHeader again;
    const auto block = merovan::buildYmodemHeader(name, header.size < 0 ? 0 : header.size, header.mtime, header.mode);
    if (block.size() != 128 && block.size() != 1024)
        __builtin_trap();
    if (!merovan::parseYmodemHeader(block, again, why) || again.name != name
        || again.size != (header.size < 0 ? 0 : header.size))
        __builtin_trap();
    return 0;
}
