// SPDX-License-Identifier: GPL-3.0-or-later
#include "automation/ansi_strip.h"
#include "automation/script_host.h"
#include "automation/script_runner.h"
#include "scripts/script_store.h"
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "support/scripted_device.h"
#include "terminal/line_stamp.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <deque>
#include <filesystem>
#include <fstream>

using merovan::AnsiStripper;
using merovan::ScriptHost;
using merovan::ScriptOptions;
using merovan::ScriptRunner;
using merovan::ScriptTransfer;
using merovan::ScriptTransferResult;
using merovan::SerialPort;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;
using merovan::test::ScriptedDevice;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes(std::string_view s)
{
    return { s.begin(), s.end() };
}

std::string text(const Bytes& b)
{
    return { b.begin(), b.end() };
}

// Sends each chunk at its time, whatever the host does.
class TimedDevice : public devsim::DeviceModel
{
public:
    void at(std::uint64_t ms, std::string_view chunk) { m_chunks.emplace_back(ms, bytes(chunk)); }
    void receive(std::uint8_t, std::uint64_t, devsim::DeviceOutput&) override {}
    void tick(std::uint64_t nowMs, devsim::DeviceOutput& out) override
    {
        while (!m_chunks.empty() && m_chunks.front().first <= nowMs) {
            out.bytes.insert(out.bytes.end(), m_chunks.front().second.begin(), m_chunks.front().second.end());
            m_chunks.pop_front();
        }
    }
    std::uint64_t nextDeadline() const override
    {
        return m_chunks.empty() ? devsim::kNoDeadline : m_chunks.front().first;
    }

private:
    std::deque<std::pair<std::uint64_t, Bytes>> m_chunks;
};

class FixedWall final : public merovan::WallClock
{
public:
    std::int64_t epochMs() const override { return 1796749571123; }
};

class RecordingHost : public ScriptHost
{
public:
    void log(const std::string& line) override { logs.push_back(line); }
    void print(const std::string& text) override { prints += text; }
    void note(const std::string& text) override { notes.push_back(text); }
    void showReceived(std::span<const std::uint8_t> b) override { shown.insert(shown.end(), b.begin(), b.end()); }
    ScriptTransferResult transfer(SerialPort& port, const ScriptTransfer& t) override
    {
        transfers.push_back(t);
        if (fakeTransfers) {
            ScriptTransferResult r = fakeResult;
            return r;
        }
        return ScriptHost::transfer(port, t);
    }
    std::string scriptFile() const override { return scripts; }

    std::vector<std::string> logs;
    std::string prints;
    std::vector<std::string> notes;
    Bytes shown;
    std::vector<ScriptTransfer> transfers;
    bool fakeTransfers = false;
    ScriptTransferResult fakeResult;
    std::string scripts;
};

class ScriptRunnerTest : public ::testing::Test
{
protected:
    void SetUp() override { useDevice(std::make_unique<TimedDevice>()); }
    void TearDown() override { fs::remove_all(m_dir); }

    void useDevice(std::unique_ptr<devsim::DeviceModel> model)
    {
        port.reset();
        device = std::move(model);
        auto backend = std::make_unique<FakeBackend>(clock, log, device.get());
        backendView = backend.get();
        port = std::make_unique<SerialPort>(clock, std::move(backend));
        ASSERT_EQ(port->openPort("/dev/fake", "9600,8,N,1"), 0);
        log.written.clear();
        log.modem.clear();
    }
    TimedDevice& timed() { return static_cast<TimedDevice&>(*device); }

    // Runs a script to its end as the command line does; the status.
    int run(std::string_view code, ScriptOptions options = {}, std::vector<std::string> args = {})
    {
        ScriptRunner runner(*port, clock, wall, host, options);
        if (!runner.loadText(code, "test.lua", args)) {
            error = runner.error();
            return runner.exitStatus();
        }
        const int status = runScriptToEnd(
            runner, *port, [this](std::span<const std::uint8_t> b) { received.insert(received.end(), b.begin(), b.end()); },
            nullptr);
        error = runner.error();
        return status;
    }

