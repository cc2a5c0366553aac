// merovan-cli: Merovan's transfers and port tools without a window.

#include "serial/clock.h"
#include "serial/serial_port.h"
#include "scripts/script_store.h"
#include "serial/text_expansion.h"
#include "serial/device_watch.h"
#include "serial/port_enumeration.h"
#include "terminal/display_text.h"
#include "terminal/hex_dump.h"
#include "terminal/line_stamp.h"
#include "terminal/session_log.h"
#include "convert/intel_hex.h"
#include "transfer/binary_transfers.h"
#include "transfer/boot_loader.h"
#include "transfer/file_transfer.h"
#include "transfer/text_transfer.h"
#include "transfer/transfer.h"

#include "cli_platform.h"

#include <algorithm>
#include <filesystem>
#include <memory>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

// Exit status. Transfers add their result to kExitTransfer, so no result
// can be mistaken for a usage error or a port that did not open.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPortOpen = 3;
constexpr int kExitPortLost = 4;
constexpr int kExitTransfer = 64;

volatile std::sig_atomic_t g_stop = 0;

void onStop()
{
    g_stop = 1;
}

const char kLineOptions[] = "Line options (defaults 9600,8,N,1):\n"
                            "  -p, --port PATH    device path, for example /dev/ttyUSB0 (COM3 on Windows)\n"
                            "  -b, --baud RATE    baud rate\n"
                            "  -d, --data BITS    data bits, 5 to 8\n"
                            "  -s, --stop BITS    stop bits, 1 or 2\n"
                            "  --cts              CTS flow control on\n"
                            "  --rts              RTS handshaking on\n";

const char kTransferOptions[] = "  --timing           after the transfer, print the rate its data moved at,\n"
                                "                     between its first and last progress reports\n"
                                "  --result-code      exit with the transfer's own result code (see below)\n";

const char kCommonOptions[] = "  -q, --quiet        no success message on stderr\n"
                              "  -h, --help         show this help\n";

const char kExitTable[] = "Exit status:\n"
                          "  0        success\n"
                          "  1        any other failure (a file outside a transfer, a script that is\n"
                          "           not there, a log that cannot be written)\n"
                          "  2        usage error\n"
                          "  3        the port did not open (every command)\n"
                          "  4        the port failed or went away (monitor, send, script send)\n"
                          "  64 + R   a transfer ended with result R; with --result-code, R itself:\n"
                          "           65 (1)  Cant open file\n"
                          "           66 (2)  Timeout waiting for ACK; binary: a write failed\n"
                          "           67 (3)  Transfer canceled by target error\n"
                          "           68 (4)  Transfer canceled (Ctrl+C)\n"
                          "           69 (5)  COM port not opened (the port went away mid-way;\n"
                          "                   a port that does not open at all exits 3)\n"
                          "           70 (6)  text-file: the file could not be read;\n"
                          "                   boot: Can't start loader\n"
                          "           71 (7)  Incorrect boot loader version\n"
                          "           72 (8)  Program too big for available flash\n"
                          "           73 (9)  No ACK from target\n"
                          "           74 (10) Not enough memory on PC, alloc failure\n"
                          "           75 (11) Error trying to convert hex file (boot, hex2bin)\n"
                          "           80 (16) Colour depth wrong - must be 24\n"
                          "           81 (17) Head file requested and can't create one\n"
                          "           85 (21) Xmodem timeout waiting for ACK/NAK\n"
                          "           86 (22) Xmodem no ACK recieved from target\n"
                          "           90 (26) Xmodem cancelled by target\n"
                          "           94 (30) The other side did not start the transfer\n"
                          "           95 (31) The other side fell silent\n"
                          "           96 (32) Too many errors, transfer given up\n"
                          "           97 (33) Transfer canceled by the other side\n"
                          "           98 (34) The other side sent something invalid\n"
                          "           (xmodem, ymodem, zmodem: 0 only when every file arrived whole)\n";

// The file transfers' settable timing, for slow or odd peers.
#define FILE_TIMING_OPTIONS \
    "  --start-timeout MS how long to wait for the other side to start (60000)\n" \
    "  --start-interval MS recv: how often the start is asked for (3000)\n" \
    "  --block-timeout MS silence that ends a transfer mid-way (10000)\n" \
    "  --retries N        tries per block (10)\n"

struct Options;
using merovan::SerialPort;
using Handler = int (*)(SerialPort&, const Options&);

// One row per command: what its own --help prints, and what runs it. A new
// command is a row here and a handler.
struct Command
{
    const char* name;
    const char* synopsis; // after "merovan-cli "; further lines indented
    const char* summary;  // for the list of commands
    const char* options;  // the command's own options, or ""
    const char* example;
    bool usesPort;
    bool transfer;        // exits with kExitTransfer + its result
    Handler run;
};

const std::vector<Command>& commands();

const Command* findCommand(const std::string& name)
{
    for (const Command& c : commands())
        if (name == c.name)
            return &c;
    return nullptr;
}

void usage(std::FILE* to)
{
    std::fputs("Usage: merovan-cli COMMAND [options]\n"
               "       merovan-cli COMMAND --help   a command's own options and an example\n"
               "\n"
               "Commands:\n",
               to);
    for (const Command& c : commands()) {
        std::fprintf(to, "  %s\n", c.synopsis);
        std::fprintf(to, "        %s\n", c.summary);
    }
    std::fputs("\n", to);
    std::fputs(kLineOptions, to);
    std::fputs("\nOptions of every transfer (text-file, binary, picture, font, boot, xmodem,\n"
               "ymodem, zmodem):\n",
               to);
    std::fputs(kTransferOptions, to);
    std::fputs("\nOther options:\n", to);
    std::fputs(kCommonOptions, to);
    std::fputs("  --version          print the version and exit (alone)\n", to);
    std::fputs("\n", to);
    std::fputs(kExitTable, to);
}

void commandUsage(const Command& c, std::FILE* to)
{
    std::fprintf(to, "Usage: merovan-cli %s\n\n%s\n", c.synopsis, c.summary);
    if (*c.options)
        std::fprintf(to, "\nOptions:\n%s", c.options);
    if (c.usesPort)
        std::fprintf(to, "\n%s", kLineOptions);
    std::fprintf(to, "\n%s%s%s", c.transfer ? "Transfer options:\n" : "Other options:\n",
                 c.transfer ? kTransferOptions : "", kCommonOptions);
    std::fprintf(to, "\nExample:\n  %s\n\n%s", c.example, kExitTable);
}

