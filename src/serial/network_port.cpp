// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/network_port.h"

#include "common/system_error.h"
#include "serial/clock.h"
#include "serial/tcp_socket.h"
#include "serial/telnet_codec.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <optional>
#include <vector>

namespace merovan {

namespace {

constexpr int kConnectTimeoutMs = 5000;
// How long the server has to agree to port control after connecting.
constexpr int kNegotiationMs = 3000;
constexpr int kBreakMs = 250;
constexpr std::size_t kReceiveChunk = 4096;
// A server passes on to its device what it has taken from us at the line's
// rate, and ser2net, for one, throws away what it still holds when the
// connection ends. So whoever waits for what was written to be sent, and a
// close, waits until the line has had time for it. The rate is the nominal
// one (and for raw TCP only the one configured, which the server may not
// use), hence a bound for close: a wrong rate must not hold it for minutes.
constexpr std::uint64_t kCloseWaitMs = 10000;
// A UART's clock may run a few percent slow, and bytes reach the server's
// device a little after we send them: the line is given a thirty-second
// more than the nominal time of each busy stretch.
constexpr std::uint64_t kLineSlackShare = 32;
// How often a wait for the line looks at the socket's queue.
constexpr int kWaitSliceMs = 50;
// How far ahead of the line writes may run (see writeUntil).
constexpr std::uint64_t kLeadMs = 200;
// How long a server's FLOWCONTROL-SUSPEND holds writes back at most.
constexpr std::uint64_t kSuspendMs = 30000;
constexpr std::uint32_t kDefaultBaud = 9600;
// ser2net, for one, closes a connection at once when its device is busy or
// cannot be opened.
constexpr const char* kClosedByServer = "the server closed the connection (is the device in use or missing?)";

std::string parityName(std::uint32_t v)
{
    switch (v) {
    case telnet::kParityNone:
        return "no parity";
    case telnet::kParityOdd:
        return "odd parity";
    case telnet::kParityEven:
        return "even parity";
    case 4:
        return "mark parity";
    case 5:
        return "space parity";
    default:
        return "parity " + std::to_string(v);
    }
}

std::string stopName(std::uint32_t v)
{
    switch (v) {
    case telnet::kStopOne:
        return "1 stop bit";
    case telnet::kStopTwo:
        return "2 stop bits";
    case 3:
        return "1.5 stop bits";
    default:
        return "stop size " + std::to_string(v);
    }
}

std::string flowName(std::uint32_t v)
{
    switch (v) {
    case telnet::kFlowNone:
        return "no flow control";
    case telnet::kFlowXonXoff:
        return "XON/XOFF flow control";
    case telnet::kFlowHardware:
        return "hardware flow control";
    default:
        return "flow control " + std::to_string(v);
    }
}

std::string settingValue(telnet::Setting s, std::uint32_t v)
{
    using telnet::Setting;
    switch (s) {
    case Setting::Baud:
        return std::to_string(v) + " baud";
    case Setting::DataSize:
        return std::to_string(v) + " data bits";
    case Setting::Parity:
        return parityName(v);
    case Setting::StopSize:
        return stopName(v);
    case Setting::OutboundFlow:
        return flowName(v);
    default:
        return std::to_string(v);
    }
}

std::string settingName(telnet::Setting s)
{
    using telnet::Setting;
    switch (s) {
    case Setting::Baud:
        return "the baud rate";
    case Setting::DataSize:
        return "the data bits";
    case Setting::Parity:
        return "the parity";
    case Setting::StopSize:
        return "the stop bits";
    case Setting::OutboundFlow:
        return "the flow control";
    default:
        return "a setting";
    }
}

class NetworkBackend final : public SerialBackend
{
public:
    NetworkBackend(Clock& clock, std::unique_ptr<ByteStream> stream)
        : m_clock(clock)
        , m_socket(std::move(stream))
    {
    }
    ~NetworkBackend() override { close(); }

