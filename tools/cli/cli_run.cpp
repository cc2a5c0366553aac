// SPDX-License-Identifier: GPL-3.0-or-later
// merovan-cli run: a Lua script against a port.

#include "cli_common.h"

#include "automation/script_host.h"
#include "automation/script_runner.h"
#include "serial/serial_port.h"
#include "terminal/display_text.h"
#include "terminal/line_stamp.h"
#include "terminal/session_log.h"

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace merovan::cli {

namespace {

// What the command line asked for.
struct RunRequest
{
    std::string script;
    std::vector<std::string> args;
    std::string log;
    bool rawLog = false;
    bool overwriteLog = false;
    bool timestamps = false;
    bool quiet = false;
    bool allowExec = false;
    std::string scriptFile;
};

// The command line around a script: the device's output and print() on
// stdout, log() lines and remarks on stderr, and the session log.
class CliScriptHost final : public ScriptHost
{
public:
    CliScriptHost(const RunRequest& request, SessionLog* log, const volatile std::sig_atomic_t& stop)
        : m_request(request)
        , m_log(log)
        , m_stop(stop)
    {
    }

    void log(const std::string& line) override
    {
        std::fflush(stdout);
        std::fprintf(stderr, "%s\n", line.c_str());
        if (m_log)
            m_log->note(line);
    }
    void print(const std::string& text) override
    {
        std::fwrite(text.data(), 1, text.size(), stdout);
        std::fflush(stdout);
    }
    void note(const std::string& text) override
    {
        if (!m_request.quiet) {
            std::fflush(stdout);
            std::fprintf(stderr, "%s\n", text.c_str());
        }
    }
    void showReceived(std::span<const std::uint8_t> bytes) override { received(bytes); }
    ScriptTransferResult transfer(SerialPort& port, const ScriptTransfer& t) override
    {
        return runScriptTransfer(port, t, [this] { return m_stop != 0; });
    }
    std::string scriptFile() const override { return m_request.scriptFile; }

    void received(std::span<const std::uint8_t> bytes)
    {
        if (m_log)
            m_log->received(bytes);
        if (!m_request.quiet) {
            const std::string text = formatForDisplay(bytes);
            std::fwrite(text.data(), 1, text.size(), stdout);
            std::fflush(stdout);
        }
    }

private:
    const RunRequest& m_request;
    SessionLog* m_log;
    const volatile std::sig_atomic_t& m_stop;
};

// Runs the script against the open port until it ends or stop becomes
// non-zero; the script's exit status.
int runScript(SerialPort& port, const RunRequest& request, const volatile std::sig_atomic_t& stop)
{
    SystemWallClock wall;
    std::unique_ptr<SessionLog> log;
    if (!request.log.empty()) {
        std::string reason;
        auto sink = openLogFile(request.log, request.overwriteLog, reason);
        if (!sink) {
            std::fprintf(stderr, "Cannot write the log %s: %s\n", request.log.c_str(), reason.c_str());
            return kScriptError;
        }
        LogOptions options;
        options.form = request.rawLog ? LogForm::Raw : LogForm::View;
        options.timestamps = request.timestamps;
        options.overwrite = request.overwriteLog;
        log = std::make_unique<SessionLog>(std::move(sink), options, wall, port.clock(), request.log);
    }

    CliScriptHost host(request, log.get(), stop);
    ScriptOptions options;
    options.allowExec = request.allowExec;
    ScriptRunner runner(port, port.clock(), wall, host, options);
    int status = kScriptError;
    if (runner.loadFile(request.script, request.args)) {
        status = runScriptToEnd(
            runner, port,
            [&](std::span<const std::uint8_t> bytes) {
                host.received(bytes);
                if (log)
                    log->poll();
            },
            [&stop] { return stop != 0; });
        // The last bytes a script wrote leave before the port closes.
        port.waitUntilSent();
    }
    std::fflush(stdout);
    if (!runner.error().empty())
        std::fprintf(stderr, "%s\n", runner.error().c_str());
    if (log) {
        log->stop();
        if (const std::string failure = log->takeFailure(); !failure.empty()) {
            std::fprintf(stderr, "%s\n", failure.c_str());
            if (status == 0)
                status = kScriptError;
        }
    }
    return status;
}

} // namespace

int cmdRun(SerialPort& port, const Options& o)
{
    if (o.positional.empty())
        usageError("run needs a SCRIPT.lua");
    if ((o.raw || o.overwrite) && o.log.empty())
        usageError("--raw and --overwrite go with --log FILE");
    RunRequest request;
    request.script = o.positional.front();
    request.args.assign(o.positional.begin() + 1, o.positional.end());
    request.log = o.log;
    request.rawLog = o.raw;
    request.overwriteLog = o.overwrite;
    request.timestamps = o.timestamps;
    request.quiet = o.quiet;
    request.allowExec = o.allowExec;
    request.scriptFile = o.scriptFile;
    if (!openPort(port, o))
        return portOpenExit(o);
    return runScript(port, request, g_stop);
}

} // namespace merovan::cli
