// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"

#include <string>
#include <vector>

namespace devsim {

// A board's console as a boot monitor shows it: a banner and, with
// autoboot, "Hit any key to stop autoboot" with a countdown that any key
// stops. At the "=> " prompt it answers a few commands:
//   version, meminfo, selftest   one canned answer each
//   loady                        receives a file by YMODEM (recorded)
//   boot                         boots to a login (root / devsim) and a shell
//                                that knows uname and exit
//   reset                        starts again from the banner
// A backslash at the prompt wakes the resident boot loader, which then has
// the line (and records the image it takes). A countdown that runs out
// boots as "boot" does.
class ConsoleDevice : public DeviceModel
{
public:
    explicit ConsoleDevice(DeviceOptions options);
    void lineOpened(std::uint64_t nowMs, DeviceOutput& out) override;
    void receive(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out) override;
    void tick(std::uint64_t nowMs, DeviceOutput& out) override;
    std::uint64_t nextDeadline() const override;
    bool recordsItself() const override { return true; }

private:
    enum class State { Countdown, Prompt, Login, Password, Shell, Ymodem, Loader };
    void start(std::uint64_t nowMs, DeviceOutput& out);
    void command(const std::string& line, std::uint64_t nowMs, DeviceOutput& out);
    void shell(const std::string& line, DeviceOutput& out);
    void ymodemByte(std::uint8_t byte, std::uint64_t nowMs, DeviceOutput& out);
    void ymodemBlock(DeviceOutput& out);
    void endYmodem(const std::string& message, DeviceOutput& out);
    void toLogin(DeviceOutput& out);

    DeviceOptions m_options;
    BootLoaderDevice m_loader;
    State m_state = State::Prompt;
    std::string m_line;
    std::string m_user;
    int m_count = 0;
    std::uint64_t m_next = kNoDeadline;
    // YMODEM receive.
    std::vector<std::uint8_t> m_block;
    std::vector<std::uint8_t> m_file;
    std::uint64_t m_size = 0;
    std::uint8_t m_expected = 0;
    bool m_started = false;
    int m_eots = 0;
    std::uint64_t m_giveUp = 0;
};

} // namespace devsim
