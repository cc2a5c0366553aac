// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "transfer/file_transfer.h"
#include "transfer/zmodem_frame.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>
#include <string_view>

using namespace merovan;
using namespace merovan::zmodem;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes pattern(std::size_t n, unsigned seed = 1)
{
    std::mt19937 rng(seed);
    Bytes b(n);
    for (auto& c : b)
        c = static_cast<std::uint8_t>(rng());
    return b;
}

Bytes bytesOf(std::string_view s)
{
    return Bytes(s.begin(), s.end());
}

// ------------------------------------------------------------ frames

TEST(ZmodemFrames, Crc32HasThePublishedCheckValue)
{
    EXPECT_EQ(crc32(bytesOf("123456789")), 0xCBF43926u);
    EXPECT_EQ(crc16Update(0, bytesOf("123456789")), 0x31C3);
}

TEST(ZmodemFrames, HeadersRoundTripInEachFormat)
{
    Encoder enc;
    const Header sent = positionHeader(ZRPOS, 0x12345678);
    for (const int format : { 0, 1, 2 }) {
        Bytes wire;
        if (format == 0)
            enc.hexHeader(wire, sent);
        else
            enc.binaryHeader(wire, sent, format == 2);
        BufferSource in(wire);
        Header got;
        ASSERT_EQ(readHeader(in, 10, got), ReadStatus::Ok) << format;
        EXPECT_EQ(got.type, ZRPOS);
        EXPECT_EQ(got.position(), 0x12345678u);
        EXPECT_EQ(got.format, format == 0 ? kZhex : format == 1 ? kZbin : kZbin32);
    }
    // The published ZRQINIT, upper-case hex too, after some noise.
    const Bytes zrqinit = bytesOf("rz\r**\x18" "B00000000000000\r\x8a\x11");
    BufferSource in(zrqinit);
    Header h;
    ASSERT_EQ(readHeader(in, 10, h), ReadStatus::Ok);
    EXPECT_EQ(h.type, ZRQINIT);
    Bytes mine;
    enc.hexHeader(mine, positionHeader(ZRQINIT, 0));
    EXPECT_EQ(Bytes(zrqinit.begin() + 3, zrqinit.end()), mine);
    const Bytes upper = bytesOf("**\x18" "B0100000023BE50\r\n");
    BufferSource up(upper);
    ASSERT_EQ(readHeader(up, 10, h), ReadStatus::Ok);
    EXPECT_EQ(h.type, ZRINIT);
    EXPECT_EQ(h.zf0(), 0x23);
}

TEST(ZmodemFrames, SubpacketsCarryEveryByteValueAndEscapeWhatTheLineEats)
{
    Bytes all(256);
    for (int i = 0; i < 256; ++i)
        all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    all.push_back('@');
    all.push_back('\r');
    for (const bool ctl : { false, true }) {
        for (const bool c32 : { false, true }) {
            Encoder enc;
            enc.escapeControl = ctl;
            Bytes wire;
            enc.subpacket(wire, all, ZCRCW, c32);
            // Nothing the line could eat goes raw (the trailing XON after ZCRCW
            // is flow control on purpose).
            for (std::size_t i = 0; i + 1 < wire.size(); ++i) {
                const std::uint8_t b = wire[i];
                EXPECT_NE(b & 0x7F, kXon) << i;
                EXPECT_NE(b & 0x7F, kXoff) << i;
                if (ctl && b != kZdle) {
                    EXPECT_NE(b & 0x60, 0) << i;
                }
            }
            EXPECT_EQ(std::search(wire.begin(), wire.end(), all.end() - 2, all.end()), wire.end()) << "@ CR escaped";
            BufferSource in(wire);
            Bytes data;
            std::uint8_t end = 0;
            ASSERT_EQ(readSubpacket(in, 10, c32, data, end), ReadStatus::Ok);
            EXPECT_EQ(data, all);
            EXPECT_EQ(end, ZCRCW);
        }
    }
}

