// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"
#include "serial/text_expansion.h"
#include "support/fake_backend.h"

#include <gtest/gtest.h>

#include <string>

using merovan::SerialPort;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;

namespace {

class Expansion : public ::testing::Test
{
protected:
    void SetUp() override
    {
        port = std::make_unique<SerialPort>(clock, std::make_unique<FakeBackend>(clock, log));
        ASSERT_EQ(port->openPort("/dev/fake", "9600,8,N,1"), 0);
    }

    // Sends text; returns what went out, and leaves the echo in echo.
    std::string send(std::string_view text, std::size_t echoSize = 256)
    {
        log.written.clear();
        log.writes.clear();
        echoBuffer.assign(echoSize, '\xAA');
        const std::size_t n = merovan::sendExpandedText(*port, text, echoBuffer, [] {
            std::tm t {};
            t.tm_year = 126; // 2026
            t.tm_mon = 11;   // December
            t.tm_mday = 7;
            t.tm_wday = 1;   // a Monday
            t.tm_hour = 9;
            t.tm_min = 5;
            t.tm_sec = 3;
            return t;
        });
        echo.assign(echoBuffer.data(), n);
        return std::string(log.written.begin(), log.written.end());
    }

    FakeClock clock;
    FakeLineLog log;
    std::unique_ptr<SerialPort> port;
    std::vector<char> echoBuffer;
    std::string echo;
};

} // namespace

TEST_F(Expansion, ControlEscapesAndPlainBytes)
{
    EXPECT_EQ(send("AB\\r\\n"), "AB\r\n");
    EXPECT_EQ(echo, "AB\r\n");
    EXPECT_EQ(log.writes.size(), 4u) << "one write per byte";
    EXPECT_EQ(send("\\e[2J"), "\x1b[2J");
    EXPECT_EQ(send(std::string_view("A\0B", 3)), "A") << "the text ends at a zero byte";
}

TEST_F(Expansion, NumericEscapes)
{
    const struct {
        const char* text;
        std::string sent;
    } cases[] = {
        { "\\0x1B", "\x1b" },
        { "\\0x41BC", "\xbc" },         // low 8 bits of 0x41BC: 188
        { "\\0X7fZ", "\x7fZ" },
        { "\\012", "\n" },              // octal from the 0
        { "\\0", std::string(1, '\0') },
        { "\\089x", std::string(1, '\0') + "x" }, // the decimal run is passed over
        { "\\65", "A" },
        { "\\300", "," },                // 300 & 0xFF = 44
        { "\\6\\5", "\x06\x05" },
        { "\\1000000000000000000001", std::string(1, '\x01') + "" },
    };
    for (const auto& c : cases)
        EXPECT_EQ(send(c.text), c.sent) << c.text;
}

TEST_F(Expansion, WaitsAreVirtualAndEchoAsW)
{
    const auto before = clock.nowMs();
    EXPECT_EQ(send("\\w500X"), "X");
    EXPECT_EQ(echo, "(w)X");
    EXPECT_EQ(clock.nowMs() - before, 500u);
    EXPECT_EQ(send("\\wY"), "Y") << "no digits: no wait";
    EXPECT_EQ(echo, "(w)Y");
}

TEST_F(Expansion, CommentsSkipTheirLineAndOneEmptyLine)
{
    EXPECT_EQ(send("\\# set-up\r\nHELLO"), "HELLO");
    EXPECT_EQ(send("\\# set-up\n\nHELLO"), "HELLO") << "the empty line goes with the comment";
    EXPECT_EQ(send("\\# set-up\r\n\r\nHELLO"), "\r\nHELLO") << "at most two line-end bytes";
    EXPECT_EQ(send("A\\# to the end"), "A");
}

TEST_F(Expansion, DateAndTime)
{
    EXPECT_EQ(send("\\$Date"), "07/12/26 1");
    EXPECT_EQ(send("\\$Time"), "09:05:03");
    EXPECT_EQ(send("\\$Timer"), "09:05:03r");
    EXPECT_EQ(echo, "09:05:03r");
}

TEST_F(Expansion, OpenEscapesSendTheBackslashAndGoOn)
{
    EXPECT_EQ(send("\\\\"), "\\\\");
    EXPECT_EQ(send("\\\\n"), "\\\n") << "the second backslash is read as usual";
    EXPECT_EQ(send("\\q"), "\\q");
    EXPECT_EQ(send("\\$Dat"), "\\$Dat");
    EXPECT_EQ(send("end\\"), "end\\");
}

TEST_F(Expansion, TheEchoIsCutButTheSendingIsNot)
{
    EXPECT_EQ(send("ABCDEFGHIJ\\$Date", 8), "ABCDEFGHIJ07/12/26 1");
    EXPECT_EQ(echo, "ABCDEFG");
    EXPECT_EQ(echoBuffer[7], '\0');
    EXPECT_EQ(echoBuffer[8 - 1], '\0');
    EXPECT_EQ(send("xyz", 1), "xyz");
    EXPECT_EQ(echo, "");
    EXPECT_EQ(send("xyz", 0), "xyz");
}

TEST_F(Expansion, APauseServesItsCallerAndAStopEndsTheText)
{
    // Served through a 2 s pause, never more than a slice apart; asked to
    // stop at 300 ms, the pause ends and nothing after it goes out.
    const std::uint64_t start = clock.nowMs();
    std::uint64_t last = start;
    std::uint64_t longest = 0;
    bool stopped = false;
    auto serve = [&] {
        const std::uint64_t now = clock.nowMs();
        longest = std::max(longest, now - last);
        last = now;
        stopped = now - start >= 300;
        return stopped;
    };
    log.written.clear();
    char buffer[64];
    const std::size_t n = merovan::sendExpandedText(*port, "A\\w2000B", buffer, merovan::systemLocalTime, serve);
    EXPECT_TRUE(stopped);
    EXPECT_EQ(std::string(log.written.begin(), log.written.end()), "A");
    EXPECT_EQ(std::string(buffer, n), "A");
    EXPECT_LE(longest, merovan::kExpansionServeSliceMs);
    EXPECT_LE(clock.nowMs() - start, 300 + merovan::kExpansionServeSliceMs);

    // Never asked to stop: the whole pause and the rest of the text.
    const std::uint64_t again = clock.nowMs();
    const std::size_t m = merovan::sendExpandedText(*port, "\\w500C", buffer, merovan::systemLocalTime, [] { return false; });
    EXPECT_EQ(std::string(buffer, m), "(w)C");
    EXPECT_GE(clock.nowMs() - again, 500u);
}
