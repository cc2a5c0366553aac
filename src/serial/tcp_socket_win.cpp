// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/tcp_socket.h"

#include "common/system_error.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <mstcpip.h>
#include <windows.h>

#include <chrono>

namespace merovan {

namespace {

// Keep-alive: the first probe after this much silence, then one every
// interval (Windows gives up after ten unanswered ones).
constexpr ULONG kKeepIdleMs = 10000;
constexpr ULONG kKeepIntervalMs = 3000;

constexpr long kSendWaitSliceMs = 200;
constexpr long kCloseDrainMs = 1000;

bool startWinsock()
{
    static const bool started = [] {
        WSADATA data;
        return WSAStartup(MAKEWORD(2, 2), &data) == 0;
    }();
    return started;
}

bool connectionLost(int err)
{
    return err == WSAECONNRESET || err == WSAECONNABORTED || err == WSAENOTCONN || err == WSAETIMEDOUT
        || err == WSAENETRESET || err == WSAEHOSTUNREACH || err == WSAENETUNREACH || err == WSAESHUTDOWN;
}

void tune(SOCKET s)
{
    const BOOL on = TRUE;
    ::setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof on);
    tcp_keepalive values {};
    values.onoff = 1;
    values.keepalivetime = kKeepIdleMs;
    values.keepaliveinterval = kKeepIntervalMs;
    DWORD returned = 0;
    ::WSAIoctl(s, SIO_KEEPALIVE_VALS, &values, sizeof values, nullptr, 0, &returned, nullptr, nullptr);
    ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

// Waits for s to become writable (want = true) or readable; 1 ready, 0 time
// out, -1 failed (err set).
int waitFor(SOCKET s, bool writable, long timeoutMs, int& err)
{
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set fails;
    FD_ZERO(&fails);
    FD_SET(s, &fails);
    timeval tv { timeoutMs / 1000, (timeoutMs % 1000) * 1000 };
    const int n = ::select(0, writable ? nullptr : &set, writable ? &set : nullptr, &fails, &tv);
    if (n == SOCKET_ERROR) {
        err = WSAGetLastError();
        return -1;
    }
    if (n > 0 && FD_ISSET(s, &fails)) {
        int soError = 0;
        int len = sizeof soError;
        ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&soError), &len);
        err = soError != 0 ? soError : WSAECONNRESET;
        return -1;
    }
    return n > 0 ? 1 : 0;
}

int connectOne(const addrinfo* ai, std::chrono::steady_clock::time_point deadline, SOCKET& out)
{
    const SOCKET s = ::socket(ai->ai_family, ai->ai_socktype, ai->ai_protocol);
    if (s == INVALID_SOCKET)
        return WSAGetLastError();
    u_long nonBlocking = 1;
    ::ioctlsocket(s, FIONBIO, &nonBlocking);
    if (::connect(s, ai->ai_addr, static_cast<int>(ai->ai_addrlen)) != 0) {
        const int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK) {
            ::closesocket(s);
            return err;
        }
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0) {
                ::closesocket(s);
                return WSAETIMEDOUT;
            }
            int waitErr = 0;
            const int r = waitFor(s, true, static_cast<long>(left), waitErr);
            if (r < 0) {
                ::closesocket(s);
                return waitErr;
            }
            if (r > 0)
                break;
        }
    }
    out = s;
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
    if (!startWinsock()) {
        reason = "Winsock is not available";
        return WSASYSNOTREADY;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* list = nullptr;
    const std::string service = std::to_string(port);
    if (const int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &list); rc != 0) {
        reason = systemErrorText(rc);
        return rc;
    }
    int err = WSAEHOSTUNREACH;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        SOCKET s = INVALID_SOCKET;
        err = connectOne(ai, deadline, s);
        if (err == 0) {
            tune(s);
            m_handle = static_cast<std::intptr_t>(s);
            break;
        }
        if (err == WSAETIMEDOUT)
            break;
    }
    ::freeaddrinfo(list);
    if (err != 0) {
        reason = err == WSAETIMEDOUT ? "no answer within " + std::to_string(timeoutMs / 1000) + " s"
                                     : systemErrorText(err);
    }
    return err;
}

void TcpSocket::close()
{
    if (m_handle == -1)
        return;
    const auto s = static_cast<SOCKET>(m_handle);
    // Closing with unread input would reset the connection, and a server
    // may then drop what it has not yet passed to the device: end our side
    // and read the rest away until the server ends too, within a bound.
    if (::shutdown(s, SD_SEND) == 0) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseDrainMs);
        char rest[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            int err = 0;
            if (left <= 0 || waitFor(s, false, static_cast<long>(left), err) <= 0)
                break;
            if (::recv(s, rest, sizeof rest, 0) <= 0)
                break;
        }
    }
    ::closesocket(s);
    m_handle = -1;
}

bool TcpSocket::isOpen() const
{
    return m_handle != -1;
}

TcpSocket::Io TcpSocket::receive(std::span<std::uint8_t> buffer, int timeoutMs)
{
    Io io;
    if (m_handle == -1) {
        io.error = WSAENOTSOCK;
        return io;
    }
    const auto s = static_cast<SOCKET>(m_handle);
    int err = 0;
    const int r = waitFor(s, false, timeoutMs, err);
    if (r < 0) {
        io.error = err;
        io.closed = connectionLost(err);
        return io;
    }
    if (r == 0)
        return io;
    const int got = ::recv(s, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0);
    if (got > 0) {
        io.count = static_cast<std::size_t>(got);
    } else if (got == 0) {
        io.closed = true;
    } else {
        err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK && err != WSAEINTR) {
            io.error = err;
            io.closed = connectionLost(err);
        }
    }
    return io;
}

int TcpSocket::sendAll(std::span<const std::uint8_t> bytes)
{
    if (m_handle == -1)
        return WSAENOTSOCK;
    const auto s = static_cast<SOCKET>(m_handle);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const int n = ::send(s, reinterpret_cast<const char*>(bytes.data() + done),
                             static_cast<int>(bytes.size() - done), 0);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        const int err = WSAGetLastError();
        if (err != WSAEWOULDBLOCK)
            return connectionLost(err) ? deviceGoneError() : err;
        int waitErr = 0;
        if (waitFor(s, true, kSendWaitSliceMs, waitErr) < 0)
            return connectionLost(waitErr) ? deviceGoneError() : waitErr;
    }
    return 0;
}

std::size_t TcpSocket::unsent() const
{
    return 0;
}

int TcpSocket::handle() const
{
    return static_cast<int>(m_handle);
}

} // namespace merovan
