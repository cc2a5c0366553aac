// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace merovan::test {

// A pseudo-terminal whose slave side stands in for a serial device and whose
// master side the test drives as the "device".
class PtyPair
{
public:
    PtyPair()
    {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0)
            throw std::runtime_error("no pseudo-terminal");
        m_slave = ::ptsname(m_master);
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    const std::string& slavePath() const { return m_slave; }
    int master() const { return m_master; }

    void closeMaster()
    {
        if (m_master >= 0)
            ::close(m_master);
        m_master = -1;
    }

    void send(const std::vector<unsigned char>& bytes)
    {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.data() + done, bytes.size() - done);
            if (n <= 0)
                throw std::runtime_error("write to master failed");
            done += static_cast<std::size_t>(n);
        }
    }

    // Reads until count bytes came or timeoutMs passed without any.
    std::vector<unsigned char> receive(std::size_t count, int timeoutMs = 2000)
    {
        std::vector<unsigned char> got;
        unsigned char buf[4096];
        while (got.size() < count) {
            pollfd pfd { m_master, POLLIN, 0 };
            if (::poll(&pfd, 1, timeoutMs) <= 0)
                break;
            const ssize_t n = ::read(m_master, buf, sizeof buf);
            if (n <= 0)
                break;
            got.insert(got.end(), buf, buf + n);
        }
        return got;
    }

private:
    int m_master = -1;
    std::string m_slave;
};

} // namespace merovan::test