TEST(ZmodemFrames, BadInputIsReportedNotTrusted)
{
    Encoder enc;
    // A flipped bit in a subpacket or a header.
    Bytes wire;
    enc.subpacket(wire, pattern(100), ZCRCG, true);
    wire[50] ^= 0x01;
    {
        BufferSource in(wire);
        Bytes data;
        std::uint8_t end = 0;
        EXPECT_EQ(readSubpacket(in, 10, true, data, end), ReadStatus::BadCrc);
    }
    Bytes hdr;
    enc.hexHeader(hdr, positionHeader(ZDATA, 7));
    hdr[6] = hdr[6] == '0' ? '1' : '0';
    {
        BufferSource in(hdr);
        Header h;
        EXPECT_EQ(readHeader(in, 10, h), ReadStatus::BadCrc);
    }
    // CAN CAN, alone or inside a subpacket.
    {
        const Bytes cans(5, kZdle);
        BufferSource in(cans);
        Header h;
        EXPECT_EQ(readHeader(in, 10, h), ReadStatus::Canceled);
        Bytes data = { 'a', 'b', kZdle, kZdle };
        BufferSource in2(data);
        std::uint8_t end = 0;
        Bytes out;
        EXPECT_EQ(readSubpacket(in2, 10, true, out, end), ReadStatus::Canceled);
    }
    // A bad escape, noise beyond the limit, a subpacket too long, a cut-off.
    {
        const Bytes bad = { 'a', kZdle, 0x05 };
        BufferSource in(bad);
        Bytes out;
        std::uint8_t end = 0;
        EXPECT_EQ(readSubpacket(in, 10, true, out, end), ReadStatus::Garbage);
        const Bytes noise(5000, 'x');
        BufferSource n(noise);
        Header h;
        EXPECT_EQ(readHeader(n, 10, h, 1000), ReadStatus::Garbage);
        Bytes longOne;
        enc.subpacket(longOne, pattern(3000), ZCRCG, true);
        BufferSource l(longOne);
        EXPECT_EQ(readSubpacket(l, 10, true, out, end, 2048), ReadStatus::TooLong);
        BufferSource cut(std::span<const std::uint8_t>(longOne.data(), 100));
        EXPECT_EQ(readSubpacket(cut, 10, true, out, end), ReadStatus::Timeout);
    }
}

// ------------------------------------------------------------ sessions

// A ZMODEM peer behind the fake port. It parses what the host sends with the
// frame reader and answers through a script.
class Peer : public devsim::DeviceModel
{
public:
    struct Event
    {
        Header header;
        bool subpacket = false; // false: a header; true: a subpacket of the last header
        Bytes data;
        std::uint8_t end = 0;
    };
    // Called for each header and subpacket from the host; appends the answer.
    std::function<void(const Event&, Bytes& out)> onEvent;
    // Sent once, at the first tick (a sender starting, for instance).
    Bytes opening;
    Encoder enc;
    std::vector<Event> events;
    Bytes received;
    bool vanishNow = false;

    void receive(std::uint8_t byte, std::uint64_t, devsim::DeviceOutput& out) override
    {
        received.push_back(byte);
        m_in.push_back(byte);
        parse(out.bytes);
        if (vanishNow)
            out.dropLine = true;
    }
    void tick(std::uint64_t, devsim::DeviceOutput& out) override
    {
        m_opened = true;
        out.bytes = opening;
    }
    std::uint64_t nextDeadline() const override { return m_opened ? devsim::kNoDeadline : 0; }

    // After asking for another position: what follows is junk until a header.
    void huntHeader() { m_inData = false; }

    // Forgets the last session (the host starts a new one).
    void reset()
    {
        m_in.clear();
        m_at = 0;
        m_inData = false;
        m_opened = false;
        events.clear();
        received.clear();
    }

    // Headers of one type seen from the host.
    std::vector<Header> headers(std::uint8_t type) const
    {
        std::vector<Header> r;
        for (const auto& e : events)
            if (!e.subpacket && e.header.type == type)
                r.push_back(e.header);
        return r;
    }

private:
    void parse(Bytes& out)
    {
        for (;;) {
            BufferSource src(std::span<const std::uint8_t>(m_in.data() + m_at, m_in.size() - m_at));
            Event e;
            ReadStatus st;
            if (m_inData) {
                e.subpacket = true;
                e.header = m_last;
                st = readSubpacket(src, 0, m_last.crc32(), e.data, e.end, 1 << 16);
            } else {
                st = readHeader(src, 0, e.header, 1 << 20);
            }
            if (st == ReadStatus::Timeout)
                return; // wait for more
            m_at += src.consumed();
            if (st != ReadStatus::Ok) {
                m_inData = false;
                continue;
            }
            if (!e.subpacket) {
                m_last = e.header;
                const std::uint8_t t = e.header.type;
                m_inData = t == ZFILE || t == ZDATA || t == ZSINIT || t == ZCOMMAND;
            } else if (e.end == ZCRCE || e.end == ZCRCW) {
                m_inData = false;
            }
            events.push_back(e);
            if (onEvent)
                onEvent(e, out);
        }
    }

