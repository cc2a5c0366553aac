// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/line_stamp.h"
#include "terminal/session_log.h"

#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <sys/mount.h>
#include <unistd.h>

namespace fs = std::filesystem;
using merovan::LogForm;
using merovan::LogOptions;
using merovan::SessionLog;

namespace {

// 2026-12-08 17:06:11.123 UTC.
constexpr std::int64_t kT0 = 1796749571123;

class FakeWall final : public merovan::WallClock
{
public:
    std::int64_t epochMs() const override { return now; }
    std::int64_t now = kT0;
};

// Keeps what was flushed apart from what was only written, and fails on
// request as a full disk would.
class FakeSink final : public merovan::LogSink
{
public:
    struct State
    {
        std::string written;
        std::string flushed;
        int writes = 0;
        int failWith = 0;
        bool gone = false;
    };
    explicit FakeSink(State& s)
        : m_s(s)
    {
    }
    int write(std::span<const std::uint8_t> bytes) override
    {
        ++m_s.writes;
        if (m_s.failWith)
            return m_s.failWith;
        m_s.written.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return 0;
    }
    int flush() override
    {
        m_s.flushed = m_s.written;
        return 0;
    }
    bool stillThere() const override { return !m_s.gone; }

private:
    State& m_s;
};

std::span<const std::uint8_t> b(std::string_view s)
{
    return { reinterpret_cast<const std::uint8_t*>(s.data()), s.size() };
}

class SessionLogTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
    }

    std::unique_ptr<SessionLog> make(LogOptions options)
    {
        return std::make_unique<SessionLog>(std::make_unique<FakeSink>(state), options, wall, clock, "test.log");
    }

    FakeSink::State state;
    FakeWall wall;
    merovan::test::FakeClock clock;
};

} // namespace

TEST(LineStamp, FormatsLocalTimeWithMilliseconds)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    EXPECT_EQ(merovan::formatTimestamp(kT0), "2026-12-08 17:06:11.123 ");
    EXPECT_EQ(merovan::formatTimestamp(kT0 - 123), "2026-12-08 17:06:11.000 ");
    EXPECT_EQ(merovan::formatTimestamp(kT0 + 877), "2026-12-08 17:06:12.000 ");
    EXPECT_EQ(merovan::formatTimestamp(kT0).size(), merovan::kTimestampLength);
    ::setenv("TZ", "CET-1", 1);
    ::tzset();
    EXPECT_EQ(merovan::formatTimestamp(kT0), "2026-12-08 18:06:11.123 ");
    ::setenv("TZ", "UTC", 1);
    ::tzset();
}

TEST(LineStamp, StampsEachLineWithTheTimeOfItsFirstByte)
{
    ::setenv("TZ", "UTC", 1);
    ::tzset();
    struct Case
    {
        std::vector<std::string> chunks; // chunk i arrives at kT0 + i seconds
        std::string expected;
    };
    const std::string t0 = "2026-12-08 17:06:11.123 ";
    const std::string t1 = "2026-12-08 17:06:12.123 ";
    const std::string t2 = "2026-12-08 17:06:13.123 ";
    const Case cases[] = {
        { { "one\ntwo\n" }, t0 + "one\n" + t0 + "two\n" },
        // A line that ends in a later chunk keeps the time it began.
        { { "par", "tial\nnext" }, t0 + "partial\n" + t1 + "next" },
        // The next line is stamped when its first byte comes, not at the end
        // of the line before.
        { { "a\n", "b" }, t0 + "a\n" + t1 + "b" },
        // CR LF is one line end, also when split; a lone CR ends a line.
        { { "a\r", "\nb\rc" }, t0 + "a\r\n" + t1 + "b\r" + t1 + "c" },
        { { "a\r\n\r\n" }, t0 + "a\r\n" + t0 + "\r\n" },
        { { "", "", "x" }, t2 + "x" },
    };
    for (const Case& c : cases) {
        merovan::LineStamper stamper;
        std::string out;
        for (std::size_t i = 0; i < c.chunks.size(); ++i)
            stamper.stamp(c.chunks[i], kT0 + static_cast<std::int64_t>(i) * 1000, out);
        EXPECT_EQ(out, c.expected) << c.chunks.front();
    }
    merovan::LineStamper off;
    off.setEnabled(false);
    std::string out;
    off.stamp("abc", kT0, out);
    EXPECT_FALSE(off.atLineStart());
    off.breakLine(out);
    EXPECT_EQ(out, "abc\n");
    EXPECT_TRUE(off.atLineStart());
}

