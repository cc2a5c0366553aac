// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli_platform.h"

#include <io.h>
#include <windows.h>

#include <cstdio>

namespace merovan::cli {

namespace {

void (*g_onStop)() = nullptr;

BOOL WINAPI onConsoleControl(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (g_onStop)
            g_onStop();
        // Handled: the transfer ends itself and the port is closed cleanly.
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace

void catchStopRequests(void (*onStop)())
{
    g_onStop = onStop;
    SetConsoleCtrlHandler(onConsoleControl, TRUE);
}

bool stderrIsTerminal()
{
    // _isatty also holds for NUL and printers; only a console is a terminal.
    DWORD mode = 0;
    return _isatty(_fileno(stderr)) && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode);
}

std::string openFailureHint(int error)
{
    if (error == ERROR_ACCESS_DENIED)
        return "Hint: another program has the port open; close it there and try again.";
    if (error == ERROR_FILE_NOT_FOUND)
        return "Hint: 'merovan-cli ports' lists the COM ports present.";
    return {};
}

} // namespace merovan::cli