    std::string path(const std::string& name, std::string_view content)
    {
        fs::create_directories(m_dir);
        const std::string p = m_dir + "/" + name;
        std::ofstream(p, std::ios::binary) << content;
        return p;
    }

    FakeClock clock;
    FakeLineLog log;
    FixedWall wall;
    RecordingHost host;
    std::unique_ptr<devsim::DeviceModel> device;
    std::unique_ptr<SerialPort> port;
    FakeBackend* backendView = nullptr;
    Bytes received;
    std::string error;
    std::string m_dir = fs::temp_directory_path().string() + "/merovan-script-" + std::to_string(::getpid());
};

TEST(AnsiStripper, RemovesSequencesEvenWhenSplit)
{
    const struct
    {
        std::string in;
        std::string out;
    } cases[] = {
        { "plain\r\n", "plain\r\n" },
        { "\x1b[1;32mOK\x1b[0m", "OK" },
        { "a\x1b]0;title\x07" "b", "ab" },
        { "a\x1b]8;;http://x\x1b\\link\x1b]8;;\x1b\\", "alink" },
        { "\x1b(Bx\x1b" "7y\x1b" "8", "xy" },
        { "\x1b[2J\x1b[H=> ", "=> " },
        { "\x1b[12\r;3H!", "\r!" },          // a control inside a sequence still counts
        { "\x1b\x1b[0mz", "z" },
        { std::string("\x1b[") + std::string(100, '1') + "z", std::string(36, '1') + "z" }, // runs on: given up
    };
    for (const auto& c : cases) {
        for (std::size_t split = 0; split <= c.in.size(); ++split) {
            AnsiStripper s;
            std::string out;
            const Bytes all = bytes(c.in);
            s.feed(std::span(all.data(), split), out);
            s.feed(std::span(all.data() + split, all.size() - split), out);
            EXPECT_EQ(out, c.out) << "input " << c.in.size() << " bytes split at " << split;
        }
    }
}

