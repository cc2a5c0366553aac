// SPDX-License-Identifier: GPL-3.0-or-later
// The telnet / RFC 2217 client codec against a scripted server, in virtual
// time: negotiation in the orders servers use, IAC doubling split across
// reads, acknowledgements that come, differ or never come, and
// notifications in the middle of data.
#include "serial/telnet_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace merovan::telnet;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes cmd(std::uint8_t verb, std::uint8_t option)
{
    return { kIac, verb, option };
}

Bytes sb(std::uint8_t code, Bytes value)
{
    Bytes b { kIac, kSb, kOptComPort, code };
    for (const std::uint8_t v : value) {
        b.push_back(v);
        if (v == kIac)
            b.push_back(kIac);
    }
    b.push_back(kIac);
    b.push_back(kSe);
    return b;
}

Bytes cat(std::initializer_list<Bytes> parts)
{
    Bytes all;
    for (const Bytes& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// A server's script: what it sends, in pieces, and the time of each.
struct Step
{
    std::uint64_t at;
    Bytes bytes;
};

struct Played
{
    Bytes data;
    Bytes sent;
    std::vector<Event> events;
};

Played play(Codec& codec, const std::vector<Step>& steps)
{
    Played run;
    for (const Step& s : steps) {
        codec.receive(s.bytes, run.data, s.at);
        for (const Event& e : codec.takeEvents())
            run.events.push_back(e);
    }
    run.sent = codec.output();
    codec.output().clear();
    return run;
}

Event ev(Event::Kind kind, Setting setting = Setting::Baud, std::uint32_t requested = 0, std::uint32_t applied = 0)
{
    Event e;
    e.kind = kind;
    e.setting = setting;
    e.requested = requested;
    e.applied = applied;
    return e;
}

} // namespace

TEST(TelnetCodec, NegotiationInTheOrdersServersUse)
{
    const Bytes offers = cat({ cmd(kWill, kOptComPort), cmd(kWill, kOptBinary), cmd(kDo, kOptBinary),
                               cmd(kWill, kOptSga), cmd(kDo, kOptSga) });
    const struct {
        const char* name;
        Bytes server;
        Bytes answers; // what the client owes after its offers
        bool comPort;
        bool binary;
    } cases[] = {
        // ser2net 4: its own offers first, ECHO among them, DO COM-PORT
        // before it has seen ours.
        { "ser2net",
          cat({ cmd(kWill, kOptSga), cmd(kDo, kOptSga), cmd(kWill, kOptEcho), cmd(kDont, kOptEcho),
                cmd(kDo, kOptBinary), cmd(kWill, kOptBinary), cmd(kDo, kOptComPort) }),
          cmd(kDont, kOptEcho), true, true },
        // A server that only answers, in the order asked.
        { "answers only",
          cat({ cmd(kDo, kOptComPort), cmd(kDo, kOptBinary), cmd(kWill, kOptBinary), cmd(kDo, kOptSga),
                cmd(kWill, kOptSga) }),
          {}, true, true },
        // Port control refused; an option we do not know asked for.
        { "no port control",
          cat({ cmd(kDont, kOptComPort), cmd(kDo, 24), cmd(kWill, 31), cmd(kWill, kOptBinary),
                cmd(kDo, kOptBinary) }),
          cat({ cmd(kWont, 24), cmd(kDont, 31) }), false, true },
        // Binary refused both ways: data then goes as NVT text.
        { "no binary",
          cat({ cmd(kDo, kOptComPort), cmd(kWont, kOptBinary), cmd(kDont, kOptBinary) }), {}, true, false },
        // The same answers twice are not answered again.
        { "repeated",
          cat({ cmd(kDo, kOptComPort), cmd(kDo, kOptComPort), cmd(kWill, kOptBinary), cmd(kWill, kOptBinary),
                cmd(kDo, kOptBinary) }),
          {}, true, true },
    };
    for (const auto& c : cases) {
        Codec codec;
        codec.start();
        EXPECT_EQ(codec.output(), offers) << c.name;
        codec.output().clear();
        // One byte at a time: commands split at every point.
        std::vector<Step> steps;
        for (const std::uint8_t b : c.server)
            steps.push_back({ 0, { b } });
        const Played run = play(codec, steps);
        EXPECT_EQ(run.sent, c.answers) << c.name;
        EXPECT_TRUE(run.data.empty()) << c.name;
        EXPECT_EQ(codec.comPortAgreed(), c.comPort) << c.name;
        EXPECT_EQ(codec.comPortRefused(), !c.comPort) << c.name;
        EXPECT_EQ(codec.remoteBinary() && codec.localBinary(), c.binary) << c.name;
        ASSERT_FALSE(run.events.empty()) << c.name;
        EXPECT_EQ(run.events.front().kind, c.comPort ? Event::Kind::ComPortAgreed : Event::Kind::ComPortRefused)
            << c.name;
    }
}

TEST(TelnetCodec, IacIsDoubledBothWaysAndMaySplitAcrossReads)
{
    Codec codec;
    codec.start();
    play(codec, { { 0, cat({ cmd(kDo, kOptComPort), cmd(kWill, kOptBinary), cmd(kDo, kOptBinary) }) } });

    Bytes every(256);
    for (int i = 0; i < 256; ++i)
        every[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
    codec.sendData(every);
    Bytes expected = every;
    expected.insert(expected.begin() + 256, kIac); // FF FF
    EXPECT_EQ(codec.output(), expected) << "binary: only IAC is doubled, CR goes alone";
    codec.output().clear();

    // The same stream back, cut at every position into two reads.
    for (std::size_t cut = 0; cut <= expected.size(); ++cut) {
        Bytes data;
        codec.receive(std::span(expected).first(cut), data, 0);
        codec.receive(std::span(expected).subspan(cut), data, 0);
        EXPECT_EQ(data, every) << "cut at " << cut;
    }
    // IAC IAC IAC IAC split 1/3 and 3/1.
    Bytes data;
    codec.receive(Bytes { kIac }, data, 0);
    codec.receive(Bytes { kIac, kIac }, data, 0);
    codec.receive(Bytes { kIac }, data, 0);
    EXPECT_EQ(data, (Bytes { kIac, kIac }));
    EXPECT_TRUE(codec.output().empty()) << "data owes no answer";
}

TEST(TelnetCodec, WithoutBinaryCarriageReturnsAreStuffed)
{
    Codec codec;
    codec.start();
    play(codec, { { 0, cat({ cmd(kDo, kOptComPort), cmd(kDont, kOptBinary), cmd(kWont, kOptBinary) }) } });
    codec.output().clear();
    codec.sendData(Bytes { 'a', kCr, 'b', kCr, '\n' });
    EXPECT_EQ(codec.output(), (Bytes { 'a', kCr, 0, 'b', kCr, 0, '\n' }));
    Bytes data;
    codec.receive(Bytes { 'x', kCr }, data, 0);
    codec.receive(Bytes { 0, 'y', kCr, '\n', 0 }, data, 0);
    EXPECT_EQ(data, (Bytes { 'x', kCr, 'y', kCr, '\n', 0 })) << "only the NUL right after CR is dropped";
}

TEST(TelnetCodec, AcknowledgementsComeDifferOrNeverCome)
{
    const struct {
        const char* name;
        std::vector<Step> server;
        std::vector<Event> events;
    } cases[] = {
        { "all acknowledged, in pieces",
          { { 10, Bytes { kIac, kSb, kOptComPort } },
            { 20, cat({ Bytes { 101, 0, 1, 0xC2, 0 }, Bytes { kIac, kSe } }) },
            { 30, cat({ sb(102, { 8 }), sb(103, { kParityNone }), sb(104, { kStopOne }), sb(105, { kFlowNone }) }) } },
          { ev(Event::Kind::Acknowledged, Setting::Baud, 115200, 115200),
            ev(Event::Kind::Acknowledged, Setting::DataSize, 8, 8),
            ev(Event::Kind::Acknowledged, Setting::Parity, kParityNone, kParityNone),
            ev(Event::Kind::Acknowledged, Setting::StopSize, kStopOne, kStopOne),
            ev(Event::Kind::Acknowledged, Setting::OutboundFlow, kFlowNone, kFlowNone) } },
        { "a refused rate is answered with the one applied",
          { { 10, cat({ sb(101, { 0, 0, 0xE1, 0 }), sb(102, { 8 }), sb(103, { kParityNone }), sb(104, { kStopOne }),
                        sb(105, { kFlowNone }) }) } },
          { ev(Event::Kind::Changed, Setting::Baud, 115200, 57600),
            ev(Event::Kind::Acknowledged, Setting::DataSize, 8, 8),
            ev(Event::Kind::Acknowledged, Setting::Parity, kParityNone, kParityNone),
            ev(Event::Kind::Acknowledged, Setting::StopSize, kStopOne, kStopOne),
            ev(Event::Kind::Acknowledged, Setting::OutboundFlow, kFlowNone, kFlowNone) } },
        { "DTR and RTS never answered (ser2net on a pty)",
          { { 10, cat({ sb(101, { 0, 1, 0xC2, 0 }), sb(102, { 8 }), sb(103, { kParityNone }), sb(104, { kStopOne }),
                        sb(105, { kFlowNone }) }) },
            { kAckTimeoutMs - 1, {} },
            { kAckTimeoutMs, {} } },
          { ev(Event::Kind::Acknowledged, Setting::Baud, 115200, 115200),
            ev(Event::Kind::Acknowledged, Setting::DataSize, 8, 8),
            ev(Event::Kind::Acknowledged, Setting::Parity, kParityNone, kParityNone),
            ev(Event::Kind::Acknowledged, Setting::StopSize, kStopOne, kStopOne),
            ev(Event::Kind::Acknowledged, Setting::OutboundFlow, kFlowNone, kFlowNone),
            ev(Event::Kind::NotAcknowledged, Setting::Dtr, kDtrOff),
            ev(Event::Kind::NotAcknowledged, Setting::Rts, kRtsOff) } },
        { "a silent server: everything times out once",
          { { kAckTimeoutMs + 10, {} }, { kAckTimeoutMs * 3, {} } },
          { ev(Event::Kind::NotAcknowledged, Setting::Baud, 115200),
            ev(Event::Kind::NotAcknowledged, Setting::DataSize, 8),
            ev(Event::Kind::NotAcknowledged, Setting::Parity, kParityNone),
            ev(Event::Kind::NotAcknowledged, Setting::StopSize, kStopOne),
            ev(Event::Kind::NotAcknowledged, Setting::OutboundFlow, kFlowNone),
            ev(Event::Kind::NotAcknowledged, Setting::Dtr, kDtrOff),
            ev(Event::Kind::NotAcknowledged, Setting::Rts, kRtsOff) } },
        { "a late answer and an unasked report change nothing",
          { { kAckTimeoutMs * 2, {} }, { kAckTimeoutMs * 2 + 1, cat({ sb(101, { 0, 1, 0xC2, 0 }), sb(105, { kDtrOn }) }) } },
          { ev(Event::Kind::NotAcknowledged, Setting::Baud, 115200),
            ev(Event::Kind::NotAcknowledged, Setting::DataSize, 8),
            ev(Event::Kind::NotAcknowledged, Setting::Parity, kParityNone),
            ev(Event::Kind::NotAcknowledged, Setting::StopSize, kStopOne),
            ev(Event::Kind::NotAcknowledged, Setting::OutboundFlow, kFlowNone),
            ev(Event::Kind::NotAcknowledged, Setting::Dtr, kDtrOff),
            ev(Event::Kind::NotAcknowledged, Setting::Rts, kRtsOff) } },
    };
    for (const auto& c : cases) {
        Codec codec;
        codec.start();
        play(codec, { { 0, cat({ cmd(kDo, kOptComPort), cmd(kWill, kOptBinary), cmd(kDo, kOptBinary) }) } });
        codec.output().clear();
        codec.setBaudRate(115200, 0);
        codec.setDataSize(8, 0);
        codec.setParity(kParityNone, 0);
        codec.setStopSize(kStopOne, 0);
        codec.setControl(kFlowNone, 0);
        codec.setControl(kDtrOff, 0);
        codec.setControl(kRtsOff, 0);
        EXPECT_EQ(codec.output(),
                  cat({ sb(1, { 0, 1, 0xC2, 0 }), sb(2, { 8 }), sb(3, { kParityNone }), sb(4, { kStopOne }),
                        sb(5, { kFlowNone }), sb(5, { kDtrOff }), sb(5, { kRtsOff }) }))
            << c.name;
        codec.output().clear();
        EXPECT_EQ(codec.nextDeadline(), kAckTimeoutMs) << c.name;
        const Played run = play(codec, c.server);
        EXPECT_EQ(run.events, c.events) << c.name;
        EXPECT_TRUE(run.data.empty()) << c.name;
    }
}

TEST(TelnetCodec, ARateWithAnIacByteIsEscapedInTheRequest)
{
    Codec codec;
    codec.setBaudRate(0x00FF00FF, 0);
    EXPECT_EQ(codec.output(), (Bytes { kIac, kSb, kOptComPort, 1, 0, kIac, kIac, 0, kIac, kIac, kIac, kSe }));
    Bytes data;
    codec.receive(sb(101, { 0, 0xFF, 0, 0xFF }), data, 5);
    const auto events = codec.takeEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], ev(Event::Kind::Acknowledged, Setting::Baud, 0x00FF00FF, 0x00FF00FF));
}

