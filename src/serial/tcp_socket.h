// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// The connection to a device server as the network port sees it: a TCP
// socket in use, a scripted server in tests. Error results are the system's
// codes, as everywhere in the port code (common/system_error.h).
class ByteStream
{
public:
    virtual ~ByteStream() = default;

    // Resolves host and connects within timeoutMs. 0, or the code of the
    // failing step with a readable reason ("Connection refused", "no answer
    // within 5 s").
    virtual int connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& reason) = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    struct Io
    {
        std::size_t count = 0;
        int error = 0;       // a failed call, 0 otherwise
        bool closed = false; // the peer closed or reset the connection
    };

    // Waits up to timeoutMs (0: not at all) for input and takes what has
    // arrived, up to buffer.size() bytes.
    virtual Io receive(std::span<std::uint8_t> buffer, int timeoutMs) = 0;

    // Returns once every byte has been taken by the system: 0, or the
    // system's code for a device that went away (deviceGoneError()) when the
    // connection is lost.
    virtual int sendAll(std::span<const std::uint8_t> bytes) = 0;

    // Bytes the system has taken but the peer has not acknowledged; 0 when
    // unknown.
    virtual std::size_t unsent() const = 0;

    // The socket, for event loops; -1 when closed.
    virtual int handle() const = 0;
};

// One TCP connection, with the system's socket calls behind it (POSIX
// sockets, Winsock): keep-alive on (a silent dead peer is found within about
// half a minute) and Nagle's delay off.
class TcpSocket final : public ByteStream
{
public:
    TcpSocket();
    ~TcpSocket() override;
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    int connect(const std::string& host, std::uint16_t port, int timeoutMs, std::string& reason) override;
    void close() override;
    bool isOpen() const override;
    Io receive(std::span<std::uint8_t> buffer, int timeoutMs) override;
    int sendAll(std::span<const std::uint8_t> bytes) override;
    std::size_t unsent() const override;
    int handle() const override;

private:
    // A POSIX descriptor or a Winsock SOCKET; -1 (INVALID_SOCKET) when closed.
    std::intptr_t m_handle = -1;
};

} // namespace merovan