    int open(const std::string& path, std::string& reason) override
    {
        close();
        NetworkAddress address;
        if (!parseNetworkPortName(path, address, reason))
            return EINVAL;
        if (const int rc = m_socket->connect(address.host, address.port, kConnectTimeoutMs, reason); rc != 0)
            return rc;
        m_name = path;
        m_rfc2217 = address.rfc2217;
        m_codec = telnet::Codec();
        m_pending.clear();
        m_notices.clear();
        m_noted = {};
        m_sent = {};
        m_haveSent = false;
        m_appliedBaud = 0;
        m_portControl = false;
        m_lineFreeUs = 0;
        m_busySinceUs = 0;
        if (!m_rfc2217)
            return 0;

        m_codec.start();
        if (const int rc = flush(); rc != 0) {
            reason = systemErrorText(rc);
            m_socket->close();
            return rc;
        }
        const std::uint64_t deadline = m_clock.nowMs() + kNegotiationMs;
        while (!m_codec.comPortAgreed() && !m_codec.comPortRefused() && m_clock.nowMs() < deadline) {
            if (!pump(static_cast<int>(deadline - m_clock.nowMs()))) {
                reason = kClosedByServer;
                m_socket->close();
                return deviceGoneError();
            }
        }
        m_portControl = m_codec.comPortAgreed();
        if (!m_portControl)
            note(m_noted.noControl, "the server does not offer port control (RFC 2217); line settings and "
                                    "DTR/RTS are not applied");
        return 0;
    }

    void close() override
    {
        if (m_socket->isOpen() && m_lineFreeUs != 0)
            waitForLine(m_clock.nowMs() + kCloseWaitMs);
        m_socket->close();
        m_pending.clear();
        m_lineFreeUs = 0;
    }

    bool isOpen() const override { return m_socket->isOpen(); }

    int applyLine(const LineParams& params, std::string& reason) override
    {
        if (!m_socket->isOpen())
            return EBADF;
        if (!m_portControl) {
            // Not applied, but still the best guess of the line's rate.
            m_sent = params;
            m_haveSent = true;
            if (!m_rfc2217)
                note(m_noted.raw, "raw TCP carries bytes only; line settings and DTR/RTS are not applied");
            return 0;
        }
        const std::uint64_t now = m_clock.nowMs();
        if (!m_haveSent || params.baudRate != m_sent.baudRate)
            m_codec.setBaudRate(params.baudRate, now);
        if ((!m_haveSent || params.dataBits != m_sent.dataBits) && params.dataBits >= 5 && params.dataBits <= 8)
            m_codec.setDataSize(static_cast<std::uint8_t>(params.dataBits), now);
        if (!m_haveSent || params.parity != m_sent.parity) {
            const std::uint8_t parity = params.parity == 1 ? telnet::kParityOdd
                : params.parity == 2                       ? telnet::kParityEven
                                                           : telnet::kParityNone;
            m_codec.setParity(parity, now);
        }
        if ((!m_haveSent || params.stopBits != m_sent.stopBits) && (params.stopBits == 1 || params.stopBits == 2))
            m_codec.setStopSize(params.stopBits == 2 ? telnet::kStopTwo : telnet::kStopOne, now);
        if (!m_haveSent || params.hardwareFlow != m_sent.hardwareFlow)
            m_codec.setControl(params.hardwareFlow ? telnet::kFlowHardware : telnet::kFlowNone, now);
        m_sent = params;
        m_haveSent = true;
        if (const int rc = flush(); rc != 0) {
            reason = kClosedByServer;
            return rc;
        }
        // The answers tell the rate actually applied; wait for them (each
        // has its time-out), keeping what data comes meanwhile.
        using telnet::Setting;
        const Setting line[] = { Setting::Baud, Setting::DataSize, Setting::Parity, Setting::StopSize,
                                 Setting::OutboundFlow };
        auto waiting = [&] {
            return std::any_of(std::begin(line), std::end(line), [&](Setting s) { return m_codec.awaiting(s); });
        };
        while (waiting() && m_socket->isOpen()) {
            const std::uint64_t next = m_codec.nextDeadline();
            const std::uint64_t t = m_clock.nowMs();
            if (!pump(next > t ? static_cast<int>(std::min<std::uint64_t>(next - t, 100)) : 0)) {
                reason = kClosedByServer;
                return deviceGoneError();
            }
        }
        return 0;
    }

