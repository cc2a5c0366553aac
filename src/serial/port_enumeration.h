// SPDX-License-Identifier: GPL-3.0-or-later
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
//
// On Windows: the names ("COM3") of the ports in the registry's
// HARDWARE\DEVICEMAP\SERIALCOMM and among the DOS device names, in number
// order, leaving out the port numbered excludeDevice; the two directory
// parameters are not used.
std::vector<std::string> listSerialPorts(std::uint64_t excludeDevice,
                                         const std::string& sysClassTty = "/sys/class/tty",
                                         const std::string& devDir = "/dev");

// The device number of the node at path (following links), 0 if none. On
// Windows, n of a COMn name.
std::uint64_t deviceNumberOf(const std::string& path);

// What the system knows about a port without opening it.
struct PortInfo
{
    std::string path;         // as listed or given, e.g. /dev/ttyUSB0
    std::string byId;         // its /dev/serial/by-id link, if any
    std::string driver;       // e.g. "ftdi_sio", "cp210x", "cdc_acm", "serial8250"
    bool usb = false;
    std::string vendorId;     // USB only, four hex digits
    std::string productId;
    std::string manufacturer; // USB strings; empty where the device has none
    std::string product;
    std::string serial;
    std::string interfaceNumber; // of a multi-port adapter, e.g. "01"

    // What stays the same when the device is plugged in again under another
    // name: "usb:VID:PID:SERIAL[:IF]" for a USB device with a serial string,
    // else its by-id path, else empty (then only the path tells).
    std::string identity() const;
    // One line for people: "FTDI FT232R USB UART (0403:6001) serial A1B2C3D4"
    // or the driver of an on-board UART; empty when nothing is known.
    std::string description() const;
};

// Where sysfs and the device nodes are: "/sys" and "/dev", or the trees
// named by MEROVAN_SYSFS_ROOT and MEROVAN_DEV_ROOT (tests, demonstrations).
std::string sysfsRoot();
std::string devRoot();

// The ports of listSerialPorts (same order, same rules) with what sysfs
// tells about each.
std::vector<PortInfo> listSerialPortInfo(std::uint64_t excludeDevice);
std::vector<PortInfo> listSerialPortInfo(std::uint64_t excludeDevice, const std::string& sysRoot,
                                         const std::string& devDir);

// What is known about the device at path (a node, or a link to one such as a
// /dev/serial/by-id path); path is kept as given.
PortInfo describePort(const std::string& path);
PortInfo describePort(const std::string& path, const std::string& sysRoot, const std::string& devDir);

// The path at which a device that went away is back: the port with the same
// identity when it had one (it may return under another name), else path
// itself once a device node is there again; empty while it is not back.
std::string findReturnedPort(const std::string& path, const std::string& identity);

} // namespace merovan
