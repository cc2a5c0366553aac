// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/telnet_codec.h"

namespace merovan::telnet {

namespace {

Setting controlSetting(std::uint8_t value)
{
    if (value <= 3 || (value >= 17 && value <= 19))
        return Setting::OutboundFlow;
    if (value <= 6)
        return Setting::Break;
    if (value <= 9)
        return Setting::Dtr;
    if (value <= 12)
        return Setting::Rts;
    return Setting::InboundFlow;
}

} // namespace

void Codec::put(std::uint8_t byte)
{
    m_out.push_back(byte);
}

void Codec::command(std::uint8_t verb, std::uint8_t option)
{
    put(kIac);
    put(verb);
    put(option);
}

void Codec::start()
{
    m_offeredComPort = true;
    command(kWill, kOptComPort);
    m_offeredLocalBinary = true;
    command(kWill, kOptBinary);
    m_offeredRemoteBinary = true;
    command(kDo, kOptBinary);
    m_offeredLocalSga = true;
    command(kWill, kOptSga);
    m_offeredRemoteSga = true;
    command(kDo, kOptSga);
}

void Codec::negotiate(std::uint8_t verb, std::uint8_t option)
{
    // What the server does (WILL/WONT) and what it asks of us (DO/DONT).
    // Each answer is sent only when it changes the option's state, so two
    // ends never answer each other for ever.
    auto remote = [&](bool& enabled, bool& offered) {
        const bool want = verb == kWill;
        if (enabled == want) {
            offered = false;
            return;
        }
        enabled = want;
        if (!offered)
            command(want ? kDo : kDont, option);
        offered = false;
    };
    auto local = [&](bool& enabled, bool& offered) {
        const bool want = verb == kDo;
        if (enabled == want) {
            offered = false;
            return;
        }
        enabled = want;
        if (!offered)
            command(want ? kWill : kWont, option);
        offered = false;
    };

    if (verb == kWill || verb == kWont) {
        if (option == kOptBinary)
            remote(m_remoteBinary, m_offeredRemoteBinary);
        else if (option == kOptSga)
            remote(m_remoteSga, m_offeredRemoteSga);
        else if (verb == kWill)
            command(kDont, option); // ECHO and everything else: refused
        return;
    }

    if (option == kOptBinary) {
        local(m_localBinary, m_offeredLocalBinary);
    } else if (option == kOptSga) {
        local(m_localSga, m_offeredLocalSga);
    } else if (option == kOptComPort) {
        const Answer was = m_comPort;
        bool enabled = m_comPort == Answer::Yes;
        local(enabled, m_offeredComPort);
        m_comPort = enabled ? Answer::Yes : Answer::No;
        if (m_comPort != was) {
            Event e;
            e.kind = enabled ? Event::Kind::ComPortAgreed : Event::Kind::ComPortRefused;
            m_events.push_back(e);
        }
    } else if (verb == kDo) {
        command(kWont, option);
    }
}

void Codec::receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data, std::uint64_t nowMs)
{
    for (const std::uint8_t b : bytes) {
        switch (m_state) {
        case State::Data:
            if (b == kIac) {
                m_state = State::Iac;
                break;
            }
            // Without binary, the server sends a lone carriage return as
            // CR NUL; the NUL is not data.
            if (m_afterCr && b == 0 && !m_remoteBinary) {
                m_afterCr = false;
                break;
            }
            m_afterCr = b == kCr;
            data.push_back(b);
            break;
        case State::Iac:
            if (b == kIac) {
                data.push_back(kIac);
                m_afterCr = false;
                m_state = State::Data;
            } else if (b == kWill || b == kWont || b == kDo || b == kDont) {
                m_verb = b;
                m_state = State::Option;
            } else if (b == kSb) {
                m_sb.clear();
                m_sbOverflow = false;
                m_state = State::Sb;
            } else {
                // NOP, GA, a stray SE and the other two-byte commands carry
                // nothing a serial line needs.
                m_state = State::Data;
            }
            break;
        case State::Option:
            negotiate(m_verb, b);
            m_state = State::Data;
            break;
        case State::Sb:
            if (b == kIac) {
                m_state = State::SbIac;
            } else if (m_sb.size() < kMaxSb) {
                m_sb.push_back(b);
            } else {
                m_sbOverflow = true;
            }
            break;
        case State::SbIac:
            if (b == kIac) {
                if (m_sb.size() < kMaxSb)
                    m_sb.push_back(kIac);
                else
                    m_sbOverflow = true;
                m_state = State::Sb;
            } else if (b == kSe) {
                subnegotiation();
                m_state = State::Data;
            } else {
                // IAC followed by anything else ends a malformed
                // subnegotiation; the command it starts is read as one.
                m_state = State::Iac;
                receive(std::span<const std::uint8_t>(&b, 1), data, nowMs);
            }
            break;
        }
    }
    tick(nowMs);
}

