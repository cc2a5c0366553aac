// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

// What the commands of merovan-cli share: the options as parsed, the table
// of commands, the exit statuses and the helpers every command uses. Each
// command, or a small group of them, has a file of its own.

#include "serial/serial_port.h"
#include "terminal/line_map.h"

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

// The help of --map. The flags are tio's names where tio has one for the
// same map, so its users need not learn new ones.
#define MEROVAN_CLI_MAP_OPTIONS(ENTER_FLAGS) \
    "  --map FLAGS        line-end maps, comma-separated (by default none):\n" \
    "                       INLCRNL  incoming: an LF also returns the carriage\n" \
    "                                (LF becomes CR LF)\n" \
    "                       ICRNL    incoming: a lone CR starts a new line (a CR\n" \
    "                                LF stays one line end)\n" ENTER_FLAGS
#define MEROVAN_CLI_ENTER_FLAGS \
    "                       OCRNL    the Enter key sends LF instead of CR\n" \
    "                       OCRCRNL  the Enter key sends CR LF\n"

namespace merovan::cli {

// Exit status. Transfers add their result to kExitTransfer, so no result
// can be mistaken for a usage error or a port that did not open.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitPortOpen = 3;
constexpr int kExitPortLost = 4;
constexpr int kExitTransfer = 64;

// Set by Ctrl+C and the like; every loop looks at it.
extern volatile std::sig_atomic_t g_stop;

using merovan::SerialPort;

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
    bool echo = false;
    // --map: unset when not given, so a command can tell what it ignores.
    std::optional<merovan::EnterMap> enterMap;
    std::optional<merovan::IncomingMap> incomingMap;
    std::string dir;
    long startTimeoutMs = -1;
    long startIntervalMs = -1;
    long blockTimeoutMs = -1;
    long retries = -1;
    std::string log;
    std::string plotCsv;
    std::string plotPrefix;
    bool havePlotPrefix = false;
    bool help = false;
    bool quiet = false;
    bool resultCode = false;
    bool allowExec = false;
    std::string scriptFile;
    int flush = -1; // -1: the command's default
    long cols = 80;
    long rows = 24;
    bool html = false;
    bool latin1 = false;
    std::vector<std::string> positional;
};

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

// The table, in the order --help lists it (cli_commands.cpp).
const std::vector<Command>& commands();
const Command* findCommand(const std::string& name);

void usage(std::FILE* to);
void commandUsage(const Command& c, std::FILE* to);
// Prints message and the way to help, and exits with kExitUsage.
[[noreturn]] void usageError(const std::string& message);
long parseNumber(const std::string& option, const char* text);
Options parseOptions(int argc, char** argv);

// Whether stdout's last byte ended a line, so output can be closed with one.
extern bool g_stdoutAtLineStart;
// Writes text to stdout at once.
void writeOut(const std::string& text);
// 12345 as "12,345".
std::string grouped(std::uint64_t value);
// The exit status of a transfer that ended with result.
int transferExit(const Options& o, int result);
// The exit status when the port did not open: the transfer's own result for
// --result-code, else the one code every command uses.
int portOpenExit(const Options& o);
// Opens the port as the terminal window does, or prints why it cannot.
bool openPort(SerialPort& port, const Options& o, bool flushByDefault = false);

// Prints what the port has to say about the line on standard error (a
// network port's server applying another setting, or none at all), each
// note once.
void printNotices(SerialPort& port);

// The commands.
int cmdPorts(SerialPort& port, const Options& o);
int cmdMonitor(SerialPort& port, const Options& o);
int cmdTerm(SerialPort& port, const Options& o);
int cmdSend(SerialPort& port, const Options& o);
int cmdTextFile(SerialPort& port, const Options& o);
int cmdBoot(SerialPort& port, const Options& o);
int runHex2bin(SerialPort& port, const Options& o);
int cmdBinaryKind(SerialPort& port, const Options& o);
int cmdScript(SerialPort& port, const Options& o);
int cmdFileTransfer(SerialPort& port, const Options& o);
int cmdRender(SerialPort& port, const Options& o);
int cmdRun(SerialPort& port, const Options& o);

} // namespace merovan::cli
