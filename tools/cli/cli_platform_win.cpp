// SPDX-License-Identifier: GPL-3.0-or-later
#include "cli_platform.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>

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

void makeStdinBinary()
{
    _setmode(_fileno(stdin), _O_BINARY);
}

} // namespace merovan::cli

// ---- The host terminal ------------------------------------------------------

namespace merovan::cli {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_INPUT
#define ENABLE_VIRTUAL_TERMINAL_INPUT 0x0200
#endif
#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif
#ifndef DISABLE_NEWLINE_AUTO_RETURN
#define DISABLE_NEWLINE_AUTO_RETURN 0x0008
#endif

// The modes to put back at exit() when a HostTerminal did not get to.
DWORD g_savedIn = 0;
DWORD g_savedOut = 0;
volatile bool g_rawAtExit = false;

void restoreAtExit()
{
    if (!g_rawAtExit)
        return;
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), g_savedIn);
    SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), g_savedOut);
}

bool isConsole(HANDLE h)
{
    DWORD mode = 0;
    return GetConsoleMode(h, &mode) != 0;
}

// A key's character as UTF-8, the form the device and a VT console use.
void appendUtf8(wchar_t c, std::string& out)
{
    const unsigned v = static_cast<unsigned>(c);
    if (v < 0x80) {
        out.push_back(static_cast<char>(v));
    } else if (v < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (v >> 6)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (v >> 12)));
        out.push_back(static_cast<char>(0x80 | ((v >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (v & 0x3F)));
    }
}

} // namespace

struct HostTerminal::State
{
    bool raw = false;
    DWORD savedIn = 0;
    DWORD savedOut = 0;
    bool outputConsole = false;
    bool ended = false;
    std::string pending; // keys read from the console but not yet taken
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
    return isConsole(GetStdHandle(STD_INPUT_HANDLE));
}

bool HostTerminal::makeRaw(std::string& reason)
{
    if (m_state->raw)
        return true;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!GetConsoleMode(in, &m_state->savedIn)) {
        reason = "standard input is not a console";
        return false;
    }
    m_state->outputConsole = GetConsoleMode(out, &m_state->savedOut) != 0;
    g_savedIn = m_state->savedIn;
    g_savedOut = m_state->savedOut;
    static std::once_flag registered;
    std::call_once(registered, [] { std::atexit(restoreAtExit); });
    g_rawAtExit = true;
    const DWORD inMode = (m_state->savedIn
                          & ~static_cast<DWORD>(ENABLE_LINE_INPUT | ENABLE_ECHO_INPUT | ENABLE_PROCESSED_INPUT))
        | ENABLE_VIRTUAL_TERMINAL_INPUT;
    if (!SetConsoleMode(in, inMode)) {
        g_rawAtExit = false;
        reason = "this console has no raw mode (Windows 10 or later is needed)";
        return false;
    }
    if (m_state->outputConsole)
        SetConsoleMode(out, m_state->savedOut | ENABLE_VIRTUAL_TERMINAL_PROCESSING | DISABLE_NEWLINE_AUTO_RETURN);
    _setmode(_fileno(stdout), _O_BINARY);
    m_state->raw = true;
    return true;
}

void HostTerminal::restore()
{
    if (!m_state->raw)
        return;
    std::fflush(stdout);
    SetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), m_state->savedIn);
    if (m_state->outputConsole)
        SetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), m_state->savedOut);
    g_rawAtExit = false;
    m_state->raw = false;
}

int HostTerminal::wait(int portHandle, int ms)
{
    // The port's handle is no descriptor here: wait briefly, and let the
    // caller poll the port.
    (void)portHandle;
    const DWORD limit = static_cast<DWORD>(std::clamp(ms, 0, 5));
    if (!m_state->pending.empty() || m_state->ended)
        return kKeys;
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (!isConsole(in)) {
        DWORD available = 0;
        if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr))
            return kKeys; // ended or not a pipe: readKeys tells which
        if (available == 0)
            Sleep(limit);
        return available > 0 ? kKeys : kNone;
    }
    if (WaitForSingleObject(in, limit) != WAIT_OBJECT_0)
        return kNone;
    // Focus, mouse and key-up events wake the wait too: only characters
    // count.
    INPUT_RECORD records[64];
    DWORD count = 0;
    while (GetNumberOfConsoleInputEvents(in, &count) && count > 0) {
        if (!ReadConsoleInputW(in, records, std::min<DWORD>(count, 64), &count))
            break;
        for (DWORD i = 0; i < count; ++i) {
            const KEY_EVENT_RECORD& k = records[i].Event.KeyEvent;
            if (records[i].EventType != KEY_EVENT || !k.bKeyDown || k.uChar.UnicodeChar == 0)
                continue;
            for (WORD r = 0; r < std::max<WORD>(k.wRepeatCount, 1); ++r)
                appendUtf8(k.uChar.UnicodeChar, m_state->pending);
        }
    }
    return m_state->pending.empty() ? kNone : kKeys;
}

long HostTerminal::readKeys(std::span<std::uint8_t> buffer)
{
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    if (m_state->pending.empty() && !m_state->ended) {
        if (isConsole(in)) {
            wait(-1, 0);
        } else {
            DWORD available = 0;
            if (!PeekNamedPipe(in, nullptr, 0, nullptr, &available, nullptr)) {
                // A file rather than a pipe: read it through.
                DWORD got = 0;
                if (!ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) || got == 0)
                    m_state->ended = true;
                return m_state->ended ? -1 : static_cast<long>(got);
            }
            if (available == 0)
                return 0;
            DWORD got = 0;
            const DWORD want = std::min<DWORD>(available, static_cast<DWORD>(buffer.size()));
            if (!ReadFile(in, buffer.data(), want, &got, nullptr) || got == 0) {
                m_state->ended = true;
                return -1;
            }
            return static_cast<long>(got);
        }
    }
    if (m_state->pending.empty())
        return m_state->ended ? -1 : 0;
    const std::size_t n = std::min(buffer.size(), m_state->pending.size());
    std::copy_n(m_state->pending.begin(), n, buffer.begin());
    m_state->pending.erase(0, n);
    return static_cast<long>(n);
}

void HostTerminal::write(std::span<const std::uint8_t> bytes)
{
    std::fflush(stdout);
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    std::size_t done = 0;
    while (done < bytes.size()) {
        DWORD n = 0;
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
        if (!WriteFile(out, bytes.data() + done, want, &n, nullptr) || n == 0)
            return;
        done += n;
    }
}

} // namespace merovan::cli