TEST_F(SessionLogTest, RawFormKeepsEveryByteAndViewFormMatchesTheView)
{
    const std::string data = std::string("ok\r\n\x01\xff", 6) + std::string(1, '\0') + "z\rend\n";
    auto raw = make({ LogForm::Raw, false, false, false });
    raw->received(b(data.substr(0, 5)));
    raw->received(b(data.substr(5)));
    raw->stop();
    EXPECT_EQ(state.written, data);

    state = {};
    auto view = make({ LogForm::View, false, false, false });
    view->received(b(data.substr(0, 3))); // the CR LF split across reads
    view->received(b(data.substr(3)));
    view->stop();
    EXPECT_EQ(state.written, "ok\n[01][ff][00]z\nend\n");
}

TEST_F(SessionLogTest, TimestampsInBothForms)
{
    auto raw = make({ LogForm::Raw, true, false, false });
    raw->received(b("A\r"));
    wall.now += 1000;
    raw->received(b("\nB"));
    raw->stop();
    EXPECT_EQ(state.written, "A\r\nB") << "a raw log holds exactly the bytes received";

    state = {};
    wall.now = kT0;
    auto view = make({ LogForm::View, true, false, false });
    view->received(b("A\r"));
    wall.now += 1000;
    view->received(b("\n\x02"));
    view->stop();
    EXPECT_EQ(state.written, "2026-12-08 17:06:11.123 A\n2026-12-08 17:06:12.123 [02]");
}

TEST_F(SessionLogTest, FlushesOnLineEndsAndAfterTwoHundredMilliseconds)
{
    auto log = make({ LogForm::Raw, false, false, false });
    log->received(b("no end yet"));
    log->poll();
    EXPECT_EQ(state.flushed, "");
    clock.advance(199);
    log->poll();
    EXPECT_EQ(state.flushed, "");
    clock.advance(1);
    log->poll();
    EXPECT_EQ(state.flushed, "no end yet");

    log->received(b(" done\nmore"));
    EXPECT_EQ(state.flushed, "no end yet done\nmore") << "a line end writes at once";
    const int writes = state.writes;
    log->poll();
    EXPECT_EQ(state.writes, writes) << "nothing waiting, nothing written";
}

TEST_F(SessionLogTest, SentDataAndNotesGoOnMarkedLinesOfTheirOwn)
{
    auto log = make({ LogForm::View, true, true, false });
    log->received(b("prompt> "));
    wall.now += 500;
    log->sent(b("ls\r"));
    wall.now += 500;
    log->received(b("ls\r\nfile\r\n"));
    log->note("Disconnected: /dev/ttyUSB0, waiting for it to return");
    log->note("Reconnected");
    log->sent(b("x"));
    clock.advance(200);
    log->poll();
    log->stop();
    // The prompt's line ends with the echo; what was sent follows it, with
    // the time it was sent.
    EXPECT_EQ(state.written, "2026-12-08 17:06:11.123 prompt> ls\n"
                             "2026-12-08 17:06:11.623 [sent] ls\n"
                             "2026-12-08 17:06:12.123 file\n"
                             "2026-12-08 17:06:12.123 [Disconnected: /dev/ttyUSB0, waiting for it to return]\n"
                             "2026-12-08 17:06:12.123 [Reconnected]\n"
                             "2026-12-08 17:06:12.123 [sent] x\n");

    state = {};
    auto quiet = make({ LogForm::View, false, false, false });
    quiet->sent(b("secret"));
    quiet->received(b("r"));
    quiet->stop();
    EXPECT_EQ(state.written, "r") << "sent data stays out unless asked for";
}

TEST_F(SessionLogTest, ARawLogHoldsExactlyTheBytesReceived)
{
    const std::string data = std::string("a\rb\n\x00\xff[sent] c", 14);
    auto raw = make({ LogForm::Raw, true, true, false });
    raw->received(b(data.substr(0, 4)));
    raw->sent(b("typed\r"));
    raw->note("Disconnected: /dev/ttyUSB0, waiting for it to return");
    raw->note("Reconnected");
    clock.advance(500);
    raw->poll();
    raw->received(b(data.substr(4)));
    raw->sent(b("x"));
    raw->stop();
    EXPECT_EQ(state.written, data);
}

