// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli term: an interactive terminal in the user's own terminal.
// Keys go to the port byte for byte and what the port sends goes to
// standard output as it came, so the host terminal does the emulation.
// Ctrl+T starts a command key (Ctrl+A belongs to MicroPython's raw REPL).

#include "cli_common.h"
#include "cli_platform.h"
#include "cli_session.h"

#include "serial/clock.h"
#include "terminal/line_map.h"
#include "transfer/file_transfer.h"

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace merovan::cli {

namespace {

constexpr std::uint8_t kCommandKey = 0x14; // Ctrl+T
constexpr std::uint8_t kCtrlC = 0x03;
constexpr std::uint8_t kBackspace = 0x08;
constexpr std::uint8_t kDelete = 0x7F;
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;
// As long as the window's reset button holds DTR.
constexpr std::uint32_t kDtrPulseMs = 1000;
// How long a wait for input may last before the loop looks at the log, a
// stop request and the port's state.
constexpr int kWaitMs = 200;

const char kKeyHelp[] = "Ctrl+T then:\r\n"
                        "  q       quit\r\n"
                        "  b       send a break\r\n"
                        "  d       pulse DTR (the window's reset)\r\n"
                        "  r       RTS on or off\r\n"
                        "  z       send a file by ZMODEM\r\n"
                        "  h       this help\r\n"
                        "  Ctrl+T  send Ctrl+T itself\r\n";

class TermSession
{
public:
    TermSession(SerialPort& port, const Options& o, HostTerminal& host)
        : m_port(port)
        , m_o(o)
        , m_host(host)
        , m_enter(merovan::enterBytes(o.enterMap.value_or(merovan::EnterMap::Cr)))
        , m_map(o.incomingMap.value_or(merovan::IncomingMap::AsReceived))
        , m_portReturn(o)
        , m_rts(o.rts)
    {
        m_stamper.setEnabled(o.timestamps);
    }

    int run();

private:
    // A message of ours, on a line of its own on stderr; works in raw mode.
    void tell(const std::string& text)
    {
        std::string line = "\r\nmerovan-cli: " + text + "\r\n";
        std::fputs(line.c_str(), stderr);
        std::fflush(stderr);
    }
    // Shows bytes through the incoming map (and --timestamps).
    void show(std::span<const std::uint8_t> bytes);
    void receive();
    // Handles typed keys; false when the user asked to quit.
    bool keys(std::span<const std::uint8_t> typed);
    bool command(std::uint8_t key);
    void send(std::span<const std::uint8_t> bytes);
    void flushSend();
    void sendFileByZmodem();
    // Reads a line for a prompt; false when it was canceled.
    bool promptLine(const std::string& prompt, std::string& line);
    // Keys while a port is away: only Ctrl+T q means something.
    bool quitWhileAway();

    SerialPort& m_port;
    const Options& m_o;
    HostTerminal& m_host;
    std::span<const std::uint8_t> m_enter;
    merovan::IncomingLineMapper m_map;
    merovan::LineStamper m_stamper;
    merovan::SystemWallClock m_wall;
    std::unique_ptr<merovan::SessionLog> m_log;
    PortReturn m_portReturn;
    bool m_rts;
    bool m_afterCommandKey = false;
    bool m_inputEnded = false;
    std::vector<std::uint8_t> m_outgoing;
    std::vector<std::uint8_t> m_mapped;
    std::string m_stamped;
};

void TermSession::show(std::span<const std::uint8_t> bytes)
{
    // The local echo takes the same map: the screen is one stream.
    m_mapped.clear();
    m_map.apply(bytes, m_mapped);
    const std::span<const std::uint8_t> shown = m_mapped;
    if (m_o.timestamps) {
        m_stamped.clear();
        m_stamper.stamp(std::string_view(reinterpret_cast<const char*>(shown.data()), shown.size()),
                        m_wall.epochMs(), m_stamped);
        m_host.write(std::span(reinterpret_cast<const std::uint8_t*>(m_stamped.data()), m_stamped.size()));
    } else {
        m_host.write(shown);
    }
}

void TermSession::receive()
{
    std::uint8_t buffer[4096];
    for (int round = 0; round < 16 && m_port.isOpen(); ++round) {
        const std::size_t n = m_port.readAvailable(buffer);
        if (n == 0)
            break;
        const std::span<const std::uint8_t> got(buffer, n);
        // The log has the bytes as they came; the maps are for the screen.
        if (m_log)
            m_log->received(got);
        show(got);
        if (n < sizeof buffer)
            break;
    }
}

void TermSession::send(std::span<const std::uint8_t> bytes)
{
    m_outgoing.insert(m_outgoing.end(), bytes.begin(), bytes.end());
}

void TermSession::flushSend()
{
    if (m_outgoing.empty())
        return;
    if (m_port.isOpen()) {
        m_port.writeBlock(m_outgoing);
        if (m_log)
            m_log->sent(m_outgoing);
        if (m_o.echo)
            show(m_outgoing);
    }
    m_outgoing.clear();
}

bool TermSession::keys(std::span<const std::uint8_t> typed)
{
    for (const std::uint8_t key : typed) {
        if (m_afterCommandKey) {
            m_afterCommandKey = false;
            flushSend();
            if (!command(key))
                return false;
            continue;
        }
        if (key == kCommandKey) {
            m_afterCommandKey = true;
            continue;
        }
        if (key == kCr)
            send(m_enter);
        else
            send(std::span(&key, 1));
    }
    flushSend();
    return true;
}

bool TermSession::command(std::uint8_t key)
{
    switch (key) {
    case kCommandKey: {
        const std::uint8_t literal = kCommandKey;
        send(std::span(&literal, 1));
        flushSend();
        return true;
    }
    case 'q':
    case 'Q':
        return false;
    case 'b':
    case 'B':
        if (m_port.sendBreak() == 0) {
            tell("break sent");
            if (m_log)
                m_log->note("Break sent");
        } else {
            tell("cannot send a break: " + m_port.lastError());
        }
        return true;
    case 'd':
    case 'D':
        // The window's reset: CTS flow would hold the pulse up.
        m_port.setCtsFlow(false);
        if (m_port.setDtr(true) == 0) {
            merovan::delayMs(m_port.clock(), kDtrPulseMs);
            m_port.setDtr(false);
            tell("DTR pulsed");
        } else {
            tell("cannot pulse DTR: " + m_port.lastError());
        }
        if (m_o.cts)
            m_port.setCtsFlow(true);
        return true;
    case 'r':
    case 'R':
        if (m_port.setRts(!m_rts) == 0) {
            m_rts = !m_rts;
            tell(m_rts ? "RTS on" : "RTS off");
        } else {
            tell("cannot set RTS: " + m_port.lastError());
        }
        return true;
    case 'z':
    case 'Z':
        sendFileByZmodem();
        return true;
    case 'h':
    case 'H':
    case '?':
        std::fputs("\r\n", stderr);
        std::fputs(kKeyHelp, stderr);
        std::fflush(stderr);
        return true;
    default:
        tell("Ctrl+T " + (key >= 0x20 && key < 0x7F ? std::string(1, static_cast<char>(key)) : "that key")
             + " means nothing; Ctrl+T h lists the keys");
        return true;
    }
}

bool TermSession::promptLine(const std::string& prompt, std::string& line)
{
    line.clear();
    std::fprintf(stderr, "\r\n%s", prompt.c_str());
    std::fflush(stderr);
    std::uint8_t buffer[256];
    while (!g_stop && m_port.isOpen()) {
        if (!(m_host.wait(-1, kWaitMs) & HostTerminal::kKeys))
            continue;
        const long n = m_host.readKeys(buffer);
        if (n < 0) {
            m_inputEnded = true;
            return false;
        }
        for (long i = 0; i < n; ++i) {
            const std::uint8_t c = buffer[i];
            if (c == kCr || c == kLf) {
                std::fputs("\r\n", stderr);
                return true;
            }
            if (c == kCtrlC) {
                std::fputs("^C\r\n", stderr);
                return false;
            }
            if (c == kBackspace || c == kDelete) {
                if (!line.empty()) {
                    // One character back, a whole UTF-8 sequence at once.
                    while (!line.empty() && (static_cast<std::uint8_t>(line.back()) & 0xC0) == 0x80)
                        line.pop_back();
                    if (!line.empty())
                        line.pop_back();
                    std::fputs("\b \b", stderr);
                }
                continue;
            }
            if (c < 0x20)
                continue;
            line.push_back(static_cast<char>(c));
            std::fputc(c, stderr);
        }
        std::fflush(stderr);
    }
    return false;
}

void TermSession::sendFileByZmodem()
{
    std::string path;
    if (!promptLine("ZMODEM: file to send (Ctrl+C: none): ", path))
        return;
    // As a shell would have it: blanks around, quotes a drag and drop adds,
    // and ~ for the home folder.
    while (!path.empty() && path.back() == ' ')
        path.pop_back();
    while (!path.empty() && path.front() == ' ')
        path.erase(0, 1);
    if (path.size() >= 2 && (path.front() == '\'' || path.front() == '"') && path.back() == path.front())
        path = path.substr(1, path.size() - 2);
    if (path.rfind("~/", 0) == 0) {
        if (const char* home = std::getenv("HOME"))
            path = std::string(home) + path.substr(1);
    }
    if (path.empty())
        return;

    merovan::FileTransferOptions options;
    options.protocol = merovan::FileProtocol::Zmodem;
    if (m_o.startTimeoutMs >= 0)
        options.startTimeoutMs = static_cast<std::uint32_t>(m_o.startTimeoutMs);
    if (m_o.blockTimeoutMs > 0)
        options.blockTimeoutMs = static_cast<std::uint32_t>(m_o.blockTimeoutMs);
    if (m_o.retries >= 0)
        options.retries = static_cast<int>(m_o.retries);
    if (m_log)
        m_log->note("ZMODEM send " + path);
    const std::string name = std::filesystem::path(path).filename().string();
    const merovan::FileTransferOutcome outcome = merovan::sendFiles(
        m_port, { path }, options, [&](const merovan::FileTransferProgress& p) {
            std::string line = "\r" + name + "  " + grouped(static_cast<std::uint64_t>(std::max<std::int64_t>(0, p.bytes)));
            if (p.total >= 0)
                line += " / " + grouped(static_cast<std::uint64_t>(p.total)) + " bytes";
            std::fprintf(stderr, "%s\033[K", line.c_str());
            std::fflush(stderr);
            // Keys typed meanwhile would break into the transfer: Ctrl+C
            // cancels it, the rest are dropped.
            std::uint8_t typed[64];
            bool cancel = g_stop != 0;
            for (long n; (n = m_host.readKeys(typed)) > 0;)
                for (long i = 0; i < n; ++i)
                    cancel = cancel || typed[i] == kCtrlC;
            return cancel;
        });
    m_port.waitUntilSent();
    std::string message = merovan::fileTransferMessage(outcome.result);
    if (outcome.result != 0 && !outcome.detail.empty())
        message += ": " + outcome.detail;
    else if (outcome.result == 0)
        message = "sent " + name + ", " + grouped(static_cast<std::uint64_t>(outcome.bytes)) + " bytes";
    tell("ZMODEM: " + message);
    if (m_log)
        m_log->note("ZMODEM: " + message);
    if (!outcome.trailing.empty()) {
        if (m_log)
            m_log->received(outcome.trailing);
        show(outcome.trailing);
    }
}

bool TermSession::quitWhileAway()
{
    std::uint8_t typed[256];
    const long n = m_host.readKeys(typed);
    if (n < 0) {
        m_inputEnded = true;
        return true;
    }
    for (long i = 0; i < n; ++i) {
        if (m_afterCommandKey && (typed[i] == 'q' || typed[i] == 'Q'))
            return true;
        m_afterCommandKey = typed[i] == kCommandKey;
    }
    return false;
}

int TermSession::run()
{
    if (!openSessionLog(m_o, m_wall, m_port.clock(), m_log))
        return kExitFailure;
    const auto report = [this](const std::string& text) { tell(text); };
    std::uint8_t typed[1024];
    int rc = kExitOk;
    while (!g_stop && !m_inputEnded) {
        const int ready = m_host.wait(m_port.nativeHandle(), kWaitMs);
        // The port first: what the device said before a key is shown before
        // the key's effect.
        if (m_port.isOpen())
            receive();
        if (ready & HostTerminal::kKeys) {
            const long n = m_host.readKeys(typed);
            if (n < 0)
                break; // the end of input ends the session
            if (n > 0 && !keys(std::span(typed, static_cast<std::size_t>(n))))
                break;
        }
        if (m_log) {
            m_log->poll();
            reportLogFailure(m_log.get(), report);
        }
        if (m_port.isOpen())
            continue;
        tell(m_port.path() + ": " + m_port.lastError());
        if (!m_o.reconnect) {
            rc = kExitPortLost;
            break;
        }
        m_afterCommandKey = false;
        if (!m_portReturn.wait(m_port, m_log.get(), report, [this] { return g_stop || quitWhileAway(); }))
            break;
    }
    if (m_log) {
        m_log->stop();
        reportLogFailure(m_log.get(), report);
    }
    return rc;
}

} // namespace

int cmdTerm(SerialPort& port, const Options& o)
{
    if (!o.positional.empty())
        usageError("term takes no arguments besides options");
    checkLogOptions(o);
    if (o.hex || o.autoZmodem)
        usageError("--hex and --auto-zmodem are for monitor");
    if (!openPort(port, o))
        return portOpenExit(o);

    HostTerminal host;
    if (host.isTerminal()) {
        std::string reason;
        if (!host.makeRaw(reason)) {
            std::fprintf(stderr, "Cannot put the terminal in raw mode: %s\n", reason.c_str());
            return kExitFailure;
        }
    }
    if (!o.quiet) {
        std::fprintf(stderr, "Connected to %s. Ctrl+T q quits, Ctrl+T h lists the keys.\r\n", o.port.c_str());
        std::fflush(stderr);
    }
    TermSession session(port, o, host);
    const int rc = session.run();
    host.restore();
    if (!o.quiet)
        std::fprintf(stderr, "\nDisconnected from %s.\n", o.port.c_str());
    return rc;
}

} // namespace merovan::cli
