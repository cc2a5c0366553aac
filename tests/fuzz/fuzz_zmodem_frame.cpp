// SPDX-License-Identifier: GPL-3.0-or-later
// ZMODEM frames from the wire: headers and subpackets read until the input
// runs out; whatever is accepted must check out, and what is encoded again
// must read back the same.
#include "transfer/zmodem_frame.h"

#include <cstdint>
#include <vector>

using namespace merovan::zmodem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    BufferSource in(std::span<const std::uint8_t>(data, size));
    std::vector<std::uint8_t> payload;
    for (int frames = 0; frames < 64; ++frames) {
        Header h;
        const ReadStatus st = readHeader(in, 0, h, 4096);
        if (st == ReadStatus::Timeout)
            break;
        if (st != ReadStatus::Ok)
            continue;
        Encoder enc;
        std::vector<std::uint8_t> wire;
        enc.binaryHeader(wire, h, h.crc32());
        BufferSource back(wire);
        Header again;
        if (readHeader(back, 0, again) != ReadStatus::Ok || again.type != h.type || again.p != h.p)
            __builtin_trap();
        if (h.type != ZDATA && h.type != ZFILE && h.type != ZSINIT)
            continue;
        std::uint8_t end = 0;
        for (int sub = 0; sub < 16; ++sub) {
            const ReadStatus ds = readSubpacket(in, 0, h.crc32(), payload, end, 1024);
            if (ds != ReadStatus::Ok)
                break;
            if (payload.size() > 1024)
                __builtin_trap();
            std::vector<std::uint8_t> out;
            enc.escapeControl = (end & 1) != 0;
            enc.subpacket(out, payload, end, h.crc32());
            BufferSource b(out);
            std::vector<std::uint8_t> round;
            std::uint8_t end2 = 0;
            if (readSubpacket(b, 0, h.crc32(), round, end2, 1024) != ReadStatus::Ok || round != payload || end2 != end)
                __builtin_trap();
            if (end == ZCRCE || end == ZCRCW)
                break;
        }
    }
    return 0;
}