    Bytes m_in;
    std::size_t m_at = 0;
    bool m_inData = false;
    bool m_opened = false;
    Header m_last;
};

class Zmodem : public ::testing::Test
{
protected:
    void SetUp() override
    {
        auto backend = std::make_unique<FakeBackend>(clock, log, &peer);
        fake = backend.get();
        port = std::make_unique<SerialPort>(clock, std::move(backend));
        ASSERT_EQ(port->openPort("/dev/fake", "115200,8,N,1"), 0);
        dir = fs::temp_directory_path() / ("merovan-zmodem-unit-" + std::to_string(::getpid()) + "-"
                                           + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "in");
        options.receiveDir = (dir / "in").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    std::string makeFile(const std::string& name, const Bytes& content)
    {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(content.data()),
                                                  static_cast<std::streamsize>(content.size()));
        return p.string();
    }
    static Bytes readBack(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

    // The peer as a plain receiver: ZRINIT with flags, ZRPOS at resumeAt, the
    // data kept, ZRINIT after each ZEOF and ZFIN at the end.
    void newSession()
    {
        peer.reset();
        fake->incoming.clear();
        sentFile = false;
        rposSeen.clear();
    }
    void actAsReceiver(std::uint8_t flags = CANFDX | CANOVIO | CANFC32, std::uint32_t resumeAt = 0)
    {
        newSession();
        peer.onEvent = [this, flags, resumeAt](const Peer::Event& e, Bytes& out) {
            if (!e.subpacket && e.header.type == ZDATA)
                dataOk = e.header.position() == files.back().size() + resumeAt;
            if (e.subpacket) {
                if (e.header.type == ZFILE) {
                    fileInfo.push_back(e.data);
                    files.emplace_back();
                    peer.enc.hexHeader(out, positionHeader(ZRPOS, resumeAt));
                } else if (e.header.type == ZDATA && dataOk) {
                    files.back().insert(files.back().end(), e.data.begin(), e.data.end());
                    if (e.end == ZCRCW || e.end == ZCRCQ)
                        peer.enc.hexHeader(out, positionHeader(ZACK, static_cast<std::uint32_t>(files.back().size() + resumeAt)));
                    if (afterData)
                        afterData(out);
                }
                return;
            }
            switch (e.header.type) {
            case ZRQINIT:
                peer.enc.hexHeader(out, flagsHeader(ZRINIT, flags));
                break;
            case ZEOF: // one at another position raced our ZRPOS
                if (!files.empty() && e.header.position() == files.back().size() + resumeAt)
                    peer.enc.hexHeader(out, flagsHeader(ZRINIT, flags));
                break;
            case ZFIN:
                peer.enc.hexHeader(out, positionHeader(ZFIN, 0));
                break;
            default:
                break;
            }
        };
    }

    // The peer as a sender of content under name, subpackets of block bytes.
    struct SendScript
    {
        std::string name = "data.bin";
        Bytes content;
        std::size_t block = 1024;
        int corruptSubpacket = -1;   // flip a bit in this one (0-based), once
        std::uint32_t forcePosition = 0xFFFFFFFF; // always send data from here
        bool cancelMidway = false;   // CAN CAN after the first subpacket
        bool silentAfterFile = false;
        std::string info;            // after the name; default "size"
        bool crc32 = true;
    };
    void actAsSender(SendScript script)
    {
        newSession();
        sendScript = std::move(script);
        peer.opening = bytesOf("rz\r");
        peer.enc.hexHeader(peer.opening, positionHeader(ZRQINIT, 0));
        peer.onEvent = [this](const Peer::Event& e, Bytes& out) {
            SendScript& s = sendScript;
            if (e.subpacket)
                return;
            switch (e.header.type) {
            case ZRINIT:
                if (!sentFile) {
                    sentFile = true;
                    peer.enc.binaryHeader(out, flagsHeader(ZFILE, ZCBIN), s.crc32);
                    Bytes info = bytesOf(s.name);
                    info.push_back(0);
                    const std::string rest = s.info.empty() ? std::to_string(s.content.size()) + " 14000000000 100644" : s.info;
                    info.insert(info.end(), rest.begin(), rest.end());
                    info.push_back(0);
                    peer.enc.subpacket(out, info, ZCRCW, s.crc32);
                } else {
                    peer.enc.hexHeader(out, positionHeader(ZFIN, 0));
                }
                break;
            case ZRPOS: {
                rposSeen.push_back(e.header.position());
                if (s.silentAfterFile)
                    return;
                std::size_t pos = s.forcePosition != 0xFFFFFFFF ? s.forcePosition : e.header.position();
                peer.enc.binaryHeader(out, positionHeader(ZDATA, static_cast<std::uint32_t>(pos)), s.crc32);
                int index = 0;
                while (pos < s.content.size()) {
                    const std::size_t n = std::min(s.block, s.content.size() - pos);
                    Bytes sub;
                    const bool last = pos + n >= s.content.size();
                    peer.enc.subpacket(sub, std::span<const std::uint8_t>(s.content.data() + pos, n), last ? ZCRCE : ZCRCG, s.crc32);
                    if (index == s.corruptSubpacket) {
                        sub[sub.size() / 2] ^= 0x01;
                        s.corruptSubpacket = -1;
                    }
                    out.insert(out.end(), sub.begin(), sub.end());
                    if (s.cancelMidway) {
                        out.insert(out.end(), 8, kZdle);
                        return;
                    }
                    pos += n;
                    ++index;
                }
                if (s.content.empty())
                    peer.enc.subpacket(out, {}, ZCRCE, s.crc32);
                peer.enc.binaryHeader(out, positionHeader(ZEOF, static_cast<std::uint32_t>(s.content.size())), s.crc32);
                break;
            }
            case ZFIN:
                out.push_back('O');
                out.push_back('O');
                break;
            default:
                break;
            }
        };
    }

    FakeClock clock;
    FakeLineLog log;
    Peer peer;
    FakeBackend* fake = nullptr;
    std::unique_ptr<SerialPort> port;
    fs::path dir;
    FileTransferOptions options;
    // What the receiving peer got.
    std::vector<Bytes> fileInfo, files;
    std::function<void(Bytes&)> afterData;
    SendScript sendScript;
    bool sentFile = false;
    bool dataOk = true;
    std::vector<std::uint32_t> rposSeen;
};

} // namespace