struct Options
{
    std::string command;
    std::string port;
    std::string baud = "9600";
    std::string dataBits = "8";
    std::string stopBits = "1";
    bool cts = false;
    bool rts = false;
    double seconds = -1;
    long listenMs = 0;
    long wait = 0;
    long error = 0;
    long delay = 0;
    std::string first;
    std::string flashKb;
    bool eraseAll = false;
    bool timing = false;
    bool createFile = false;
    std::string start;
    bool longList = false;
    bool hex = false;
    bool timestamps = false;
    bool reconnect = false;
    bool raw = false;
    bool overwrite = false;
    bool sendBreak = false;
    bool oneK = false;
    bool crc = false;
    bool checksum = false;
    bool stripPadding = false;
    bool resume = false;
    bool autoZmodem = false;
    std::string dir;
    long startTimeoutMs = -1;
    long startIntervalMs = -1;
    long blockTimeoutMs = -1;
    long retries = -1;
    std::string log;
    bool help = false;
    bool quiet = false;
    bool resultCode = false;
    int flush = -1; // -1: the command's default
    std::vector<std::string> positional;
};

std::string g_commandName;

[[noreturn]] void usageError(const std::string& message)
{
    std::fprintf(stderr, "merovan-cli: %s\n", message.c_str());
    if (findCommand(g_commandName))
        std::fprintf(stderr, "Try 'merovan-cli %s --help'.\n", g_commandName.c_str());
    else
        std::fprintf(stderr, "Try 'merovan-cli --help'.\n");
    std::exit(kExitUsage);
}

long parseNumber(const std::string& option, const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < 0)
        usageError(option + " takes a whole number, not '" + text + "'");
    return v;
}

Options parseOptions(int argc, char** argv)
{
    Options o;
    if (argc < 2)
        usageError("no command given");
    o.command = argv[1];
    g_commandName = o.command;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc)
                usageError(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "-h" || arg == "--help") {
            o.help = true;
        } else if (arg == "-q" || arg == "--quiet") {
            o.quiet = true;
        } else if (arg == "--result-code") {
            o.resultCode = true;
        } else if (arg == "--flush") {
            o.flush = 1;
        } else if (arg == "--no-flush") {
            o.flush = 0;
        } else if (arg == "-p" || arg == "--port") {
            o.port = value();
        } else if (arg == "-b" || arg == "--baud") {
            o.baud = std::to_string(parseNumber(arg, value()));
        } else if (arg == "-d" || arg == "--data") {
            o.dataBits = std::to_string(parseNumber(arg, value()));
        } else if (arg == "-s" || arg == "--stop") {
            o.stopBits = std::to_string(parseNumber(arg, value()));
        } else if (arg == "--cts") {
            o.cts = true;
        } else if (arg == "--rts") {
            o.rts = true;
        } else if (arg == "--seconds") {
            o.seconds = static_cast<double>(parseNumber(arg, value()));
        } else if (arg == "--listen") {
            o.listenMs = parseNumber(arg, value());
        } else if (arg == "--wait") {
            o.wait = parseNumber(arg, value());
        } else if (arg == "--error") {
            o.error = parseNumber(arg, value());
        } else if (arg == "--delay") {
            o.delay = parseNumber(arg, value());
        } else if (arg == "--first") {
            o.first = value();
        } else if (arg == "--flash-kb") {
            o.flashKb = value();
        } else if (arg == "--erase-all") {
            o.eraseAll = true;
        } else if (arg == "--header-only" || arg == "--create") {
            o.createFile = true;
        } else if (arg == "--timing") {
            o.timing = true;
        } else if (arg == "--start") {
            o.start = value();
        } else if (arg == "-l" || arg == "--long") {
            o.longList = true;
        } else if (arg == "--hex") {
            o.hex = true;
        } else if (arg == "--timestamps") {
            o.timestamps = true;
        } else if (arg == "--reconnect") {
            o.reconnect = true;
        } else if (arg == "--log") {
            o.log = value();
        } else if (arg == "--raw") {
            o.raw = true;
        } else if (arg == "--overwrite") {
            o.overwrite = true;
        } else if (arg == "--break") {
            o.sendBreak = true;
        } else if (arg == "--1k") {
            o.oneK = true;
        } else if (arg == "--crc") {
            o.crc = true;
        } else if (arg == "--checksum") {
            o.checksum = true;
        } else if (arg == "--strip-padding") {
            o.stripPadding = true;
        } else if (arg == "--resume") {
            o.resume = true;
        } else if (arg == "--auto-zmodem") {
            o.autoZmodem = true;
        } else if (arg == "--dir") {
            o.dir = value();
        } else if (arg == "--start-timeout") {
            o.startTimeoutMs = parseNumber(arg, value());
        } else if (arg == "--start-interval") {
            o.startIntervalMs = parseNumber(arg, value());
        } else if (arg == "--block-timeout") {
            o.blockTimeoutMs = parseNumber(arg, value());
        } else if (arg == "--retries") {
            o.retries = parseNumber(arg, value());
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                o.positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            usageError("unknown option " + arg);
        } else {
            o.positional.push_back(arg);
        }
    }
    return o;
}

// Whether stdout's last byte ended a line, so output can be closed with one.
bool g_stdoutAtLineStart = true;

void writeOut(const std::string& text)
{
    if (text.empty())
        return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    g_stdoutAtLineStart = text.back() == '\n';
}

// 12345 as "12,345".
std::string grouped(std::uint64_t value)
{
    const std::string digits = std::to_string(value);
    std::string text;
    text.reserve(digits.size() + digits.size() / 3);
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0)
            text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

// The exit status of a transfer that ended with result.
int transferExit(const Options& o, int result)
{
    if (result == 0 || o.resultCode)
        return result;
    return kExitTransfer + result;
}

// The exit status when the port did not open: the transfer's own result for
// --result-code, else the one code every command uses.
int portOpenExit(const Options& o)
{
    const Command* c = findCommand(o.command);
    if (o.resultCode && c && c->transfer)
        return merovan::toInt(merovan::TransferResult::PortNotOpen);
    return kExitPortOpen;
}

