// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/script_runner.h"

#include "serial/clock.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <vector>

namespace merovan {

namespace {

// The longest single wait, so a stop request is seen promptly even when
// neither input nor a deadline comes.
constexpr std::uint64_t kLongestWaitMs = 100;

} // namespace

int runScriptToEnd(ScriptRunner& runner, SerialPort& port,
                   const std::function<void(std::span<const std::uint8_t>)>& received,
                   const std::function<bool()>& stopRequested)
{
    Clock& clock = port.clock();
    std::vector<std::uint8_t> buffer(4096);
    ScriptRunner::State state = runner.resume();
    while (state != ScriptRunner::State::Finished) {
        if (stopRequested && stopRequested())
            runner.cancel();
        if (!runner.cancelRequested()) {
            const std::uint64_t now = clock.nowMs();
            const std::uint64_t deadline = runner.deadline();
            const std::uint64_t wait = deadline <= now ? 0 : std::min(deadline - now, kLongestWaitMs);
            if (!port.isOpen()) {
                clock.sleepMs(static_cast<std::uint32_t>(wait));
            } else {
                std::size_t n = 0;
                if (port.nativeHandle() >= 0) {
                    waitForPortInput(port.nativeHandle(), static_cast<std::uint32_t>(wait));
                    n = port.readAvailable(buffer);
                } else {
                    n = port.readBlock(buffer);
                }
                if (n > 0) {
                    const std::span<const std::uint8_t> got(buffer.data(), n);
                    if (received)
                        received(got);
                    runner.feed(got);
                }
            }
        }
        state = runner.resume();
    }
    return runner.exitStatus();
}

} // namespace merovan
