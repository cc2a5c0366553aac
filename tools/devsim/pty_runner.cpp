// SPDX-License-Identifier: GPL-3.0-or-later
#include "pty_runner.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <sys/stat.h>
#include <thread>

namespace devsim {

namespace {

std::uint64_t nowUs()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

// One direction of a paced line: each byte occupies the line for one byte
// time (10 bits), starting no earlier than when it was handed over, so idle
// time is never saved up for a later burst.
class PacedLine
{
public:
    explicit PacedLine(std::uint32_t baud)
        : m_byteUs(baud ? 10e6 / baud : 0.0)
    {
    }

    bool paced() const { return m_byteUs > 0; }

    // When a byte handed over at nowUs has crossed the line.
    std::uint64_t schedule(std::uint64_t nowUs)
    {
        if (!paced())
            return nowUs;
        m_free = std::max(m_free, static_cast<double>(nowUs)) + m_byteUs;
        return static_cast<std::uint64_t>(m_free);
    }

private:
    double m_byteUs;
    double m_free = 0;
};

struct TimedByte
{
    std::uint8_t byte;
    std::uint64_t dueUs;
};

// A UART takes only a few bytes ahead of the line; the rest stay in the
// host's queue, which is what holds a writer back on a slow line.
constexpr std::size_t kReceiveFifo = 64;
// How much device output may wait for the host before the device pauses.
constexpr std::size_t kHeldBackOutput = 64 * 1024;

class Fd
{
public:
    explicit Fd(int fd = -1)
        : m_fd(fd)
    {
    }
    ~Fd() { reset(); }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return m_fd; }
    void reset(int fd = -1)
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = fd;
    }

private:
    int m_fd;
};

struct LinkGuard
{
    std::string path;
    ~LinkGuard()
    {
        if (!path.empty())
            ::unlink(path.c_str());
    }
};

} // namespace

