// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-ptybridge: two pseudo-terminals joined as one serial link, for
// tests and benchmarks against real peers. It prints the two ends' paths, A
// then B, one a line, and relays bytes both ways until SIGTERM or SIGINT.
// Each way can be paced to a line rate and can be given faults at byte
// offsets of what passed that way (0 is the first byte):
//
//   --rate BAUD              pace both ways to BAUD (10 bits a byte)
//   --flip DIR:OFFSET[:MASK] XOR the byte at OFFSET with MASK (default 01)
//   --drop DIR:OFFSET:COUNT  lose COUNT bytes from OFFSET
//   --mute DIR:OFFSET        lose everything from OFFSET (a peer gone silent)
//   --delay DIR:OFFSET:MS    hold the byte at OFFSET and what follows for MS
//   --inject DIR:OFFSET:HEX  insert the bytes HEX (such as 1818) before OFFSET
//   --link-a PATH, --link-b PATH   also make PATH a symbolic link to the end
//   --term-peer DIR:OFFSET   with a peer program: SIGTERM it at OFFSET
//   --peer-log FILE          with a peer program: its stderr
//   --peer-pty               with a peer program: run it on a pseudo-terminal
//                            of its own, as a board's console would be,
//                            rather than on a socket (see below)
//   --linger MS              with a peer program: once it has ended, keep
//                            end A open up to MS (default 1000) or until its
//                            user closes it, so what the program said last
//                            is read, and a transfer still waiting for an
//                            answer can end by its own rules rather than by
//                            a vanished line
//   --stats FILE             at the end, write "FIRST_A2B LAST BYTES_A2B
//                            BYTES_B2A": microseconds (monotonic) of the
//                            first byte that came in at A and of the last
//                            byte passed either way, and the counts
//   -- PROGRAM ARGS...       run PROGRAM as end B, on a socket pair as its
//                            standard input and output; the second line
//                            printed is then "-", and the bridge ends with
//                            the program's exit status once what it sent
//                            has been passed on and end A let go (--linger)
//
// DIR is a2b (written at A, read at B) or b2a. The bridge holds both ends
// open itself, in raw mode, so a peer that closes and reopens its end finds
// the link as it left it.
//
// A peer program is on a socket by default, for lrzsz: it flushes its
// terminal (TCIOFLUSH) as it exits, which on a pseudo-terminal can discard
// its last ACK before the bridge has read it. --peer-pty gives it that
// terminal, to test that a lost last ACK is survived.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <string>
#include <vector>

extern char** environ;

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int)
{
    g_stop = 1;
}

std::uint64_t nowUs()
{
    timespec ts {};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

[[noreturn]] void fail(const std::string& why)
{
    std::fprintf(stderr, "merovan-ptybridge: %s\n", why.c_str());
    std::exit(2);
}

struct End
{
    int master = -1;
    int slave = -1;
    std::string path;
};

End openEnd()
{
    End e;
    e.master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (e.master < 0 || ::grantpt(e.master) != 0 || ::unlockpt(e.master) != 0)
        fail("no pseudo-terminal");
    e.path = ::ptsname(e.master);
    e.slave = ::open(e.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (e.slave < 0)
        fail("cannot open " + e.path);
    termios t {};
    ::tcgetattr(e.slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(e.slave, TCSANOW, &t);
    return e;
}

struct Pending
{
    std::uint8_t byte;
    std::uint64_t dueUs;
};

// One way through the bridge with its faults.
struct Way
{
    int from = -1;
    int to = -1;
    std::uint64_t offset = 0;          // bytes read so far
    std::map<std::uint64_t, std::uint8_t> flips;
    std::map<std::uint64_t, std::uint64_t> drops;  // offset -> count
    std::uint64_t muteFrom = UINT64_MAX;
    std::map<std::uint64_t, std::uint32_t> delays;  // offset -> ms
    std::map<std::uint64_t, std::vector<std::uint8_t>> injects;
    std::uint64_t dropUntil = 0;
    std::deque<Pending> queue;
    std::uint64_t lastDueUs = 0;       // when the previous byte is on the line
    std::uint64_t heldUntilUs = 0;
    std::uint64_t termAt = UINT64_MAX;  // SIGTERM the peer program here
    bool termNow = false;

    void enqueue(std::uint8_t b, std::uint64_t now, std::uint64_t byteUs)
    {
        std::uint64_t due = std::max(now, heldUntilUs);
        if (byteUs > 0)
            due = std::max(due, lastDueUs) + byteUs;
        lastDueUs = due;
        queue.push_back({ b, due });
    }

    std::uint64_t firstInUs = 0;
    std::uint64_t lastOutUs = 0;
    std::uint64_t written = 0;

    void take(const std::uint8_t* data, std::size_t n, std::uint64_t byteUs)
    {
        const std::uint64_t now = nowUs();
        if (firstInUs == 0)
            firstInUs = now;
        for (std::size_t i = 0; i < n; ++i, ++offset) {
            if (offset == termAt)
                termNow = true;
            if (auto d = delays.find(offset); d != delays.end())
                heldUntilUs = now + static_cast<std::uint64_t>(d->second) * 1000u;
            if (auto in = injects.find(offset); in != injects.end())
                for (const std::uint8_t b : in->second)
                    enqueue(b, now, byteUs);
            if (auto d = drops.find(offset); d != drops.end())
                dropUntil = offset + d->second;
            if (offset < dropUntil || offset >= muteFrom)
                continue;
            std::uint8_t b = data[i];
            if (auto f = flips.find(offset); f != flips.end())
                b ^= f->second;
            enqueue(b, now, byteUs);
        }
    }

    // Writes what is due; returns the microseconds until the next byte is,
    // or -1 when nothing waits.
    long long flush()
    {
        const std::uint64_t now = nowUs();
        std::vector<std::uint8_t> ready;
        for (const Pending& p : queue) {
            if (p.dueUs > now)
                break;
            ready.push_back(p.byte);
        }
        if (!ready.empty()) {
            const ssize_t w = ::write(to, ready.data(), ready.size());
            if (w > 0) {
                queue.erase(queue.begin(), queue.begin() + w);
                lastOutUs = now;
                written += static_cast<std::uint64_t>(w);
            }
        }
        if (queue.empty())
            return -1;
        return queue.front().dueUs > now ? static_cast<long long>(queue.front().dueUs - now) : 200;
    }
};

std::vector<std::string> split(const std::string& s)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const auto colon = s.find(':', start);
        parts.push_back(s.substr(start, colon - start));
        if (colon == std::string::npos)
            return parts;
        start = colon + 1;
    }
}

std::uint64_t number(const std::string& s, int base = 10)
{
    char* end = nullptr;
    const unsigned long long v = std::strtoull(s.c_str(), &end, base);
    if (s.empty() || *end != '\0')
        fail("not a number: " + s);
    return v;
}

} // namespace

