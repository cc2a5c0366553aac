// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

namespace merovan {
class IniFile;
}

// A window that keeps its own section of the settings file. The terminal
// window's shutdown asks each one, in order, to write its section.
class SettingsSection
{
public:
    virtual ~SettingsSection() = default;
    virtual void saveSettings(merovan::IniFile& ini) const = 0;
};
