// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli term in a pseudo-terminal that stands in for the user's own
// terminal, against merovan-devsim: what is typed reaches the device, what
// the device sends comes out as it came, the command keys work, and the
// host terminal gets its settings back on every way out.

#include "support/process.h"
#include "support/pty_pair.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <thread>

using merovan::test::Devsim;
using merovan::test::readFile;
using merovan::test::tempPath;

namespace fs = std::filesystem;

namespace {

using namespace std::chrono_literals;

// The settings a terminal's user lives with; term must leave them as found.
bool sameSettings(const termios& a, const termios& b)
{
    return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag && a.c_lflag == b.c_lflag
        && std::equal(std::begin(a.c_cc), std::end(a.c_cc), std::begin(b.c_cc));
}

// merovan-cli term running with a pseudo-terminal as its standard input,
// output and error: the test types on the master side and reads the screen
// from it.
class TermRun
{
public:
    explicit TermRun(const std::vector<std::string>& args)
    {
        m_host = ::open(m_pty.slavePath().c_str(), O_RDWR | O_NOCTTY);
        if (m_host < 0)
            throw std::runtime_error("cannot open the host pty");
        ::tcgetattr(m_host, &m_before);
        std::vector<std::string> all = { MEROVAN_CLI_PATH, "term" };
        all.insert(all.end(), args.begin(), args.end());
        m_pid = ::fork();
        if (m_pid < 0)
            throw std::runtime_error("fork");
        if (m_pid == 0) {
            ::setsid();
            ::dup2(m_host, 0);
            ::dup2(m_host, 1);
            ::dup2(m_host, 2);
            std::vector<char*> argv;
            for (auto& a : all)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    ~TermRun()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGKILL);
            ::waitpid(m_pid, nullptr, 0);
        }
        if (m_host >= 0)
            ::close(m_host);
    }
    TermRun(const TermRun&) = delete;
    TermRun& operator=(const TermRun&) = delete;

    void type(const std::string& keys) { m_pty.send({ keys.begin(), keys.end() }); }

    // Everything the screen got so far, after up to timeout for text to
    // appear in it.
    bool waitFor(const std::string& text, std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (m_screen.find(text, m_seen) == std::string::npos) {
            if (std::chrono::steady_clock::now() > deadline)
                return false;
            const auto got = m_pty.receive(1, 50);
            m_screen.append(got.begin(), got.end());
        }
        m_seen = m_screen.find(text, m_seen) + text.size();
        return true;
    }
    const std::string& screen() const { return m_screen; }

    // The exit code; -1 when it had to be killed after timeout.
    int exitCode(std::chrono::milliseconds timeout = 10s)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (::waitpid(m_pid, &status, WNOHANG) == 0) {
            // Keep reading, so output never blocks it.
            const auto got = m_pty.receive(1, 20);
            m_screen.append(got.begin(), got.end());
            if (std::chrono::steady_clock::now() > deadline)
                return -1;
        }
        m_pid = -1;
        const auto rest = m_pty.receive(1 << 20, 100);
        m_screen.append(rest.begin(), rest.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    void signal(int sig) { ::kill(m_pid, sig); }

    bool settingsRestored() const
    {
        termios now {};
        ::tcgetattr(m_host, &now);
        return sameSettings(m_before, now);
    }
    bool settingsRaw() const
    {
        termios now {};
        ::tcgetattr(m_host, &now);
        return !(now.c_lflag & (ICANON | ECHO | ISIG));
    }

private:
    merovan::test::PtyPair m_pty;
    int m_host = -1;
    termios m_before {};
    pid_t m_pid = -1;
    std::string m_screen;
    std::size_t m_seen = 0;
};

struct Scratch
{
    Scratch()
        : dir(tempPath("term"))
    {
        fs::create_directories(dir);
    }
    ~Scratch() { fs::remove_all(dir); }
    std::string operator/(const std::string& name) const { return dir + "/" + name; }
    std::string dir;
};

} // namespace

