// SPDX-License-Identifier: GPL-3.0-or-later
#include "app/app_windows.h"

#include <utility>

AppWindows::AppWindows(merovan::SerialPort& port, std::string settingsPath)
    : window(port, std::move(settingsPath))
    , text(window)
    , boot(window)
    , binary(window)
    , script(window)
    , fileTransfers(window)
    , plot(window)
    , scriptBar(window, &fileTransfers, &script)
{
}
