// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-echobench PORT [COUNT]: the time from writing one byte to reading
// its echo back, through Merovan's own port object (any port name, network
// ports included), COUNT times one after another. Prints the median and
// the 99th percentile in microseconds. For bench/remote.sh.
#include "serial/clock.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: merovan-echobench PORT [COUNT]\n");
        return 2;
    }
    const int count = argc > 2 ? std::atoi(argv[2]) : 500;
    merovan::SteadyClock clock;
    merovan::SerialPort port(clock);
    if (port.openPort(argv[1], "115200,8,N,1") != 0) {
        std::fprintf(stderr, "Cannot open %s: %s\n", argv[1], port.lastError().c_str());
        return 3;
    }
    port.drainInput();
    std::vector<double> us;
    std::uint8_t got[64];
    for (int i = 0; i < count && port.isOpen(); ++i) {
        const std::uint8_t key = static_cast<std::uint8_t>('a' + i % 26);
        const auto start = std::chrono::steady_clock::now();
        port.writeByte(key);
        bool echoed = false;
        while (!echoed && port.isOpen()) {
            const std::size_t n = port.readBlock(got);
            echoed = std::find(got, got + n, key) != got + n;
            if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2))
                break;
        }
        if (!echoed) {
            std::fprintf(stderr, "no echo for key %d\n", i);
            return 1;
        }
        us.push_back(std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(us.begin(), us.end());
    const double median = us[us.size() / 2];
    const double p99 = us[std::min(us.size() - 1, us.size() * 99 / 100)];
    std::printf("%.0f %.0f\n", median, p99);
    return 0;
}