TEST(CliTerm, TypedBytesArriveDeviceEscapesComeOutAndCtrlTQRestoresTheTerminal)
{
    Scratch s;
    // An ESP-IDF log line in colour, and a cursor query.
    Devsim sim({ "--record", s / "rec", "--greeting", "\\e[0;32mI (312) cpu_start: ok\\e[0m\\r\\n\\e[6n\\xff" });
    TermRun term({ "-p", sim.port() });
    ASSERT_TRUE(term.waitFor("\x1b[0;32mI (312) cpu_start: ok\x1b[0m\r\n\x1b[6n\xff")) << term.screen();
    EXPECT_TRUE(term.settingsRaw());

    // Ctrl+C and Ctrl+A go to the device too; Ctrl+T Ctrl+T is a Ctrl+T.
    const std::string typed = "ls -l\r\x1b[1;31mred\x1b[0m \x03\x01\xc3\xa9";
    term.type(typed);
    term.type("\x14\x14");
    // The device echoes: its escapes reach the screen byte for byte.
    ASSERT_TRUE(term.waitFor(typed + "\x14")) << term.screen();

    term.type("\x14h");
    EXPECT_TRUE(term.waitFor("Ctrl+T then:")) << term.screen();
    // The line keys answer on the screen, whatever a pty makes of them.
    term.type("\x14" "b");
    EXPECT_TRUE(term.waitFor("break")) << term.screen();
    term.type("\x14r");
    EXPECT_TRUE(term.waitFor("RTS")) << term.screen();
    term.type("\x14" "d");
    EXPECT_TRUE(term.waitFor("DTR")) << term.screen();
    term.type("\x14x");
    EXPECT_TRUE(term.waitFor("Ctrl+T x means nothing")) << term.screen();
    term.type("\x14q");
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    EXPECT_TRUE(term.settingsRestored());
    sim.stop();
    EXPECT_EQ(readFile(s / "rec"), typed + "\x14") << "the help and quit keys never reach the device";
}

TEST(CliTerm, MapsChangeEnterAndTheScreenButNeverTheLog)
{
    Scratch s;
    Devsim sim({ "--record", s / "rec" });
    TermRun term({ "-p", sim.port(), "--map", "ocrcrnl,INLCRNL", "--log", s / "raw.log", "--raw" });
    ASSERT_TRUE(term.waitFor("devsim ready\r\n")) << term.screen();
    // Enter (CR) goes out as CR LF; Ctrl+J stays a lone LF.
    term.type("a\rb\n.");
    // The echo's lone LF comes back with a carriage return added.
    ASSERT_TRUE(term.waitFor("a\r\nb\r\n.")) << term.screen();
    term.type("\x14q");
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    EXPECT_TRUE(term.settingsRestored());
    sim.stop();
    EXPECT_EQ(readFile(s / "rec"), "a\r\nb\n.");
    EXPECT_EQ(readFile(s / "raw.log"), "devsim ready\r\na\r\nb\n.") << "the raw log has what the device sent";

    // The device's lone CR becomes a new line; its CR LF stays one.
    Devsim sim2({ "--record", s / "rec2", "--greeting", "one\\rtwo\\r\\n" });
    TermRun lone({ "-p", sim2.port(), "--map", "ICRNL", "--echo" });
    ASSERT_TRUE(lone.waitFor("one\r\ntwo\r\n")) << lone.screen();
    lone.type("x\r");
    // The local echo's CR, then the device's: the screen is one stream.
    ASSERT_TRUE(lone.waitFor("x\r\nx\r")) << lone.screen();
    lone.type("\x14q");
    EXPECT_EQ(lone.exitCode(), 0);
    sim2.stop();
    EXPECT_EQ(readFile(s / "rec2"), "x\r");

    // Enter sends LF alone.
    Devsim sim3({ "--record", s / "rec3" });
    TermRun lf({ "-p", sim3.port(), "--map", "OCRNL" });
    ASSERT_TRUE(lf.waitFor("devsim ready\r\n")) << lf.screen();
    lf.type("y\r");
    ASSERT_TRUE(lf.waitFor("y\n")) << lf.screen();
    lf.type("\x14q");
    EXPECT_EQ(lf.exitCode(), 0);
    sim3.stop();
    EXPECT_EQ(readFile(s / "rec3"), "y\n");

    const auto bad = merovan::test::runProgram(MEROVAN_CLI_PATH, { "term", "-p", sim2.port(), "--map", "INLCRNL,ICRNL" });
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("exclude each other"), std::string::npos) << bad.err;
    const auto unknown = merovan::test::runProgram(MEROVAN_CLI_PATH, { "monitor", "-p", "x", "--map", "LFCR" });
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("unknown flag 'LFCR'"), std::string::npos) << unknown.err;
    const auto sendsNothing = merovan::test::runProgram(MEROVAN_CLI_PATH, { "monitor", "-p", "x", "--map", "OCRNL" });
    EXPECT_EQ(sendsNothing.exitCode, 2) << sendsNothing.err;
}

TEST(CliTerm, MonitorMapsWhatItShows)
{
    Devsim sim({ "--greeting", "a\\nb\\rc\\r\\nd\\e" });
    const std::vector<std::pair<std::string, std::string>> cases = {
        { "", "a\nb\rc\r\nd[1b]" },
        { "INLCRNL", "a\r\nb\rc\r\nd[1b]" },
        { "ICRNL", "a\nb\r\nc\r\nd[1b]" },
    };
    for (const auto& [map, shown] : cases) {
        std::vector<std::string> args = { "monitor", "-p", sim.port(), "--seconds", "1" };
        if (!map.empty())
            args.insert(args.end(), { "--map", map });
        const auto r = merovan::test::runProgram(MEROVAN_CLI_PATH, args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.out, shown) << "--map " << map;
    }
}

