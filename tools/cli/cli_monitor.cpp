// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli monitor: print what arrives; and the log and reconnecting it
// shares with term.

#include "cli_common.h"
#include "cli_plot.h"
#include "cli_session.h"

#include "serial/port_enumeration.h"
#include "terminal/display_text.h"
#include "terminal/hex_dump.h"
#include "terminal/line_map.h"
#include "transfer/file_transfer.h"

#include <memory>

namespace merovan::cli {

void checkLogOptions(const Options& o)
{
    if ((o.raw || o.overwrite) && o.log.empty())
        usageError("--raw and --overwrite go with --log FILE");
}

bool openSessionLog(const Options& o, const merovan::WallClock& wall, merovan::Clock& clock,
                    std::unique_ptr<merovan::SessionLog>& log)
{
    log.reset();
    if (o.log.empty())
        return true;
    std::string reason;
    auto sink = merovan::openLogFile(o.log, o.overwrite, reason);
    if (!sink) {
        std::fprintf(stderr, "Cannot write the log %s: %s\n", o.log.c_str(), reason.c_str());
        return false;
    }
    merovan::LogOptions options;
    options.form = o.raw ? merovan::LogForm::Raw : merovan::LogForm::View;
    options.timestamps = o.timestamps;
    options.overwrite = o.overwrite;
    log = std::make_unique<merovan::SessionLog>(std::move(sink), options, wall, clock, o.log);
    return true;
}

void reportLogFailure(merovan::SessionLog* log, const std::function<void(const std::string&)>& tell)
{
    if (!log)
        return;
    if (const std::string failure = log->takeFailure(); !failure.empty())
        tell(failure);
}

PortReturn::PortReturn(const Options& o)
    : m_options(o)
    , m_identity(merovan::describePort(o.port).identity())
    , m_settings(merovan::lineSettingsText(o.baud, o.dataBits, o.stopBits))
{
}

bool PortReturn::wait(SerialPort& port, merovan::SessionLog* log, const std::function<void(const std::string&)>& tell,
                      const std::function<bool()>& giveUp)
{
    const std::string note = "Disconnected: " + m_options.port + ", waiting for it to return";
    tell(note);
    if (log)
        log->note(note);
    if (!m_watch)
        m_watch = merovan::makeDeviceWatch(merovan::extraPortDirectories(m_options.port));
    while (!giveUp()) {
        // Woken by the device directories; the time-out only bounds how
        // late a return that raised no event is noticed.
        m_watch->waitForChange(500);
        if (log)
            log->poll();
        const std::string path = merovan::findReturnedPort(m_options.port, m_identity);
        if (path.empty() || port.openPort(path, m_settings) != 0) {
            port.closePort();
            continue;
        }
        if (m_options.cts)
            port.setCtsFlow(true);
        if (m_options.rts)
            port.setRts(true);
        printNotices(port);
        tell("Reconnected");
        if (log)
            log->note("Reconnected");
        return true;
    }
    return false;
}

namespace {

// Received bytes as the map has them, for the screen only: the log keeps
// them as they came.
std::span<const std::uint8_t> shownForm(merovan::IncomingLineMapper& map, std::span<const std::uint8_t> bytes,
                                        std::vector<std::uint8_t>& buffer)
{
    buffer.clear();
    map.apply(bytes, buffer);
    return buffer;
}

} // namespace

int cmdMonitor(SerialPort& port, const Options& o)
{
    if (!o.positional.empty())
        usageError("monitor takes no arguments besides options");
    checkLogOptions(o);
    if (o.enterMap || o.echo)
        usageError("monitor sends nothing: OCRNL, OCRCRNL and --echo are for term");
    if (o.hex && o.incomingMap)
        usageError("--hex shows the bytes as they came: it takes no --map");
    if (!o.dir.empty() && !o.autoZmodem)
        usageError("--dir goes with --auto-zmodem");
    if (o.havePlotPrefix && o.plotCsv.empty())
        usageError("--plot-prefix goes with --plot-csv FILE");
    if (!openPort(port, o))
        return portOpenExit(o);
    PlotRecorder plot;
    if (!o.plotCsv.empty() && !plot.start(o.plotCsv, o.plotPrefix))
        return kExitFailure;

    merovan::SystemWallClock wall;
    std::unique_ptr<merovan::SessionLog> log;
    if (!openSessionLog(o, wall, port.clock(), log))
        return kExitFailure;
    const auto toStderr = [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); };
    auto reportLogFailure = [&] { cli::reportLogFailure(log.get(), toStderr); };

    PortReturn portReturn(o);
    merovan::IncomingLineMapper lineMap(o.incomingMap.value_or(merovan::IncomingMap::AsReceived));
    std::vector<std::uint8_t> mapped;
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
            plot.received(got, clock.nowMs());
            out.clear();
            std::string text;
            if (o.hex)
                dumper.feed(got, text);
            else
                text = merovan::formatForDisplay(shownForm(lineMap, got, mapped));
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
            // What the transfer took was no plot line.
            plot.reconnected();
            if (!z.trailing.empty()) {
                if (log)
                    log->received(z.trailing);
                plot.received(z.trailing, clock.nowMs());
                out.clear();
                std::string text;
                if (o.hex)
                    dumper.feed(z.trailing, text);
                else
                    text = merovan::formatForDisplay(shownForm(lineMap, z.trailing, mapped));
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
        printNotices(port);
        if (port.isOpen())
            continue;

        std::fprintf(stderr, "%s: %s\n", port.path().c_str(), port.lastError().c_str());
        if (!o.reconnect) {
            rc = kExitPortLost;
            break;
        }
        if (!portReturn.wait(port, log.get(), toStderr, [&] { return g_stop || expired(); }))
            break;
        plot.reconnected();
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
    if (!plot.finish() && rc == kExitOk)
        rc = kExitFailure;
    return rc;
}

} // namespace merovan::cli