int main(int argc, char** argv)
{
    std::uint32_t baud = 0;
    Way ways[2];
    std::string links[2];
    std::vector<std::string> program;
    std::string peerLog = "/dev/null";
    std::string stats;
    bool peerPty = false;
    std::uint64_t lingerMs = 1000;
    auto way = [&](const std::string& dir) -> Way& {
        if (dir == "a2b")
            return ways[0];
        if (dir == "b2a")
            return ways[1];
        fail("a direction is a2b or b2a, not " + dir);
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc)
                fail(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--rate") {
            baud = static_cast<std::uint32_t>(number(value()));
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                program.push_back(argv[i]);
        } else if (arg == "--stats") {
            stats = value();
        } else if (arg == "--peer-pty") {
            peerPty = true;
        } else if (arg == "--linger") {
            lingerMs = number(value());
        } else if (arg == "--peer-log") {
            peerLog = value();
        } else if (arg == "--term-peer") {
            const auto p = split(value());
            if (p.size() != 2)
                fail("--term-peer takes DIR:OFFSET");
            way(p[0]).termAt = number(p[1]);
        } else if (arg == "--link-a" || arg == "--link-b") {
            links[arg == "--link-a" ? 0 : 1] = value();
        } else if (arg == "--flip" || arg == "--drop" || arg == "--mute" || arg == "--delay" || arg == "--inject") {
            const auto p = split(value());
            const std::size_t need = arg == "--mute" ? 2 : arg == "--flip" ? 2 : 3;
            if (p.size() < need)
                fail(arg + " takes DIR:OFFSET" + (need == 3 ? ":VALUE" : ""));
            Way& w = way(p[0]);
            const std::uint64_t at = number(p[1]);
            if (arg == "--flip")
                w.flips[at] = static_cast<std::uint8_t>(p.size() > 2 ? number(p[2], 16) : 1);
            else if (arg == "--drop")
                w.drops[at] = number(p[2]);
            else if (arg == "--mute")
                w.muteFrom = at;
            else if (arg == "--delay")
                w.delays[at] = static_cast<std::uint32_t>(number(p[2]));
            else {
                std::vector<std::uint8_t> bytes;
                for (std::size_t k = 0; k + 1 < p[2].size(); k += 2)
                    bytes.push_back(static_cast<std::uint8_t>(number(p[2].substr(k, 2), 16)));
                w.injects[at] = bytes;
            }
        } else {
            fail("unknown option " + arg);
        }
    }

    struct sigaction sa {};
    sa.sa_handler = onSignal;
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGINT, &sa, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    ::prctl(PR_SET_TIMERSLACK, 1UL);
    End a = openEnd();
    End b;
    pid_t peer = -1;
    if (program.empty()) {
        b = openEnd();
    } else {
        int sv[2];
        if (peerPty) {
            End p = openEnd();
            sv[0] = p.master;
            sv[1] = p.slave;
        } else if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) {
            fail("no socket pair");
        }
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 0);
        posix_spawn_file_actions_adddup2(&actions, sv[1], 1);
        posix_spawn_file_actions_addopen(&actions, 2, peerLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        std::vector<char*> args;
        for (auto& p : program)
            args.push_back(p.data());
        args.push_back(nullptr);
        if (::posix_spawnp(&peer, args[0], &actions, nullptr, args.data(), environ) != 0)
            fail("cannot run " + program[0]);
        posix_spawn_file_actions_destroy(&actions);
        ::close(sv[1]);
        ::fcntl(sv[0], F_SETFL, O_NONBLOCK);
        b.master = sv[0];
        b.path = "-";
    }
    int peerStatus = -1;
    for (int k = 0; k < 2; ++k) {
        if (links[k].empty() || (k == 1 && peer > 0))
            continue;
        ::unlink(links[k].c_str());
        if (::symlink((k == 0 ? a : b).path.c_str(), links[k].c_str()) != 0)
            fail("cannot link " + links[k]);
    }
    ways[0].from = a.master;
    ways[0].to = b.master;
    ways[1].from = b.master;
    ways[1].to = a.master;
    std::printf("%s\n%s\n", a.path.c_str(), b.path.c_str());
    std::fflush(stdout);

    const std::uint64_t byteUs = baud > 0 ? (10000000ull + baud - 1) / baud : 0;
    std::vector<std::uint8_t> buffer(4096);
    while (!g_stop) {
        long long waitUs = -1;
        for (Way& w : ways) {
            const long long next = w.flush();
            if (next >= 0 && (waitUs < 0 || next < waitUs))
                waitUs = next;
        }
        // Reading is held back while a way has more than a little waiting, so
        // a paced way pushes back on its writer as a slow line would.
        pollfd fds[2];
        for (int k = 0; k < 2; ++k) {
            const bool full = ways[k].queue.size() > (baud > 0 ? 64u : 65536u);
            fds[k] = { ways[k].from, static_cast<short>(full ? 0 : POLLIN), 0 };
        }
        // To the microsecond: a paced byte is due 87 us after the one
        // before it at 115200 baud, and a block's answer should not wait
        // for a millisecond tick.
        timespec timeout {};
        const long long us = waitUs < 0 ? 100000 : waitUs;
        timeout.tv_sec = static_cast<time_t>(us / 1000000);
        timeout.tv_nsec = static_cast<long>(us % 1000000) * 1000;
        if (::ppoll(fds, 2, &timeout, nullptr) < 0 && errno != EINTR)
            break;
        bool peerClosed = false;
        for (int k = 0; k < 2; ++k) {
            if (!(fds[k].revents & (POLLIN | POLLHUP)))
                continue;
            const ssize_t n = ::read(ways[k].from, buffer.data(), buffer.size());
            if (n > 0)
                ways[k].take(buffer.data(), static_cast<std::size_t>(n), byteUs);
            else if (k == 1 && peer > 0 && (n == 0 || (n < 0 && errno == EIO)))
                peerClosed = true;   // a socket's end, or a terminal's last close
        }
        for (Way& w : ways) {
            if (w.termNow && peer > 0) {
                ::kill(peer, SIGTERM);
                w.termNow = false;
            }
        }
        if (peer > 0 && peerClosed) {
            // What the program said last goes out before the bridge ends.
            while (ways[1].flush() >= 0)
                ::usleep(500);
            int status = 0;
            ::waitpid(peer, &status, 0);
            peerStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            peer = -1;
            break;
        }
    }
    if (peer > 0) {
        ::kill(peer, SIGTERM);
        int status = 0;
        ::waitpid(peer, &status, 0);
        peerStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    } else if (peerStatus >= 0 && !g_stop) {
        // The peer has ended; end A stays until its user closes it (the
        // bridge lets go of its own hold on it) or the time is up. What
        // arrives meanwhile goes nowhere, as on a line with nobody there.
        ::close(a.slave);
        const std::uint64_t until = nowUs() + lingerMs * 1000u;
        while (!g_stop && nowUs() < until) {
            pollfd fd { a.master, POLLIN, 0 };
            if (::poll(&fd, 1, 100) < 0 && errno != EINTR)
                break;
            if (fd.revents & (POLLHUP | POLLERR))
                break;
            if (fd.revents & POLLIN && ::read(a.master, buffer.data(), buffer.size()) < 0 && errno == EIO)
                break;
        }
    }
    for (int k = 0; k < 2; ++k)
        if (!links[k].empty())
            ::unlink(links[k].c_str());
    if (!stats.empty()) {
        if (std::FILE* f = std::fopen(stats.c_str(), "w")) {
            std::fprintf(f, "%llu %llu %llu %llu\n", static_cast<unsigned long long>(ways[0].firstInUs),
                         static_cast<unsigned long long>(std::max(ways[0].lastOutUs, ways[1].lastOutUs)),
                         static_cast<unsigned long long>(ways[0].written),
                         static_cast<unsigned long long>(ways[1].written));
            std::fclose(f);
        }
    }
    // The pseudo-terminal stays a little, so its user reads the last bytes.
    ::usleep(100000);
    return peerStatus >= 0 ? peerStatus : 0;
}
