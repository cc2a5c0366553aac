// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli_platform.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

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

} // namespace merovan::cli