TEST_F(SessionLogTest, SentTextWaitsForTheReceivedLineToEnd)
{
    // A device that echoes each key as it comes: the received line stays
    // whole, and the typed line follows it.
    auto log = make({ LogForm::View, false, true, false });
    for (const char c : std::string("abc")) {
        log->sent(b(std::string(1, c)));
        clock.advance(30);
        log->received(b(std::string(1, c)));
        clock.advance(30);
    }
    log->sent(b("\r"));
    clock.advance(30);
    log->poll();
    log->received(b("\r\n"));
    log->received(b("OK\r\n"));
    log->stop();
    EXPECT_EQ(state.written, "abc\n[sent] abc\nOK\n");

    // A received line that stops growing is broken off after 200 ms.
    state = {};
    auto slow = make({ LogForm::View, false, true, false });
    slow->received(b("> "));
    slow->sent(b("go\r"));
    clock.advance(199);
    slow->poll();
    EXPECT_EQ(state.written, "") << "held while the line may still grow";
    clock.advance(1);
    slow->poll();
    EXPECT_EQ(state.written, "> \n[sent] go\n");
    slow->received(b("done\n"));
    slow->stop();
    EXPECT_EQ(state.written, "> \n[sent] go\ndone\n");

    // At a line start, a sent line goes out at once.
    state = {};
    auto idle = make({ LogForm::View, false, true, false });
    idle->received(b("ready\n"));
    idle->sent(b("cmd\r"));
    EXPECT_EQ(state.written, "ready\n[sent] cmd\n");
    idle->received(b("a\nb"));
    idle->stop();
    EXPECT_EQ(state.written, "ready\n[sent] cmd\na\nb");
}

TEST_F(SessionLogTest, AFailingWriteStopsTheLogWithOneMessage)
{
    auto log = make({ LogForm::Raw, false, false, false });
    log->received(b("first\n"));
    state.failWith = ENOSPC;
    log->received(b("second\n"));
    EXPECT_FALSE(log->active());
    const std::string message = log->takeFailure();
    EXPECT_NE(message.find("test.log"), std::string::npos) << message;
    EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
    EXPECT_EQ(log->takeFailure(), "") << "one message only";
    const int writes = state.writes;
    log->received(b("third\n"));
    clock.advance(1000);
    log->poll();
    log->stop();
    EXPECT_EQ(state.writes, writes);
    EXPECT_EQ(state.written, "first\n");
}

TEST_F(SessionLogTest, ARemovedFileStopsTheLog)
{
    auto log = make({ LogForm::Raw, false, false, false });
    log->received(b("x\n"));
    state.gone = true;
    clock.advance(1000);
    log->poll();
    EXPECT_FALSE(log->active());
    EXPECT_NE(log->takeFailure().find("removed"), std::string::npos);
}

TEST_F(SessionLogTest, FilesAreAppendedToUnlessOverwriteIsChosen)
{
    const std::string path = (fs::temp_directory_path() / ("merovan-log-" + std::to_string(::getpid()))).string();
    std::ofstream(path) << "old\n";
    auto run = [&](bool overwrite, std::string_view text) {
        std::string reason;
        auto sink = merovan::openLogFile(path, overwrite, reason);
        ASSERT_TRUE(sink) << reason;
        SessionLog log(std::move(sink), { LogForm::Raw, false, false, overwrite }, wall, clock, path);
        log.received(b(text));
    };
    run(false, "new\n");
    std::stringstream s1;
    s1 << std::ifstream(path).rdbuf();
    EXPECT_EQ(s1.str(), "old\nnew\n");
    run(true, "only\n");
    std::stringstream s2;
    s2 << std::ifstream(path).rdbuf();
    EXPECT_EQ(s2.str(), "only\n");
    fs::remove(path);

    std::string reason;
    EXPECT_FALSE(merovan::openLogFile("/nonexistent-dir/x.log", false, reason));
    EXPECT_FALSE(reason.empty());
}