    std::uint32_t appliedBaud() const override
    {
        return m_portControl && m_appliedBaud != 0 ? m_appliedBaud : m_sent.baudRate;
    }

    int setModemLine(ModemLine line, bool on) override
    {
        if (!m_socket->isOpen())
            return EBADF;
        if (!m_portControl)
            return 0;
        if (line == ModemLine::Dtr)
            m_codec.setControl(on ? telnet::kDtrOn : telnet::kDtrOff, m_clock.nowMs());
        else
            m_codec.setControl(on ? telnet::kRtsOn : telnet::kRtsOff, m_clock.nowMs());
        // Not waited for: a server may never answer for a device without
        // modem lines; a missing answer is noted when it is overdue.
        return flush();
    }

    ReadResult read(std::span<std::uint8_t> buffer, int timeoutMs) override
    {
        ReadResult result;
        if (!m_socket->isOpen()) {
            result.error = EBADF;
            return result;
        }
        const std::uint64_t deadline = m_clock.nowMs() + static_cast<std::uint64_t>(std::max(timeoutMs, 0));
        for (;;) {
            if (!m_pending.empty()) {
                const std::size_t n = std::min(buffer.size(), m_pending.size());
                std::copy_n(m_pending.begin(), n, buffer.begin());
                m_pending.erase(m_pending.begin(), m_pending.begin() + static_cast<std::ptrdiff_t>(n));
                result.count = n;
                return result;
            }
            const std::uint64_t now = m_clock.nowMs();
            const int left = deadline > now ? static_cast<int>(deadline - now) : 0;
            if (!pump(left)) {
                result.disconnected = true;
                return result;
            }
            if (m_pending.empty() && m_clock.nowMs() >= deadline)
                return result;
        }
    }

    int write(std::span<const std::uint8_t> bytes) override
    {
        std::size_t taken = 0;
        return writeUntil(bytes, std::nullopt, taken);
    }

    int writeWithin(std::span<const std::uint8_t> bytes, int timeoutMs, std::size_t& taken) override
    {
        return writeUntil(bytes, m_clock.nowMs() + static_cast<std::uint64_t>(std::max(timeoutMs, 0)), taken);
    }

    std::uint64_t deviceId() const override { return 0; }

    int waitSent(int timeoutMs) override
    {
        if (!m_socket->isOpen())
            return EBADF;
        return waitForLine(m_clock.nowMs() + static_cast<std::uint64_t>(std::max(timeoutMs, 0)));
    }

    // What the server has yet to take, or what the line has yet to carry by
    // the estimate, whichever is more.
    std::size_t outputQueued() const override
    {
        const std::uint64_t now = m_clock.nowMs() * 1000;
        const std::uint64_t free = lineFreeUs();
        const std::uint64_t onLine = free > now ? (free - now) * lineBaud() / (bitsPerChar() * 1000000ull) : 0;
        return std::max<std::size_t>(m_socket->unsent(), static_cast<std::size_t>(onLine));
    }

    int modemLines(ModemStatus& status) override
    {
        if (!m_socket->isOpen())
            return EBADF;
        if (!m_portControl)
            return ENOTTY;
        // A quiet line brings no reads, so the acknowledgements' time-outs
        // are looked at here too: the window asks for the lines regularly.
        m_codec.tick(m_clock.nowMs());
        if (flush() == 0)
            events();
        if (!m_codec.modemStateKnown())
            return ENOTTY;
        status = m_codec.modemState();
        return 0;
    }

