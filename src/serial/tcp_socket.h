// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// One TCP connection to a device server, with the system's socket calls
// behind it (POSIX sockets, Winsock). Error results are the system's codes,
// as everywhere in the port code (common/system_error.h).
class TcpSocket
{
public:
    TcpSocket();
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Resolves host and connects within timeoutMs, with keep-alive on (a
    // silent dead peer is found within about half a minute) and Nagle's
    // delay off. 0, or the code of the failing step with a readable reason
    // ("Connection refused", "no answer within 5 s").
    int connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& reason);
    void close();
    bool isOpen() const;

    struct Io
    {
        std::size_t count = 0;
        int error = 0;       // a failed call, 0 otherwise
        bool closed = false; // the peer closed or reset the connection
    };

    // Waits up to timeoutMs (0: not at all) for input and takes what has
    // arrived, up to buffer.size() bytes.
    Io receive(std::span<std::uint8_t> buffer, int timeoutMs);

    // Returns once every byte has been taken by the system: 0, or the
    // system's code for a device that went away (deviceGoneError()) when the
    // connection is lost.
    int sendAll(std::span<const std::uint8_t> bytes);

    // Bytes the system has taken but the peer has not acknowledged; 0 when
    // unknown.
    std::size_t unsent() const;

    // The socket, for event loops; -1 when closed.
    int handle() const;

private:
    // A POSIX descriptor or a Winsock SOCKET; -1 (INVALID_SOCKET) when closed.
    std::intptr_t m_handle = -1;
};

// A plain sleep of the calling thread (the break condition's length).
void pauseThreadMs(int ms);

} // namespace merovan