TEST_F(ScriptRunnerTest, SendExpandsEscapesSendlnAddsEnterWriteIsRaw)
{
    ASSERT_EQ(run(R"lua(
        assert(merovan.send("AB\\r\\0x41"))
        assert(merovan.sendln("x"))
        merovan.enter = "\r\n"
        assert(merovan.sendln("y"))
        assert(merovan.write("\\r\0\1"))
    )lua"), 0) << error;
    EXPECT_EQ(text(log.written), std::string("AB\rAx\ry\r\n\\r\0\1", 13));
}

TEST_F(ScriptRunnerTest, ExpectMatchesAcrossSplitReadsAndConsumes)
{
    const std::uint64_t t0 = clock.nowMs();
    timed().at(t0 + 10, "boot...\r\nlog");
    timed().at(t0 + 50, "in: ");
    timed().at(t0 + 300, "x prompt> y prompt> ");
    ASSERT_EQ(run(R"lua(
        local i, m = merovan.expect("login: ")
        assert(i == 1 and m == "login: ", tostring(i) .. tostring(m))
        assert(merovan.expect("prompt> "))
        assert(merovan.expect("prompt> "))
        -- Both prompts were consumed: a third is not there.
        local none, why = merovan.expect("prompt> ", 200)
        assert(none == nil and why == "timeout", why)
    )lua"), 0) << error;
    EXPECT_GE(clock.nowMs(), t0 + 500);
    EXPECT_EQ(text(received), "boot...\r\nlogin: x prompt> y prompt> ");
    ASSERT_EQ(host.notes.size(), 1u);
    EXPECT_EQ(host.notes[0], "test.lua:7: expect: timeout after 200 ms");
}

TEST_F(ScriptRunnerTest, ExpectSeesTextWithoutColourCodes)
{
    timed().at(clock.nowMs() + 5, "\x1b[1;32mPA\x1b[0");
    timed().at(clock.nowMs() + 9, "mSS\x1b[0m\r\n");
    ASSERT_EQ(run(R"lua(
        local i, m = merovan.expect("PASS\r\n")
        assert(m == "PASS\r\n")
    )lua"), 0) << error;
}

TEST_F(ScriptRunnerTest, ExpectListGivesIndexMatchAndCaptures)
{
    timed().at(clock.nowMs() + 5, "answer: ERR 42\r\nOK\r\n");
    timed().at(clock.nowMs() + 9, std::string_view("bin\0\1\xFF!", 7));
    ASSERT_EQ(run(R"lua(
        local i, m, code = merovan.expect({"OK", "ERR (%d+)"})
        assert(i == 2 and m == "ERR 42" and code == "42", tostring(i))
        -- What follows the match is still there.
        i, m = merovan.expect({"nothing", "OK"}, 0)
        assert(i == 2 and m == "OK")
        -- Patterns are binary-safe.
        i, m = merovan.expect("\0\1\255")
        assert(i == 1 and m == "\0\1\255")
    )lua"), 0) << error;
}

TEST_F(ScriptRunnerTest, TimeOutsAndTheDefaultTimeOut)
{
    const std::uint64_t t0 = clock.nowMs();
    ScriptOptions options;
    options.defaultTimeoutMs = 10000;
    ASSERT_EQ(run(R"lua(
        local a, why = merovan.expect("never", 300)
        assert(a == nil and why == "timeout")
        local b, why2 = merovan.expect("never")
        assert(b == nil and why2 == "timeout")
        assert(merovan.read(50) == nil)
        assert(merovan.readline(50) == nil)
    )lua", options), 0) << error;
    EXPECT_GE(clock.nowMs(), t0 + 10400);
    EXPECT_LT(clock.nowMs(), t0 + 10500);
    EXPECT_EQ(host.notes.size(), 4u);
}

TEST_F(ScriptRunnerTest, ReadAndReadline)
{
    timed().at(clock.nowMs() + 5, "first\r\nsecond\nthird");
    ASSERT_EQ(run(R"lua(
        assert(merovan.readline() == "first")
        assert(merovan.readline() == "second")
        assert(merovan.read() == "third")
        assert(merovan.read(0) == nil)
    )lua"), 0) << error;
}

TEST_F(ScriptRunnerTest, SleepWaitsInVirtualTime)
{
    const std::uint64_t t0 = clock.nowMs();
    ASSERT_EQ(run("assert(merovan.sleep(1500) == true)"), 0) << error;
    EXPECT_GE(clock.nowMs(), t0 + 1500);
    EXPECT_LT(clock.nowMs(), t0 + 1510);
}

TEST_F(ScriptRunnerTest, ModemLinesBaudFlushAndBreak)
{
    timed().at(clock.nowMs() + 1, "stale");
    ASSERT_EQ(run(R"lua(
        assert(merovan.dtr(true)); assert(merovan.rts(false))
        assert(merovan.pulse_dtr(20))
        assert(merovan.baud(115200))
        merovan.sleep(5)
        assert(merovan.flush())
        assert(merovan.read(0) == nil)
        local ok, why = merovan.send_break()
        assert(ok == nil and type(why) == "string")
    )lua"), 0) << error;
    using merovan::ModemLine;
    const std::vector<std::pair<ModemLine, bool>> modem = {
        { ModemLine::Dtr, true }, { ModemLine::Rts, false }, { ModemLine::Dtr, true }, { ModemLine::Dtr, false }
    };
    // The first entries are what baud() re-applies; the script's come first.
    ASSERT_GE(log.modem.size(), modem.size());
    EXPECT_TRUE(std::equal(modem.begin(), modem.end(), log.modem.begin()));
    EXPECT_EQ(log.applied.back().baudRate, 115200u);
}

TEST_F(ScriptRunnerTest, ExitStatuses)
{
    EXPECT_EQ(run("local x = 1"), 0);
    EXPECT_EQ(run("os.exit(3)"), 3);
    EXPECT_EQ(run("os.exit(false)"), 1);
    EXPECT_EQ(run("pcall(os.exit, 7) error('not reached')"), 7);
    EXPECT_EQ(run("coroutine.wrap(function() os.exit(9) end)() error('not reached')"), 9);
    EXPECT_EQ(run("\n\nerror('boom')"), 1);
    EXPECT_EQ(error, "test.lua:3: boom");
    EXPECT_EQ(run("local t = nil\nreturn t.x"), 1);
    EXPECT_NE(error.find("test.lua:2:"), std::string::npos) << error;
    EXPECT_EQ(run("if then"), 1);
    EXPECT_NE(error.find("test.lua:1:"), std::string::npos) << error;

    ScriptRunner missing(*port, clock, wall, host);
    EXPECT_FALSE(missing.loadFile("/nonexistent/x.lua", {}));
    EXPECT_TRUE(missing.finished());
    EXPECT_EQ(missing.exitStatus(), 1);
    EXPECT_NE(missing.error().find("/nonexistent/x.lua"), std::string::npos) << missing.error();
}

TEST_F(ScriptRunnerTest, RunawayLoopsAreStopped)
{
    ScriptOptions options;
    options.instructionLimit = 2'000'000;
    EXPECT_EQ(run("local n = 0\nwhile true do n = n + 1 end", options), 1);
    EXPECT_NE(error.find("test.lua:2: "), std::string::npos) << error;
    EXPECT_NE(error.find("runaway"), std::string::npos) << error;
    // A pcall cannot catch it for good.
    EXPECT_EQ(run("while true do pcall(function() while true do end end) end", options), 1);
    EXPECT_NE(error.find("runaway"), std::string::npos) << error;
    // Waiting resets the count.
    EXPECT_EQ(run("for i = 1, 30 do for j = 1, 20000 do end merovan.sleep(1) end", options), 0) << error;
}

TEST_F(ScriptRunnerTest, StopEndsAWaitingOrRunningScript)
{
    ScriptRunner runner(*port, clock, wall, host);
    ASSERT_TRUE(runner.loadText("merovan.expect('never', 60000)", "stop.lua", {}));
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Waiting);
    clock.advance(100);
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Waiting);
    runner.cancel();
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Finished);
    EXPECT_EQ(runner.exitStatus(), 1);
    EXPECT_EQ(runner.error(), "Script stopped");

    ScriptRunner busy(*port, clock, wall, host);
    ASSERT_TRUE(busy.loadText("while true do pcall(function() end) end", "busy.lua", {}));
    busy.cancel();
    EXPECT_EQ(busy.resume(), ScriptRunner::State::Finished);
    EXPECT_EQ(busy.error(), "Script stopped");

    // The command line's loop stops on request too.
    ScriptRunner driven(*port, clock, wall, host);
    ASSERT_TRUE(driven.loadText("merovan.sleep(100000)", "driven.lua", {}));
    int asked = 0;
    EXPECT_EQ(merovan::runScriptToEnd(driven, *port, nullptr, [&] { return ++asked > 3; }), 1);
    EXPECT_LT(clock.nowMs(), 100000u);
}

TEST_F(ScriptRunnerTest, ResumedFromAnEventLoopByFeeding)
{
    ScriptRunner runner(*port, clock, wall, host);
    ASSERT_TRUE(runner.loadText(R"lua(
        local i, m, n = merovan.expect("count=(%d+)\n")
        merovan.log("got", n)
        assert(merovan.expect("again"))
    )lua", "loop.lua", {}));
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Waiting);
    EXPECT_EQ(runner.deadline(), clock.nowMs() + 10000);
    runner.feed(bytes("cou"));
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Waiting);
    runner.feed(bytes("nt=12\nag"));
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Waiting);
    EXPECT_EQ(runner.pendingInput(), "ag");
    ASSERT_EQ(host.logs.size(), 1u);
    EXPECT_EQ(host.logs[0], merovan::formatTimestamp(wall.epochMs()) + "got 12");
    runner.feed(bytes("ain"));
    EXPECT_EQ(runner.resume(), ScriptRunner::State::Finished);
    EXPECT_EQ(runner.exitStatus(), 0) << runner.error();
}

TEST_F(ScriptRunnerTest, InputIsBounded)
{
    ScriptRunner runner(*port, clock, wall, host);
    ASSERT_TRUE(runner.loadText("merovan.expect('never')", "big.lua", {}));
    runner.resume();
    const Bytes chunk(64 * 1024, 'x');
    for (int i = 0; i < 40; ++i)
        runner.feed(chunk);
    EXPECT_EQ(runner.pendingInput().size(), ScriptRunner::kInputLimit);
}

TEST_F(ScriptRunnerTest, AVanishedPortEndsWaitsWithPortLost)
{
    auto scripted = std::make_unique<ScriptedDevice>();
    scripted->vanishAfterLines = 1;
    useDevice(std::move(scripted));
    ASSERT_EQ(run(R"lua(
        merovan.sendln("reboot")
        local ok, why = merovan.expect("login:")
        assert(ok == nil and why == "port lost", why)
        ok, why = merovan.send("x")
        assert(ok == nil and why == "port lost", why)
    )lua"), 0) << error;
}

TEST_F(ScriptRunnerTest, ExecIsClosedUnlessAllowed)
{
    const char* probe = R"lua(
        for _, f in ipairs({ function() os.execute("true") end, function() io.popen("true") end,
                             function() package.loadlib("x", "y") end }) do
            local ok, why = pcall(f)
            assert(not ok and why:find("allow%-exec"), why)
        end
        assert(package.cpath == "")
    )lua";
    EXPECT_EQ(run(probe), 0) << error;
    ScriptOptions open;
    open.allowExec = true;
    EXPECT_EQ(run("assert(os.execute('exit 4') == nil)", open), 0) << error;
}

TEST_F(ScriptRunnerTest, ArgsLogAndPrint)
{
    ASSERT_EQ(run(R"lua(
        assert(#merovan.args == 2 and merovan.args[1] == "a" and arg[2] == "b c" and arg[0] == "test.lua")
        merovan.log("hello", 3)
        print("out", 1)
    )lua", {}, { "a", "b c" }), 0) << error;
    ASSERT_EQ(host.logs.size(), 1u);
    EXPECT_EQ(host.logs[0].substr(merovan::kTimestampLength), "hello 3");
    EXPECT_EQ(host.prints, "out\t1\n");
}

TEST_F(ScriptRunnerTest, NamedScriptsAreSentExpanded)
{
    host.scripts = path("lab.scr", std::string(1, '\x17'));
    ASSERT_TRUE(merovan::addScript(host.scripts, "reset", "ATZ\\r", nullptr));
    ASSERT_EQ(run(R"lua(
        assert(merovan.script("reset"))
        local ok, why = merovan.script("nope")
        assert(ok == nil and why == "no script named nope")
    )lua"), 0) << error;
    EXPECT_EQ(text(log.written), "ATZ\r");
}

TEST_F(ScriptRunnerTest, TransfersReachTheHostAndReportLikeTheWindow)
{
    host.fakeTransfers = true;
    host.fakeResult.ok = true;
    host.fakeResult.files = { "a.bin" };
    host.fakeResult.deviceOutput = bytes("\x1b[0mdone\r\n");
    ASSERT_EQ(run(R"lua(
        local ok, files = merovan.send_file("a.bin", "xmodem-1k")
        assert(ok == true and files[1] == "a.bin")
        assert(merovan.expect("done"))
        assert(merovan.send_file({"a", "b"}, "ymodem"))
        assert(merovan.receive_files("in", "zmodem"))
        assert(merovan.boot("app.hex", {flash_kb = 512, erase_all = true}))
        assert(merovan.text_file("prog.bas", {ack = 6, error = "!"}))
        assert(merovan.binary("fw.bin"))
        assert(not pcall(merovan.send_file, "a", "kermit"))
    )lua"), 0) << error;
    ASSERT_EQ(host.transfers.size(), 6u);
    EXPECT_EQ(host.transfers[0].protocol, merovan::FileProtocol::Xmodem);
    EXPECT_TRUE(host.transfers[0].oneK);
    EXPECT_EQ(host.transfers[1].paths, (std::vector<std::string> { "a", "b" }));
    EXPECT_EQ(host.transfers[2].dir, "in");
    EXPECT_EQ(host.transfers[3].flashKb, 512);
    EXPECT_TRUE(host.transfers[3].eraseAll);
    EXPECT_EQ(host.transfers[4].ack, 6);
    EXPECT_EQ(host.transfers[4].error, '!');
    EXPECT_EQ(host.transfers[5].kind, ScriptTransfer::Kind::Binary);
    EXPECT_EQ(text(host.shown).substr(0, 4), "\x1b[0m");
}

TEST_F(ScriptRunnerTest, RealTransfersThroughTheCore)
{
    devsim::DeviceOptions o;
    o.greeting = false;
    o.echo = false;
    o.ack = 6;
    useDevice(devsim::makeDevice(o));
    const std::string lines = path("prog.bas", "10 PRINT 1\r\n20 END\r\n");
    const std::string bin = path("fw.bin", "\x01\x02\x03");
    host.fakeTransfers = false;
    ASSERT_EQ(run("assert(merovan.text_file(arg[1], {ack = 6}))\n"
                  "assert(merovan.binary(arg[2]))\n"
                  "local ok, why = merovan.send_file(arg[3], 'ymodem')\n"
                  "assert(ok == nil and why:find('Cant open file'), why)\n",
                  {}, { lines, bin, m_dir + "/missing.bin" }),
              0)
        << error;
    EXPECT_EQ(text(log.written), "10 PRINT 1\r20 END\r\x01\x02\x03");
}

TEST_F(ScriptRunnerTest, MisuseIsAnErrorWithItsLine)
{
    timed().at(clock.nowMs() + 1, "data");
    EXPECT_EQ(run("merovan.sleep(5)\nmerovan.expect('[a')"), 1);
    EXPECT_NE(error.find("test.lua:2:"), std::string::npos) << error;
    EXPECT_NE(error.find("malformed"), std::string::npos) << error;
    EXPECT_EQ(run("coroutine.wrap(function()\nmerovan.sleep(1) end)()"), 1);
    EXPECT_NE(error.find("test.lua:2:"), std::string::npos) << error;
    EXPECT_EQ(run("merovan.expect({})"), 1);
    EXPECT_EQ(run("merovan.boot('x')"), 1);
    EXPECT_EQ(run("merovan.expect('x', -1)"), 1);
    EXPECT_EQ(run("coroutine.yield()"), 1);
    EXPECT_EQ(run("string.gsub('a', 'a', function() merovan.sleep(1) end)"), 1);
    EXPECT_NE(error.find("cannot wait here"), std::string::npos) << error;
}

TEST_F(ScriptRunnerTest, MemoryIsBounded)
{
    ScriptOptions options;
    options.memoryLimitBytes = 8u << 20;
    EXPECT_EQ(run("local t = {} for i = 1, 1e8 do t[i] = string.rep('x', 100) .. i end", options), 1);
    EXPECT_NE(error.find("not enough memory"), std::string::npos) << error;
}

} // namespace
