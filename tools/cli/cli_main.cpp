// SPDX-License-Identifier: GPL-3.0-or-later
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

#include "cli_common.h"
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

namespace merovan::cli {

namespace {

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

} // namespace

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
        return merovan::sentSummary(port.bytesWritten() - written, merovan::SteadyClock().nowMs() - ms);
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
    request.serve = [] { return g_stop != 0; };
    const TransferStart start(port);
    const int result = merovan::toInt(merovan::sendTextFile(request, progressReporter()));
    return finishTransfer(port, request, result, merovan::transfer1Message(result), start.sentText(port), o);
}

// The flash size in bytes from a number of kilobytes; false when it is not
// one, or too large to address.
// A required option that was not given is a usage error that names it.
void require(const std::string& value, const std::string& option, const std::string& what)
{
    if (value.empty())
        usageError(option + " is required: " + what);
}

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
    require(o.flashKb, "--flash-kb KB", "the device's flash size in kilobytes");
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
    request.serve = [] { return g_stop != 0; };
    // As the window does: no CTS flow control while the loader runs.
    port.setCtsFlow(false);
    const merovan::ProgressCallback report = progressReporter();
    const int result = merovan::runBootLoader(request, [&](std::int32_t maximum, std::int32_t position) {
        g_divisor = request.divisor > 0 ? request.divisor : 1;
        return report(maximum, position);
    });
    if (o.cts)
        port.setCtsFlow(true);
    // Data left out of the image is said even with --quiet.
    if (result == 0 && !request.note.empty() && o.quiet) {
        Options loud = o;
        loud.quiet = false;
        return finishTransfer(port, request, result, {}, merovan::bootLoadSummary(request), loud);
    }
    return finishTransfer(port, request, result, merovan::bootLoaderMessage(result), merovan::bootLoadSummary(request), o);
}

int cmdHex2bin(const Options& o)
{
    if (o.positional.size() != 2)
        usageError("hex2bin takes IN.hex and OUT.bin");
    require(o.start, "--start ADDR", "the flash's first address, in hex (such as 0x1D000000)");
    require(o.flashKb, "--flash-kb KB", "the flash size in kilobytes");
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
        const std::string note = outcome.note.empty() ? "" : "; " + outcome.note;
        std::fprintf(stderr, "%s %s%s bytes in %s s%s%s\n", sending ? "Sent" : "Received", count.c_str(),
                     grouped(static_cast<std::uint64_t>(outcome.bytes)).c_str(), time, retries.c_str(), note.c_str());
    } else if (!outcome.note.empty()) {
        std::fprintf(stderr, "%s\n", outcome.note.c_str());
    }
    return transferExit(o, outcome.result);
}

// A handler for the commands that need no port object of their own.
int runHex2bin(SerialPort&, const Options& o)
{
    return cmdHex2bin(o);
}

} // namespace merovan::cli

namespace {

void onStop()
{
    merovan::cli::g_stop = 1;
}

} // namespace

int main(int argc, char** argv)
{
    using namespace merovan::cli;
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

    catchStopRequests(onStop);

    merovan::SteadyClock clock;
    SerialPort port(clock);
    const int rc = command->run(port, o);
    printNotices(port);
    return rc;
}