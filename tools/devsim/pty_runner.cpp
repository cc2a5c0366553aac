#include "pty_runner.h"

#include <fcntl.h>
#include <poll.h>
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

// A token bucket that lets bytes through at the line rate, with at most
// about 10 ms of bytes in one burst.
class LinePacer
{
public:
    explicit LinePacer(std::uint32_t baud)
        : m_bytesPerSecond(baud / 10.0)
        , m_burst(std::max(16.0, m_bytesPerSecond / 100.0))
        , m_tokens(m_burst)
        , m_lastUs(nowUs())
    {
    }

    bool paced() const { return m_bytesPerSecond > 0; }

    std::size_t allowance()
    {
        if (!paced())
            return static_cast<std::size_t>(-1);
        const std::uint64_t now = nowUs();
        m_tokens = std::min(m_burst, m_tokens + (now - m_lastUs) * m_bytesPerSecond / 1e6);
        m_lastUs = now;
        return static_cast<std::size_t>(m_tokens);
    }

    void consume(std::size_t n)
    {
        if (paced())
            m_tokens -= static_cast<double>(n);
    }

private:
    double m_bytesPerSecond;
    double m_burst;
    double m_tokens;
    std::uint64_t m_lastUs;
};

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

    std::printf("%s\n", slavePath.c_str());
    std::fflush(stdout);

    LinePacer inPacer(options.rate);
    LinePacer outPacer(options.rate);
    std::deque<std::uint8_t> pending;
    bool lineOpen = false;
    const std::uint64_t startUs = nowUs();
    auto nowMs = [&] { return (nowUs() - startUs) / 1000; };

    std::uint8_t buffer[4096];
    while (!stop) {
        DeviceOutput out;
        const std::uint64_t now = nowMs();

        int timeoutMs = 10;
        const std::uint64_t deadline = model.nextDeadline();
        if (deadline != kNoDeadline)
            timeoutMs = static_cast<int>(std::min<std::uint64_t>(10, deadline > now ? deadline - now : 0));
        if ((inPacer.paced() || !pending.empty()) && timeoutMs > 1)
            timeoutMs = 1;

        pollfd pfd { master.get(), POLLIN, 0 };
        if (!pending.empty())
            pfd.events |= POLLOUT;
        if (::poll(&pfd, 1, timeoutMs) < 0 && errno != EINTR)
            break;

        bool hangup = (pfd.revents & POLLHUP) != 0;
        if (pfd.revents & POLLIN) {
            const std::size_t room = std::min(sizeof buffer, inPacer.allowance());
            if (room > 0) {
                const ssize_t got = ::read(master.get(), buffer, room);
                if (got > 0) {
                    inPacer.consume(static_cast<std::size_t>(got));
                    if (record.get() >= 0 && ::write(record.get(), buffer, static_cast<std::size_t>(got)) < 0)
                        std::fprintf(stderr, "merovan-devsim: recording failed: %s\n", std::strerror(errno));
                    if (!lineOpen) {
                        lineOpen = true;
                        model.lineOpened(nowMs(), out);
                    }
                    for (ssize_t i = 0; i < got; ++i)
                        model.receive(buffer[i], nowMs(), out);
                    hangup = false; // read the rest before believing a hang-up
                } else if (got < 0 && errno == EIO) {
                    hangup = true;
                }
            }
        }

        if (hangup) {
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
        if (!lineOpen) {
            lineOpen = true;
            model.lineOpened(nowMs(), out);
        }
        if (model.nextDeadline() <= nowMs())
            model.tick(nowMs(), out);

        pending.insert(pending.end(), out.bytes.begin(), out.bytes.end());
        while (!pending.empty()) {
            const std::size_t n = std::min({ pending.size(), outPacer.allowance(), sizeof buffer });
            if (n == 0)
                break;
            std::copy_n(pending.begin(), n, buffer);
            const ssize_t put = ::write(master.get(), buffer, n);
            if (put <= 0)
                break;
            outPacer.consume(static_cast<std::size_t>(put));
            pending.erase(pending.begin(), pending.begin() + put);
        }
        if (out.dropLine) {
            std::fprintf(stderr, "merovan-devsim: dropping the line\n");
            return 3;
        }
    }
    return 0;
}

} // namespace devsim