    int sendBreak() override
    {
        if (!m_socket->isOpen())
            return EBADF;
        if (!m_portControl)
            return ENOTTY;
        m_codec.setControl(telnet::kBreakOn, m_clock.nowMs());
        if (const int rc = flush(); rc != 0)
            return rc;
        m_clock.sleepMs(kBreakMs);
        m_codec.setControl(telnet::kBreakOff, m_clock.nowMs());
        return flush();
    }

    int nativeHandle() const override { return m_socket->isOpen() ? m_socket->handle() : -1; }

    void discardInput() override
    {
        if (!m_socket->isOpen())
            return;
        if (m_portControl) {
            m_codec.purgeData(telnet::kPurgeReceive, m_clock.nowMs());
            flush();
        }
        // What is already here is taken away; what the server still had is
        // gone by the purge.
        m_pending.clear();
        while (pump(0) && !m_pending.empty())
            m_pending.clear();
    }

    std::string takeNotice() override
    {
        if (m_notices.empty())
            return {};
        std::string text = std::move(m_notices.front());
        m_notices.pop_front();
        return text;
    }

private:
    std::uint32_t lineBaud() const
    {
        const std::uint32_t baud = appliedBaud();
        return baud != 0 ? baud : kDefaultBaud;
    }

    // Start bit, data bits, parity bit and stop bits of one character.
    std::uint64_t bitsPerChar() const
    {
        const std::uint64_t data = m_sent.dataBits >= 5 && m_sent.dataBits <= 8 ? m_sent.dataBits : 8;
        return 1 + data + (m_sent.parity != 0 ? 1 : 0) + (m_sent.stopBits == 2 ? 2 : 1);
    }

    // The line's time for count characters, in microseconds.
    std::uint64_t lineUs(std::size_t count) const
    {
        return static_cast<std::uint64_t>(count) * bitsPerChar() * 1000000ull / lineBaud();
    }

    // When the line will have carried everything written, slack included;
    // 0 when nothing was written.
    std::uint64_t lineFreeUs() const
    {
        if (m_lineFreeUs == 0)
            return 0;
        return m_lineFreeUs + (m_lineFreeUs - m_busySinceUs) / kLineSlackShare;
    }

    // Hands bytes to the server no faster than its line carries them, as a
    // UART's driver with its small queue does: what the server cannot pass
    // on yet would otherwise pile up in its socket's buffer (a megabyte
    // fits on loopback), out of sight, and be lost when the connection
    // ends. While the server asks us to suspend (RFC 2217 flow control),
    // nothing goes, up to kSuspendMs. Gives up at deadlineMs, when given,
    // with ETIMEDOUT and taken telling how many bytes went.
    int writeUntil(std::span<const std::uint8_t> bytes, std::optional<std::uint64_t> deadlineMs, std::size_t& taken)
    {
        taken = 0;
        if (!m_socket->isOpen())
            return EBADF;
        while (taken < bytes.size()) {
            for (;;) {
                const std::uint64_t now = m_clock.nowMs();
                std::uint64_t wait = 0;
                if (m_lineFreeUs > (now + kLeadMs) * 1000)
                    wait = (m_lineFreeUs - (now + kLeadMs) * 1000 + 999) / 1000;
                if (m_portControl && m_codec.flowSuspended()) {
                    if (now < m_suspendedAtMs + kSuspendMs)
                        wait = std::max<std::uint64_t>(wait, m_suspendedAtMs + kSuspendMs - now);
                    else
                        note(m_noted.suspended, "the server asked to suspend sending for more than "
                                                    + std::to_string(kSuspendMs / 1000) + " s; sending on");
                }
                if (wait == 0)
                    break;
                if (deadlineMs && now >= *deadlineMs)
                    return ETIMEDOUT;
                wait = std::min<std::uint64_t>(wait, kWaitSliceMs);
                if (deadlineMs)
                    wait = std::min(wait, *deadlineMs - now);
                if (!pump(static_cast<int>(wait)))
                    return deviceGoneError();
            }
            const std::size_t n = std::min<std::size_t>(bytes.size() - taken, pieceBytes());
            const std::span<const std::uint8_t> piece = bytes.subspan(taken, n);
            // The piece starts on its way now, or once those before it are
            // on the line.
            const std::uint64_t now = m_clock.nowMs() * 1000;
            if (m_lineFreeUs <= now) {
                m_lineFreeUs = now;
                m_busySinceUs = now;
            }
            m_lineFreeUs += lineUs(n);
            int rc = 0;
            if (m_rfc2217) {
                m_codec.sendData(piece);
                rc = flush();
            } else {
                rc = m_socket->sendAll(piece);
            }
            if (rc != 0)
                return rc;
            taken += n;
        }
        return 0;
    }