// Opens the port as the terminal window does, or prints why it cannot.
bool openPort(SerialPort& port, const Options& o, bool flushByDefault = false)
{
    if (o.port.empty())
        usageError(o.command + " needs a port (-p PATH)");
    const std::string settings = merovan::lineSettingsText(o.baud, o.dataBits, o.stopBits);
    port.setFlushOnOpen(o.flush < 0 ? flushByDefault : o.flush == 1);
    const int rc = port.openPort(o.port, settings);
    if (rc != 0) {
        std::fprintf(stderr, "Cannot open %s: %s\n", o.port.c_str(), port.lastError().c_str());
        if (const std::string hint = merovan::cli::openFailureHint(rc); !hint.empty())
            std::fprintf(stderr, "%s\n", hint.c_str());
        return false;
    }
    if (o.cts)
        port.setCtsFlow(true);
    if (o.rts)
        port.setRts(true);
    return true;
}

// Prints what arrives until the deadline (or a signal). Returns false when
// the device went away.
bool printIncoming(SerialPort& port, double seconds)
{
    merovan::Clock& clock = port.clock();
    const std::uint64_t start = clock.nowMs();
    std::vector<std::uint8_t> buffer(4096);
    while (!g_stop) {
        if (seconds >= 0 && static_cast<double>(clock.nowMs() - start) >= seconds * 1000.0)
            break;
        const std::size_t n = port.readBlock(buffer);
        if (n > 0)
            writeOut(merovan::formatForDisplay(std::span(buffer.data(), n)));
        if (!port.isOpen()) {
            std::fprintf(stderr, "%s: %s\n", port.path().c_str(), port.lastError().c_str());
            return false;
        }
    }
    return true;
}

int cmdPorts(SerialPort& port, const Options& o)
{
    if (!o.longList) {
        for (const std::string& path : port.enumeratePorts())
            std::printf("%s\n", path.c_str());
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows { { "PORT", "USB ID", "DRIVER", "SERIAL", "PRODUCT", "BY-ID" } };
    for (const merovan::PortInfo& p : port.enumeratePortInfo()) {
        // The product string often repeats the manufacturer already.
        std::string product = p.manufacturer;
        if (!p.product.empty()) {
            if (product.empty() || p.product.rfind(product, 0) == 0) {
                product = p.product;
            } else {
                product.push_back(' ');
                product.append(p.product);
            }
        }
        std::string usbId;
        if (p.usb) {
            usbId.append(p.vendorId);
            usbId.push_back(':');
            usbId.append(p.productId);
        }
        rows.push_back({ p.path, usbId, p.driver, p.serial, product, p.byId });
    }
    std::vector<std::size_t> width(rows.front().size(), 0);
    for (auto& row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            if (row[c].empty())
                row[c].push_back('-');
            width[c] = std::max(width[c], row[c].size());
        }
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(width[c] - row[c].size() + 2, ' ');
        }
        std::printf("%s\n", line.c_str());
    }
    return kExitOk;
}

int cmdMonitor(SerialPort& port, const Options& o)
{
    if (!o.positional.empty())
        usageError("monitor takes no arguments besides options");
    if ((o.raw || o.overwrite) && o.log.empty())
        usageError("--raw and --overwrite go with --log FILE");
    if (!o.dir.empty() && !o.autoZmodem)
        usageError("--dir goes with --auto-zmodem");
    if (!openPort(port, o))
        return portOpenExit(o);

    merovan::SystemWallClock wall;
    std::unique_ptr<merovan::SessionLog> log;
    if (!o.log.empty()) {
        std::string reason;
        auto sink = merovan::openLogFile(o.log, o.overwrite, reason);
        if (!sink) {
            std::fprintf(stderr, "Cannot write the log %s: %s\n", o.log.c_str(), reason.c_str());
            return kExitFailure;
        }
        merovan::LogOptions options;
        options.form = o.raw ? merovan::LogForm::Raw : merovan::LogForm::View;
        options.timestamps = o.timestamps;
        options.overwrite = o.overwrite;
        log = std::make_unique<merovan::SessionLog>(std::move(sink), options, wall, port.clock(), o.log);
    }
    auto reportLogFailure = [&] {
        if (log) {
            if (const std::string failure = log->takeFailure(); !failure.empty())
                std::fprintf(stderr, "%s\n", failure.c_str());
        }
    };

    const std::string identity = merovan::describePort(o.port).identity();
    const std::string settings = merovan::lineSettingsText(o.baud, o.dataBits, o.stopBits);
    std::unique_ptr<merovan::DeviceWatch> watch;
    merovan::HexDumper dumper;
    merovan::LineStamper stamper;
    stamper.setEnabled(o.timestamps);
    merovan::Clock& clock = port.clock();
    const std::uint64_t start = clock.nowMs();
    auto expired = [&] { return o.seconds >= 0 && static_cast<double>(clock.nowMs() - start) >= o.seconds * 1000.0; };
    std::vector<std::uint8_t> buffer(4096);
    std::string out;
    merovan::ZmodemStartDetector zmodemStart;
    int rc = kExitOk;
    while (!g_stop && !expired()) {
        const std::size_t n = port.readBlock(buffer);
        if (n > 0) {
            const std::span<const std::uint8_t> got(buffer.data(), n);
            if (log)
                log->received(got);
            out.clear();
            std::string text;
            if (o.hex)
                dumper.feed(got, text);
            else
                text = merovan::formatForDisplay(got);
            stamper.stamp(text, o.timestamps ? wall.epochMs() : 0, out);
            std::fwrite(out.data(), 1, out.size(), stdout);
            std::fflush(stdout);
        }
        if (n > 0 && o.autoZmodem && zmodemStart.feed(std::span<const std::uint8_t>(buffer.data(), n))) {
            // The device began a ZMODEM send: take its files, then monitor on.
            std::fprintf(stderr, "\nZMODEM transfer started\n");
            if (log)
                log->note("ZMODEM transfer started");
            merovan::FileTransferOptions zoptions;
            zoptions.protocol = merovan::FileProtocol::Zmodem;
            zoptions.receiveDir = o.dir.empty() ? "." : o.dir;
            zoptions.resume = o.resume;
            if (o.blockTimeoutMs > 0)
                zoptions.blockTimeoutMs = static_cast<std::uint32_t>(o.blockTimeoutMs);
            if (o.retries >= 0)
                zoptions.retries = static_cast<int>(o.retries);
            // The sender is already waiting: a few ZRINITs, not a minute of them.
            zoptions.startTimeoutMs = 10000;
            const merovan::FileTransferOutcome z = merovan::zmodemReceive(
                port, zoptions, [](const merovan::FileTransferProgress&) { return g_stop != 0; });
            port.waitUntilSent();
            if (!z.trailing.empty()) {
                if (log)
                    log->received(z.trailing);
                out.clear();
                std::string text;
                if (o.hex)
                    dumper.feed(z.trailing, text);
                else
                    text = merovan::formatForDisplay(z.trailing);
                stamper.stamp(text, o.timestamps ? wall.epochMs() : 0, out);
                std::fwrite(out.data(), 1, out.size(), stdout);
                std::fflush(stdout);
            }
            for (const std::string& f : z.files)
                std::fprintf(stderr, "Received %s\n", f.c_str());
            std::string message = merovan::fileTransferMessage(z.result);
            if (z.result != 0 && !z.detail.empty())
                message += ": " + z.detail;
            std::fprintf(stderr, "ZMODEM: %s\n", message.c_str());
            if (log)
                log->note("ZMODEM: " + message);
            zmodemStart.reset();
        }
        if (log) {
            log->poll();
            reportLogFailure();
        }
        if (port.isOpen())
            continue;

        std::fprintf(stderr, "%s: %s\n", port.path().c_str(), port.lastError().c_str());
        if (!o.reconnect) {
            rc = kExitPortLost;
            break;
        }
        const std::string note = "Disconnected: " + o.port + ", waiting for it to return";
        std::fprintf(stderr, "%s\n", note.c_str());
        if (log)
            log->note(note);
        if (!watch)
            watch = merovan::makeDeviceWatch(merovan::extraPortDirectories(o.port));
        while (!g_stop && !expired()) {
            // Woken by the device directories; the time-out only bounds
            // how late a return that raised no event is noticed.
            watch->waitForChange(500);
            if (log)
                log->poll();
            const std::string path = merovan::findReturnedPort(o.port, identity);
            if (path.empty() || port.openPort(path, settings) != 0) {
                port.closePort();
                continue;
            }
            if (o.cts)
                port.setCtsFlow(true);
            if (o.rts)
                port.setRts(true);
            std::fprintf(stderr, "Reconnected\n");
            if (log)
                log->note("Reconnected");
            break;
        }
    }
    if (o.hex) {
        const std::string rest = dumper.partialRow();
        if (!rest.empty()) {
            out.clear();
            stamper.stamp(rest + "\n", o.timestamps ? wall.epochMs() : 0, out);
            std::fwrite(out.data(), 1, out.size(), stdout);
        }
    }
    std::fflush(stdout);
    if (log) {
        log->stop();
        reportLogFailure();
    }
    return rc;
}

