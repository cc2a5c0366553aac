// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "app/main_window.h"
#include "app/plot_dock.h"
#include "dialogs/binary_dialog.h"
#include "dialogs/boot_dialog.h"
#include "dialogs/file_transfer_dialog.h"
#include "dialogs/script_run_bar.h"
#include "dialogs/text_dialog.h"
#include "scripts/script_dialog.h"

#include <string>

namespace merovan {
class SerialPort;
}

// The terminal window with every dialog, dock, bar and menu the program
// has. Each part reads its own section of the settings as it is made, so
// they are made in this fixed order, the terminal window first; the menus
// the parts add (Transfer, Scripts, the plot's item under View) appear in
// that order too. Anything that shows the program's window (the program
// itself, the screenshots) makes it through this.
class AppWindows
{
public:
    AppWindows(merovan::SerialPort& port, std::string settingsPath);

    Tfrm_Main window;
    Tfrm_text text;
    Tfrm_boot boot;
    Tfrm_bin binary;
    Tfrm_script script;
    FileTransferDialog fileTransfers;
    PlotDock plot;
    ScriptRunBar scriptBar;
};