TEST_F(Zmodem, SendsABatchWithNamesSizesAndTimes)
{
    actAsReceiver();
    const Bytes a = pattern(3000, 1), b = pattern(0, 2), c = pattern(1024, 3);
    const auto o = zmodemSend(*port, { makeFile("a.bin", a), makeFile("b.bin", b), makeFile("c.bin", c) }, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail;
    EXPECT_EQ(o.files.size(), 3u);
    EXPECT_EQ(o.bytes, 4024);
    ASSERT_EQ(files.size(), 3u);
    EXPECT_EQ(files[0], a);
    EXPECT_EQ(files[1], b);
    EXPECT_EQ(files[2], c);
    // name NUL size mtime(octal) mode(octal) serial files-left bytes-left
    const std::string info0(fileInfo[0].begin(), fileInfo[0].end());
    EXPECT_EQ(info0.substr(0, 6), std::string("a.bin\0", 6));
    EXPECT_EQ(info0.find(" 3 4024"), info0.size() - 8) << info0;
    EXPECT_EQ(info0.substr(6, 5), "3000 ");
    EXPECT_EQ(peer.headers(ZFIN).size(), 1u);
    EXPECT_EQ(std::string(peer.received.end() - 2, peer.received.end()), "OO");
    // CRC-32 binary headers, since the receiver can.
    for (const auto& h : peer.headers(ZDATA))
        EXPECT_EQ(h.format, kZbin32);
}

TEST_F(Zmodem, SenderFollowsWhatTheReceiverAsksFor)
{
    // No CRC-32, every control character escaped, a 2048-byte buffer (so a
    // ZCRCW every window and a wait for its ZACK).
    actAsReceiver(CANFDX | CANOVIO | ESCCTL);
    peer.opening.clear();
    const std::size_t window = 2048;
    auto onEvent = peer.onEvent;
    peer.onEvent = [&, onEvent](const Peer::Event& e, Bytes& out) {
        if (!e.subpacket && e.header.type == ZRQINIT) {
            Header h = flagsHeader(ZRINIT, CANFDX | CANOVIO | ESCCTL);
            h.p[0] = window & 0xFF;
            h.p[1] = window >> 8;
            peer.enc.hexHeader(out, h);
            return;
        }
        onEvent(e, out);
    };
    const Bytes a = pattern(10000, 4);
    const auto o = zmodemSend(*port, { makeFile("a.bin", a) }, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail;
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], a);
    for (const auto& h : peer.headers(ZDATA))
        EXPECT_EQ(h.format, kZbin);
    int waits = 0;
    for (const auto& e : peer.events)
        waits += e.subpacket && e.end == ZCRCW && e.header.type == ZDATA;
    EXPECT_GE(waits, 4);
    // No raw control character but ZDLE, and the CR, LF and XON that end
    // hex headers and ZCRCW.
    int raw = 0;
    for (const std::uint8_t b : log.written)
        raw += (b & 0x60) == 0 && b != kZdle && b != kXon && b != '\r' && b != 0x8A;
    EXPECT_EQ(raw, 0);
}