// Sends text with its escapes expanded and prints what went out; with
// --listen, then what comes back.
int sendAndEcho(SerialPort& port, const std::string& text, const Options& o)
{
    std::vector<char> echo(64 * 1024);
    const std::size_t n = merovan::sendExpandedText(port, text, echo);
    writeOut(merovan::formatForDisplay(std::span(reinterpret_cast<const std::uint8_t*>(echo.data()), n)));
    if (!port.isOpen()) {
        std::fprintf(stderr, "%s: %s\n", o.port.c_str(), port.lastError().c_str());
        return kExitPortLost;
    }
    if (o.listenMs > 0) {
        const bool stayed = printIncoming(port, static_cast<double>(o.listenMs) / 1000.0);
        // What was listened to ends a line, so the shell prompt does not
        // follow the device's last word.
        if (!g_stdoutAtLineStart)
            writeOut("\n");
        if (!stayed)
            return kExitPortLost;
    }
    return kExitOk;
}

int cmdSend(SerialPort& port, const Options& o)
{
    if (o.positional.size() != 1 && !(o.sendBreak && o.positional.empty()))
        usageError("send takes one TEXT");
    if (!openPort(port, o, o.listenMs > 0))
        return portOpenExit(o);
    if (o.sendBreak && port.sendBreak() != 0) {
        std::fprintf(stderr, "Cannot send a break on %s: %s\n", o.port.c_str(), port.lastError().c_str());
        return kExitPortLost;
    }
    return sendAndEcho(port, o.positional.empty() ? std::string() : o.positional.front(), o);
}

// For --timing: the first and the latest progress report past position 0,
// so fixed start-up waits do not count.
struct ProgressMark
{
    std::uint64_t ms = 0;
    std::int32_t position = 0;
};
ProgressMark g_firstMark;
ProgressMark g_lastMark;
std::int32_t g_divisor = 1;

// Progress on stderr when it is a terminal; SIGINT cancels.
merovan::ProgressCallback progressReporter()
{
    const bool show = merovan::cli::stderrIsTerminal();
    g_firstMark = g_lastMark = {};
    return [show](std::int32_t maximum, std::int32_t position) {
        if (position > 0) {
            const ProgressMark now { merovan::SteadyClock().nowMs(), position };
            if (g_firstMark.ms == 0)
                g_firstMark = now;
            g_lastMark = now;
        }
        if (show && maximum > 0)
            std::fprintf(stderr, "\r%3d%%", static_cast<int>(100LL * position / maximum));
        return g_stop ? 1 : 0;
    };
}

// Where a transfer started, for its success message.
struct TransferStart
{
    explicit TransferStart(SerialPort& port)
        : ms(merovan::SteadyClock().nowMs())
        , written(port.bytesWritten())
    {
    }
    // "Sent 12,345 bytes in 1.07 s": what went out since the start.
    std::string sentText(SerialPort& port) const
    {
        const double secs = static_cast<double>(merovan::SteadyClock().nowMs() - ms) / 1000.0;
        char time[32];
        std::snprintf(time, sizeof time, "%.2f", secs);
        return "Sent " + grouped(port.bytesWritten() - written) + " bytes in " + time + " s";
    }
    std::uint64_t ms;
    std::uint64_t written;
};

// The window's message for a result, followed by what the core knows of
// why: "Cant open file: prog.hex: No such file or directory".
std::string failureText(const std::string& message, const merovan::TransferRequest& request)
{
    return request.detail.empty() ? message : message + ": " + request.detail;
}

