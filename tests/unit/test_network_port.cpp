// SPDX-License-Identifier: GPL-3.0-or-later
// Network ports: which names are network ports, and how they split; how
// long a network port waits for the line behind the server.
#include "serial/network_port.h"
#include "serial/serial_port.h"
#include "serial/tcp_socket.h"
#include "serial/telnet_codec.h"
#include "support/fake_clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <vector>

using merovan::NetworkAddress;

TEST(NetworkPortName, SplitsHostAndPortOrSaysWhatIsWrong)
{
    const struct {
        const char* name;
        bool ok;
        bool rfc2217;
        const char* host;
        std::uint16_t port;
        const char* reason;
    } cases[] = {
        { "rfc2217://lab:7002", true, true, "lab", 7002, "" },
        { "tcp://192.168.1.20:4001", true, false, "192.168.1.20", 4001, "" },
        { "socket://127.0.0.1:1/", true, false, "127.0.0.1", 1, "" },
        { "rfc2217://[::1]:65535", true, true, "::1", 65535, "" },
        { "tcp://lab", false, false, "", 0, "the address needs a port number (HOST:PORT)" },
        { "tcp://:7000", false, false, "", 0, "the address needs a host name" },
        { "tcp://lab:0", false, false, "", 0, "the port number must be 1 to 65535" },
        { "tcp://lab:65536", false, false, "", 0, "the port number must be 1 to 65535" },
        { "tcp://lab:70a", false, false, "", 0, "the port number must be 1 to 65535" },
        { "rfc2217://[::1]7000", false, false, "", 0, "the address needs a port number (HOST:PORT)" },
        { "/dev/ttyUSB0", false, false, "", 0, "not a network port (rfc2217://HOST:PORT or tcp://HOST:PORT)" },
    };
    for (const auto& c : cases) {
        NetworkAddress a;
        std::string reason;
        ASSERT_EQ(merovan::parseNetworkPortName(c.name, a, reason), c.ok) << c.name;
        EXPECT_EQ(merovan::isNetworkPortName(c.name), std::string(c.name).find("://") != std::string::npos) << c.name;
        if (!c.ok) {
            EXPECT_EQ(reason, c.reason) << c.name;
            continue;
        }
        EXPECT_EQ(a.rfc2217, c.rfc2217) << c.name;
        EXPECT_EQ(a.host, c.host) << c.name;
        EXPECT_EQ(a.port, c.port) << c.name;
    }
}

namespace {

using merovan::test::FakeClock;
namespace telnet = merovan::telnet;

// A device server in virtual time that takes every byte at once, as a
// server on loopback does: its socket queue is always empty, so only the
// line estimate can tell when the bytes have reached the device. For
// rfc2217:// it greets as ser2net does and acknowledges every COM-PORT
// request, applying appliedBaud (when not 0) instead of the rate asked.
class InstantServer final : public merovan::ByteStream
{
public:
    struct Seen
    {
        std::vector<std::uint8_t> data; // what reached the device
        std::uint64_t closedAtMs = 0;
    };

    InstantServer(FakeClock& clock, Seen& seen, bool rfc2217, std::uint32_t appliedBaud)
        : m_clock(clock)
        , m_seen(seen)
        , m_rfc2217(rfc2217)
        , m_appliedBaud(appliedBaud)
    {
    }

    int connect(const std::string&, std::uint16_t, int, std::string&) override
    {
        m_open = true;
        if (m_rfc2217) {
            using namespace telnet;
            m_in = { kIac, kWill, kOptSga, kIac, kDo, kOptSga, kIac, kDo, kOptBinary, kIac, kWill, kOptBinary,
                     kIac, kDo, kOptComPort };
        }
        return 0;
    }
    void close() override
    {
        if (m_open)
            m_seen.closedAtMs = m_clock.nowMs();
        m_open = false;
    }
    bool isOpen() const override { return m_open; }
    // Bytes the server sends at a time of the clock.
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> timed;
    // When the server ends the connection (its device gone); 0: never.
    std::uint64_t endsAtMs = 0;