int runOnPty(DeviceModel& model, const RunnerOptions& options, const volatile std::sig_atomic_t& stop)
{
    Fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (master.get() < 0 || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) {
        std::fprintf(stderr, "merovan-devsim: cannot create a pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const char* name = ::ptsname(master.get());
    if (!name) {
        std::fprintf(stderr, "merovan-devsim: cannot name the pseudo-terminal: %s\n", std::strerror(errno));
        return 1;
    }
    const std::string slavePath(name);

    // The line starts raw, as a UART's would: no echo by the line discipline,
    // no translation. Opening the slave once also makes the master report a
    // hang-up until the host opens it, which is how the host's opens are seen.
    {
        Fd slave(::open(slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC));
        termios tio {};
        if (slave.get() < 0 || ::tcgetattr(slave.get(), &tio) != 0) {
            std::fprintf(stderr, "merovan-devsim: cannot set up %s: %s\n", slavePath.c_str(), std::strerror(errno));
            return 1;
        }
        ::cfmakeraw(&tio);
        tio.c_cflag |= CLOCAL | CREAD;
        ::tcsetattr(slave.get(), TCSANOW, &tio);
    }
    ::fcntl(master.get(), F_SETFL, ::fcntl(master.get(), F_GETFL) | O_NONBLOCK);

    LinkGuard link;
    if (!options.link.empty()) {
        struct stat st {};
        if (::lstat(options.link.c_str(), &st) == 0 && S_ISLNK(st.st_mode))
            ::unlink(options.link.c_str());
        if (::symlink(slavePath.c_str(), options.link.c_str()) != 0) {
            std::fprintf(stderr, "merovan-devsim: cannot link %s: %s\n", options.link.c_str(), std::strerror(errno));
            return 1;
        }
        link.path = options.link;
    }

    Fd record;
    if (!options.record.empty()) {
        record.reset(::open(options.record.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (record.get() < 0) {
            std::fprintf(stderr, "merovan-devsim: cannot write %s: %s\n", options.record.c_str(), std::strerror(errno));
            return 1;
        }
    }

    Fd sentLog;
    if (!options.sent.empty()) {
        sentLog.reset(::open(options.sent.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
        if (sentLog.get() < 0) {
            std::fprintf(stderr, "merovan-devsim: cannot write %s: %s\n", options.sent.c_str(), std::strerror(errno));
            return 1;
        }
    }

    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    // Byte times at high rates are tens of microseconds; the default timer
    // slack would stretch every paced wait.
    if (options.rate > 0)
        ::prctl(PR_SET_TIMERSLACK, 1UL);

    PacedLine inLine(options.rate);
    PacedLine outLine(options.rate);
    std::deque<TimedByte> arriving; // read from the host, not yet across the line
    std::deque<TimedByte> pending;  // from the device, not yet across the line
    bool lineOpen = false;
    std::uint64_t received = 0;
    std::uint64_t holdUntilUs = 0;
    const std::uint64_t startUs = nowUs();
    auto nowMs = [&] { return (nowUs() - startUs) / 1000; };

    std::uint8_t buffer[4096];
    while (!stop) {
        DeviceOutput out;

        // Sleep until the next thing is due: a byte across the line, the
        // model's deadline, or at most 10 ms.
        std::uint64_t waitUs = 10000;
        const std::uint64_t now = nowUs();
        auto until = [&](std::uint64_t dueUs) { waitUs = std::min(waitUs, dueUs > now ? dueUs - now : 0); };
        if (!arriving.empty())
            until(arriving.front().dueUs);
        if (!pending.empty())
            until(pending.front().dueUs);
        const std::uint64_t deadline = model.nextDeadline();
        if (deadline != kNoDeadline)
            until(startUs + std::min<std::uint64_t>(deadline, UINT64_MAX / 2000) * 1000);

        const bool holding = now < holdUntilUs;
        if (holding)
            until(holdUntilUs);
        pollfd pfd { master.get(), static_cast<short>(arriving.size() < kReceiveFifo && !holding ? POLLIN : 0), 0 };
        if (!pending.empty() && pending.front().dueUs <= now + waitUs)
            pfd.events |= POLLOUT;
        const timespec timeout { static_cast<time_t>(waitUs / 1000000), static_cast<long>(waitUs % 1000000) * 1000 };
        if (::ppoll(&pfd, 1, &timeout, nullptr) < 0 && errno != EINTR)
            break;
        // Told to end while waiting: nothing more goes out.
        if (stop)
            break;

        bool hangup = (pfd.revents & POLLHUP) != 0;
        if ((pfd.revents & POLLIN) && arriving.size() < kReceiveFifo && !holding) {
            std::size_t room = inLine.paced() ? kReceiveFifo - arriving.size() : sizeof buffer;
            if (options.holdMs > 0)
                room = std::min<std::size_t>(room, options.holdAfter - received % options.holdAfter);
            const ssize_t got = ::read(master.get(), buffer, std::min(room, sizeof buffer));
            if (got > 0) {
                if (!lineOpen) {
                    lineOpen = true;
                    model.lineOpened(nowMs(), out);
                }
                const std::uint64_t readAt = nowUs();
                for (ssize_t i = 0; i < got; ++i)
                    arriving.push_back({ buffer[i], inLine.schedule(readAt) });
                received += static_cast<std::uint64_t>(got);
                if (options.dropAfterBytes > 0 && received >= options.dropAfterBytes) {
                    std::fprintf(stderr, "merovan-devsim: dropping the line after %llu bytes\n",
                                 static_cast<unsigned long long>(received));
                    return 3;
                }
                if (options.holdMs > 0 && received % options.holdAfter == 0)
                    holdUntilUs = readAt + options.holdMs * 1000ull;
                hangup = false; // read the rest before believing a hang-up
            } else if (got < 0 && errno == EIO) {
                hangup = true;
            }
        }

        if (hangup && arriving.empty()) {
            if (lineOpen) {
                lineOpen = false;
                pending.clear();
                model.lineClosed(nowMs());
            }
            // The master keeps reporting the hang-up until the host opens
            // the line again, so poll would not wait.
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
            continue;
        }
        if (!lineOpen && !hangup) {
            lineOpen = true;
            model.lineOpened(nowMs(), out);
        }

        // Bytes that have crossed the line reach the device.
        std::size_t delivered = 0;
        const std::uint64_t deliverAt = nowUs();
        while (delivered < arriving.size() && arriving[delivered].dueUs <= deliverAt)
            buffer[delivered] = arriving[delivered].byte, ++delivered;
        if (delivered > 0) {
            if (record.get() >= 0 && !model.recordsItself() && ::write(record.get(), buffer, delivered) < 0)
                std::fprintf(stderr, "merovan-devsim: recording failed: %s\n", std::strerror(errno));
            for (std::size_t i = 0; i < delivered; ++i)
                model.receive(buffer[i], nowMs(), out);
            arriving.erase(arriving.begin(), arriving.begin() + static_cast<std::ptrdiff_t>(delivered));
        }
        // A host that does not read holds a talking device back, as flow
        // control would, rather than its output piling up here.
        if (model.nextDeadline() <= nowMs() && pending.size() < kHeldBackOutput)
            model.tick(nowMs(), out);

        if (!out.record.empty() && record.get() >= 0
            && ::write(record.get(), out.record.data(), out.record.size()) < 0)
            std::fprintf(stderr, "merovan-devsim: recording failed: %s\n", std::strerror(errno));
        const std::uint64_t sentAt = nowUs();
        for (const std::uint8_t b : out.bytes)
            pending.push_back({ b, outLine.schedule(sentAt) });
        std::size_t due = 0;
        while (due < pending.size() && due < sizeof buffer && pending[due].dueUs <= sentAt)
            buffer[due] = pending[due].byte, ++due;
        if (due > 0 && !stop) {
            const ssize_t put = ::write(master.get(), buffer, due);
            if (put > 0) {
                if (sentLog.get() >= 0 && ::write(sentLog.get(), buffer, static_cast<std::size_t>(put)) < 0)
                    std::fprintf(stderr, "merovan-devsim: recording failed: %s\n", std::strerror(errno));
                pending.erase(pending.begin(), pending.begin() + put);
            }
        }
        if (out.dropLine) {
            std::fprintf(stderr, "merovan-devsim: dropping the line\n");
            return 3;
        }
    }
    return 0;
}

} // namespace devsim
