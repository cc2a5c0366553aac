// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/windows_ports_p.h"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>

namespace merovan::detail {

namespace {

std::mutex g_heldMutex;
std::set<std::string> g_held;

std::string upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

} // namespace

std::string canonicalPortName(const std::string& path)
{
    std::string name = path;
    if (name.size() > 4 && (name.compare(0, 4, "\\\\.\\") == 0 || name.compare(0, 4, "//./") == 0))
        name.erase(0, 4);
    const std::string up = upper(name);
    if (up.size() > 3 && up.compare(0, 3, "COM") == 0
        && up.find_first_not_of("0123456789", 3) == std::string::npos && up[3] != '0')
        return up;
    return path;
}

std::string devicePathOf(const std::string& path)
{
    const std::string name = canonicalPortName(path);
    return comNumber(name) != 0 ? "\\\\.\\" + name : path;
}

unsigned comNumber(const std::string& path)
{
    const std::string name = canonicalPortName(path);
    if (name.size() < 4 || name.size() > 10 || name.compare(0, 3, "COM") != 0
        || name.find_first_not_of("0123456789", 3) != std::string::npos)
        return 0;
    return static_cast<unsigned>(std::stoul(name.substr(3)));
}

void noteHeldHere(const std::string& path, bool held)
{
    const std::lock_guard lock(g_heldMutex);
    if (held)
        g_held.insert(upper(canonicalPortName(path)));
    else
        g_held.erase(upper(canonicalPortName(path)));
}

bool isHeldHere(const std::string& path)
{
    const std::lock_guard lock(g_heldMutex);
    return g_held.count(upper(canonicalPortName(path))) != 0;
}

} // namespace merovan::detail
