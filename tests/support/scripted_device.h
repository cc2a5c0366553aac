// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "device_model.h"

#include <deque>
#include <vector>

namespace merovan::test {

// Answers each CR it receives with the next reply of its script (nothing
// once the script is used up), and can vanish after a number of lines.
class ScriptedDevice : public devsim::DeviceModel
{
public:
    std::deque<std::vector<std::uint8_t>> replies;
    int vanishAfterLines = -1;
    int lines = 0;

    void receive(std::uint8_t byte, std::uint64_t, devsim::DeviceOutput& out) override
    {
        if (byte != '\r')
            return;
        ++lines;
        if (vanishAfterLines >= 0 && lines >= vanishAfterLines) {
            out.dropLine = true;
            return;
        }
        if (!replies.empty()) {
            out.bytes = replies.front();
            replies.pop_front();
        }
    }
};

} // namespace merovan::test
