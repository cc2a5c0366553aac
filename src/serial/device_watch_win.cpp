// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/device_watch.h"

#include "serial/port_enumeration.h"

#include <windows.h>

#include <algorithm>

namespace merovan {

namespace {

// How often the port list is looked at while waiting for a change.
constexpr DWORD kPollMs = 250;

// Windows tells about arriving and leaving devices only through window
// messages (WM_DEVICECHANGE), which a console program and the core do not
// have; the list of COM ports is cheap to read and opens nothing, so it is
// compared instead. There is no descriptor for event loops.
class PortListWatch final : public DeviceWatch
{
public:
    PortListWatch()
        : m_ports(listSerialPorts(0))
    {
    }

    bool watch(const std::string& directory) override
    {
        (void)directory;
        return true;
    }

    int handle() const override { return -1; }

    bool takeChanges() override
    {
        std::vector<std::string> now = listSerialPorts(0);
        if (now == m_ports)
            return false;
        m_ports = std::move(now);
        return true;
    }

    bool waitForChange(int timeoutMs) override
    {
        for (int waited = 0;; waited += static_cast<int>(kPollMs)) {
            if (takeChanges())
                return true;
            if (waited >= timeoutMs)
                return false;
            Sleep(static_cast<DWORD>(std::min<int>(static_cast<int>(kPollMs), timeoutMs - waited)));
        }
    }

private:
    std::vector<std::string> m_ports;
};

} // namespace

// Port names on Windows are not paths in folders.
std::vector<std::string> extraPortDirectories(const std::string& path)
{
    (void)path;
    return {};
}

std::unique_ptr<DeviceWatch> makeDeviceWatch(const std::vector<std::string>& extraDirectories)
{
    (void)extraDirectories;
    return std::make_unique<PortListWatch>();
}

} // namespace merovan
