// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/device_watch.h"
#include "serial/network_port.h"

#include "serial/port_enumeration.h"

#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

namespace merovan {

namespace {

constexpr std::uint32_t kEvents = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_ATTRIB | IN_DELETE_SELF;

class InotifyWatch final : public DeviceWatch
{
public:
    InotifyWatch()
        : m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC))
    {
    }
    ~InotifyWatch() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    bool watch(const std::string& directory) override
    {
        if (std::find(m_wanted.begin(), m_wanted.end(), directory) == m_wanted.end())
            m_wanted.push_back(directory);
        return addWatch(directory);
    }

    int handle() const override { return m_fd; }

    bool takeChanges() override
    {
        if (m_fd < 0)
            return false;
        bool changed = false;
        alignas(inotify_event) char buffer[8192];
        for (;;) {
            const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            for (ssize_t at = 0; at < n;) {
                const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
                if (ev->mask & (IN_IGNORED | IN_DELETE_SELF)) {
                    for (auto it = m_watches.begin(); it != m_watches.end(); ++it) {
                        if (it->second == ev->wd) {
                            m_watches.erase(it);
                            break;
                        }
                    }
                }
                changed = true;
                at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
            }
        }
        if (changed) {
            // A watched directory may have appeared (/dev/serial is made
            // with the first USB serial device).
            for (const std::string& dir : m_wanted)
                addWatch(dir);
        }
        return changed;
    }

    bool waitForChange(int timeoutMs) override
    {
        if (m_fd < 0)
            return false;
        pollfd pfd { m_fd, POLLIN, 0 };
        if (::poll(&pfd, 1, timeoutMs) <= 0)
            return false;
        return takeChanges();
    }

private:
    bool addWatch(const std::string& directory)
    {
        if (m_fd < 0)
            return false;
        if (m_watches.count(directory))
            return true;
        const int wd = ::inotify_add_watch(m_fd, directory.c_str(), kEvents | IN_ONLYDIR);
        if (wd < 0)
            return false;
        m_watches[directory] = wd;
        return true;
    }

    int m_fd;
    std::vector<std::string> m_wanted;
    std::map<std::string, int> m_watches;
};

} // namespace

std::vector<std::string> extraPortDirectories(const std::string& path)
{
    std::vector<std::string> dirs;
    auto add = [&](const std::string& p) {
        if (p.empty())
            return;
        const std::string dir = std::filesystem::path(p).parent_path().string();
        if (!dir.empty() && std::find(dirs.begin(), dirs.end(), dir) == dirs.end())
            dirs.push_back(dir);
    };
    if (const char* extra = std::getenv("MEROVAN_EXTRA_PORTS")) {
        std::string list(extra);
        std::size_t start = 0;
        for (;;) {
            const auto colon = list.find(':', start);
            add(list.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
            if (colon == std::string::npos)
                break;
            start = colon + 1;
        }
    }
    if (!isNetworkPortName(path))
        add(path);
    return dirs;
}

std::unique_ptr<DeviceWatch> makeDeviceWatch(const std::vector<std::string>& extraDirectories)
{
    auto w = std::make_unique<InotifyWatch>();
    const std::string dev = devRoot();
    w->watch(dev);
    w->watch(dev + "/serial");
    w->watch(dev + "/serial/by-id");
    for (const std::string& dir : extraDirectories)
        w->watch(dir);
    return w;
}

} // namespace merovan