TEST_F(Zmodem, SenderRecoversFromZrposAndRejectsAnImpossiblePosition)
{
    actAsReceiver();
    const Bytes a = pattern(8000, 5);
    // After the third subpacket the receiver "saw an error" and asks for 1024.
    int seen = 0;
    bool asked = false;
    afterData = [&](Bytes& out) {
        if (++seen == 3 && !asked) {
            asked = true;
            dataOk = false; // until the data from 1024
            peer.huntHeader();
            files.back().resize(1024);
            peer.enc.hexHeader(out, positionHeader(ZRPOS, 1024));
        }
    };
    auto o = zmodemSend(*port, { makeFile("a.bin", a) }, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail;
    EXPECT_GE(o.retries, 1);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0], a);

    // A position beyond the end of the file.
    afterData = nullptr;
    files.clear();
    actAsReceiver(CANFDX | CANOVIO | CANFC32, 9000);
    o = zmodemSend(*port, { makeFile("a.bin", a) }, options, nullptr);
    EXPECT_EQ(o.result, kFileProtocolError);
    EXPECT_NE(o.detail.find("9000"), std::string::npos) << o.detail;
}

TEST_F(Zmodem, SenderResumesWhereTheReceiverAlreadyIs)
{
    actAsReceiver(CANFDX | CANOVIO | CANFC32, 5000);
    options.resume = true;
    const Bytes a = pattern(8000, 6);
    const auto o = zmodemSend(*port, { makeFile("a.bin", a) }, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail;
    EXPECT_EQ(o.bytes, 3000);
    ASSERT_EQ(peer.headers(ZFILE).size(), 1u);
    EXPECT_EQ(peer.headers(ZFILE)[0].zf0(), ZCRESUM);
    EXPECT_EQ(files[0], Bytes(a.begin() + 5000, a.end()));
}

TEST_F(Zmodem, SenderEndsOnCancelsAndSkips)
{
    const Bytes a = pattern(20000, 7);
    const std::string path = makeFile("a.bin", a);
    // CAN CAN from the receiver mid-way.
    actAsReceiver();
    afterData = [&](Bytes& out) { out.insert(out.end(), 8, kZdle); };
    auto o = zmodemSend(*port, { path }, options, nullptr);
    EXPECT_EQ(o.result, kFileCanceledByPeer);

    // The user cancels: CAN x 8 then backspace x 8.
    afterData = nullptr;
    actAsReceiver();
    log.written.clear();
    o = zmodemSend(*port, { path }, options, [](const FileTransferProgress& p) { return p.bytes >= 4096; });
    EXPECT_EQ(o.result, toInt(TransferResult::Canceled));
    Bytes tail(8, kZdle);
    tail.insert(tail.end(), 8, 0x08);
    ASSERT_GE(log.written.size(), 16u);
    EXPECT_EQ(Bytes(log.written.end() - 16, log.written.end()), tail);

    // The receiver skips the file: the session goes on, the result says so.
    newSession();
    peer.onEvent = [&](const Peer::Event& e, Bytes& out) {
        if (e.subpacket && e.header.type == ZFILE)
            peer.enc.hexHeader(out, positionHeader(ZSKIP, 0));
        else if (!e.subpacket && e.header.type == ZRQINIT)
            peer.enc.hexHeader(out, flagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32));
        else if (!e.subpacket && e.header.type == ZFIN)
            peer.enc.hexHeader(out, positionHeader(ZFIN, 0));
    };
    o = zmodemSend(*port, { path }, options, nullptr);
    EXPECT_EQ(o.result, kFileCanceledByPeer);
    EXPECT_NE(o.detail.find("skipped"), std::string::npos);
    EXPECT_TRUE(o.files.empty());
}

