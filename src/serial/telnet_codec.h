// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serial/serial_backend.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace merovan {

// Telnet (RFC 854-856) with the COM port control option (RFC 2217), as a
// client: a state machine without sockets or clocks. Bytes from the server go
// in through receive(), which gives back the data bytes and queues events and
// the answers the server is owed; everything for the server is collected in
// output(). Time comes in as a millisecond count so that acknowledgement
// time-outs can be tested in virtual time.
namespace telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;

inline constexpr std::uint8_t kOptBinary = 0;
inline constexpr std::uint8_t kOptEcho = 1;
inline constexpr std::uint8_t kOptSga = 3;
inline constexpr std::uint8_t kOptComPort = 44;

inline constexpr std::uint8_t kCr = 13;

// COM-PORT-OPTION commands from client to server; the server answers with
// the same code plus kServerOffset.
enum class ComCommand : std::uint8_t {
    Signature = 0,
    SetBaudRate = 1,
    SetDataSize = 2,
    SetParity = 3,
    SetStopSize = 4,
    SetControl = 5,
    NotifyLineState = 6,
    NotifyModemState = 7,
    FlowControlSuspend = 8,
    FlowControlResume = 9,
    SetLineStateMask = 10,
    SetModemStateMask = 11,
    PurgeData = 12,
};
inline constexpr std::uint8_t kServerOffset = 100;

// SET-PARITY values.
inline constexpr std::uint8_t kParityNone = 1;
inline constexpr std::uint8_t kParityOdd = 2;
inline constexpr std::uint8_t kParityEven = 3;

// SET-STOPSIZE values.
inline constexpr std::uint8_t kStopOne = 1;
inline constexpr std::uint8_t kStopTwo = 2;

// SET-CONTROL values.
inline constexpr std::uint8_t kFlowNone = 1;
inline constexpr std::uint8_t kFlowXonXoff = 2;
inline constexpr std::uint8_t kFlowHardware = 3;
inline constexpr std::uint8_t kBreakOn = 5;
inline constexpr std::uint8_t kBreakOff = 6;
inline constexpr std::uint8_t kDtrOn = 8;
inline constexpr std::uint8_t kDtrOff = 9;
inline constexpr std::uint8_t kRtsOn = 11;
inline constexpr std::uint8_t kRtsOff = 12;

// NOTIFY-MODEMSTATE bits.
inline constexpr std::uint8_t kModemCd = 0x80;
inline constexpr std::uint8_t kModemRi = 0x40;
inline constexpr std::uint8_t kModemDsr = 0x20;
inline constexpr std::uint8_t kModemCts = 0x10;

// PURGE-DATA values: the access server's receive buffer (what the device
// sent and we have not had yet), its transmit buffer, or both.
inline constexpr std::uint8_t kPurgeReceive = 1;
inline constexpr std::uint8_t kPurgeTransmit = 2;

// How long an acknowledgement is waited for.
inline constexpr std::uint64_t kAckTimeoutMs = 1500;

// Which setting an acknowledgement belongs to. SET-CONTROL carries several
// settings, told apart by the range of the value.
enum class Setting : std::uint8_t {
    Baud,
    DataSize,
    Parity,
    StopSize,
    OutboundFlow,
    Break,
    Dtr,
    Rts,
    InboundFlow,
    ModemStateMask,
    LineStateMask,
    Purge,
    Count
};

struct Event
{
    enum class Kind {
        ComPortAgreed,   // the server does COM-PORT-OPTION
        ComPortRefused,  // it does not: line settings cannot be sent
        Acknowledged,    // applied is what was asked
        Changed,         // the server applied another value than asked
        NotAcknowledged, // no answer within kAckTimeoutMs
        ModemState,      // NOTIFY-MODEMSTATE
        FlowSuspend,     // the server asks us to stop sending
        FlowResume,
    };
    Kind kind = Kind::ComPortAgreed;
    Setting setting = Setting::Baud;
    std::uint32_t requested = 0;
    std::uint32_t applied = 0;
    ModemStatus modem;
    friend bool operator==(const Event&, const Event&) = default;
};

