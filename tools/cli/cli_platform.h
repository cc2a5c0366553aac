// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the command line needs from the system besides the port.

#include <string>

namespace merovan::cli {

// Calls onStop when the user presses Ctrl+C or the process is asked to end.
// onStop runs in a signal or console-control context: it may only set a
// flag. A closed output pipe does not end the process.
void catchStopRequests(void (*onStop)());

// Whether standard error is a terminal, for progress output.
bool stderrIsTerminal();

// A line of advice for a port that would not open with error, or empty.
std::string openFailureHint(int error);

} // namespace merovan::cli