// Ends a transfer as the window's driver does: one CR to the device, then
// the result's message (or, unless --quiet, the success text).
int finishTransfer(SerialPort& port, const merovan::TransferRequest& request, int result, const std::string& message,
                   const std::string& success, const Options& o)
{
    if (o.timing && g_lastMark.ms > g_firstMark.ms) {
        const double bytes = static_cast<double>(g_lastMark.position - g_firstMark.position) * g_divisor;
        const double secs = static_cast<double>(g_lastMark.ms - g_firstMark.ms) / 1000.0;
        std::fprintf(stderr, "data rate: %.0f B/s (%.0f bytes in %.3f s)\n", bytes / secs, bytes, secs);
    }
    if (merovan::cli::stderrIsTerminal())
        std::fputc('\n', stderr);
    port.writeByte(13);
    if (result != 0)
        std::fprintf(stderr, "%s\n", failureText(message, request).c_str());
    else if (!o.quiet && !success.empty())
        std::fprintf(stderr, "%s\n", success.c_str());
    return transferExit(o, result);
}

int cmdTextFile(SerialPort& port, const Options& o)
{
    if (o.positional.size() != 1)
        usageError("text-file takes one FILE");
    if (!openPort(port, o))
        return portOpenExit(o);
    merovan::TransferRequest request(port);
    request.fileName = o.positional.front();
    request.sendFirst = o.first;
    // Kept in one byte, as the dialog's fields are.
    request.eolWaitChar = static_cast<std::uint8_t>(o.wait);
    request.errorChar = static_cast<std::uint8_t>(o.error);
    request.eolDelay = static_cast<std::uint8_t>(o.delay);
    const TransferStart start(port);
    const int result = merovan::toInt(merovan::sendTextFile(request, progressReporter()));
    return finishTransfer(port, request, result, merovan::transfer1Message(result), start.sentText(port), o);
}

// The flash size in bytes from a number of kilobytes; false when it is not
// one, or too large to address.
bool flashBytes(const std::string& kb, std::int32_t& bytes, std::int32_t& kilobytes)
{
    if (kb.empty() || kb.find_first_not_of("0123456789") != std::string::npos || kb.size() > 7)
        return false;
    const long v = std::stol(kb);
    if (v * 1024 > 0x7FFFFFFFL - 4096)
        return false;
    kilobytes = static_cast<std::int32_t>(v);
    bytes = static_cast<std::int32_t>(v * 1024);
    return true;
}

int cmdBoot(SerialPort& port, const Options& o)
{
    if (o.positional.size() != 1)
        usageError("boot takes one FILE");
    std::int32_t bytes = 0;
    std::int32_t kb = 0;
    if (!flashBytes(o.flashKb, bytes, kb)) {
        std::fprintf(stderr, "Flash size must be a number of kilobytes\n");
        return kExitUsage;
    }
    if (!openPort(port, o))
        return portOpenExit(o);
    merovan::TransferRequest request(port);
    request.fileName = o.positional.front();
    request.flashSize = bytes;
    request.eraseSize = o.eraseAll ? kb : 0;
    // As the window does: no CTS flow control while the loader runs.
    port.setCtsFlow(false);
    const merovan::ProgressCallback report = progressReporter();
    const int result = merovan::runBootLoader(request, [&](std::int32_t maximum, std::int32_t position) {
        g_divisor = request.divisor > 0 ? request.divisor : 1;
        return report(maximum, position);
    });
    if (o.cts)
        port.setCtsFlow(true);
    const std::string success = "Loaded " + grouped(static_cast<std::uint64_t>(std::max(0, request.actualFileSize)))
        + " bytes (boot loader v" + std::to_string(request.bootVersion) + ")";
    return finishTransfer(port, request, result, merovan::bootLoaderMessage(result), success, o);
}

int cmdHex2bin(const Options& o)
{
    if (o.positional.size() != 2)
        usageError("hex2bin takes IN.hex and OUT.bin");
    std::int32_t bytes = 0;
    std::int32_t kb = 0;
    if (!flashBytes(o.flashKb, bytes, kb)) {
        std::fprintf(stderr, "Flash size must be a number of kilobytes\n");
        return kExitUsage;
    }
    char* end = nullptr;
    const unsigned long start = std::strtoul(o.start.c_str(), &end, 16);
    if (o.start.empty() || *end != '\0' || start > 0xFFFFFFFFul)
        usageError("--start takes a hexadecimal address, such as 0x1D000000");
    std::vector<std::uint8_t> image(static_cast<std::size_t>(bytes) + 2000, 0xFF);
    std::int32_t size = 0;
    std::string why;
    if (merovan::convertHexFile(o.positional[0], static_cast<std::uint32_t>(start), static_cast<std::uint32_t>(bytes),
                                image, size, &why)
        != merovan::kHexConverted) {
        const std::string message = merovan::bootLoaderMessage(merovan::kBootHexFailed);
        std::fprintf(stderr, "%s: %s\n", message.c_str(), why.c_str());
        return transferExit(o, merovan::kBootHexFailed);
    }
    // The size counts one byte past the highest one stored.
    if (static_cast<std::size_t>(size) > image.size())
        image.resize(static_cast<std::size_t>(size), 0xFF);
    std::FILE* out = std::fopen(o.positional[1].c_str(), "wb");
    bool ok = out && std::fwrite(image.data(), 1, static_cast<std::size_t>(size), out) == static_cast<std::size_t>(size);
    const int error = errno;
    if (out)
        ok = std::fclose(out) == 0 && ok;
    if (!ok) {
        std::fprintf(stderr, "Cannot write %s: %s\n", o.positional[1].c_str(), std::strerror(out ? errno : error));
        return kExitFailure;
    }
    if (!o.quiet)
        std::fprintf(stderr, "Wrote %s bytes to %s\n", grouped(static_cast<std::uint64_t>(size)).c_str(),
                     o.positional[1].c_str());
    return kExitOk;
}

// binary, picture and font: the routines of the binary transfer dialog.
int cmdBinaryKind(SerialPort& port, const Options& o)
{
    if (o.positional.size() != 1)
        usageError(o.command + " takes one FILE");
    const bool create = o.createFile && o.command != "binary";
    if (!create) {
        if (!openPort(port, o))
            return portOpenExit(o);
    } else if (!o.port.empty()) {
        usageError(o.command + ": give either a port or " + (o.command == "font" ? "--create" : "--header-only"));
    }
    merovan::TransferRequest request(port);
    request.fileName = o.positional.front();
    request.sendFirst = o.first;
    request.createFile = create ? 1 : 0;
    std::string written;
    const TransferStart start(port);
    merovan::TransferResult result;
    if (o.command == "picture")
        result = merovan::sendPicture(request, progressReporter(), &written);
    else if (o.command == "font")
        result = merovan::sendFont(request, progressReporter(), &written);
    else {
        std::error_code ec;
        const auto size = std::filesystem::file_size(request.fileName, ec);
        g_divisor = ec ? 1 : merovan::progressDivisor(static_cast<std::int64_t>(size));
        result = merovan::sendBinaryFile(request, progressReporter());
    }
    const int code = merovan::toInt(result);
    if (code == 0 && !written.empty())
        std::printf("%s\n", written.c_str());
    if (create) {
        if (code != 0)
            std::fprintf(stderr, "%s\n", failureText(merovan::transferBinMessage(code), request).c_str());
        return transferExit(o, code);
    }
    return finishTransfer(port, request, code, merovan::transferBinMessage(code), start.sentText(port), o);
}

