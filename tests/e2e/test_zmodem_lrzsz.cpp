// SPDX-License-Identifier: GPL-3.0-or-later
// ZMODEM against Debian's lrzsz (sz, rz) over a pair of pseudo-terminals
// joined by a bridge that can flip a bit on the way: both directions, files
// of the sizes around the subpacket edges, a batch, an error recovered by
// ZRPOS and a cut transfer resumed.

#include "serial/clock.h"
#include "serial/serial_port.h"
#include "support/process.h"
#include "support/pty_pair.h"
#include "transfer/file_transfer.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <algorithm>
#include <chrono>
#include <deque>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <thread>

using namespace merovan;
using merovan::test::PtyPair;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Copies bytes between two pty masters, at most bytesPerSecond in each
// direction when set, holding up to kHeld bytes on the way like a line's
// buffers. flipAt (per direction) flips the low bit of that byte, counted
// from the start.
class Bridge
{
public:
    Bridge(int a, int b)
        : m_fd { a, b }
    {
        for (const int fd : m_fd)
            ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    ~Bridge() { stop(); }

    std::atomic<long long> flipAt[2] { -1, -1 }; // 0: ours -> peer, 1: peer -> ours
    std::atomic<long long> moved[2] { 0, 0 };    // taken in
    std::atomic<long long> bytesPerSecond { 0 }; // 0: as fast as the ptys go
    std::FILE* trace = nullptr;
    static constexpr std::size_t kHeld = 16384;

    void start()
    {
        m_thread = std::thread([this] { loop(); });
    }
    void stop()
    {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void loop()
    {
        std::uint8_t buf[4096];
        std::deque<std::uint8_t> held[2];
        long long sent[2] = { 0, 0 };
        auto since = std::chrono::steady_clock::now();
        long long rateWas = 0;
        while (!m_stop) {
            pollfd fds[2] = { { m_fd[0], POLLIN, 0 }, { m_fd[1], POLLIN, 0 } };
            ::poll(fds, 2, held[0].empty() && held[1].empty() ? 20 : 1);
            const long long rate = bytesPerSecond;
            if (rate != rateWas) {
                since = std::chrono::steady_clock::now();
                sent[0] = sent[1] = 0;
                rateWas = rate;
            }
            for (int dir = 0; dir < 2; ++dir) {
                while (held[dir].size() < kHeld) {
                    const ssize_t n = ::read(m_fd[dir], buf, sizeof buf);
                    if (n <= 0)
                        break;
                    const long long at = moved[dir];
                    const long long flip = flipAt[dir];
                    if (flip >= at && flip < at + n)
                        buf[flip - at] ^= 0x01;
                    moved[dir] += n;
                    if (trace) {
                        const std::uint8_t tag[4] = { 0xFE, static_cast<std::uint8_t>(dir),
                                                      static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n) };
                        std::fwrite(tag, 1, 4, trace);
                        std::fwrite(buf, 1, static_cast<std::size_t>(n), trace);
                        std::fflush(trace);
                    }
                    held[dir].insert(held[dir].end(), buf, buf + n);
                }
                std::size_t allowed = held[dir].size();
                if (rate) {
                    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(
                                        std::chrono::steady_clock::now() - since).count();
                    const long long due = us * rate / 1000000 - sent[dir];
                    allowed = std::min<std::size_t>(allowed, static_cast<std::size_t>(std::max<long long>(due, 0)));
                }
                allowed = std::min(allowed, sizeof buf);
                if (allowed == 0)
                    continue;
                std::copy_n(held[dir].begin(), allowed, buf);
                const ssize_t w = ::write(m_fd[1 - dir], buf, allowed);
                if (w > 0) {
                    held[dir].erase(held[dir].begin(), held[dir].begin() + w);
                    sent[dir] += w;
                } else if (w < 0 && errno == EIO) {
                    held[dir].clear(); // nobody on that side (yet)
                }
            }
        }
    }

    int m_fd[2];
    std::atomic<bool> m_stop { false };
    std::thread m_thread;
};

Bytes randomBytes(std::size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b)
        c = static_cast<std::uint8_t>(rng());
    return b;
}

