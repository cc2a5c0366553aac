#include "serial/port_enumeration.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

} // namespace

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
    auto consider = [&](const std::string& path) {
        if (::access(path.c_str(), R_OK | W_OK) != 0)
            return;
        const std::uint64_t dev = deviceNumberOf(path);
        if (dev != 0) {
            if (dev == excludeDevice || !seen.insert(dev).second)
                return;
        } else if (std::find(ports.begin(), ports.end(), path) != ports.end()) {
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