std::string readStdin()
{
    std::string text;
    char buffer[4096];
    std::size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, stdin)) > 0)
        text.append(buffer, n);
    return text;
}

int cmdScript(SerialPort& port, const Options& o)
{
    const auto& a = o.positional;
    if (a.empty())
        usageError("script needs a subcommand: list, show, add, update, remove, new or send");
    const std::string& sub = a[0];
    auto need = [&](std::size_t count) {
        if (a.size() != count + 1)
            usageError("script " + sub + " takes " + std::to_string(count) + " arguments");
    };
    bool failed = false;
    const merovan::StoreMessages say = [&failed](const std::string& message) {
        std::fprintf(stderr, "%s\n", message.c_str());
        failed = true;
    };
    auto cantOpen = [](const std::string& path) {
        std::fprintf(stderr, "Cannot open script file %s\n", path.c_str());
        return kExitFailure;
    };

    if (sub == "list") {
        need(1);
        const auto names = merovan::readScriptNames(a[1]);
        if (!names)
            return cantOpen(a[1]);
        for (const std::string& name : *names)
            std::printf("%s\n", name.c_str());
        return kExitOk;
    }
    if (sub == "show") {
        need(2);
        if (!merovan::readScriptNames(a[1]))
            return cantOpen(a[1]);
        const auto text = merovan::getScriptText(a[1], a[2]);
        if (!text) {
            std::fprintf(stderr, "No script named %s in %s\n", a[2].c_str(), a[1].c_str());
            return kExitFailure;
        }
        std::fwrite(text->data(), 1, text->size(), stdout);
        std::fputc('\n', stdout);
        return kExitOk;
    }
    if (sub == "add" || sub == "update") {
        need(3);
        if (!merovan::readScriptNames(a[1]))
            return cantOpen(a[1]);
        const std::string text = a[3] == "-" ? readStdin() : a[3];
        const bool ok = sub == "add" ? merovan::addScript(a[1], a[2], text, say)
                                     : merovan::updateScript(a[1], a[2], text, say);
        if (!ok && !failed)
            std::fprintf(stderr, "Cannot change %s (no end marker, or not writable)\n", a[1].c_str());
        return ok ? kExitOk : kExitFailure;
    }
    if (sub == "remove") {
        need(2);
        if (!merovan::readScriptNames(a[1]))
            return cantOpen(a[1]);
        const bool ok = merovan::removeScript(a[1], a[2], say);
        if (!ok && !failed)
            std::fprintf(stderr, "Cannot change %s (not writable)\n", a[1].c_str());
        return ok ? kExitOk : kExitFailure;
    }
    if (sub == "new") {
        need(1);
        std::string path = a[1];
        merovan::addDefaultExtension(path);
        if (!merovan::createScriptFile(path)) {
            std::fprintf(stderr, "%s !! cant create ths file\n", path.c_str());
            return kExitFailure;
        }
        std::printf("%s\n", path.c_str());
        return kExitOk;
    }
    if (sub == "send") {
        need(2);
        const auto text = merovan::getScriptText(a[1], a[2]);
        if (!text) {
            std::fprintf(stderr, "No script named %s in %s\n", a[2].c_str(), a[1].c_str());
            return kExitFailure;
        }
        if (!openPort(port, o, o.listenMs > 0))
            return portOpenExit(o);
        return sendAndEcho(port, *text, o);
    }
    usageError("unknown script subcommand '" + sub + "'");
}

// xmodem, ymodem and zmodem: send FILE... or recv, with progress on stderr.
struct FileMark
{
    std::uint64_t ms = 0;
    std::int64_t bytes = 0;
};