// A real full disk: /dev/full always, and a tiny tmpfs when the tests may
// mount one (root).
TEST_F(SessionLogTest, AFullDiskStopsTheLogOnce)
{
    auto fill = [&](const std::string& path) {
        std::string reason;
        auto sink = merovan::openLogFile(path, false, reason);
        if (!sink)
            return std::string("cannot open: ") + reason;
        SessionLog log(std::move(sink), { LogForm::Raw, true, false, false }, wall, clock, path);
        const std::string line(100, 'x');
        for (int i = 0; i < 2000 && log.active(); ++i)
            log.received(b(line + "\n"));
        EXPECT_FALSE(log.active());
        return log.takeFailure();
    };
    std::string message = fill("/dev/full");
    EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;

    const fs::path dir = fs::temp_directory_path() / ("merovan-full-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    if (::geteuid() != 0 || ::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=16k") != 0) {
        fs::remove(dir);
        GTEST_SKIP() << "no tmpfs can be mounted here; /dev/full was used";
    }
    message = fill((dir / "session.log").string());
    EXPECT_NE(message.find(std::strerror(ENOSPC)), std::string::npos) << message;
    EXPECT_GT(fs::file_size(dir / "session.log"), 0u);
    ::umount(dir.c_str());
    fs::remove_all(dir);
}

namespace {

// A disk as slow as a test wants: writes wait at a gate until it opens.
class GatedSink final : public merovan::LogSink
{
public:
    struct Gate
    {
        std::mutex mutex;
        std::condition_variable opened;
        bool open = false;
        std::string written;
        int flushes = 0;
        int failWith = 0;
        std::thread::id writer;
    };
    explicit GatedSink(Gate& g)
        : m_g(g)
    {
    }
    int write(std::span<const std::uint8_t> bytes) override
    {
        std::unique_lock lock(m_g.mutex);
        m_g.opened.wait(lock, [this] { return m_g.open; });
        m_g.writer = std::this_thread::get_id();
        if (m_g.failWith)
            return m_g.failWith;
        m_g.written.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        return 0;
    }
    int flush() override
    {
        std::lock_guard lock(m_g.mutex);
        ++m_g.flushes;
        return 0;
    }

private:
    Gate& m_g;
};

void openGate(GatedSink::Gate& gate, int failWith = 0)
{
    {
        std::lock_guard lock(gate.mutex);
        gate.open = true;
        gate.failWith = failWith;
    }
    gate.opened.notify_all();
}

} // namespace

// The log writes on a thread of its own. With the disk stalled, every call
// still returns at once; past the limit the log says it is behind, once,
// and the reader is to wait; nothing is dropped, and everything is written
// in order once the disk moves again.
TEST_F(SessionLogTest, AStalledDiskHoldsTheReaderBackNeverTheCallerAndLosesNothing)
{
    GatedSink::Gate gate;
    SessionLog log(merovan::writeOnThread(std::make_unique<GatedSink>(gate), 1000), { LogForm::Raw, false, false, false },
                   wall, clock, "slow.log");
    std::string expected;
    for (int i = 0; i < 100; ++i) {
        const std::string line = "line " + std::to_string(i) + " of what the device said\n";
        log.received(b(line));
        expected += line;
    }
    EXPECT_TRUE(log.backlogged()) << "over 1000 bytes wait for the disk";
    const std::string notice = log.takeNotice();
    EXPECT_NE(notice.find("slow.log is behind"), std::string::npos) << notice;
    EXPECT_TRUE(log.backlogged());
    EXPECT_EQ(log.takeNotice(), "") << "said once";
    log.poll();
    EXPECT_TRUE(log.active());

    openGate(gate);
    log.waitForRoom();
    EXPECT_FALSE(log.backlogged());
    log.received(b("the end"));
    clock.advance(SessionLog::kFlushAfterMs);
    log.poll(); // an unended line still goes after 200 ms
    log.stop();
    expected += "the end";
    std::lock_guard lock(gate.mutex);
    EXPECT_EQ(gate.written, expected);
    EXPECT_GE(gate.flushes, 2);
    EXPECT_NE(gate.writer, std::this_thread::get_id()) << "written on the log's own thread";
}

// A disk that fails on the writer's thread stops the log with one message,
// at the next call.
TEST_F(SessionLogTest, AFailureOnTheWritersThreadStopsTheLog)
{
    GatedSink::Gate gate;
    SessionLog log(merovan::writeOnThread(std::make_unique<GatedSink>(gate)), { LogForm::Raw, false, false, false },
                   wall, clock, "full.log");
    log.received(b("first\n"));
    openGate(gate, ENOSPC);
    for (int i = 0; i < 500 && log.active(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        log.poll();
    }
    EXPECT_FALSE(log.active());
    EXPECT_NE(log.takeFailure().find(std::strerror(ENOSPC)), std::string::npos);
    EXPECT_EQ(log.takeFailure(), "");
}
