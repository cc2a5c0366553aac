// SPDX-License-Identifier: GPL-3.0-or-later
// The telnet / RFC 2217 stream from a device server: read in pieces whose
// sizes the input chooses, with requests in flight. Data never outgrows the
// input, answers stay bounded, and data sent back through a second codec
// reads back unchanged.
#include "serial/telnet_codec.h"

#include <cstdint>
#include <vector>

using namespace merovan::telnet;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    Codec codec;
    codec.start();
    codec.setBaudRate(115200, 0);
    codec.setControl(kDtrOff, 0);
    codec.output().clear();
    std::vector<std::uint8_t> got;
    const std::size_t piece = 1 + data[0] % 17;
    std::uint64_t now = 0;
    for (std::size_t at = 1; at < size; at += piece) {
        const std::size_t n = std::min(piece, size - at);
        codec.receive(std::span(data + at, n), got, now);
        now += 100;
        // Answers are owed only to commands, three bytes each at most.
        if (codec.output().size() > 3 * size)
            __builtin_trap();
        codec.output().clear();
        (void)codec.takeEvents();
    }
    if (got.size() > size)
        __builtin_trap();

    Codec sender;
    Codec reader;
    std::vector<std::uint8_t> unused;
    const std::uint8_t agree[] = { kIac, kDo, kOptBinary, kIac, kWill, kOptBinary };
    sender.receive(agree, unused, 0);
    reader.receive(agree, unused, 0);
    sender.output().clear();
    sender.sendData(got);
    std::vector<std::uint8_t> back;
    reader.receive(sender.output(), back, 0);
    if (back != got)
        __builtin_trap();
    return 0;
}
