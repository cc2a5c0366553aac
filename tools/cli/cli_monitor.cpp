// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli monitor: print what arrives.

#include "cli_common.h"

#include "serial/device_watch.h"
#include "serial/port_enumeration.h"
#include "terminal/display_text.h"
#include "terminal/hex_dump.h"
#include "terminal/line_stamp.h"
#include "terminal/session_log.h"
#include "transfer/file_transfer.h"

#include <memory>

namespace merovan::cli {

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

} // namespace merovan::cli