TEST(TelnetCodec, NotificationsArriveInTheMiddleOfData)
{
    Codec codec;
    codec.start();
    play(codec, { { 0, cat({ cmd(kDo, kOptComPort), cmd(kWill, kOptBinary), cmd(kDo, kOptBinary) }) } });
    codec.output().clear();
    const Bytes stream = cat({ Bytes { 'a', 'b' }, sb(107, { kModemCts | kModemDsr }), Bytes { 'c', kIac, kIac },
                               sb(106, { 0x60 }), Bytes { 'd' }, sb(108, {}), Bytes { 'e' }, sb(109, {}),
                               sb(107, { kModemCd | kModemRi }), Bytes { kIac, 241, 'f' } });
    for (std::size_t piece : { std::size_t(1), std::size_t(2), std::size_t(3), std::size_t(7), stream.size() }) {
        Codec c = codec;
        Bytes data;
        std::vector<Event> events;
        for (std::size_t at = 0; at < stream.size(); at += piece) {
            c.receive(std::span(stream).subspan(at, std::min(piece, stream.size() - at)), data, 0);
            for (const Event& e : c.takeEvents())
                events.push_back(e);
        }
        EXPECT_EQ(data, (Bytes { 'a', 'b', 'c', kIac, 'd', 'e', 'f' })) << "pieces of " << piece;
        ASSERT_EQ(events.size(), 4u) << "pieces of " << piece;
        EXPECT_EQ(events[0].kind, Event::Kind::ModemState);
        EXPECT_TRUE(events[0].modem.cts && events[0].modem.dsr && !events[0].modem.dcd && !events[0].modem.ri);
        EXPECT_EQ(events[1].kind, Event::Kind::FlowSuspend);
        EXPECT_EQ(events[2].kind, Event::Kind::FlowResume);
        EXPECT_EQ(events[3].kind, Event::Kind::ModemState);
        EXPECT_TRUE(!events[3].modem.cts && events[3].modem.dcd && events[3].modem.ri);
        EXPECT_TRUE(c.modemStateKnown());
        EXPECT_TRUE(c.output().empty());
    }
}

