// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_enumeration.h"
#include "serial/network_port.h"

#include "serial/windows_ports_p.h"

#include <windows.h>

#include <algorithm>
#include <vector>

namespace merovan {

namespace {

// The ports the serial drivers registered: value data such as "COM3".
void addRegisteredPorts(std::vector<unsigned>& numbers)
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD nameSize = sizeof name;
        BYTE data[256];
        DWORD dataSize = sizeof data - 1;
        DWORD type = 0;
        const LONG rc = RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS)
            break;
        if (rc != ERROR_SUCCESS || type != REG_SZ)
            continue;
        data[dataSize] = 0;
        if (const unsigned n = detail::comNumber(reinterpret_cast<const char*>(data)))
            numbers.push_back(n);
    }
    RegCloseKey(key);
}

// Every COMn among the system's device names, which also covers ports whose
// driver did not register (some virtual port drivers).
void addDosDevicePorts(std::vector<unsigned>& numbers)
{
    std::vector<char> names(64 * 1024);
    for (;;) {
        const DWORD n = QueryDosDeviceA(nullptr, names.data(), static_cast<DWORD>(names.size()));
        if (n != 0) {
            names.resize(n);
            break;
        }
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || names.size() >= 16 * 1024 * 1024)
            return;
        names.resize(names.size() * 2);
    }
    for (std::size_t start = 0; start < names.size();) {
        const std::size_t end = std::find(names.begin() + static_cast<std::ptrdiff_t>(start), names.end(), '\0')
            - names.begin();
        if (const unsigned number = detail::comNumber(std::string(names.data() + start, end - start)))
            numbers.push_back(number);
        start = end + 1;
    }
}

} // namespace

// On Windows the listing comes from the registry and the DOS device names;
// sysClassTty and devDir have no meaning there.
std::vector<std::string> listSerialPorts(std::uint64_t excludeDevice, const std::string& sysClassTty,
                                         const std::string& devDir)
{
    (void)sysClassTty;
    (void)devDir;
    std::vector<unsigned> numbers;
    addRegisteredPorts(numbers);
    addDosDevicePorts(numbers);
    std::sort(numbers.begin(), numbers.end());
    numbers.erase(std::unique(numbers.begin(), numbers.end()), numbers.end());
    std::vector<std::string> ports;
    for (const unsigned n : numbers) {
        if (n != excludeDevice)
            ports.push_back("COM" + std::to_string(n));
    }
    return ports;
}

std::uint64_t deviceNumberOf(const std::string& path)
{
    return detail::comNumber(path);
}

// Windows has no sysfs: what it knows of a port without opening it (the
// device's hardware ids) sits behind the setup API, which is not read here,
// so a port is known by its name alone.
std::string sysfsRoot()
{
    return {};
}

std::string devRoot()
{
    return {};
}

PortInfo describePort(const std::string& path)
{
    PortInfo info;
    info.path = path;
    return info;
}

PortInfo describePort(const std::string& path, const std::string& sysRoot, const std::string& devDir)
{
    (void)sysRoot;
    (void)devDir;
    return describePort(path);
}

std::vector<PortInfo> listSerialPortInfo(std::uint64_t excludeDevice)
{
    std::vector<PortInfo> out;
    for (const std::string& path : listSerialPorts(excludeDevice))
        out.push_back(describePort(path));
    return out;
}

std::vector<PortInfo> listSerialPortInfo(std::uint64_t excludeDevice, const std::string& sysRoot,
                                         const std::string& devDir)
{
    (void)sysRoot;
    (void)devDir;
    return listSerialPortInfo(excludeDevice);
}

// Without an identity a port is back once it is listed again: a USB
// adapter's port leaves the registry's list when it is pulled out.
std::string findReturnedPort(const std::string& path, const std::string& identity)
{
    // A network port is back when it can be connected to again; only an
    // attempt tells.
    if (isNetworkPortName(path))
        return path;
    (void)identity;
    const unsigned number = detail::comNumber(path);
    for (const std::string& port : listSerialPorts(0)) {
        if (number != 0 ? detail::comNumber(port) == number : port == path)
            return path;
    }
    return {};
}

} // namespace merovan