TEST_F(Zmodem, SenderTimesOutWithinItsBounds)
{
    // Nobody answers: ZRQINIT every 3 s, then no start after 60 s.
    const std::uint64_t start = clock.nowMs();
    auto o = zmodemSend(*port, { makeFile("a.bin", pattern(10)) }, options, nullptr);
    EXPECT_EQ(o.result, kFileNoStart);
    EXPECT_GE(clock.nowMs() - start, 60000u);
    EXPECT_LE(clock.nowMs() - start, 61000u);
    EXPECT_GE(peer.headers(ZRQINIT).size(), 20u);

    // A receiver that falls silent after the file header.
    newSession();
    peer.onEvent = [&](const Peer::Event& e, Bytes& out) {
        if (!e.subpacket && e.header.type == ZRQINIT)
            peer.enc.hexHeader(out, flagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32));
    };
    options.blockTimeoutMs = 1000;
    options.retries = 3;
    const std::uint64_t t = clock.nowMs();
    o = zmodemSend(*port, { makeFile("a.bin", pattern(10)) }, options, nullptr);
    EXPECT_EQ(o.result, kFileTimeout);
    EXPECT_LE(clock.nowMs() - t, 5000u);
    EXPECT_EQ(peer.headers(ZFILE).size(), 4u);

    // The port goes away.
    newSession();
    peer.onEvent = [&](const Peer::Event& e, Bytes& out) {
        if (!e.subpacket && e.header.type == ZRQINIT)
            peer.enc.hexHeader(out, flagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32));
        if (!e.subpacket && e.header.type == ZFILE)
            peer.vanishNow = true;
    };
    o = zmodemSend(*port, { makeFile("a.bin", pattern(10)) }, options, nullptr);
    EXPECT_EQ(o.result, toInt(TransferResult::PortNotOpen));
}

TEST_F(Zmodem, SenderNeedsItsFiles)
{
    const auto o = zmodemSend(*port, { (dir / "missing.bin").string() }, options, nullptr);
    EXPECT_EQ(o.result, toInt(TransferResult::CantOpenFile));
    EXPECT_NE(o.detail.find("missing.bin"), std::string::npos);
    EXPECT_TRUE(log.written.empty());
}

TEST_F(Zmodem, ReceivesIntoThePartFileAndRenamesIt)
{
    SendScript s;
    s.content = pattern(5000, 8);
    actAsSender(s);
    std::vector<std::int64_t> progress;
    const auto o = zmodemReceive(*port, options, [&](const FileTransferProgress& p) {
        // Reports before the file's header keep the caller served.
        if (p.fileName.empty())
            return false;
        progress.push_back(p.bytes);
        EXPECT_EQ(p.fileName, "data.bin");
        EXPECT_EQ(p.total, 5000);
        return false;
    });
    EXPECT_EQ(o.result, 0) << o.detail;
    ASSERT_EQ(o.files.size(), 1u);
    EXPECT_EQ(readBack(dir / "in" / "data.bin"), s.content);
    EXPECT_FALSE(fs::exists(dir / "in" / "data.bin.part"));
    EXPECT_EQ(progress.back(), 5000);
    // The time from the header (octal 14000000000 s).
    const auto t = fs::last_write_time(dir / "in" / "data.bin");
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(t).time_since_epoch()).count(),
              014000000000);
    // The first answer is a hex ZRINIT with CRC-32 and full duplex.
    const auto zrinit = peer.headers(ZRINIT);
    ASSERT_FALSE(zrinit.empty());
    EXPECT_EQ(zrinit[0].format, kZhex);
    EXPECT_EQ(zrinit[0].zf0() & (CANFC32 | CANFDX | CANOVIO), CANFC32 | CANFDX | CANOVIO);
    EXPECT_EQ(peer.headers(ZFIN).size(), 1u);
}

TEST_F(Zmodem, ReceiverAsksAgainAfterABadSubpacketWithCrc16Too)
{
    for (const bool c32 : { true, false }) {
        SendScript s;
        s.content = pattern(6000, 9);
        s.corruptSubpacket = 2;
        s.crc32 = c32;
        s.name = c32 ? "c32.bin" : "c16.bin";
        sentFile = false;
        rposSeen.clear();
        actAsSender(s);
        const auto o = zmodemReceive(*port, options, nullptr);
        EXPECT_EQ(o.result, 0) << o.detail;
        EXPECT_EQ(o.retries, 1);
        ASSERT_EQ(rposSeen.size(), 2u);
        EXPECT_EQ(rposSeen[1], 2048u); // the two good subpackets kept
        EXPECT_EQ(readBack(dir / "in" / s.name), s.content);
    }
}

