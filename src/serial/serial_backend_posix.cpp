// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/network_port.h"
#include "serial/serial_backend.h"
#include "serial/serial_line_linux_p.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>

namespace merovan {

namespace {

// How long one wait for room in the output queue lasts before the line is
// checked for a hang-up again.
constexpr int kWriteWaitSliceMs = 200;
// How often the output queue is looked at while waiting for it to empty.
constexpr int kSentPollMs = 5;

class PosixBackend final : public SerialBackend
{
public:
    ~PosixBackend() override { close(); }

    int open(const std::string& path, std::string& reason) override
    {
        close();
        const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            const int err = errno;
            reason = std::strerror(err);
            return err;
        }
        // flock keeps out every other open of the device, this process's
        // included; TIOCEXCL also keeps out programs that do not flock.
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            const int err = errno == EWOULDBLOCK ? EBUSY : errno;
            reason = err == EBUSY ? std::string("the port is in use by another program")
                                  : std::string(std::strerror(err));
            ::close(fd);
            return err;
        }
        if (::ioctl(fd, TIOCEXCL) != 0) {
            const int err = errno;
            reason = err == ENOTTY ? std::string("not a serial device") : std::string(std::strerror(err));
            ::close(fd);
            return err;
        }
        if (const int rc = detail::makeRawLinux(fd, reason); rc != 0) {
            ::close(fd);
            return rc;
        }
        struct stat st {};
        m_device = ::fstat(fd, &st) == 0 ? static_cast<std::uint64_t>(st.st_rdev) : 0;
        m_fd = fd;
        return 0;
    }

    void close() override
    {
        if (m_fd >= 0) {
            // Closing releases the flock; exclusivity (TIOCEXCL) is left as it
            // is, since clearing it would let another program in while the
            // driver still drains our output.
            ::close(m_fd);
            m_fd = -1;
            m_device = 0;
        }
    }

    bool isOpen() const override { return m_fd >= 0; }

    int applyLine(const LineParams& params, std::string& reason) override
    {
        if (m_fd < 0)
            return EBADF;
        return detail::applyLineLinux(m_fd, params, reason);
    }

    std::uint32_t appliedBaud() const override { return m_fd < 0 ? 0 : detail::readBaudLinux(m_fd); }

    int setModemLine(ModemLine line, bool on) override
    {
        if (m_fd < 0)
            return EBADF;
        int bits = line == ModemLine::Dtr ? TIOCM_DTR : TIOCM_RTS;
        if (::ioctl(m_fd, on ? TIOCMBIS : TIOCMBIC, &bits) != 0) {
            // A pseudo-terminal has no modem lines.
            if (errno == ENOTTY || errno == EINVAL)
                return 0;
            return errno;
        }
        return 0;
    }

    ReadResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        ReadResult result;
        if (m_fd < 0) {
            result.error = EBADF;
            return result;
        }
        pollfd pfd { m_fd, POLLIN, 0 };
        int n = ::poll(&pfd, 1, timeoutMs);
        if (n < 0) {
            result.error = errno == EINTR ? 0 : errno;
            return result;
        }
        if (n == 0)
            return result;
        if (pfd.revents & POLLNVAL) {
            result.disconnected = true;
            return result;
        }
        // Take what is there first: a hang-up may come with the last bytes.
        const ssize_t got = ::read(m_fd, buffer.data(), buffer.size());
        if (got > 0) {
            result.count = static_cast<std::size_t>(got);
            return result;
        }
        if (got == 0) {
            // End of file on a tty means the line was hung up.
            result.disconnected = true;
            return result;
        }
        const int err = errno;
        if (err == EAGAIN || err == EINTR) {
            if (pfd.revents & (POLLHUP | POLLERR))
                result.disconnected = true;
            return result;
        }
        result.error = err;
        result.disconnected = err == EIO || err == ENXIO || err == ENODEV;
        return result;
    }

    int write(std::span<const std::uint8_t> bytes) override
    {
        std::size_t taken = 0;
        return writeUntil(bytes, std::nullopt, taken);
    }

    int writeWithin(std::span<const std::uint8_t> bytes, int timeoutMs, std::size_t& taken) override
    {
        return writeUntil(bytes, std::chrono::steady_clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 0)),
                          taken);
    }

    int waitSent(int timeoutMs) override
    {
        if (m_fd < 0)
            return EBADF;
        for (int waited = 0;; waited += kSentPollMs) {
            int queued = 0;
            if (::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued <= 0)
                return 0;
            pollfd pfd { m_fd, 0, 0 };
            if (::poll(&pfd, 1, kSentPollMs) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)))
                return ENXIO;
            if (waited >= timeoutMs)
                return ETIMEDOUT;
        }
    }

    std::size_t outputQueued() const override
    {
        int queued = 0;
        if (m_fd < 0 || ::ioctl(m_fd, TIOCOUTQ, &queued) != 0 || queued < 0)
            return 0;
        return static_cast<std::size_t>(queued);
    }

    int modemLines(ModemStatus& status) override
    {
        if (m_fd < 0)
            return EBADF;
        int bits = 0;
        if (::ioctl(m_fd, TIOCMGET, &bits) != 0)
            return errno == EINVAL ? ENOTTY : errno;
        status.cts = (bits & TIOCM_CTS) != 0;
        status.dsr = (bits & TIOCM_DSR) != 0;
        status.dcd = (bits & TIOCM_CAR) != 0;
        status.ri = (bits & TIOCM_RNG) != 0;
        return 0;
    }

    int sendBreak() override
    {
        if (m_fd < 0)
            return EBADF;
        return ::tcsendbreak(m_fd, 0) == 0 ? 0 : errno;
    }

    std::uint64_t deviceId() const override { return m_device; }
    int nativeHandle() const override { return m_fd; }

private:
    // Writes until every byte is taken, the device goes away, or deadline
    // (when given) passes: ETIMEDOUT, with taken telling how far it got.
    int writeUntil(std::span<const std::uint8_t> bytes,
                   std::optional<std::chrono::steady_clock::time_point> deadline, std::size_t& taken)
    {
        taken = 0;
        if (m_fd < 0)
            return EBADF;
        while (taken < bytes.size()) {
            const ssize_t n = ::write(m_fd, bytes.data() + taken, bytes.size() - taken);
            if (n > 0) {
                taken += static_cast<std::size_t>(n);
                continue;
            }
            const int err = n == 0 ? EAGAIN : errno;
            if (err == EINTR)
                continue;
            if (err != EAGAIN)
                return err == EIO || err == ENODEV ? ENXIO : err;
            // The output queue is full (a slow line, CTS holding us off, or
            // a reader that has gone): wait for room, but notice a device
            // that goes away meanwhile.
            int slice = kWriteWaitSliceMs;
            if (deadline) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                      *deadline - std::chrono::steady_clock::now())
                                      .count();
                if (left <= 0)
                    return ETIMEDOUT;
                slice = static_cast<int>(std::min<long long>(left, slice));
            }
            pollfd pfd { m_fd, POLLOUT, 0 };
            const int r = ::poll(&pfd, 1, slice);
            if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLOUT))
                return ENXIO;
        }
        return 0;
    }

    int m_fd = -1;
    std::uint64_t m_device = 0;
};

} // namespace

std::unique_ptr<SerialBackend> makeDeviceBackend()
{
    return std::make_unique<PosixBackend>();
}

} // namespace merovan