void Codec::subnegotiation()
{
    if (m_sb.size() < 2 || m_sb[0] != kOptComPort || m_sbOverflow)
        return;
    comPort(m_sb[1], std::span<const std::uint8_t>(m_sb).subspan(2));
}

void Codec::comPort(std::uint8_t cmd, std::span<const std::uint8_t> value)
{
    if (cmd < kServerOffset)
        return;
    const auto c = static_cast<ComCommand>(cmd - kServerOffset);
    const std::uint32_t first = value.empty() ? 0 : value[0];
    switch (c) {
    case ComCommand::SetBaudRate:
        if (value.size() == 4) {
            acknowledge(Setting::Baud, (std::uint32_t(value[0]) << 24) | (std::uint32_t(value[1]) << 16)
                                            | (std::uint32_t(value[2]) << 8) | value[3]);
        }
        break;
    case ComCommand::SetDataSize:
        if (value.size() == 1)
            acknowledge(Setting::DataSize, first);
        break;
    case ComCommand::SetParity:
        if (value.size() == 1)
            acknowledge(Setting::Parity, first);
        break;
    case ComCommand::SetStopSize:
        if (value.size() == 1)
            acknowledge(Setting::StopSize, first);
        break;
    case ComCommand::SetControl:
        if (value.size() == 1)
            acknowledge(controlSetting(value[0]), first);
        break;
    case ComCommand::SetModemStateMask:
        if (value.size() == 1)
            acknowledge(Setting::ModemStateMask, first);
        break;
    case ComCommand::SetLineStateMask:
        if (value.size() == 1)
            acknowledge(Setting::LineStateMask, first);
        break;
    case ComCommand::PurgeData:
        if (value.size() == 1)
            acknowledge(Setting::Purge, first);
        break;
    case ComCommand::NotifyModemState:
        if (value.size() == 1) {
            m_modemKnown = true;
            m_modem.cts = (first & kModemCts) != 0;
            m_modem.dsr = (first & kModemDsr) != 0;
            m_modem.dcd = (first & kModemCd) != 0;
            m_modem.ri = (first & kModemRi) != 0;
            Event e;
            e.kind = Event::Kind::ModemState;
            e.modem = m_modem;
            m_events.push_back(e);
        }
        break;
    case ComCommand::FlowControlSuspend:
    case ComCommand::FlowControlResume: {
        const bool suspend = c == ComCommand::FlowControlSuspend;
        if (m_suspended != suspend) {
            m_suspended = suspend;
            Event e;
            e.kind = suspend ? Event::Kind::FlowSuspend : Event::Kind::FlowResume;
            m_events.push_back(e);
        }
        break;
    }
    default:
        // The signature and line-state notices change nothing here.
        break;
    }
}

