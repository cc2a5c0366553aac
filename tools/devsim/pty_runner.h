// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"

#include <csignal>
#include <cstdint>
#include <string>

namespace devsim {

struct RunnerOptions
{
    std::string link;     // symlink to the pty's path, removed on exit
    std::string record;   // every received byte is appended here
    std::string sent;     // every byte sent to the host is appended here
    std::uint32_t rate = 0; // line rate in baud (10 bits a byte) for both directions; 0 = unpaced
    // Flow control as a device holding CTS back: after every holdAfter
    // bytes received, take nothing more for holdMs.
    std::uint32_t holdMs = 0;
    std::uint32_t holdAfter = 1024;
    // Close the line, as a device pulled out, once this many bytes came.
    std::uint64_t dropAfterBytes = 0;
};

// Runs the model behind a new pseudo-terminal until stop becomes non-zero or
// the model drops the line. Prints the terminal's path as the first line of
// stdout. Returns the process exit code.
int runOnPty(DeviceModel& model, const RunnerOptions& options, const volatile std::sig_atomic_t& stop);

} // namespace devsim
