#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace merovan {

// Device paths of the serial ports present, without opening any device:
// first the ttys of /sys/class/tty that have a driver behind them and whose
// device node this user may read and write, in natural order (ttyS2 before
// ttyS10); then each existing path of MEROVAN_EXTRA_PORTS (colon-separated),
// in the order given. A path whose device number equals excludeDevice is
// left out, as is a duplicate.
//
// sysClassTty and devDir are parameters so that tests can lay out a fake tree.
std::vector<std::string> listSerialPorts(std::uint64_t excludeDevice,
                                         const std::string& sysClassTty = "/sys/class/tty",
                                         const std::string& devDir = "/dev");

// The device number of the node at path (following links), 0 if none.
std::uint64_t deviceNumberOf(const std::string& path);

} // namespace merovan