void writeBytes(const fs::path& path, const Bytes& b)
{
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

Bytes readBytes(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

const std::vector<std::size_t> kSizes = { 0, 1, 127, 128, 129, 1023, 1024, 1025, 1 << 20 };

class ZmodemLrzsz : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (::access("/usr/bin/sz", X_OK) != 0 || ::access("/usr/bin/rz", X_OK) != 0)
            GTEST_SKIP() << "lrzsz is not installed (tools/install-deps.sh)";
        root = fs::temp_directory_path() / ("merovan-zm-" + std::to_string(::getpid()) + "-"
                                            + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(root);
        fs::create_directories(root / "ours");
        fs::create_directories(root / "theirs");
        // Held open (raw) here too, so lrzsz's last bytes, its CANs, are not
        // lost with the hang-up when it exits.
        hold = ::open(theirs.slavePath().c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(hold, 0);
        termios raw {};
        ::tcgetattr(hold, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(hold, TCSANOW, &raw);
        if (std::getenv("MEROVAN_ZMODEM_TRACE"))
            bridge.trace = std::fopen((root / "wire.trace").c_str(), "wb");
        bridge.start();
        ASSERT_EQ(port.openPort(ours.slavePath(), "115200,8,N,1"), 0) << port.lastError();
        options.receiveDir = (root / "ours").string();
        options.startTimeoutMs = 10000;
        options.blockTimeoutMs = 5000;
    }
    void TearDown() override
    {
        if (peer > 0) {
            ::kill(peer, SIGKILL);
            ::waitpid(peer, nullptr, 0);
        }
        port.closePort();
        bridge.stop();
        if (hold >= 0)
            ::close(hold);
        if (!HasFailure())
            fs::remove_all(root);
    }

    // Starts sz or rz in the peer's folder, on the other pty.
    void startPeer(const std::vector<std::string>& args)
    {
        const std::string slave = theirs.slavePath();
        const std::string log = (root / "peer.log").string();
        const std::string cwd = (root / "theirs").string();
        peer = ::fork();
        ASSERT_GE(peer, 0);
        if (peer == 0) {
            const int fd = ::open(slave.c_str(), O_RDWR | O_NOCTTY);
            const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (fd < 0 || err < 0 || ::chdir(cwd.c_str()) != 0)
                ::_exit(126);
            ::dup2(fd, 0);
            ::dup2(fd, 1);
            ::dup2(err, 2);
            std::vector<char*> argv;
            for (const auto& a : args)
                argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(argv[0], argv.data());
            ::_exit(127);
        }
    }
    // The peer's exit code; -1 when it had to be killed after timeoutMs.
    int waitPeer(int timeoutMs = 20000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int status = 0;
        while (::waitpid(peer, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                ::kill(peer, SIGKILL);
                ::waitpid(peer, &status, 0);
                peer = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        peer = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    std::string peerLog() { return std::ifstream(root / "peer.log").good() ? (std::stringstream() << std::ifstream(root / "peer.log").rdbuf()).str() : ""; }

    std::vector<std::string> makeFiles(const fs::path& dir, const std::vector<std::size_t>& sizes)
    {
        std::vector<std::string> names;
        for (std::size_t i = 0; i < sizes.size(); ++i) {
            const std::string name = "f" + std::to_string(sizes[i]) + ".bin";
            writeBytes(dir / name, randomBytes(sizes[i], static_cast<unsigned>(i + 1)));
            names.push_back(name);
        }
        return names;
    }

    PtyPair ours, theirs;
    Bridge bridge { ours.master(), theirs.master() };
    SteadyClock clock;
    SerialPort port { clock };
    fs::path root;
    pid_t peer = -1;
    int hold = -1;
    FileTransferOptions options;
};

} // namespace

TEST_F(ZmodemLrzsz, ReceivesABatchFromSzByteForByte)
{
    const auto names = makeFiles(root / "theirs", kSizes);
    std::vector<std::string> args = { "/usr/bin/sz", "-q" };
    args.insert(args.end(), names.begin(), names.end());
    startPeer(args);
    const auto o = zmodemReceive(port, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail << "\n" << peerLog();
    EXPECT_EQ(waitPeer(), 0) << peerLog();
    ASSERT_EQ(o.files.size(), names.size());
    for (const auto& n : names) {
        EXPECT_EQ(readBytes(root / "ours" / n), readBytes(root / "theirs" / n)) << n;
        EXPECT_FALSE(fs::exists(root / "ours" / (n + ".part"))) << n;
    }
}

TEST_F(ZmodemLrzsz, SendsABatchToRzByteForByte)
{
    const auto names = makeFiles(root / "ours", kSizes);
    std::vector<std::string> paths;
    for (const auto& n : names)
        paths.push_back((root / "ours" / n).string());
    startPeer({ "/usr/bin/rz", "-q" });
    const auto o = zmodemSend(port, paths, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail << "\n" << peerLog();
    EXPECT_EQ(waitPeer(), 0) << peerLog();
    EXPECT_EQ(o.files.size(), names.size());
    for (const auto& n : names)
        EXPECT_EQ(readBytes(root / "theirs" / n), readBytes(root / "ours" / n)) << n;
}

TEST_F(ZmodemLrzsz, AFlippedBitIsRecoveredByZrposInBothDirections)
{
    // From sz: the bit flips inside the data of the 1 MB file.
    const auto names = makeFiles(root / "theirs", { 1 << 20 });
    bridge.flipAt[1] = 300000;
    startPeer({ "/usr/bin/sz", "-q", names[0] });
    auto o = zmodemReceive(port, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail << "\n" << peerLog();
    EXPECT_EQ(waitPeer(), 0) << peerLog();
    EXPECT_GE(o.retries, 1);
    EXPECT_EQ(readBytes(root / "ours" / names[0]), readBytes(root / "theirs" / names[0]));

    // To rz.
    fs::remove(root / "theirs" / names[0]);
    bridge.flipAt[0] = bridge.moved[0] + 400000;
    startPeer({ "/usr/bin/rz", "-q" });
    o = zmodemSend(port, { (root / "ours" / names[0]).string() }, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail << "\n" << peerLog();
    EXPECT_EQ(waitPeer(), 0) << peerLog();
    EXPECT_GE(o.retries, 1);
    EXPECT_EQ(readBytes(root / "theirs" / names[0]), readBytes(root / "ours" / names[0]));
}

TEST_F(ZmodemLrzsz, ACutTransferFromSzResumesWhereItStopped)
{
    const std::size_t size = 1 << 20;
    const auto names = makeFiles(root / "theirs", { size });
    startPeer({ "/usr/bin/sz", "-q", names[0] });
    auto o = zmodemReceive(port, options, [](const FileTransferProgress& p) { return p.bytes >= 500000; });
    EXPECT_EQ(o.result, toInt(TransferResult::Canceled)) << o.detail;
    waitPeer();
    const fs::path part = root / "ours" / (names[0] + ".part");
    ASSERT_TRUE(fs::exists(part));
    const auto kept = static_cast<std::int64_t>(fs::file_size(part));
    EXPECT_GE(kept, 500000);
    EXPECT_LT(kept, static_cast<std::int64_t>(size));

    // What the first sz left unread of our cancel must not cancel the second.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ::tcflush(hold, TCIFLUSH);
    port.drainInput();
    options.resume = true;
    startPeer({ "/usr/bin/sz", "-q", names[0] });
    o = zmodemReceive(port, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail << "\n" << peerLog();
    EXPECT_EQ(waitPeer(), 0);
    EXPECT_EQ(o.bytes, static_cast<std::int64_t>(size) - kept); // the remainder only
    EXPECT_EQ(readBytes(root / "ours" / names[0]), readBytes(root / "theirs" / names[0]));
    EXPECT_FALSE(fs::exists(part));
}

// merovan-cli monitor --auto-zmodem: sz starting on the device side is seen,
// its files arrive in --dir, and the monitor goes on showing what comes.
TEST_F(ZmodemLrzsz, MonitorReceivesAutomaticallyThenMonitorsOn)
{
    port.closePort(); // the monitor is the one reader of our end
    const auto names = makeFiles(root / "theirs", { 1, 1025, 100000 });
    std::vector<std::string> args = { "/usr/bin/sz", "-q" };
    args.insert(args.end(), names.begin(), names.end());
    startPeer(args);
    std::thread device([&] {
        waitPeer();
        const std::string after = "back to monitoring\r\n";
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        EXPECT_EQ(::write(hold, after.data(), after.size()), static_cast<ssize_t>(after.size()));
    });
    const auto r = merovan::test::runProgram(MEROVAN_CLI_PATH,
                                             { "monitor", "-p", ours.slavePath(), "-b", "115200", "--auto-zmodem",
                                               "--dir", (root / "ours").string(), "--seconds", "4" },
                                             20000);
    device.join();
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("ZMODEM: Transfer complete"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("back to monitoring"), std::string::npos) << r.out << r.err;
    for (const auto& n : names)
        EXPECT_EQ(readBytes(root / "ours" / n), readBytes(root / "theirs" / n)) << n;
}

// rz -r keeps what an earlier, cut transfer left and asks for the rest
// (ZRPOS at its length, rounded down to a 1 KiB boundary): only the
// remainder goes, and the file is whole.
TEST_F(ZmodemLrzsz, SendingToRzResumesWhereItsCopyStopped)
{
    const std::size_t size = 300000;
    const std::size_t kept = 120000;
    const auto names = makeFiles(root / "ours", { size });
    const Bytes whole = readBytes(root / "ours" / names[0]);
    writeBytes(root / "theirs" / names[0], Bytes(whole.begin(), whole.begin() + kept));
    startPeer({ "/usr/bin/rz", "-q", "-r" });
    const auto o = zmodemSend(port, { (root / "ours" / names[0]).string() }, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail << "\n" << peerLog();
    EXPECT_EQ(waitPeer(), 0) << peerLog();
    EXPECT_LE(o.bytes, static_cast<std::int64_t>(size - kept + 1023)) << "the remainder only";
    EXPECT_GE(o.bytes, static_cast<std::int64_t>(size - kept));
    EXPECT_EQ(readBytes(root / "theirs" / names[0]), whole);
}

namespace {

struct Stopped
{
    merovan::test::RunResult result;
    long long seconds = 0;
};

} // namespace

// Sends 1 MB with merovan-cli to rz on a line paced at 115200 baud and stops
// rz with sig once 60 KB have gone. The board's console stays open (held
// here) but nobody reads it any more, so our end of the line fills up.
static Stopped sendAndStopRz(PtyPair& ours, Bridge& bridge, const fs::path& root, pid_t rz, int sig,
                             const std::function<void()>& afterStop = {})
{
    bridge.bytesPerSecond = 11520;
    std::atomic<bool> done { false };
    std::thread stopper([&] {
        while (bridge.moved[0] < 60000 && !done)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ::kill(rz, sig);
        if (afterStop) {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            afterStop();
        }
    });
    const auto began = std::chrono::steady_clock::now();
    Stopped s;
    // Far more than the block time-out: a send that hangs is killed here.
    s.result = merovan::test::runProgram(MEROVAN_CLI_PATH,
                                         { "zmodem", "send", "-p", ours.slavePath(), "-b", "115200",
                                           (root / "ours" / "f1048576.bin").string() },
                                         90000);
    s.seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - began).count();
    done = true;
    stopper.join();
    return s;
}

// rz stopped mid-way while we send: it sends its CANs as it goes, and they
// end the send as canceled by the other side, although our writes no
// longer go anywhere. (rz flushes its terminal as it exits, which may throw
// its CANs away before they are passed on: then the line is silent, and the
// send ends as "fell silent".)
TEST_F(ZmodemLrzsz, SendEndsWhenRzIsCanceledMidWay)
{
    port.closePort(); // merovan-cli is the one user of our end
    makeFiles(root / "ours", { 1 << 20 });
    startPeer({ "/usr/bin/rz", "-q" });
    const Stopped s = sendAndStopRz(ours, bridge, root, peer, SIGTERM);
    EXPECT_NE(waitPeer(), 0);
    const int code = s.result.exitCode;
    ASSERT_TRUE(code == 64 + kFileCanceledByPeer || code == 64 + kFileTimeout)
        << code << ": " << s.result.err << "after " << s.seconds << " s";
    const char* message = code == 64 + kFileCanceledByPeer ? "Transfer canceled by the other side"
                                                           : "The other side fell silent";
    EXPECT_EQ(s.result.err.rfind(message, 0), 0u) << s.result.err;
}

// A receiver that vanishes without a word (SIGKILL: no CANs) leaves a line
// that takes nothing more: the send ends as "the other side fell silent".
// One whose CANs come while our writes wait for room ends as canceled.
static void expectStopped(const Stopped& s, bool cans)
{
    EXPECT_EQ(s.result.exitCode, 64 + (cans ? kFileCanceledByPeer : kFileTimeout))
        << s.result.err << "after " << s.seconds << " s";
    EXPECT_EQ(s.result.err.rfind(cans ? "Transfer canceled by the other side" : "The other side fell silent", 0), 0u)
        << s.result.err;
}

TEST_F(ZmodemLrzsz, SendEndsWhenRzVanishesMidWay)
{
    port.closePort();
    makeFiles(root / "ours", { 1 << 20 });
    startPeer({ "/usr/bin/rz", "-q" });
    const Stopped s = sendAndStopRz(ours, bridge, root, peer, SIGKILL);
    EXPECT_EQ(waitPeer(), -1);
    expectStopped(s, false);
}

TEST_F(ZmodemLrzsz, SendEndsWhenCansComeWhileOurWritesWait)
{
    port.closePort();
    makeFiles(root / "ours", { 1 << 20 });
    startPeer({ "/usr/bin/rz", "-q" });
    const Stopped s = sendAndStopRz(ours, bridge, root, peer, SIGKILL, [&] {
        const char can[10] = { 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18, 0x18 };
        EXPECT_EQ(::write(hold, can, sizeof can), static_cast<ssize_t>(sizeof can));
    });
    EXPECT_EQ(waitPeer(), -1);
    expectStopped(s, true);
}