void Codec::acknowledge(Setting setting, std::uint32_t applied)
{
    Pending& p = m_pending[index(setting)];
    // An answer nobody waits for (a late one, or the server's own report)
    // says nothing about a request.
    if (!p.active)
        return;
    p.active = false;
    Event e;
    e.kind = applied == p.requested ? Event::Kind::Acknowledged : Event::Kind::Changed;
    e.setting = setting;
    e.requested = p.requested;
    e.applied = applied;
    m_events.push_back(e);
}

void Codec::request(ComCommand cmd, Setting setting, std::span<const std::uint8_t> value, std::uint32_t requested,
                    std::uint64_t nowMs)
{
    put(kIac);
    put(kSb);
    put(kOptComPort);
    put(static_cast<std::uint8_t>(cmd));
    for (const std::uint8_t b : value) {
        put(b);
        if (b == kIac)
            put(kIac);
    }
    put(kIac);
    put(kSe);
    Pending& p = m_pending[index(setting)];
    p.active = true;
    p.requested = requested;
    p.deadline = nowMs + kAckTimeoutMs;
}

void Codec::setBaudRate(std::uint32_t baud, std::uint64_t nowMs)
{
    const std::uint8_t v[4] = { static_cast<std::uint8_t>(baud >> 24), static_cast<std::uint8_t>(baud >> 16),
                                static_cast<std::uint8_t>(baud >> 8), static_cast<std::uint8_t>(baud) };
    request(ComCommand::SetBaudRate, Setting::Baud, v, baud, nowMs);
}

void Codec::setDataSize(std::uint8_t bits, std::uint64_t nowMs)
{
    request(ComCommand::SetDataSize, Setting::DataSize, std::span(&bits, 1), bits, nowMs);
}

void Codec::setParity(std::uint8_t parity, std::uint64_t nowMs)
{
    request(ComCommand::SetParity, Setting::Parity, std::span(&parity, 1), parity, nowMs);
}

void Codec::setStopSize(std::uint8_t stop, std::uint64_t nowMs)
{
    request(ComCommand::SetStopSize, Setting::StopSize, std::span(&stop, 1), stop, nowMs);
}

void Codec::setControl(std::uint8_t value, std::uint64_t nowMs)
{
    request(ComCommand::SetControl, controlSetting(value), std::span(&value, 1), value, nowMs);
}

void Codec::setModemStateMask(std::uint8_t mask, std::uint64_t nowMs)
{
    request(ComCommand::SetModemStateMask, Setting::ModemStateMask, std::span(&mask, 1), mask, nowMs);
}

void Codec::purgeData(std::uint8_t which, std::uint64_t nowMs)
{
    request(ComCommand::PurgeData, Setting::Purge, std::span(&which, 1), which, nowMs);
}

void Codec::sendData(std::span<const std::uint8_t> bytes)
{
    m_out.reserve(m_out.size() + bytes.size() + bytes.size() / 64 + 4);
    for (const std::uint8_t b : bytes) {
        put(b);
        if (b == kIac)
            put(kIac);
        else if (b == kCr && !m_localBinary)
            put(0);
    }
}

void Codec::tick(std::uint64_t nowMs)
{
    for (std::size_t i = 0; i < m_pending.size(); ++i) {
        Pending& p = m_pending[i];
        if (!p.active || nowMs < p.deadline)
            continue;
        p.active = false;
        Event e;
        e.kind = Event::Kind::NotAcknowledged;
        e.setting = static_cast<Setting>(i);
        e.requested = p.requested;
        m_events.push_back(e);
    }
}

bool Codec::awaitingAny() const
{
    for (const Pending& p : m_pending) {
        if (p.active)
            return true;
    }
    return false;
}

std::uint64_t Codec::nextDeadline() const
{
    std::uint64_t next = 0;
    for (const Pending& p : m_pending) {
        if (p.active && (next == 0 || p.deadline < next))
            next = p.deadline;
    }
    return next;
}

std::vector<Event> Codec::takeEvents()
{
    std::vector<Event> events;
    events.swap(m_events);
    return events;
}

} // namespace merovan::telnet