TEST(TelnetCodec, MalformedSubnegotiationsAreBoundedAndRecovered)
{
    Codec codec;
    codec.start();
    codec.output().clear();
    Bytes data;
    // An endless subnegotiation keeps at most its first bytes.
    Bytes longSb { kIac, kSb, kOptComPort, 107 };
    longSb.insert(longSb.end(), 100000, 0x10);
    codec.receive(longSb, data, 0);
    codec.receive(Bytes { kIac, kSe, 'o', 'k' }, data, 0);
    EXPECT_EQ(data, (Bytes { 'o', 'k' }));
    EXPECT_TRUE(codec.takeEvents().empty()) << "a cut subnegotiation is not acted on";
    // IAC inside a subnegotiation followed by a command: the command is read.
    data.clear();
    codec.receive(Bytes { kIac, kSb, kOptComPort, 107, kIac, kDo, kOptSga, 'x' }, data, 0);
    EXPECT_EQ(data, (Bytes { 'x' }));
    EXPECT_EQ(codec.output(), Bytes {}) << "SGA was offered, so DO SGA needs no answer";
    // Short and foreign subnegotiations are ignored.
    data.clear();
    codec.receive(cat({ sb(101, { 1 }), Bytes { kIac, kSb, 24, 1, kIac, kSe }, Bytes { kIac, kSb, kIac, kSe }, Bytes { 'y' } }),
                  data, 0);
    EXPECT_EQ(data, (Bytes { 'y' }));
}
