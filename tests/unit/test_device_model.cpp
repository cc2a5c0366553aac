// SPDX-License-Identifier: GPL-3.0-or-later
#include "device_model.h"

#include <gtest/gtest.h>

#include <string>

namespace {
std::string text(const devsim::DeviceOutput& out)
{
    return std::string(out.bytes.begin(), out.bytes.end());
}
} // namespace

TEST(EchoDevice, GreetsOnEachOpenAndEchoesEveryByte)
{
    devsim::EchoDevice device({});
    devsim::DeviceOutput out;
    device.lineOpened(0, out);
    EXPECT_EQ(text(out), "devsim ready\r\n");

    out = {};
    for (const std::uint8_t b : std::vector<std::uint8_t> { 'h', 'i', 0x00, 0xFF })
        device.receive(b, 5, out);
    EXPECT_EQ(out.bytes, (std::vector<std::uint8_t> { 'h', 'i', 0x00, 0xFF }));
    EXPECT_FALSE(out.dropLine);
}

TEST(EchoDevice, OptionsTurnGreetingAndEchoOff)
{
    devsim::DeviceOptions quiet;
    quiet.greeting = false;
    quiet.echo = false;
    devsim::EchoDevice device(quiet);
    devsim::DeviceOutput out;
    device.lineOpened(0, out);
    device.receive('x', 0, out);
    EXPECT_TRUE(out.bytes.empty());
    EXPECT_EQ(device.nextDeadline(), devsim::kNoDeadline);
}