int cmdFileTransfer(SerialPort& port, const Options& o)
{
    const merovan::FileProtocol protocol = o.command == "xmodem" ? merovan::FileProtocol::Xmodem
        : o.command == "ymodem"                                  ? merovan::FileProtocol::Ymodem
                                                                 : merovan::FileProtocol::Zmodem;
    const bool xmodem = protocol == merovan::FileProtocol::Xmodem;
    if (o.positional.empty())
        usageError(o.command + " needs send or recv");
    const std::string& sub = o.positional[0];
    const bool sending = sub == "send";
    if (!sending && sub != "recv" && sub != "receive")
        usageError(o.command + ": unknown subcommand '" + sub + "' (send or recv)");
    const std::vector<std::string> files(o.positional.begin() + 1, o.positional.end());
    if (sending) {
        if (files.empty() || (xmodem && files.size() != 1))
            usageError(xmodem ? "xmodem send takes one FILE" : o.command + " send takes one or more FILEs");
        if (o.crc || o.checksum || o.stripPadding || !o.dir.empty())
            usageError("--crc, --checksum, --strip-padding and --dir are for recv");
    } else {
        if (xmodem ? files.size() != 1 : !files.empty())
            usageError(xmodem ? "xmodem recv takes one FILE (XMODEM carries no name)"
                              : o.command + " recv takes no FILE: the names come from the sender (see --dir)");
        if (o.oneK)
            usageError("--1k is for send");
    }
    if (o.crc && o.checksum)
        usageError("--crc and --checksum exclude each other");
    if (o.resume && protocol != merovan::FileProtocol::Zmodem)
        usageError("--resume is for zmodem");

    merovan::FileTransferOptions options;
    options.protocol = protocol;
    options.oneK = o.oneK;
    options.checksum = o.checksum;
    options.stripPadding = o.stripPadding;
    options.resume = o.resume;
    if (o.startTimeoutMs >= 0)
        options.startTimeoutMs = static_cast<std::uint32_t>(o.startTimeoutMs);
    if (o.startIntervalMs > 0)
        options.startIntervalMs = static_cast<std::uint32_t>(o.startIntervalMs);
    if (o.blockTimeoutMs > 0)
        options.blockTimeoutMs = static_cast<std::uint32_t>(o.blockTimeoutMs);
    if (o.retries >= 0)
        options.retries = static_cast<int>(o.retries);
    options.receiveDir = o.dir.empty() ? "." : o.dir;
    if (!sending && xmodem)
        options.xmodemFileName = o.dir.empty() ? files[0] : (std::filesystem::path(o.dir) / files[0]).string();

    // A receiver drops what a previous session left unread; a sender keeps
    // it, since a receiver started first may already have asked for the
    // file ("C" or NAK).
    if (!openPort(port, o, !sending))
        return portOpenExit(o);

    // Progress on stderr when it is a terminal; the marks are for --timing,
    // counted over the whole session.
    const bool show = merovan::cli::stderrIsTerminal();
    FileMark first;
    FileMark last;
    std::int64_t before = 0;  // bytes of the files already done
    int index = 0;
    std::int64_t current = 0;
    const merovan::FileProgressCallback progress = [&](const merovan::FileTransferProgress& p) {
        if (p.fileIndex != index) {
            before += current;
            index = p.fileIndex;
            current = 0;
        }
        current = p.bytes;
        const std::int64_t moved = before + current;
        if (moved > 0) {
            const FileMark now { merovan::SteadyClock().nowMs(), moved };
            if (first.ms == 0)
                first = now;
            last = now;
        }
        if (show) {
            std::string line = "\r" + p.fileName + "  " + grouped(static_cast<std::uint64_t>(std::max<std::int64_t>(0, p.bytes)));
            if (p.total >= 0)
                line += " / " + grouped(static_cast<std::uint64_t>(p.total)) + " bytes  "
                    + std::to_string(p.total > 0 ? 100 * p.bytes / p.total : 100) + "%";
            else
                line += " bytes";
            if (p.retries > 0)
                line += "  retries " + std::to_string(p.retries);
            std::fprintf(stderr, "%s\033[K", line.c_str());
        }
        return g_stop != 0;
    };

    const merovan::FileTransferOutcome outcome = sending ? merovan::sendFiles(port, files, options, progress)
                                                         : merovan::receiveFiles(port, options, progress);
    // The last ACK leaves for the line before the port closes.
    port.waitUntilSent();
    if (show)
        std::fputc('\n', stderr);
    if (o.timing && last.ms > first.ms) {
        const double bytes = static_cast<double>(last.bytes - first.bytes);
        const double secs = static_cast<double>(last.ms - first.ms) / 1000.0;
        std::fprintf(stderr, "data rate: %.0f B/s (%.0f bytes in %.3f s)\n", bytes / secs, bytes, secs);
    }
    if (!sending)
        for (const std::string& f : outcome.files)
            std::printf("%s\n", f.c_str());
    std::fflush(stdout);
    if (outcome.result != 0) {
        std::string message = merovan::fileTransferMessage(outcome.result);
        if (!outcome.detail.empty())
            message += ": " + outcome.detail;
        std::fprintf(stderr, "%s\n", message.c_str());
    } else if (!o.quiet) {
        char time[32];
        std::snprintf(time, sizeof time, "%.2f", static_cast<double>(outcome.elapsedMs) / 1000.0);
        const std::string count = outcome.files.size() > 1 ? std::to_string(outcome.files.size()) + " files, " : "";
        const std::string retries = outcome.retries == 0 ? ""
            : outcome.retries == 1                        ? " (1 retry)"
                                                          : " (" + std::to_string(outcome.retries) + " retries)";
        std::fprintf(stderr, "%s %s%s bytes in %s s%s\n", sending ? "Sent" : "Received", count.c_str(),
                     grouped(static_cast<std::uint64_t>(outcome.bytes)).c_str(), time, retries.c_str());
    }
    return transferExit(o, outcome.result);
}

// A handler for the commands that need no port object of their own.
int runHex2bin(SerialPort&, const Options& o)
{
    return cmdHex2bin(o);
}