    Io receive(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        Io io;
        if (m_in.empty()) {
            std::uint64_t until = m_clock.nowMs() + static_cast<std::uint64_t>(timeoutMs);
            for (const auto& [at, bytes] : timed)
                until = std::max(std::min(until, at), m_clock.nowMs());
            if (endsAtMs != 0)
                until = std::max(std::min(until, endsAtMs), m_clock.nowMs());
            m_clock.advance(until - m_clock.nowMs());
            if (endsAtMs != 0 && m_clock.nowMs() >= endsAtMs) {
                io.closed = true;
                return io;
            }
            for (auto it = timed.begin(); it != timed.end();) {
                if (it->first <= m_clock.nowMs()) {
                    m_in.insert(m_in.end(), it->second.begin(), it->second.end());
                    it = timed.erase(it);
                } else {
                    ++it;
                }
            }
            if (m_in.empty())
                return io;
        }
        io.count = std::min(buffer.size(), m_in.size());
        std::copy_n(m_in.begin(), io.count, buffer.begin());
        m_in.erase(m_in.begin(), m_in.begin() + static_cast<std::ptrdiff_t>(io.count));
        return io;
    }
    int sendAll(std::span<const std::uint8_t> bytes) override
    {
        if (!m_rfc2217) {
            m_seen.data.insert(m_seen.data.end(), bytes.begin(), bytes.end());
            return 0;
        }
        for (const std::uint8_t b : bytes)
            take(b);
        return 0;
    }
    std::size_t unsent() const override { return 0; }
    int handle() const override { return -1; }

private:
    // The client's telnet stream: data to the device, requests answered.
    void take(std::uint8_t b)
    {
        using namespace telnet;
        switch (m_state) {
        case 0: // data
            if (b == kIac)
                m_state = 1;
            else
                m_seen.data.push_back(b);
            break;
        case 1: // after IAC
            if (b == kIac) {
                m_seen.data.push_back(b);
                m_state = 0;
            } else if (b == kSb) {
                m_sb.clear();
                m_state = 3;
            } else {
                m_state = b >= kWill ? 2 : 0;
            }
            break;
        case 2: // the option of WILL/WONT/DO/DONT
            m_state = 0;
            break;
        case 3: // subnegotiation
            if (b == kIac)
                m_state = 4;
            else
                m_sb.push_back(b);
            break;
        case 4:
            if (b == kSe) {
                answer();
                m_state = 0;
            } else {
                m_sb.push_back(b);
                m_state = 3;
            }
            break;
        }
    }
    void answer()
    {
        using namespace telnet;
        if (m_sb.size() < 2 || m_sb[0] != kOptComPort)
            return;
        std::vector<std::uint8_t> value(m_sb.begin() + 2, m_sb.end());
        if (m_sb[1] == static_cast<std::uint8_t>(ComCommand::SetBaudRate) && m_appliedBaud != 0 && value.size() == 4) {
            for (int i = 0; i < 4; ++i)
                value[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(m_appliedBaud >> (24 - 8 * i));
        }
        m_in.insert(m_in.end(), { kIac, kSb, kOptComPort, static_cast<std::uint8_t>(m_sb[1] + kServerOffset) });
        for (const std::uint8_t v : value) {
            m_in.push_back(v);
            if (v == kIac)
                m_in.push_back(v);
        }
        m_in.insert(m_in.end(), { kIac, kSe });
    }

    FakeClock& m_clock;
    Seen& m_seen;
    bool m_rfc2217;
    std::uint32_t m_appliedBaud;
    bool m_open = false;
    std::vector<std::uint8_t> m_in;
    int m_state = 0;
    std::vector<std::uint8_t> m_sb;
};

std::vector<std::uint8_t> someBytes(std::size_t n)
{
    std::vector<std::uint8_t> v(n);
    for (std::size_t i = 0; i < n; ++i)
        v[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return v;
}

} // namespace

// A server that has taken every byte has not yet passed them to the line,
// and may drop what it still holds when the connection ends: waiting until
// the bytes are sent, and closing, take as long as the line needs for them
// at the rate in use (the server's applied rate, or for raw TCP the rate
// configured), and a close never waits past its bound.
TEST(NetworkPortLine, WaitingAndClosingLastAsLongAsTheLineNeeds)
{
    const struct {
        const char* name;
        const char* settings;
        std::uint32_t appliedBaud; // by the server; 0: as asked
        std::size_t bytes;
        std::uint64_t lineMs;      // the nominal time on the line
        bool waitFirst;            // waitUntilSent before closing
    } cases[] = {
        { "tcp://lab:4001", "115200,8,N,1", 0, 64 * 1024, 65536ull * 10 * 1000 / 115200, true },
        { "tcp://lab:4001", "115200,8,N,1", 0, 64 * 1024, 65536ull * 10 * 1000 / 115200, false },
        { "rfc2217://lab:7001", "115200,8,N,1", 0, 100 * 1024, 102400ull * 10 * 1000 / 115200, true },
        { "rfc2217://lab:7001", "115200,8,N,1", 57600, 20 * 1024, 20480ull * 10 * 1000 / 57600, false },
        { "rfc2217://lab:7001", "9600,7,E,2", 0, 3000, 3000ull * 11 * 1000 / 9600, true },
        { "tcp://lab:4001", "921600,8,N,1", 0, 1, 1, true },
    };
    for (const auto& c : cases) {
        const std::string label = std::string(c.name) + " " + c.settings + " " + std::to_string(c.bytes)
            + (c.waitFirst ? " wait" : " close");
        FakeClock clock;
        InstantServer::Seen seen;
        const bool rfc2217 = std::string(c.name).starts_with("rfc2217");
        merovan::SerialPort port(clock, merovan::makeNetworkBackend(
                                            clock, std::make_unique<InstantServer>(clock, seen, rfc2217, c.appliedBaud)));
        ASSERT_EQ(port.openPort(c.name, c.settings), 0) << label << ": " << port.lastError();
        seen.data.clear();
        const std::vector<std::uint8_t> data = someBytes(c.bytes);
        const std::uint64_t start = clock.nowMs();
        ASSERT_EQ(port.writeBlock(data), 0) << label;
        if (c.waitFirst) {
            EXPECT_TRUE(port.waitUntilSent()) << label;
            const std::uint64_t waited = clock.nowMs() - start;
            EXPECT_GE(waited, c.lineMs) << label;
            // A little slack for a slow line clock, and the wait's slice.
            EXPECT_LE(waited, c.lineMs + c.lineMs / 16 + 60) << label;
        }
        const std::uint64_t beforeClose = clock.nowMs();
        port.closePort();
        ASSERT_NE(seen.closedAtMs, 0u) << label;
        EXPECT_GE(seen.closedAtMs - start, c.lineMs) << label << ": the connection outlives the line's work";
        if (c.waitFirst) {
            EXPECT_LE(seen.closedAtMs - beforeClose, 1u) << label << ": nothing left to wait for at the close";
        }
        EXPECT_TRUE(seen.data == data) << label;
    }
}

TEST(NetworkPortLine, AWrongRateDoesNotHoldTheCloseForMinutes)
{
    FakeClock clock;
    InstantServer::Seen seen;
    merovan::SerialPort port(clock,
                             merovan::makeNetworkBackend(clock, std::make_unique<InstantServer>(clock, seen, false, 0)));
    // Raw TCP configured for 300 baud while the server's line runs faster:
    // what is written is paced to 300 baud, and the close would wait for
    // a 300-baud line's slack (a thirty-second of 11 minutes).
    ASSERT_EQ(port.openPort("tcp://lab:4001", "300,8,N,1"), 0);
    ASSERT_EQ(port.writeBlock(someBytes(20000)), 0);
    const std::uint64_t start = clock.nowMs();
    port.closePort();
    EXPECT_GE(seen.closedAtMs - start, 10000u);
    EXPECT_LE(seen.closedAtMs - start, 10100u);
    EXPECT_EQ(seen.data.size(), 20000u);
}

// Like a UART's driver with its small queue, the port hands the server no
// more than the line can carry soon: what a server cannot pass on piles up
// out of sight in its socket's buffer (a megabyte fits on loopback) and is
// lost when the connection ends. A bounded write gives up at its time.
TEST(NetworkPortLine, WritesGoNoFasterThanTheLine)
{
    FakeClock clock;
    InstantServer::Seen seen;
    auto backend = merovan::makeNetworkBackend(clock, std::make_unique<InstantServer>(clock, seen, true, 0));
    const merovan::SerialBackend* line = backend.get();
    merovan::SerialPort port(clock, std::move(backend));
    ASSERT_EQ(port.openPort("rfc2217://lab:7001", "115200,8,N,1"), 0);
    seen.data.clear();
    const std::vector<std::uint8_t> data = someBytes(256 * 1024);
    const std::uint64_t lineMs = data.size() * 10 * 1000 / 115200;
    std::uint64_t start = clock.nowMs();
    ASSERT_EQ(port.writeBlock(data), 0);
    // It returns when what is left is the line's work for a moment.
    EXPECT_GE(clock.nowMs() - start + 200 + 2304 * 10 * 1000 / 115200, lineMs);
    EXPECT_LE(clock.nowMs() - start, lineMs);
    // Two pieces of 200 ms at most, and the slack for a slow line clock.
    EXPECT_LE(line->outputQueued(), 2 * 2304 + data.size() / 32 + 64);

    // Given 1 s, a bounded write takes about a second's worth.
    std::size_t taken = 0;
    start = clock.nowMs();
    EXPECT_EQ(port.writeWithin(data, 1000, taken), ETIMEDOUT);
    EXPECT_EQ(clock.nowMs() - start, 1000u);
    EXPECT_GE(taken, 11520u - 2304u);
    EXPECT_LE(taken, 11520u + 2 * 2304u + 2304u / 4);
    EXPECT_TRUE(port.isOpen());
    port.closePort();
    const std::vector<std::uint8_t> want = [&] {
        std::vector<std::uint8_t> w = data;
        w.insert(w.end(), data.begin(), data.begin() + static_cast<std::ptrdiff_t>(taken));
        return w;
    }();
    EXPECT_TRUE(seen.data == want);
}

// FLOWCONTROL-SUSPEND from the server holds writes back until its RESUME,
// and at most 30 s, after which sending goes on with a note.
TEST(NetworkPortLine, TheServersSuspendHoldsWritesBack)
{
    using namespace telnet;
    const std::vector<std::uint8_t> suspend = { kIac, kSb, kOptComPort, 108, kIac, kSe };
    const std::vector<std::uint8_t> resume = { kIac, kSb, kOptComPort, 109, kIac, kSe };
    for (const bool resumes : { true, false }) {
        FakeClock clock;
        InstantServer::Seen seen;
        auto server = std::make_unique<InstantServer>(clock, seen, true, 0);
        InstantServer* s = server.get();
        merovan::SerialPort port(clock, merovan::makeNetworkBackend(clock, std::move(server)));
        ASSERT_EQ(port.openPort("rfc2217://lab:7001", "115200,8,N,1"), 0);
        seen.data.clear();
        const std::uint64_t t = clock.nowMs();
        s->timed.push_back({ t + 100, suspend });
        if (resumes)
            s->timed.push_back({ t + 3000, resume });
        clock.advance(150);
        std::vector<std::uint8_t> buffer(16);
        port.readBlock(buffer); // takes the suspend in
        ASSERT_EQ(port.writeBlock(someBytes(10)), 0);
        EXPECT_EQ(clock.nowMs() - t, resumes ? 3000u : 30150u) << resumes;
        EXPECT_EQ(seen.data, someBytes(10)) << resumes;
        const std::string notice = port.takeNotice();
        EXPECT_EQ(notice.empty(), resumes) << notice;
        if (!resumes) {
            EXPECT_EQ(notice, "rfc2217://lab:7001: the server asked to suspend sending for more than 30 s; sending on");
        }
    }
}

// A device that goes away while the port waits for the line: before the
// line's nominal time for what was written is up, the bytes may not all
// have gone, and the wait says the device went away; after it (while the
// slack for a slow line clock runs), they have gone as far as can be told:
// a far end that ends as the last bytes reach it is no failure.
TEST(NetworkPortLine, ADeviceGoneAfterTheLinesTimeIsNoFailure)
{
    for (const bool early : { true, false }) {
        FakeClock clock;
        InstantServer::Seen seen;
        auto server = std::make_unique<InstantServer>(clock, seen, false, 0);
        InstantServer* s = server.get();
        merovan::SerialPort port(clock, merovan::makeNetworkBackend(clock, std::move(server)));
        ASSERT_EQ(port.openPort("tcp://lab:4001", "115200,8,N,1"), 0);
        const std::uint64_t start = clock.nowMs();
        const std::uint64_t lineMs = 65536ull * 10 * 1000 / 115200;
        // Writes end 200 to 400 ms before the line does (see above).
        s->endsAtMs = start + lineMs + (early ? -100 : 50);
        ASSERT_EQ(port.writeBlock(someBytes(65536)), 0) << early;
        EXPECT_EQ(port.waitUntilSent(), !early) << early;
        EXPECT_FALSE(port.isOpen() && early) << early;
    }
}
