// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/tcp_socket.h"

#include "common/system_error.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace merovan {

namespace {

// Keep-alive: the first probe after this much silence, then one every
// interval, and the connection is given up after count unanswered ones.
constexpr int kKeepIdleS = 10;
constexpr int kKeepIntervalS = 5;
constexpr int kKeepCount = 4;

constexpr int kSendWaitSliceMs = 200;
constexpr int kCloseDrainMs = 1000;

bool connectionLost(int err)
{
    return err == ECONNRESET || err == EPIPE || err == ENOTCONN || err == ETIMEDOUT || err == EHOSTUNREACH
        || err == ENETUNREACH || err == ECONNABORTED;
}

void tune(int fd)
{
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    ::setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    // Keystrokes and protocol replies are small; they should not wait for
    // an acknowledgement of what went before.
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// One non-blocking connect, waited for until deadline.
int connectOne(const addrinfo* ai, std::chrono::steady_clock::time_point deadline, int& fdOut)
{
    const int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, ai->ai_protocol);
    if (fd < 0)
        return errno;
    if (::connect(fd, ai->ai_addr, ai->ai_addrlen) != 0) {
        if (errno != EINPROGRESS) {
            const int err = errno;
            ::close(fd);
            return err;
        }
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                ::close(fd);
                return ETIMEDOUT;
            }
            pollfd pfd { fd, POLLOUT, 0 };
            const int n = ::poll(&pfd, 1, static_cast<int>(left));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                continue;
            break;
        }
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
            err = errno;
        if (err != 0) {
            ::close(fd);
            return err;
        }
    }
    fdOut = fd;
    return 0;
}

} // namespace

TcpSocket::TcpSocket() = default;

TcpSocket::~TcpSocket()
{
    close();
}

int TcpSocket::connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& reason)
{
    close();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        reason = rc == EAI_SYSTEM ? std::string(std::strerror(errno)) : std::string(::gai_strerror(rc));
        return rc == EAI_SYSTEM ? errno : EHOSTUNREACH;
    }
    int err = EHOSTUNREACH;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        int fd = -1;
        err = connectOne(ai, deadline, fd);
        if (err == 0) {
            tune(fd);
            m_handle = fd;
            break;
        }
        if (err == ETIMEDOUT)
            break;
    }
    ::freeaddrinfo(list);
    if (err != 0) {
        reason = err == ETIMEDOUT ? "no answer within " + std::to_string(timeoutMs / 1000) + " s"
                                  : std::string(std::strerror(err));
    }
    return err;
}

void TcpSocket::close()
{
    if (m_handle < 0)
        return;
    const int fd = static_cast<int>(m_handle);
    // Closing with unread input would reset the connection, and a server
    // may then drop what it has not yet passed to the device (the last
    // bytes of a transfer). So: end our side, read the rest away until the
    // server ends too, within a bound.
    if (::shutdown(fd, SHUT_WR) == 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        std::uint8_t rest[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            pollfd pfd { fd, POLLIN, 0 };
            if (left <= 0 || ::poll(&pfd, 1, static_cast<int>(left)) <= 0)
                break;
            if (::recv(fd, rest, sizeof rest, 0) <= 0)
                break;
        }
    }
    ::close(fd);
    m_handle = -1;
}

bool TcpSocket::isOpen() const
{
    return m_handle >= 0;
}

TcpSocket::Io TcpSocket::receive(std::span<std::uint8_t> buffer, int timeoutMs)
{
    Io io;
    if (m_handle < 0) {
        io.error = EBADF;
        return io;
    }
    const int fd = static_cast<int>(m_handle);
    pollfd pfd { fd, POLLIN, 0 };
    const int n = ::poll(&pfd, 1, timeoutMs);
    if (n < 0) {
        io.error = errno == EINTR ? 0 : errno;
        return io;
    }
    if (n == 0)
        return io;
    const ssize_t got = ::recv(fd, buffer.data(), buffer.size(), 0);
    if (got > 0) {
        io.count = static_cast<std::size_t>(got);
    } else if (got == 0) {
        io.closed = true;
    } else if (errno != EAGAIN && errno != EINTR) {
        io.error = errno;
        io.closed = connectionLost(errno);
    }
    return io;
}

int TcpSocket::sendAll(std::span<const std::uint8_t> bytes)
{
    if (m_handle < 0)
        return EBADF;
    const int fd = static_cast<int>(m_handle);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int err = n == 0 ? EAGAIN : errno;
        if (err == EINTR)
            continue;
        if (err != EAGAIN)
            return connectionLost(err) ? deviceGoneError() : err;
        // The server takes no more for now (a slow line behind it).
        pollfd pfd { fd, POLLOUT, 0 };
        const int r = ::poll(&pfd, 1, kSendWaitSliceMs);
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(pfd.revents & POLLOUT))
            return deviceGoneError();
    }
    return 0;
}

std::size_t TcpSocket::unsent() const
{
    int queued = 0;
    if (m_handle < 0 || ::ioctl(static_cast<int>(m_handle), TIOCOUTQ, &queued) != 0 || queued < 0)
        return 0;
    return static_cast<std::size_t>(queued);
}

int TcpSocket::handle() const
{
    return static_cast<int>(m_handle);
}

} // namespace merovan