TEST_F(Zmodem, ReceiverResumesAPartialFile)
{
    const Bytes content = pattern(9000, 10);
    std::ofstream(dir / "in" / "data.bin.part", std::ios::binary).write(reinterpret_cast<const char*>(content.data()), 4000);
    SendScript s;
    s.content = content;
    actAsSender(s);
    options.resume = true;
    const auto o = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(o.result, 0) << o.detail;
    ASSERT_FALSE(rposSeen.empty());
    EXPECT_EQ(rposSeen[0], 4000u);
    EXPECT_EQ(o.bytes, 5000);
    EXPECT_EQ(readBack(dir / "in" / "data.bin"), content);

    // Without resume the partial file starts over.
    std::ofstream(dir / "in" / "data.bin.part", std::ios::binary) << "stale";
    sentFile = false;
    rposSeen.clear();
    actAsSender(s);
    options.resume = false;
    const auto again = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(again.result, 0);
    EXPECT_EQ(rposSeen[0], 0u);
    EXPECT_EQ(readBack(dir / "in" / "data.bin"), content);
}

TEST_F(Zmodem, ReceivedNamesStayInTheReceiveFolder)
{
    for (const std::string name : { "../escape.bin", "/etc/zmodem-test.bin", "..\\win.bin", "sub/dir/inner.bin" }) {
        SendScript s;
        s.name = name;
        s.content = pattern(10, 11);
        sentFile = false;
        actAsSender(s);
        const auto o = zmodemReceive(*port, options, nullptr);
        EXPECT_EQ(o.result, 0) << name << ": " << o.detail;
        ASSERT_EQ(o.files.size(), 1u);
        EXPECT_EQ(fs::path(o.files[0]).parent_path(), dir / "in") << name;
    }
    EXPECT_FALSE(fs::exists(dir / "escape.bin"));
    EXPECT_FALSE(fs::exists("/etc/zmodem-test.bin"));
    EXPECT_TRUE(fs::exists(dir / "in" / "win.bin"));
    EXPECT_TRUE(fs::exists(dir / "in" / "inner.bin"));

    // A name that is nothing but a path is skipped with a clear error.
    SendScript s;
    s.name = "../";
    s.content = pattern(10);
    sentFile = false;
    actAsSender(s);
    const auto o = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(o.result, kFileProtocolError);
    EXPECT_NE(o.detail.find("no usable name"), std::string::npos) << o.detail;
    EXPECT_EQ(peer.headers(ZSKIP).size(), 1u);
}

TEST_F(Zmodem, ReceiverRejectsImpossiblePositions)
{
    SendScript s;
    s.content = pattern(3000, 12);
    s.forcePosition = 100000; // never where the receiver is
    actAsSender(s);
    options.retries = 3;
    const auto o = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(o.result, kFileProtocolError);
    EXPECT_NE(o.detail.find("100000"), std::string::npos) << o.detail;
    EXPECT_FALSE(fs::exists(dir / "in" / "data.bin"));
}

TEST_F(Zmodem, ReceiverEndsOnCancelsSilenceAndAVanishingPort)
{
    SendScript s;
    s.content = pattern(5000, 13);
    s.cancelMidway = true;
    actAsSender(s);
    auto o = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(o.result, kFileCanceledByPeer);
    EXPECT_FALSE(fs::exists(dir / "in" / "data.bin"));
    EXPECT_TRUE(fs::exists(dir / "in" / "data.bin.part")); // kept for a resume

    // The user cancels.
    s.cancelMidway = false;
    sentFile = false;
    actAsSender(s);
    log.written.clear();
    o = zmodemReceive(*port, options, [](const FileTransferProgress& p) { return p.bytes > 0; });
    EXPECT_EQ(o.result, toInt(TransferResult::Canceled));
    Bytes tail(8, kZdle);
    tail.insert(tail.end(), 8, 0x08);
    EXPECT_EQ(Bytes(log.written.end() - 16, log.written.end()), tail);

    // Silence after the file header: ZRPOS again each block time-out.
    s.silentAfterFile = true;
    sentFile = false;
    rposSeen.clear();
    actAsSender(s);
    options.blockTimeoutMs = 2000;
    options.retries = 4;
    std::uint64_t t = clock.nowMs();
    o = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(o.result, kFileTimeout);
    EXPECT_LE(clock.nowMs() - t, 11000u);
    EXPECT_EQ(rposSeen.size(), 5u);

    // Nobody starts: ZRINIT every 3 s, then no start after 60 s.
    newSession();
    peer.opening.clear();
    peer.onEvent = nullptr;
    t = clock.nowMs();
    FileTransferOptions defaults;
    defaults.receiveDir = options.receiveDir;
    o = zmodemReceive(*port, defaults, nullptr);
    EXPECT_EQ(o.result, kFileNoStart);
    EXPECT_GE(clock.nowMs() - t, 60000u);
    EXPECT_LE(clock.nowMs() - t, 61000u);
    EXPECT_EQ(peer.headers(ZRINIT).size(), 20u);

    // The port goes away.
    newSession();
    peer.onEvent = [&](const Peer::Event& e, Bytes&) {
        if (!e.subpacket && e.header.type == ZRINIT)
            peer.vanishNow = true;
    };
    o = zmodemReceive(*port, options, nullptr);
    EXPECT_EQ(o.result, toInt(TransferResult::PortNotOpen));
}