    // The most that goes to the server at once: the line's work for kLeadMs.
    std::size_t pieceBytes() const
    {
        return static_cast<std::size_t>(std::max<std::uint64_t>(16, lineBaud() * kLeadMs / 1000 / bitsPerChar()));
    }

    // Waits until the server has taken every byte and the line has had
    // time for them, or until deadlineMs: 0, ETIMEDOUT, or
    // deviceGoneError() when the connection ends meanwhile. Reading on
    // meanwhile keeps the server's answers flowing.
    int waitForLine(std::uint64_t deadlineMs)
    {
        for (;;) {
            const std::uint64_t now = m_clock.nowMs();
            const std::uint64_t freeMs = (lineFreeUs() + 999) / 1000;
            const bool taken = m_socket->unsent() == 0;
            if (taken && now >= freeMs)
                return 0;
            if (now >= deadlineMs)
                return ETIMEDOUT;
            std::uint64_t slice = std::min<std::uint64_t>(deadlineMs - now, kWaitSliceMs);
            if (taken)
                slice = std::min(slice, freeMs - now);
            if (!pump(static_cast<int>(slice))) {
                // The device went away once the line's nominal time was up
                // (a far end that ends as the last bytes reach it, and the
                // server with it): all was sent, as far as can be told.
                if (taken && m_clock.nowMs() * 1000 >= m_lineFreeUs)
                    return 0;
                return deviceGoneError();
            }
        }
    }

    void note(bool& once, const std::string& text)
    {
        if (once)
            return;
        once = true;
        m_notices.push_back(m_name + ": " + text);
    }

    // Sends what the codec has for the server.
    int flush()
    {
        std::vector<std::uint8_t>& out = m_codec.output();
        if (out.empty())
            return 0;
        const int rc = m_socket->sendAll(out);
        out.clear();
        return rc;
    }

    // Waits up to timeoutMs for bytes from the server and takes them in;
    // false when the connection is gone.
    bool pump(int timeoutMs)
    {
        std::uint8_t chunk[kReceiveChunk];
        const ByteStream::Io io = m_socket->receive(chunk, timeoutMs);
        if (io.closed) {
            m_socket->close();
            return false;
        }
        const std::span<const std::uint8_t> got(chunk, io.count);
        if (!m_rfc2217) {
            m_pending.insert(m_pending.end(), got.begin(), got.end());
            return true;
        }
        m_codec.receive(got, m_pending, m_clock.nowMs());
        if (flush() != 0) {
            m_socket->close();
            return false;
        }
        events();
        return true;
    }

