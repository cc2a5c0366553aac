// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli's shared parts: option parsing, the help texts, and the
// helpers every command uses.

#include "cli_common.h"

#include "cli_platform.h"

#include "serial/port_enumeration.h"
#include "transfer/transfer.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>

namespace merovan::cli {

volatile std::sig_atomic_t g_stop = 0;

namespace {

const char kLineOptions[] = "Line options (defaults 9600,8,N,1):\n"
                            "  -p, --port PATH    device path, for example /dev/ttyUSB0 (COM3 on Windows),\n"
                            "                     or a device server's port: rfc2217://HOST:PORT (line\n"
                            "                     settings and DTR/RTS applied) or tcp://HOST:PORT (bytes only)\n"
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
                          "  4        the port failed or went away (monitor, term, send, script send)\n"
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

} // namespace

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

namespace {

// Adds the flags of one --map to o.
void parseMap(Options& o, const std::string& flags)
{
    std::size_t at = 0;
    while (at <= flags.size()) {
        std::size_t end = flags.find(',', at);
        if (end == std::string::npos)
            end = flags.size();
        std::string flag = flags.substr(at, end - at);
        for (char& c : flag)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        at = end + 1;
        std::optional<merovan::EnterMap> enter;
        std::optional<merovan::IncomingMap> incoming;
        if (flag == "INLCRNL")
            incoming = merovan::IncomingMap::LfAddsCr;
        else if (flag == "ICRNL")
            incoming = merovan::IncomingMap::LoneCrBreaks;
        else if (flag == "OCRNL")
            enter = merovan::EnterMap::Lf;
        else if (flag == "OCRCRNL")
            enter = merovan::EnterMap::CrLf;
        else
            usageError("--map: unknown flag '" + flag
                       + "' (INLCRNL, ICRNL, OCRNL or OCRCRNL)");
        if (incoming && o.incomingMap && *o.incomingMap != *incoming)
            usageError("--map: INLCRNL and ICRNL exclude each other");
        if (enter && o.enterMap && *o.enterMap != *enter)
            usageError("--map: OCRNL and OCRCRNL exclude each other");
        if (incoming)
            o.incomingMap = incoming;
        if (enter)
            o.enterMap = enter;
    }
}

} // namespace

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
        } else if (arg == "--plot-csv") {
            o.plotCsv = value();
        } else if (arg == "--plot-prefix") {
            o.plotPrefix = value();
            o.havePlotPrefix = true;
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
        } else if (arg == "--map") {
            parseMap(o, value());
        } else if (arg == "--echo") {
            o.echo = true;
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
        } else if (arg == "--cols") {
            o.cols = parseNumber(arg, value());
        } else if (arg == "--rows") {
            o.rows = parseNumber(arg, value());
        } else if (arg == "--html") {
            o.html = true;
        } else if (arg == "--latin1") {
            o.latin1 = true;
        } else if (arg == "--allow-exec") {
            o.allowExec = true;
        } else if (arg == "--script-file") {
            o.scriptFile = value();
        } else if (arg == "--") {
            for (++i; i < argc; ++i)
                o.positional.emplace_back(argv[i]);
        } else if (o.command == "run" && !o.positional.empty()) {
            // What follows the script's name is the script's own.
            for (; i < argc; ++i)
                o.positional.emplace_back(argv[i]);
        } else if (arg.size() > 1 && arg[0] == '-') {
            usageError("unknown option " + arg);
        } else {
            o.positional.push_back(arg);
        }
    }
    return o;
}

bool g_stdoutAtLineStart = true;

void writeOut(const std::string& text)
{
    if (text.empty())
        return;
    std::fwrite(text.data(), 1, text.size(), stdout);
    std::fflush(stdout);
    g_stdoutAtLineStart = text.back() == '\n';
}

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

int transferExit(const Options& o, int result)
{
    if (result == 0 || o.resultCode)
        return result;
    return kExitTransfer + result;
}

int portOpenExit(const Options& o)
{
    const Command* c = findCommand(o.command);
    if (o.resultCode && c && c->transfer)
        return merovan::toInt(merovan::TransferResult::PortNotOpen);
    return kExitPortOpen;
}

void printNotices(SerialPort& port)
{
    for (std::string note = port.takeNotice(); !note.empty(); note = port.takeNotice())
        std::fprintf(stderr, "%s\n", note.c_str());
}

bool openPort(SerialPort& port, const Options& o, bool flushByDefault)
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
    printNotices(port);
    return true;
}

} // namespace merovan::cli