TEST(ZmodemStartDetector, FindsTheStartInAnyStreamSplitAnywhere)
{
    const struct
    {
        const char* stream;
        bool starts;
    } cases[] = {
        { "**\x18" "B00", true },
        { "boot log\r\n**\x18" "B0000000000000\r", true },
        { "***\x18" "B00", true },        // a third star still leaves two matched
        { "*x**\x18" "B00", true },
        { "**\x18" "B0*\x18" "B00", false }, // broken off, and one star is not two
        { "**\x18" "A00", false },
        { "plain text without a star", false },
        { "* * \x18" "B00", false },
    };
    for (const auto& c : cases) {
        const std::string s = c.stream;
        const std::vector<std::uint8_t> bytes(s.begin(), s.end());
        for (std::size_t cut = 0; cut <= bytes.size(); ++cut) {
            merovan::ZmodemStartDetector d;
            const bool first = d.feed(std::span(bytes).first(cut));
            const bool second = d.feed(std::span(bytes).subspan(cut));
            EXPECT_EQ(first || second, c.starts) << "stream " << testing::PrintToString(s) << " cut at " << cut;
        }
    }
}

// A receiver that stops reading mid-way while its end of the line stays
// open: the line takes nothing more. Its CANs, arriving while we wait for
// room, end the send as canceled by the other side; without them, the send
// ends as "fell silent" once the line has taken nothing for the block
// time-out; the user's cancel is heard meanwhile. It never hangs.
TEST_F(Zmodem, SenderEndsWhenTheLineTakesNothingMore)
{
    const std::string path = makeFile("a.bin", pattern(200000, 3));
    const struct {
        const char* what;
        bool cans;
        bool userStops;
        int result;
    } cases[] = {
        { "CAN CAN", true, false, kFileCanceledByPeer },
        { "silence", false, false, kFileTimeout },
        { "the user", false, true, toInt(TransferResult::Canceled) },
    };
    for (const auto& c : cases) {
        actAsReceiver();
        std::uint64_t stalledAt = 0;
        afterData = [&](Bytes&) {
            if (files.back().size() >= 20000 && stalledAt == 0) {
                stalledAt = clock.nowMs();
                fake->writeRoom = 300;
                if (c.cans)
                    fake->onStall = Bytes(8, kZdle);
            }
        };
        FileProgressCallback progress;
        if (c.userStops)
            progress = [&](const FileTransferProgress&) { return stalledAt != 0 && clock.nowMs() >= stalledAt + 2000; };
        options.blockTimeoutMs = 10000;
        const auto o = zmodemSend(*port, { path }, options, progress);
        EXPECT_EQ(o.result, c.result) << c.what << ": " << o.detail;
        ASSERT_NE(stalledAt, 0u) << c.what;
        const std::uint64_t after = clock.nowMs() - stalledAt;
        if (c.result == kFileTimeout) {
            EXPECT_GE(after, options.blockTimeoutMs) << c.what;
            EXPECT_NE(o.detail.find("the other side stopped reading"), std::string::npos) << o.detail;
        }
        EXPECT_LE(after, options.blockTimeoutMs + 500) << c.what;
        EXPECT_TRUE(files.back().size() < 200000u) << c.what;
        fake->writeRoom = SIZE_MAX;
        fake->onStall.clear();
        afterData = nullptr;
    }
}
