// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli_platform.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace merovan::cli {

namespace {

void (*g_onStop)() = nullptr;

void onSignal(int)
{
    if (g_onStop)
        g_onStop();
}

} // namespace

void catchStopRequests(void (*onStop)())
{
    g_onStop = onStop;
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A closed terminal window ends the command as Ctrl+C does, so term
    // still puts the terminal's settings back.
    sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool stderrIsTerminal()
{
    return ::isatty(2) != 0;
}

std::string openFailureHint(int error)
{
    if (error == EACCES)
        return "Hint: serial ports belong to the group 'dialout'. Add yourself with "
               "'sudo usermod -aG dialout $USER', then log in again.";
    return {};
}

void makeStdinBinary()
{
}

} // namespace merovan::cli

// ---- The host terminal ------------------------------------------------------

namespace merovan::cli {

namespace {

// The settings to put back at exit() when a HostTerminal did not get to.
termios g_savedTermios {};
volatile bool g_rawAtExit = false;

void restoreAtExit()
{
    if (g_rawAtExit)
        ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &g_savedTermios);
}

} // namespace

struct HostTerminal::State
{
    bool raw = false;
    termios saved {};
};

HostTerminal::HostTerminal()
    : m_state(std::make_unique<State>())
{
}

HostTerminal::~HostTerminal()
{
    restore();
}

bool HostTerminal::isTerminal() const
{
    return ::isatty(STDIN_FILENO) != 0;
}

bool HostTerminal::makeRaw(std::string& reason)
{
    if (m_state->raw)
        return true;
    termios t {};
    if (::tcgetattr(STDIN_FILENO, &t) != 0) {
        reason = std::strerror(errno);
        return false;
    }
    m_state->saved = t;
    ::cfmakeraw(&t);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    g_savedTermios = m_state->saved;
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(restoreAtExit); });
    g_rawAtExit = true;
    if (::tcsetattr(STDIN_FILENO, TCSAFLUSH, &t) != 0) {
        g_rawAtExit = false;
        reason = std::strerror(errno);
        return false;
    }
    m_state->raw = true;
    return true;
}

void HostTerminal::restore()
{
    if (!m_state->raw)
        return;
    std::fflush(stdout);
    // TCSADRAIN: what was written still shows, and typed keys are kept for
    // the shell.
    while (::tcsetattr(STDIN_FILENO, TCSADRAIN, &m_state->saved) != 0 && errno == EINTR) {
    }
    g_rawAtExit = false;
    m_state->raw = false;
}

int HostTerminal::wait(int portHandle, int ms)
{
    pollfd fds[2] = { { STDIN_FILENO, POLLIN, 0 }, { portHandle, POLLIN, 0 } };
    const int count = portHandle >= 0 ? 2 : 1;
    const int n = ::poll(fds, static_cast<nfds_t>(count), portHandle >= 0 ? ms : std::min(ms, 5));
    if (n <= 0)
        return kNone;
    int ready = kNone;
    if (fds[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL))
        ready |= kKeys;
    if (count == 2 && fds[1].revents)
        ready |= kPort;
    return ready;
}

long HostTerminal::readKeys(std::span<std::uint8_t> buffer)
{
    pollfd fd { STDIN_FILENO, POLLIN, 0 };
    const int n = ::poll(&fd, 1, 0);
    if (n == 0 || (n < 0 && errno == EINTR))
        return 0;
    if (n < 0 || (fd.revents & POLLNVAL))
        return -1;
    const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
    if (got < 0)
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    return got == 0 ? -1 : static_cast<long>(got);
}

void HostTerminal::write(std::span<const std::uint8_t> bytes)
{
    std::fflush(stdout);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd fd { STDOUT_FILENO, POLLOUT, 0 };
            ::poll(&fd, 1, 100);
        } else if (!(n < 0 && errno == EINTR)) {
            return; // a closed output: nothing more can be shown
        }
    }
}

} // namespace merovan::cli
