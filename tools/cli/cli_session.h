// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What monitor and term share: the session log of --log, and the wait for
// a port that went away (--reconnect).

#include "cli_common.h"

#include "serial/device_watch.h"
#include "terminal/line_stamp.h"
#include "terminal/session_log.h"

#include <functional>
#include <memory>
#include <string>

namespace merovan::cli {

// Rejects --raw and --overwrite without --log.
void checkLogOptions(const Options& o);

// Opens the log that --log names, in the form --raw and --timestamps ask
// for. Leaves log empty without --log. False, with the reason on stderr,
// when the file cannot be written.
bool openSessionLog(const Options& o, const merovan::WallClock& wall, merovan::Clock& clock,
                    std::unique_ptr<merovan::SessionLog>& log);

// Hands a failure the log met to tell, once; nothing without a log.
void reportLogFailure(merovan::SessionLog* log, const std::function<void(const std::string&)>& tell);

// For --reconnect: finds the device of a port that went away when it
// returns, wherever it comes back, and reopens it with the same line
// settings, CTS flow and RTS. Built right after the port first opened.
class PortReturn
{
public:
    explicit PortReturn(const Options& o);

    // Says through tell that the port is gone and is waited for, then waits
    // until it is open again (true) or giveUp says to stop (false). giveUp
    // is asked at least twice a second. The log, if any, notes both ends.
    bool wait(SerialPort& port, merovan::SessionLog* log, const std::function<void(const std::string&)>& tell,
              const std::function<bool()>& giveUp);

private:
    const Options& m_options;
    std::string m_identity;
    std::string m_settings;
    std::unique_ptr<merovan::DeviceWatch> m_watch;
};

} // namespace merovan::cli