TEST(CliTerm, ASignalOrALostPortStillRestoresTheTerminal)
{
    {
        Devsim sim({});
        TermRun term({ "-p", sim.port(), "--quiet" });
        ASSERT_TRUE(term.waitFor("devsim ready")) << term.screen();
        term.signal(SIGTERM);
        EXPECT_EQ(term.exitCode(), 0) << term.screen();
        EXPECT_TRUE(term.settingsRestored());
    }
    {
        Devsim sim({});
        TermRun term({ "-p", sim.port(), "--quiet" });
        ASSERT_TRUE(term.waitFor("devsim ready")) << term.screen();
        term.signal(SIGHUP);
        EXPECT_EQ(term.exitCode(), 0) << term.screen();
        EXPECT_TRUE(term.settingsRestored());
    }
    {
        auto sim = std::make_unique<Devsim>(std::vector<std::string> {});
        TermRun term({ "-p", sim->port() });
        ASSERT_TRUE(term.waitFor("devsim ready")) << term.screen();
        sim.reset();
        EXPECT_EQ(term.exitCode(), 4) << term.screen();
        EXPECT_TRUE(term.settingsRestored());
    }
}

TEST(CliTerm, ReconnectsAndQuitsWhileWaiting)
{
    Scratch s;
    const std::string link = s / "ttyDEVICE";
    auto sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link });
    TermRun term({ "-p", link, "--reconnect", "--timestamps" });
    ASSERT_TRUE(term.waitFor("devsim ready\r\n")) << term.screen();
    EXPECT_TRUE(std::regex_search(term.screen(), std::regex(R"(\d\d:\d\d:\d\d\.\d{3} devsim ready\r\n)")))
        << term.screen();
    sim.reset();
    ASSERT_TRUE(term.waitFor("waiting for it to return")) << term.screen();
    sim = std::make_unique<Devsim>(std::vector<std::string> { "--link", link, "--record", s / "rec" });
    ASSERT_TRUE(term.waitFor("Reconnected")) << term.screen();
    ASSERT_TRUE(term.waitFor("devsim ready\r\n")) << term.screen();
    term.type("again");
    ASSERT_TRUE(term.waitFor("again")) << term.screen();
    sim.reset();
    ASSERT_TRUE(term.waitFor("waiting for it to return")) << term.screen();
    term.type("\x14q");
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    EXPECT_TRUE(term.settingsRestored());
    EXPECT_EQ(readFile(s / "rec"), "again");
}

TEST(CliTerm, CtrlTZSendsAFileByZmodem)
{
    if (::access("/usr/bin/rz", X_OK) != 0) {
        if (const char* ci = std::getenv("CI"); ci && std::string(ci) == "true")
            FAIL() << "rz (lrzsz) is missing; tools/install-deps.sh installs it";
        GTEST_SKIP() << "rz (lrzsz) is not installed (tools/install-deps.sh)";
    }
    Scratch s;
    fs::create_directories(s / "theirs");
    std::string payload;
    for (int i = 0; i < 50000; ++i)
        payload.push_back(static_cast<char>((i * 7919) >> 3));
    std::ofstream(s / "up.bin", std::ios::binary) << payload;

    merovan::test::PtyBridge bridge;
    // rz on the far side, in its folder, as a device's shell would run it.
    const pid_t rz = ::fork();
    ASSERT_GE(rz, 0);
    if (rz == 0) {
        const int fd = ::open(bridge.b().c_str(), O_RDWR | O_NOCTTY);
        if (fd < 0 || ::chdir((s / "theirs").c_str()) != 0)
            ::_exit(126);
        termios raw {};
        ::tcgetattr(fd, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(fd, TCSANOW, &raw);
        ::dup2(fd, 0);
        ::dup2(fd, 1);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, 2);
        ::execl("/usr/bin/rz", "rz", "-q", static_cast<char*>(nullptr));
        ::_exit(127);
    }
    TermRun term({ "-p", bridge.a(), "--block-timeout", "5000" });
    ASSERT_TRUE(term.waitFor("Ctrl+T q quits")) << term.screen();
    term.type("\x14z");
    ASSERT_TRUE(term.waitFor("file to send")) << term.screen();
    term.type("'" + (s / "up.bin") + "'\r");
    EXPECT_TRUE(term.waitFor("ZMODEM: sent up.bin, 50,000 bytes", 30s)) << term.screen();
    int status = 0;
    for (int i = 0; i < 500 && ::waitpid(rz, &status, WNOHANG) == 0; ++i)
        std::this_thread::sleep_for(20ms);
    ::kill(rz, SIGKILL);
    ::waitpid(rz, nullptr, 0);
    term.type("\x14q");
    EXPECT_EQ(term.exitCode(), 0) << term.screen();
    EXPECT_TRUE(term.settingsRestored());
    EXPECT_EQ(readFile(s / "theirs/up.bin"), payload);
}
