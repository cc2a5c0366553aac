// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/quit_signals.h"

// Windows ends a windowed program with WM_CLOSE (or WM_ENDSESSION), which
// Qt already turns into a close of the window.
void closeOnQuitSignals(QWidget&)
{
}
