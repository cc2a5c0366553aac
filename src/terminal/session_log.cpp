// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/session_log.h"

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <thread>

namespace merovan {

namespace {

// How often the log checks that its file is still where it was opened.
constexpr std::uint64_t kPresenceCheckMs = 1000;

class FileLogSink final : public LogSink
{
public:
    FileLogSink(std::FILE* file, std::string path)
        : m_file(file)
        , m_path(std::move(path))
    {
    }
    ~FileLogSink() override { std::fclose(m_file); }

    int write(std::span<const std::uint8_t> bytes) override
    {
        errno = 0;
        if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size())
            return errno != 0 ? errno : EIO;
        return 0;
    }

    int flush() override
    {
        errno = 0;
        if (std::fflush(m_file) != 0)
            return errno != 0 ? errno : EIO;
        return 0;
    }

    bool stillThere() const override
    {
        std::error_code ec;
        return std::filesystem::exists(m_path, ec) || ec;
    }

private:
    std::FILE* m_file;
    std::string m_path;
};

class ThreadedLogSink final : public LogSink
{
public:
    ThreadedLogSink(std::unique_ptr<LogSink> sink, std::size_t limit)
        : m_sink(std::move(sink))
        , m_limit(limit)
        , m_thread([this] { run(); })
    {
    }

    ~ThreadedLogSink() override
    {
        {
            std::lock_guard lock(m_mutex);
            m_stopping = true;
        }
        m_wake.notify_all();
        m_thread.join();
    }

    int write(std::span<const std::uint8_t> bytes) override
    {
        std::lock_guard lock(m_mutex);
        if (m_error != 0)
            return m_error;
        m_queue.push_back({ std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), false });
        m_queued += bytes.size();
        m_wake.notify_one();
        return 0;
    }

    int flush() override
    {
        std::lock_guard lock(m_mutex);
        if (m_error != 0)
            return m_error;
        m_queue.push_back({ {}, true });
        m_wake.notify_one();
        return 0;
    }

    bool stillThere() const override { return m_sink->stillThere(); }

    bool backlogged() const override
    {
        std::lock_guard lock(m_mutex);
        return m_error == 0 && m_queued > m_limit;
    }

    void waitForRoom() override
    {
        std::unique_lock lock(m_mutex);
        m_room.wait(lock, [this] { return m_error != 0 || m_queued <= m_limit; });
    }

    int laterError() override
    {
        std::lock_guard lock(m_mutex);
        return m_error;
    }

private:
    struct Item
    {
        std::string bytes;
        bool flush = false;
    };

    void run()
    {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return m_stopping || !m_queue.empty(); });
            if (m_queue.empty())
                return; // stopping, and everything written
            // All that waits goes in one write, flushed when any of it asked.
            std::string batch;
            bool flush = false;
            while (!m_queue.empty()) {
                batch += m_queue.front().bytes;
                flush = flush || m_queue.front().flush;
                m_queue.pop_front();
            }
            lock.unlock();
            int rc = batch.empty() ? 0 : m_sink->write(std::span(reinterpret_cast<const std::uint8_t*>(batch.data()), batch.size()));
            if (rc == 0 && flush)
                rc = m_sink->flush();
            lock.lock();
            m_queued -= std::min(m_queued, batch.size());
            if (rc != 0 && m_error == 0) {
                m_error = rc;
                m_queue.clear();
                m_queued = 0;
            }
            m_room.notify_all();
        }
    }

    std::unique_ptr<LogSink> m_sink;
    const std::size_t m_limit;
    mutable std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_room;
    std::deque<Item> m_queue;
    std::size_t m_queued = 0;
    int m_error = 0;
    bool m_stopping = false;
    std::thread m_thread; // last: it starts once the rest is in place
};

bool endsLine(std::span<const std::uint8_t> bytes)
{
    for (const std::uint8_t b : bytes) {
        if (b == '\n' || b == '\r')
            return true;
    }
    return false;
}

} // namespace

std::unique_ptr<LogSink> openLogFile(const std::string& path, bool overwrite, std::string& reason)
{
    errno = 0;
    std::FILE* file = std::fopen(path.c_str(), overwrite ? "wb" : "ab");
    if (!file) {
        reason = std::strerror(errno != 0 ? errno : EIO);
        return nullptr;
    }
    // The log keeps its own buffer and decides when it is written.
    std::setvbuf(file, nullptr, _IONBF, 0);
    return std::make_unique<FileLogSink>(file, path);
}

std::unique_ptr<LogSink> writeOnThread(std::unique_ptr<LogSink> sink, std::size_t limitBytes)
{
    return std::make_unique<ThreadedLogSink>(std::move(sink), limitBytes);
}

SessionLog::SessionLog(std::unique_ptr<LogSink> sink, const LogOptions& options, const WallClock& wall,
                       const Clock& clock, std::string name)
    : m_sink(std::move(sink))
    , m_options(options)
    , m_wall(wall)
    , m_clock(clock)
    , m_name(std::move(name))
{
    m_stamper.setEnabled(m_options.timestamps && textForm());
    m_lastCheckMs = m_clock.nowMs();
}

SessionLog::~SessionLog()
{
    stop();
}

void SessionLog::stampReceived(std::string_view text)
{
    const bool wasEmpty = m_buffer.empty();
    const std::size_t before = m_buffer.size();
    m_stamper.stamp(text, m_options.timestamps ? m_wall.epochMs() : 0, m_buffer);
    if (wasEmpty && m_buffer.size() > before)
        m_pendingSinceMs = m_clock.nowMs();
}