class Codec
{
public:
    // Queues the client's opening offers: WILL COM-PORT-OPTION, and BINARY
    // and SUPPRESS-GO-AHEAD in both directions.
    void start();

    // Takes bytes from the server, in pieces of any size: commands may be
    // split anywhere. Data bytes are appended to data; answers owed to the
    // server go to output(), events to events().
    void receive(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& data, std::uint64_t nowMs);

    // Appends data for the server to output(), with IAC doubled (and, while
    // the server has not agreed to binary, a carriage return followed by NUL).
    void sendData(std::span<const std::uint8_t> bytes);

    // COM-PORT-OPTION requests, each waiting for its acknowledgement until
    // nowMs + kAckTimeoutMs. A request for a setting whose earlier request is
    // still unanswered replaces it.
    void setBaudRate(std::uint32_t baud, std::uint64_t nowMs);
    void setDataSize(std::uint8_t bits, std::uint64_t nowMs);
    void setParity(std::uint8_t parity, std::uint64_t nowMs);
    void setStopSize(std::uint8_t stop, std::uint64_t nowMs);
    void setControl(std::uint8_t value, std::uint64_t nowMs);
    void setModemStateMask(std::uint8_t mask, std::uint64_t nowMs);
    void purgeData(std::uint8_t which, std::uint64_t nowMs);

    // Turns the acknowledgements that are overdue at nowMs into
    // NotAcknowledged events.
    void tick(std::uint64_t nowMs);

    // Whether an acknowledgement for setting is still awaited.
    bool awaiting(Setting setting) const { return m_pending[index(setting)].active; }
    bool awaitingAny() const;
    // The earliest time-out of the awaited acknowledgements; 0 when none.
    std::uint64_t nextDeadline() const;

    // The negotiation's outcome so far.
    bool comPortAgreed() const { return m_comPort == Answer::Yes; }
    bool comPortRefused() const { return m_comPort == Answer::No; }
    bool remoteBinary() const { return m_remoteBinary; }
    bool localBinary() const { return m_localBinary; }
    bool flowSuspended() const { return m_suspended; }
    bool modemStateKnown() const { return m_modemKnown; }
    ModemStatus modemState() const { return m_modem; }

    std::vector<std::uint8_t>& output() { return m_out; }
    std::vector<Event> takeEvents();

private:
    enum class State { Data, Iac, Option, Sb, SbIac };
    enum class Answer { Unknown, Yes, No };
    struct Pending
    {
        bool active = false;
        std::uint32_t requested = 0;
        std::uint64_t deadline = 0;
    };
    // The longest subnegotiation kept; longer ones (a signature text) are
    // cut, never grown without bound.
    static constexpr std::size_t kMaxSb = 64;

    static std::size_t index(Setting s) { return static_cast<std::size_t>(s); }
    void command(std::uint8_t verb, std::uint8_t option);
    void negotiate(std::uint8_t verb, std::uint8_t option);
    void subnegotiation();
    void comPort(std::uint8_t cmd, std::span<const std::uint8_t> value);
    void acknowledge(Setting setting, std::uint32_t applied);
    void request(ComCommand cmd, Setting setting, std::span<const std::uint8_t> value, std::uint32_t requested,
                 std::uint64_t nowMs);
    void put(std::uint8_t byte);

    State m_state = State::Data;
    std::uint8_t m_verb = 0;
    std::vector<std::uint8_t> m_sb;
    bool m_sbOverflow = false;
    bool m_afterCr = false;

    // Options in effect (RFC 1143 style, reduced: an offer we made is
    // remembered so that its answer is not answered again).
    bool m_localBinary = false, m_remoteBinary = false;
    bool m_localSga = false, m_remoteSga = false;
    bool m_offeredLocalBinary = false, m_offeredRemoteBinary = false;
    bool m_offeredLocalSga = false, m_offeredRemoteSga = false;
    bool m_offeredComPort = false;
    Answer m_comPort = Answer::Unknown;
    bool m_suspended = false;
    bool m_modemKnown = false;
    ModemStatus m_modem;

    std::array<Pending, static_cast<std::size_t>(Setting::Count)> m_pending {};
    std::vector<std::uint8_t> m_out;
    std::vector<Event> m_events;
};

} // namespace telnet
} // namespace merovan
