// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/port_enumeration.h"
#include "serial/network_port.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>

namespace merovan {

namespace {

// "ttyS2" sorts before "ttyS10".
bool naturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0;
    std::size_t j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            std::size_t ei = i;
            std::size_t ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            const std::string na = a.substr(i, ei - i);
            const std::string nb = b.substr(j, ej - j);
            const auto ta = na.find_first_not_of('0');
            const auto tb = nb.find_first_not_of('0');
            const std::string sa = ta == std::string::npos ? std::string() : na.substr(ta);
            const std::string sb = tb == std::string::npos ? std::string() : nb.substr(tb);
            if (sa.size() != sb.size())
                return sa.size() < sb.size();
            if (sa != sb)
                return sa < sb;
            i = ei;
            j = ej;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

// Legacy 8250 ports exist in /sys whether or not a UART is fitted; the
// driver reports type 0 for the ones that are not there.
bool isPhantomUart(const std::filesystem::path& entry)
{
    std::ifstream in(entry / "type");
    int type = -1;
    if (in >> type)
        return type == 0;
    return false;
}

// The first line of a sysfs attribute, without its line end.
std::string attribute(const std::filesystem::path& file)
{
    std::ifstream in(file);
    std::string line;
    if (!std::getline(in, line))
        return {};
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    return line;
}

std::filesystem::path resolved(const std::filesystem::path& p)
{
    std::error_code ec;
    auto r = std::filesystem::canonical(p, ec);
    return ec ? std::filesystem::path() : r;
}

// Fills in what sysfs knows of the tty named name.
void readSysfs(PortInfo& info, const std::string& name, const std::string& sysRoot)
{
    namespace fs = std::filesystem;
    const fs::path device = resolved(fs::path(sysRoot) / "class" / "tty" / name / "device");
    if (device.empty())
        return;
    const fs::path driver = resolved(device / "driver");
    if (!driver.empty())
        info.driver = driver.filename().string();
    // A USB tty hangs below its interface, which hangs below the USB device
    // that carries the vendor and product ids; a CDC-ACM tty's device is the
    // interface itself.
    const fs::path root = resolved(sysRoot);
    fs::path below;
    fs::path dir = device;
    for (int level = 0; level < 4 && !dir.empty() && dir != root && dir.has_relative_path(); ++level) {
        std::error_code ec;
        if (fs::exists(dir / "idVendor", ec)) {
            info.usb = true;
            info.vendorId = attribute(dir / "idVendor");
            info.productId = attribute(dir / "idProduct");
            info.manufacturer = attribute(dir / "manufacturer");
            info.product = attribute(dir / "product");
            info.serial = attribute(dir / "serial");
            if (!below.empty())
                info.interfaceNumber = attribute(below / "bInterfaceNumber");
            return;
        }
        below = dir;
        dir = dir.parent_path();
    }
}

// Device node (resolved) to its /dev/serial/by-id link.
std::map<std::string, std::string> byIdLinks(const std::string& devDir)
{
    namespace fs = std::filesystem;
    std::map<std::string, std::string> links;
    std::error_code ec;
    const fs::path dir = fs::path(devDir) / "serial" / "by-id";
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path target = resolved(it->path());
        if (!target.empty())
            links.emplace(target.string(), it->path().string());
    }
    return links;
}

PortInfo describeWith(const std::string& path, const std::string& sysRoot,
                      const std::map<std::string, std::string>& links)
{
    PortInfo info;
    info.path = path;
    const std::filesystem::path node = resolved(path);
    if (node.empty())
        return info;
    if (const auto it = links.find(node.string()); it != links.end())
        info.byId = it->second;
    readSysfs(info, node.filename().string(), sysRoot);
    return info;
}

} // namespace

std::string sysfsRoot()
{
    const char* root = std::getenv("MEROVAN_SYSFS_ROOT");
    return root && *root ? std::string(root) : std::string("/sys");
}

std::string devRoot()
{
    const char* root = std::getenv("MEROVAN_DEV_ROOT");
    return root && *root ? std::string(root) : std::string("/dev");
}

PortInfo describePort(const std::string& path)
{
    return describePort(path, sysfsRoot(), devRoot());
}

PortInfo describePort(const std::string& path, const std::string& sysRoot, const std::string& devDir)
{
    return describeWith(path, sysRoot, byIdLinks(devDir));
}

std::vector<PortInfo> listSerialPortInfo(std::uint64_t excludeDevice)
{
    return listSerialPortInfo(excludeDevice, sysfsRoot(), devRoot());
}

std::vector<PortInfo> listSerialPortInfo(std::uint64_t excludeDevice, const std::string& sysRoot,
                                         const std::string& devDir)
{
    const auto links = byIdLinks(devDir);
    std::vector<PortInfo> out;
    for (const std::string& path : listSerialPorts(excludeDevice, sysRoot + "/class/tty", devDir))
        out.push_back(describeWith(path, sysRoot, links));
    return out;
}

std::string findReturnedPort(const std::string& path, const std::string& identity)
{
    // A network port is back when it can be connected to again; only an
    // attempt tells.
    if (isNetworkPortName(path))
        return path;
    if (!identity.empty()) {
        for (const PortInfo& p : listSerialPortInfo(0)) {
            if (p.identity() == identity)
                return p.path;
        }
        if (describePort(path).identity() != identity)
            return {};
    }
    return deviceNumberOf(path) != 0 ? path : std::string();
}

std::uint64_t deviceNumberOf(const std::string& path)
{
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return 0;
    if (!S_ISCHR(st.st_mode))
        return 0;
    return static_cast<std::uint64_t>(st.st_rdev);
}

std::vector<std::string> listSerialPorts(std::uint64_t excludeDevice, const std::string& sysClassTty,
                                         const std::string& devDir)
{
    namespace fs = std::filesystem;
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(sysClassTty, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path entry = it->path();
        // Virtual terminals and ptys have no device driver behind them.
        if (!fs::exists(entry / "device" / "driver", ec))
            continue;
        if (isPhantomUart(entry))
            continue;
        names.push_back(entry.filename().string());
    }
    std::sort(names.begin(), names.end(), naturalLess);

    std::vector<std::string> ports;
    std::set<std::uint64_t> seen;
    std::set<std::string> seenPaths;
    auto consider = [&](const std::string& path) {
        if (::access(path.c_str(), R_OK | W_OK) != 0)
            return;
        const std::uint64_t dev = deviceNumberOf(path);
        if (dev != 0) {
            if (dev == excludeDevice || !seen.insert(dev).second)
                return;
        } else {
            // Not a device node (a test's stand-in): the same file under
            // another name, such as a link, is still the same port.
            std::error_code ec;
            const auto real = std::filesystem::weakly_canonical(path, ec);
            if (!seenPaths.insert(ec ? path : real.string()).second)
                return;
        }
        ports.push_back(path);
    };
    for (const auto& name : names)
        consider(devDir + "/" + name);

    if (const char* extra = std::getenv("MEROVAN_EXTRA_PORTS")) {
        std::string list(extra);
        std::size_t start = 0;
        while (start <= list.size()) {
            const auto colon = list.find(':', start);
            const std::string path = list.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
            if (!path.empty())
                consider(path);
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    }
    return ports;
}

} // namespace merovan