const std::vector<Command>& commands()
{
    static const std::vector<Command> table = {
        { "ports", "ports [-l]", "list the serial ports present, without opening any",
          "  -l, --long         a table of what the system knows of each port (USB ids,\n"
          "                     driver, serial string, by-id link)\n",
          "merovan-cli ports -l", false, false, cmdPorts },
        { "monitor",
          "monitor -p PORT [--seconds N] [--hex] [--timestamps] [--reconnect] [--flush]\n"
          "          [--log FILE [--raw] [--overwrite]] [--auto-zmodem [--dir DIR]]",
          "print what arrives (non-printable bytes as [xx]) until Ctrl+C",
          "  --seconds N        stop after N seconds\n"
          "  --hex              a hex dump instead of the terminal's text form\n"
          "  --timestamps       the time before each line\n"
          "  --reconnect        wait for a port that goes away and reopen it when it\n"
          "                     returns\n"
          "  --log FILE         also write what arrives to FILE (appended to)\n"
          "  --raw              log the raw bytes instead of the text form\n"
          "  --overwrite        start the log afresh\n"
          "  --flush            discard what was waiting in the port before it opened\n"
          "  --auto-zmodem      when the device starts a ZMODEM send, receive its files\n"
          "                     (into --dir or the current folder), then go on\n"
          "                     monitoring\n"
          "  --dir DIR          the folder that --auto-zmodem receives into\n",
          "merovan-cli monitor -p /dev/ttyUSB0 -b 115200 --timestamps --log session.log", true, false, cmdMonitor },
        { "send", "send -p PORT [--break] [--listen MS] [--flush | --no-flush] [TEXT]",
          "send TEXT with its escapes expanded and print what went out",
          "  TEXT               the text; escapes: \\r \\n \\e, \\w<ms> (a wait), \\0x<hex>,\n"
          "                     \\<decimal>, \\$Date, \\$Time, ...\n"
          "  --break            send a break first (TEXT may then be left out)\n"
          "  --listen MS        then print what arrives for MS milliseconds, ending\n"
          "                     with a new line\n"
          "  --flush            discard what was waiting in the port before it opened\n"
          "                     (the default with --listen)\n"
          "  --no-flush         keep it\n",
          "merovan-cli send -p /dev/ttyUSB0 --listen 500 'AT\\r'", true, false, cmdSend },
        { "text-file", "text-file -p PORT [--wait N] [--error N] [--delay MS] [--first TEXT] FILE",
          "send a text file line by line, each line ended by a carriage return",
          "  --wait N           after each line wait for byte N (decimal) from the device\n"
          "  --error N          stop when the device sends byte N\n"
          "  --delay MS         pause MS milliseconds after each line\n"
          "  --first TEXT       send TEXT (with escapes) before the file\n",
          "merovan-cli text-file -p /dev/ttyUSB0 --wait 6 --error 5 prog.bas", true, true, cmdTextFile },
        { "binary", "binary -p PORT [--first TEXT] FILE", "send a file byte for byte",
          "  --first TEXT       send TEXT (with escapes) before the file\n",
          "merovan-cli binary -p /dev/ttyUSB0 -b 115200 firmware.bin", true, true, cmdBinaryKind },
        { "picture", "picture (-p PORT | --header-only) [--first TEXT] FILE.bmp",
          "send a 24-bit BMP as the device's picture stream, or write it as bmpHead.h here",
          "  --header-only      write bmpHead.h in the current folder instead of sending\n"
          "  --first TEXT       send TEXT (with escapes) before the picture\n",
          "merovan-cli picture -p /dev/ttyUSB0 logo.bmp", true, true, cmdBinaryKind },
        { "font", "font (-p PORT | --create) [--first TEXT] FILE.bff",
          "send a bitmap font as the device's binary font, or write it as FILE.bf",
          "  --create           write FILE.bf beside FILE.bff instead of sending\n"
          "  --first TEXT       send TEXT (with escapes) before the font\n",
          "merovan-cli font --create courier.bff", true, true, cmdBinaryKind },
        { "boot", "boot -p PORT --flash-kb KB [--erase-all] FILE",
          "load an application (Intel HEX or raw image) through the device's boot loader",
          "  --flash-kb KB      the device's flash size in kilobytes\n"
          "  --erase-all        erase the whole flash, not just what the image needs\n",
          "merovan-cli boot -p /dev/ttyUSB0 -b 115200 --flash-kb 512 app.hex", true, true, cmdBoot },
        { "hex2bin", "hex2bin --start ADDR --flash-kb KB IN.hex OUT.bin",
          "convert Intel HEX into the flash image the boot loader would be sent",
          "  --start ADDR       the flash's first address, in hex\n"
          "  --flash-kb KB      the flash size in kilobytes\n",
          "merovan-cli hex2bin --start 0x1D000000 --flash-kb 512 app.hex app.bin", false, true, runHex2bin },
        { "script",
          "script list FILE | show FILE NAME | add FILE NAME TEXT|- | update FILE NAME TEXT|-\n"
          "          | remove FILE NAME | new FILE | send -p PORT [--listen MS] FILE NAME",
          "list, show, add, update and remove the scripts of a script file, make a new\n"
          "        one (.scr by default), or send a script with its escapes expanded",
          "  list FILE              the names of the scripts in FILE\n"
          "  show FILE NAME         a script's text\n"
          "  add FILE NAME TEXT|-   add a script (\"-\" reads the text from stdin)\n"
          "  update FILE NAME TEXT|-  replace a script's text, or add it\n"
          "  remove FILE NAME       remove a script\n"
          "  new FILE               create an empty script file\n"
          "  send FILE NAME         send a script (needs -p PORT); --listen MS as for send\n",
          "merovan-cli script add lab.scr reset 'ATZ\\r\\w500'", true, false, cmdScript },
        { "xmodem",
          "xmodem send -p PORT [--1k] FILE\n"
          "          | recv -p PORT [--crc | --checksum] [--strip-padding] [--dir DIR] FILE",
          "send or receive one file by XMODEM (checksum, CRC-16 or 1K blocks)",
          "  send FILE          send FILE; the receiver chooses checksum or CRC\n"
          "  recv FILE          receive into FILE (XMODEM carries no name or size)\n"
          "  --1k               send 1024-byte blocks when the receiver asked for CRC\n"
          "  --crc              recv: ask for CRC-16 (the default)\n"
          "  --checksum         recv: ask for the 8-bit checksum\n"
          "  --strip-padding    recv: cut the SUB (1A) bytes that pad the last block\n"
          "  --dir DIR          recv: the folder FILE is written in\n" FILE_TIMING_OPTIONS,
          "merovan-cli xmodem send -p /dev/ttyUSB0 -b 115200 --1k firmware.bin", true, true, cmdFileTransfer },
        { "ymodem",
          "ymodem send -p PORT FILE... | recv -p PORT [--checksum] [--dir DIR]",
          "send or receive files by YMODEM batch, with their names, sizes and dates",
          "  send FILE...       send the files in one session, in 1024-byte blocks\n"
          "  recv               receive every file the sender offers, by its base name\n"
          "  --dir DIR          recv: the folder the files are written in (default: .)\n"
          "  --crc              recv: ask for CRC-16 (the default)\n"
          "  --checksum         recv: ask for the 8-bit checksum\n" FILE_TIMING_OPTIONS,
          "merovan-cli ymodem recv -p /dev/ttyUSB0 -b 115200 --dir incoming", true, true, cmdFileTransfer },
        { "zmodem",
          "zmodem send -p PORT [--resume] FILE... | recv -p PORT [--resume] [--dir DIR]",
          "send or receive files by ZMODEM, with CRC-32 and error recovery",
          "  send FILE...       send the files in one session\n"
          "  recv               receive every file the sender offers, by its base name\n"
          "  --dir DIR          recv: the folder the files are written in (default: .)\n"
          "  --resume           continue a partial file where it stopped\n" FILE_TIMING_OPTIONS,
          "merovan-cli zmodem send -p /dev/ttyUSB0 -b 115200 log1.bin log2.bin", true, true, cmdFileTransfer },
    };
    return table;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("merovan-cli %s\n", MEROVAN_VERSION);
        return kExitOk;
    }
    // --help anywhere shows the help of the command it follows.
    for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
        if (std::strcmp(argv[i], "-h") == 0 || std::strcmp(argv[i], "--help") == 0) {
            const Command* c = i > 1 ? findCommand(argv[1]) : nullptr;
            if (c)
                commandUsage(*c, stdout);
            else
                usage(stdout);
            return kExitOk;
        }
    }
    const Options o = parseOptions(argc, argv);
    const Command* command = findCommand(o.command);
    if (!command)
        usageError("unknown command '" + o.command + "'");

    merovan::cli::catchStopRequests(onStop);

    merovan::SteadyClock clock;
    SerialPort port(clock);
    return command->run(port, o);
}
