// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the command line needs from the system besides the port.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

namespace merovan::cli {

// Calls onStop when the user presses Ctrl+C or the process is asked to end.
// onStop runs in a signal or console-control context: it may only set a
// flag. A closed output pipe does not end the process.
void catchStopRequests(void (*onStop)());

// Whether standard error is a terminal, for progress output.
bool stderrIsTerminal();

// Standard input gives bytes as they are (no text-mode translation).
void makeStdinBinary();

// A line of advice for a port that would not open with error, or empty.
std::string openFailureHint(int error);

// The user's own terminal on standard input and output, as term uses it.
// What makeRaw changed is put back by restore(), by the destructor, and when
// the process ends through exit() on any path, so the user's shell never
// inherits a terminal without echo or line editing.
class HostTerminal
{
public:
    HostTerminal();
    ~HostTerminal();
    HostTerminal(const HostTerminal&) = delete;
    HostTerminal& operator=(const HostTerminal&) = delete;

    // True when standard input is a terminal (a console on Windows).
    bool isTerminal() const;
    // Raw mode: keys arrive byte for byte as typed, unechoed, Ctrl+C and
    // Ctrl+Z among them rather than as signals; standard output goes out
    // unchanged (no LF to CR LF). False, with the reason, when it cannot.
    bool makeRaw(std::string& reason);
    void restore();

    enum Ready : int { kNone = 0, kKeys = 1, kPort = 2 };
    // Waits up to ms for keys or for input on portHandle (a descriptor; -1
    // for none), and says which came (Ready bits); also kKeys at the end of
    // input. With no port handle to wait on it returns within a few
    // milliseconds, so that the caller can poll the port. A signal ends the
    // wait early.
    int wait(int portHandle, int ms);
    // Takes the keys typed so far without waiting: their count, 0 when
    // none, -1 at the end of input (or when it failed).
    long readKeys(std::span<std::uint8_t> buffer);
    // Writes bytes to standard output, all of them, as they are.
    void write(std::span<const std::uint8_t> bytes);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace merovan::cli
