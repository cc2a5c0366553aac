// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include "serial/clock.h"
#include "terminal/display_text.h"
#include "terminal/line_stamp.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

namespace merovan {

// Where a session log's bytes go. Each call returns 0 or an errno value.
class LogSink
{
public:
    virtual ~LogSink() = default;
    virtual int write(std::span<const std::uint8_t> bytes) = 0;
    // Pushes what was written to the file system.
    virtual int flush() = 0;
    // False once the file has gone away under the log (deleted or renamed).
    virtual bool stillThere() const { return true; }
    // For a sink that writes later (writeOnThread): more waits than it
    // holds, and whoever feeds the log should read no more input until this
    // is false again. Writes are still taken meanwhile; none is dropped.
    virtual bool backlogged() const { return false; }
    // Blocks until backlogged() is false or the sink has failed.
    virtual void waitForRoom() {}
    // The errno value of a write that failed later, on the sink's own
    // thread; 0 when none did.
    virtual int laterError() { return 0; }
};

// Opens path for a log: appended to unless overwrite. Null on failure, with
// the system's reason.
std::unique_ptr<LogSink> openLogFile(const std::string& path, bool overwrite, std::string& reason);

// What may wait for a slow disk before the log is backlogged.
inline constexpr std::size_t kLogQueueLimit = 1 << 20;

// Puts sink's writes and flushes on a thread of their own, in order, so the
// caller never waits for the disk. Past limitBytes waiting, backlogged()
// says so. A failure comes back from the next call (or laterError()), and
// what waited is dropped then, since the disk no longer takes it. The
// destructor waits until everything taken has been written.
std::unique_ptr<LogSink> writeOnThread(std::unique_ptr<LogSink> sink, std::size_t limitBytes = kLogQueueLimit);

enum class LogForm {
    Raw,  // exactly the bytes received: no stamps, sent lines or notes
    View, // the text the terminal view shows, "[xx]" and all, '\n' line ends
};

struct LogOptions
{
    LogForm form = LogForm::View;
    // The next two shape the text form only; a raw log holds nothing but
    // what was received.
    bool timestamps = false; // "2026-12-08 17:06:11.123 " before each line
    bool includeSent = false; // what went out, on lines of its own, marked "[sent] "
    bool overwrite = false;   // otherwise an existing file is appended to
};

// A log of the session: what arrived, and in the text form on request what
// went out, with notes such as "Reconnected" on lines of their own in
// brackets.
//
// A sent line goes between whole received lines: while a received line is
// under way it waits for that line's end, or until nothing more has come
// for kFlushAfterMs, when the received line is broken off. A sent line ends
// where the user's text ended one, or kFlushAfterMs after its first byte.
//
// Writes are buffered; the buffer goes to the sink at the end of every call
// that completed a line, and otherwise from poll() once data has waited
// 200 ms, so a crash loses at most that much. A failing sink stops the log:
// active() becomes false and failure() gives one message, once. Nothing
// here ever throws at or blocks the terminal.
class SessionLog
{
public:
    static constexpr std::uint64_t kFlushAfterMs = 200;

    SessionLog(std::unique_ptr<LogSink> sink, const LogOptions& options, const WallClock& wall, const Clock& clock,
               std::string name = {});
    ~SessionLog();
    SessionLog(const SessionLog&) = delete;
    SessionLog& operator=(const SessionLog&) = delete;

    // Bytes just read from the port.
    void received(std::span<const std::uint8_t> bytes);
    // While a terminal screen shows what arrives, the text form holds the
    // screen's lines, escape sequences and all taken out, as they leave it
    // (shown()), rather than the received bytes. The raw form is not
    // touched: it holds the bytes received either way.
    void setScreenText(bool on);
    bool screenText() const { return m_screenText; }
    // Whole lines as the screen showed them, each ended by '\n'.
    void shown(std::string_view lines);
    // Bytes just written to the port; ignored unless includeSent.
    void sent(std::span<const std::uint8_t> bytes);
    // A line "[text]" of its own.
    void note(std::string_view text);
    // Writes what has waited long enough, and notices a removed file.
    void poll();
    // Writes everything and closes the file; the log is inactive afterwards.
    void stop();

    bool active() const { return m_sink != nullptr; }
    // The disk is behind (see LogSink::backlogged): read no more input until
    // this is false. The first time, takeNotice() says so.
    bool backlogged();
    // Blocks until the log is no longer backlogged.
    void waitForRoom();
    // "The log to NAME is behind...", handed out once per log.
    std::string takeNotice();
    // Something waits for poll() to write it (a line not yet ended).
    bool waiting() const { return m_sink && (!m_buffer.empty() || !m_sentLine.empty()); }
    const LogOptions& options() const { return m_options; }
    const std::string& name() const { return m_name; }
    std::uint64_t bytesLogged() const { return m_bytesLogged; }
    // The message of the failure that stopped the log, handed out once;
    // empty otherwise.
    std::string takeFailure();

private:
    void stampReceived(std::string_view text);
    void logText(std::string_view text);
    void endSentLine();
    void emitSentLines();
    bool textForm() const { return m_options.form == LogForm::View; }
    void writeOut();
    void fail(int error, const std::string& reason);

    std::unique_ptr<LogSink> m_sink;
    LogOptions m_options;
    const WallClock& m_wall;
    const Clock& m_clock;
    std::string m_name;
    TerminalTextFormatter m_formatter;
    LineStamper m_stamper;
    std::string m_buffer;
    std::string m_scratch;
    std::string m_sentLine;  // sent bytes not yet written, in the view form
    std::string m_sentLines; // finished "[sent]" lines waiting for a line start
    bool m_lineEndPending = false;
    std::uint64_t m_sentSinceMs = 0;    // first byte of m_sentLine
    std::int64_t m_sentWallMs = 0;      // its wall-clock time, for the stamp
    std::uint64_t m_receivedAtMs = 0;   // the last received bytes
    std::uint64_t m_pendingSinceMs = 0;
    std::uint64_t m_lastCheckMs = 0;
    std::uint64_t m_bytesLogged = 0;
    std::string m_failure;
    std::string m_notice;
    bool m_toldBacklog = false;
    bool m_screenText = false;
};

} // namespace merovan
