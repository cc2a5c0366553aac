// SPDX-License-Identifier: GPL-3.0-or-later
// Lua strings through merovan.send, sendln and write into the escape
// expansion, in virtual time. The first byte picks how the text reaches the
// script: as an argument (any bytes), or inside a Lua string literal of the
// script itself, so the literal's own escapes come first.
#include "automation/script_host.h"
#include "automation/script_runner.h"
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "terminal/line_stamp.h"

#include <algorithm>
#include <string>
#include <string_view>

namespace {

class QuietHost final : public merovan::ScriptHost
{
public:
    void log(const std::string&) override {}
    void print(const std::string&) override {}
};

class ZeroWall final : public merovan::WallClock
{
public:
    std::int64_t epochMs() const override { return 0; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    merovan::test::FakeClock clock;
    merovan::test::FakeLineLog log;
    merovan::SerialPort port(clock, std::make_unique<merovan::test::FakeBackend>(clock, log));
    port.openPort("/dev/fake", "9600,8,N,1");
    QuietHost host;
    ZeroWall wall;
    merovan::ScriptOptions options;
    options.instructionLimit = 1'000'000;
    options.memoryLimitBytes = 16u << 20;
    merovan::ScriptRunner runner(port, clock, wall, host, options);
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    bool loaded = false;
    switch (data[0] % 3) {
    case 0:
        loaded = runner.loadText("merovan.send(arg[1]) merovan.sendln(arg[1]) merovan.write(arg[1])", "fuzz.lua", { text });
        break;
    // The text stays inside its literal: no quote to close it, so no fuzzed
    // input ever runs as code of its own.
    case 1:
        if (text.find('"') != std::string::npos)
            return 0;
        loaded = runner.loadText("merovan.send(\"" + text + "\")", "fuzz.lua", {});
        break;
    default:
        if (text.find('\'') != std::string::npos)
            return 0;
        loaded = runner.loadText("merovan.sendln('" + text + "', 5)", "fuzz.lua", {});
        break;
    }
    // Waits end by the clock alone; nothing is fed.
    for (int step = 0; loaded && !runner.finished() && step < 100; ++step) {
        if (runner.resume() == merovan::ScriptRunner::State::Waiting && runner.deadline() != merovan::kNoScriptDeadline)
            clock.advance(runner.deadline() - std::min(runner.deadline(), clock.nowMs()));
    }
    if (!runner.finished()) {
        runner.cancel();
        runner.resume();
    }
    if (!runner.finished())
        __builtin_trap();
    return 0;
}
