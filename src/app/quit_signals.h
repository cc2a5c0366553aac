// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

class QWidget;

// Closes window when the session asks the program to end (SIGTERM at log-out
// or from a service manager, SIGHUP when the terminal goes, SIGINT), through
// the event loop, so it saves its settings as after a click on close.
void closeOnQuitSignals(QWidget& window);