void SessionLog::received(std::span<const std::uint8_t> bytes)
{
    if (!m_sink || bytes.empty())
        return;
    m_bytesLogged += bytes.size();
    m_receivedAtMs = m_clock.nowMs();
    if (!textForm()) {
        if (m_buffer.empty())
            m_pendingSinceMs = m_receivedAtMs;
        m_buffer.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    } else if (!m_screenText) {
        m_scratch = m_formatter.format(bytes);
        logText(m_scratch);
    }
    if (endsLine(bytes) || m_buffer.size() >= 64 * 1024)
        writeOut();
}

void SessionLog::logText(std::string_view text)
{
    if (!m_sentLines.empty()) {
        // What was sent goes after the received line it came during.
        const auto end = text.find('\n');
        if (end != std::string_view::npos) {
            stampReceived(text.substr(0, end + 1));
            text.remove_prefix(end + 1);
        }
        if (m_stamper.atLineStart())
            emitSentLines();
    }
    stampReceived(text);
}

void SessionLog::setScreenText(bool on)
{
    if (on == m_screenText)
        return;
    m_screenText = on;
    // A received line under way is ended where the other text takes over.
    m_formatter.reset();
    if (m_sink && textForm())
        m_stamper.breakLine(m_buffer);
}

void SessionLog::shown(std::string_view lines)
{
    if (!m_sink || !textForm() || !m_screenText || lines.empty())
        return;
    logText(lines);
    writeOut();
}

void SessionLog::sent(std::span<const std::uint8_t> bytes)
{
    if (!m_sink || !m_options.includeSent || !textForm() || bytes.empty())
        return;
    TerminalTextFormatter plain;
    std::string text = plain.format(bytes);
    // A sent line ends where the user's text ended a line.
    std::size_t start = 0;
    for (;;) {
        const auto brk = text.find('\n', start);
        const std::size_t end = brk == std::string::npos ? text.size() : brk;
        if (end > start && m_sentLine.empty() && !m_lineEndPending) {
            m_sentSinceMs = m_clock.nowMs();
            m_sentWallMs = m_wall.epochMs();
        }
        m_sentLine.append(text, start, end - start);
        if (brk == std::string::npos)
            break;
        if (m_sentLine.empty()) {
            m_sentSinceMs = m_clock.nowMs();
            m_sentWallMs = m_wall.epochMs();
        }
        m_lineEndPending = true;
        endSentLine();
        start = brk + 1;
    }
    if (m_stamper.atLineStart())
        emitSentLines();
}

void SessionLog::endSentLine()
{
    if (m_sentLine.empty() && !m_lineEndPending)
        return;
    m_lineEndPending = false;
    if (m_options.timestamps)
        m_sentLines += formatTimestamp(m_sentWallMs);
    m_sentLines += "[sent] ";
    m_sentLines += m_sentLine;
    m_sentLines.push_back('\n');
    m_sentLine.clear();
}

void SessionLog::emitSentLines()
{
    if (m_sentLines.empty())
        return;
    m_stamper.breakLine(m_buffer);
    m_buffer += m_sentLines;
    m_sentLines.clear();
    m_stamper.reset();
    writeOut();
}

void SessionLog::note(std::string_view text)
{
    // A raw log holds the device's bytes and nothing else.
    if (!m_sink || !textForm())
        return;
    endSentLine();
    emitSentLines();
    m_stamper.breakLine(m_buffer);
    if (m_options.timestamps)
        m_buffer += formatTimestamp(m_wall.epochMs());
    m_buffer.push_back('[');
    m_buffer.append(text);
    m_buffer += "]\n";
    m_stamper.reset();
    writeOut();
}

void SessionLog::poll()
{
    if (!m_sink)
        return;
    if (const int error = m_sink->laterError(); error != 0) {
        fail(error, std::strerror(error));
        return;
    }
    const std::uint64_t now = m_clock.nowMs();
    if (!m_sentLine.empty() && now - m_sentSinceMs >= kFlushAfterMs)
        endSentLine();
    // A received line that has stopped growing gives way to what was sent.
    if (!m_sentLines.empty() && (m_stamper.atLineStart() || now - m_receivedAtMs >= kFlushAfterMs))
        emitSentLines();
    if (!m_buffer.empty() && now - m_pendingSinceMs >= kFlushAfterMs)
        writeOut();
    if (m_sink && now - m_lastCheckMs >= kPresenceCheckMs) {
        m_lastCheckMs = now;
        if (!m_sink->stillThere())
            fail(ENOENT, "the file was removed");
    }
}

void SessionLog::writeOut()
{
    if (!m_sink || m_buffer.empty())
        return;
    const auto* data = reinterpret_cast<const std::uint8_t*>(m_buffer.data());
    int rc = m_sink->write(std::span(data, m_buffer.size()));
    if (rc == 0)
        rc = m_sink->flush();
    m_buffer.clear();
    if (rc != 0)
        fail(rc, std::strerror(rc));
}

void SessionLog::fail(int, const std::string& reason)
{
    m_sink.reset();
    m_buffer.clear();
    m_sentLine.clear();
    m_sentLines.clear();
    m_failure = "The log to " + m_name + " stopped: " + reason;
}

void SessionLog::stop()
{
    if (!m_sink)
        return;
    endSentLine();
    emitSentLines();
    writeOut();
    m_sink.reset();
}

bool SessionLog::backlogged()
{
    if (!m_sink || !m_sink->backlogged())
        return false;
    if (!m_toldBacklog) {
        m_toldBacklog = true;
        m_notice = "The log to " + m_name + " is behind: the disk is slower than the line, so reading waits for it";
    }
    return true;
}

void SessionLog::waitForRoom()
{
    if (m_sink)
        m_sink->waitForRoom();
}

std::string SessionLog::takeNotice()
{
    std::string out;
    out.swap(m_notice);
    return out;
}

std::string SessionLog::takeFailure()
{
    std::string out;
    out.swap(m_failure);
    return out;
}

} // namespace merovan
