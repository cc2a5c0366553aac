// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <memory>
#include <string>
#include <vector>

namespace merovan {

// Tells when device nodes come and go in a few directories, without polling
// and without opening any device. On Linux this is inotify on /dev,
// /dev/serial and /dev/serial/by-id (and whatever else is watched); a
// directory that does not exist yet is picked up once its parent shows it.
class DeviceWatch
{
public:
    virtual ~DeviceWatch() = default;

    // Adds a directory to watch; false when it cannot be watched now (it is
    // still retried when its parent changes, if the parent is watched).
    virtual bool watch(const std::string& directory) = 0;
    // A descriptor that becomes readable on a change, for event loops; -1
    // when there is none (then nothing is ever reported).
    virtual int handle() const = 0;
    // Takes the pending events without waiting; true when any was a node
    // appearing or going.
    virtual bool takeChanges() = 0;
    // Waits up to timeoutMs for a change; true when there was one.
    virtual bool waitForChange(int timeoutMs) = 0;
};

// The watch on the system's device directories plus extraDirectories (for
// example the directories of MEROVAN_EXTRA_PORTS entries).
std::unique_ptr<DeviceWatch> makeDeviceWatch(const std::vector<std::string>& extraDirectories = {});

// The directories holding the paths of MEROVAN_EXTRA_PORTS, and that of
// path when it is given.
std::vector<std::string> extraPortDirectories(const std::string& path = {});

} // namespace merovan