    void events()
    {
        using telnet::Event;
        using telnet::Setting;
        for (const Event& e : m_codec.takeEvents()) {
            switch (e.kind) {
            case Event::Kind::Acknowledged:
            case Event::Kind::Changed:
                if (e.setting == Setting::Baud)
                    m_appliedBaud = e.applied;
                if (e.kind == Event::Kind::Changed && e.setting <= Setting::OutboundFlow) {
                    m_notices.push_back(m_name + ": the server applied " + settingValue(e.setting, e.applied)
                                        + " instead of " + settingValue(e.setting, e.requested));
                }
                break;
            case Event::Kind::FlowSuspend:
                m_suspendedAtMs = m_clock.nowMs();
                break;
            case Event::Kind::NotAcknowledged:
                if (e.setting == Setting::Dtr || e.setting == Setting::Rts) {
                    note(m_noted.modemLines, "the server does not acknowledge DTR/RTS (a device without modem "
                                             "lines?); going on without them");
                } else if (e.setting <= Setting::OutboundFlow) {
                    m_notices.push_back(m_name + ": the server did not acknowledge " + settingName(e.setting));
                }
                break;
            default:
                break;
            }
        }
    }

    Clock& m_clock;
    std::unique_ptr<ByteStream> m_socket;
    telnet::Codec m_codec;
    std::string m_name;
    bool m_rfc2217 = false;
    bool m_portControl = false;
    std::vector<std::uint8_t> m_pending;
    std::deque<std::string> m_notices;
    struct Noted
    {
        bool raw = false;
        bool noControl = false;
        bool modemLines = false;
        bool suspended = false;
    } m_noted;
    LineParams m_sent;
    bool m_haveSent = false;
    std::uint32_t m_appliedBaud = 0;
    // The estimate of the line: when it will have carried everything
    // written (0: nothing written since the open), and since when it has
    // been busy without a pause, in the clock's microseconds.
    std::uint64_t m_lineFreeUs = 0;
    std::uint64_t m_busySinceUs = 0;
    // When the server last asked us to suspend sending.
    std::uint64_t m_suspendedAtMs = 0;
};

} // namespace

bool isNetworkPortName(std::string_view name)
{
    return name.starts_with("rfc2217://") || name.starts_with("tcp://") || name.starts_with("socket://");
}

bool parseNetworkPortName(std::string_view name, NetworkAddress& address, std::string& reason)
{
    const auto scheme = name.find("://");
    if (scheme == std::string_view::npos || !isNetworkPortName(name)) {
        reason = "not a network port (rfc2217://HOST:PORT or tcp://HOST:PORT)";
        return false;
    }
    address.rfc2217 = name.substr(0, scheme) == "rfc2217";
    std::string_view rest = name.substr(scheme + 3);
    while (!rest.empty() && rest.back() == '/')
        rest.remove_suffix(1);
    std::string_view host;
    std::string_view port;
    if (rest.starts_with("[")) {
        const auto close = rest.find(']');
        if (close == std::string_view::npos || close + 1 >= rest.size() || rest[close + 1] != ':') {
            reason = "the address needs a port number (HOST:PORT)";
            return false;
        }
        host = rest.substr(1, close - 1);
        port = rest.substr(close + 2);
    } else {
        const auto colon = rest.rfind(':');
        if (colon == std::string_view::npos) {
            reason = "the address needs a port number (HOST:PORT)";
            return false;
        }
        host = rest.substr(0, colon);
        port = rest.substr(colon + 1);
    }
    if (host.empty()) {
        reason = "the address needs a host name";
        return false;
    }
    std::uint32_t number = 0;
    for (const char c : port) {
        if (c < '0' || c > '9' || number > 65535) {
            number = 70000;
            break;
        }
        number = number * 10 + static_cast<std::uint32_t>(c - '0');
    }
    if (port.empty() || number == 0 || number > 65535) {
        reason = "the port number must be 1 to 65535";
        return false;
    }
    address.host = std::string(host);
    address.port = static_cast<std::uint16_t>(number);
    return true;
}

std::unique_ptr<SerialBackend> makeNetworkBackend()
{
    static SteadyClock clock;
    return std::make_unique<NetworkBackend>(clock, std::make_unique<TcpSocket>());
}

std::unique_ptr<SerialBackend> makeNetworkBackend(Clock& clock, std::unique_ptr<ByteStream> stream)
{
    return std::make_unique<NetworkBackend>(clock, std::move(stream));
}

} // namespace merovan
