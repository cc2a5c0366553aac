// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// ser2net (Debian's package) run by a test in the foreground, with a YAML
// file of its own: one accepter per device, raw TCP or RFC 2217, on free
// ports of 127.0.0.1.
#include "support/process.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace merovan::test {

inline constexpr const char* kSer2net = "/usr/sbin/ser2net";

// A TCP port on 127.0.0.1 that nothing listens on now.
inline int freePort()
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

// Whether something listens on port: a bind that would be allowed past
// TIME_WAIT leftovers is refused only by a listener. No connection is made,
// so ser2net does not open its device for it.
inline bool listening(int port)
{
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    const bool inUse = ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 && errno == EADDRINUSE;
    ::close(s);
    return inUse;
}

// ser2net with one accepter per device, on ports of its own.
class Ser2net
{
public:
    struct Accepter
    {
        bool rfc2217;
        std::string device;
    };

    explicit Ser2net(std::vector<Accepter> accepters)
        : m_accepters(std::move(accepters))
        , m_config(tempPath("ser2net") + ".yaml")
    {
        std::ofstream yaml(m_config);
        for (std::size_t i = 0; i < m_accepters.size(); ++i) {
            m_ports.push_back(freePort());
            const Accepter& a = m_accepters[i];
            yaml << "connection: &c" << i << "\n"
                 << "    accepter: " << (a.rfc2217 ? "telnet(rfc2217),tcp," : "tcp,") << "127.0.0.1," << m_ports[i]
                 << "\n"
                 << "    connector: serialdev," << a.device << ",9600n81,local\n";
        }
        yaml.close();
        start();
    }
    // A configuration of the caller's, with the ports its accepters use.
    Ser2net(const std::string& yaml, std::vector<int> ports)
        : m_config(tempPath("ser2net") + ".yaml")
        , m_ports(std::move(ports))
    {
        std::ofstream(m_config) << yaml;
        start();
    }
    ~Ser2net()
    {
        stop();
        std::filesystem::remove(m_config);
    }

    void start()
    {
        const char* argv[] = { kSer2net, "-n", "-u", "-c", m_config.c_str(), nullptr };
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        // It says it cannot start mDNS on a machine without it.
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        if (::posix_spawn(&m_pid, kSer2net, &actions, nullptr, const_cast<char**>(argv), environ) != 0)
            m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        for (const int port : m_ports) {
            while (!listening(port) && std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    void stop()
    {
        if (m_pid > 0) {
            ::kill(m_pid, SIGTERM);
            ::waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
    }
    bool running() const { return m_pid > 0; }
    static bool installed() { return ::access(kSer2net, X_OK) == 0; }
    // Under CI the tests that need it must run, not skip.
    static bool required()
    {
        const char* ci = std::getenv("CI");
        return ci && std::string(ci) == "true";
    }
    std::string url(std::size_t i) const
    {
        return std::string(m_accepters[i].rfc2217 ? "rfc2217://" : "tcp://") + "127.0.0.1:"
            + std::to_string(m_ports[i]);
    }

private:
    std::vector<Accepter> m_accepters;
    std::string m_config;
    std::vector<int> m_ports;
    pid_t m_pid = -1;
};

} // namespace merovan::test
