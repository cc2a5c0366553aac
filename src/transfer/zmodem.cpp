// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/file_transfer.h"
#include "transfer/zmodem_frame.h"

#include "common/durable_file.h"
#include "serial/clock.h"
#include "serial/serial_port.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <system_error>

namespace merovan {

using namespace zmodem;

namespace {

namespace fs = std::filesystem;

constexpr std::size_t kSubpacket = 1024;       // payload bytes per subpacket sent
constexpr std::size_t kMaxSubpacket = 16384;   // longest subpacket accepted
// Bytes that may stand between a ZRPOS and the sender's new ZDATA: what
// was already on its way when the request arrived.
constexpr std::size_t kGarbageLimit = 256 * 1024;
constexpr std::uint32_t kOoWaitMs = 1000;      // for the "OO" after ZFIN
constexpr int kFinTries = 3;

using Bytes = std::vector<std::uint8_t>;

// Buffered bytes from the port for the frame reader.
class PortSource final : public ByteSource
{
public:
    explicit PortSource(SerialPort& port)
        : m_port(port)
    {
    }

    // Called on every empty read of a wait; true ends the wait with kStopped.
    void setServe(std::function<bool()> serve) { m_serve = std::move(serve); }

    // Hands back what was read but not taken, without waiting for more.
    Bytes takeRest()
    {
        Bytes rest;
        while (hasPending() || m_at < m_len) {
            const int c = get(0);
            if (c < 0)
                break;
            rest.push_back(static_cast<std::uint8_t>(c));
        }
        return rest;
    }

    // Whether what is already buffered holds CAN CAN (the port being gone).
    bool sawCancel() const
    {
        for (std::size_t i = m_at; i + 1 < m_len; ++i)
            if (m_buffer[i] == kZdle && m_buffer[i + 1] == kZdle)
                return true;
        return false;
    }

    // While a write waits for room: reads what has arrived, without taking
    // it, and says whether it holds CAN CAN (a receiver that canceled and
    // stopped reading).
    bool lookForCancel()
    {
        if (m_at > 0) {
            std::memmove(m_buffer, m_buffer + m_at, m_len - m_at);
            m_len -= m_at;
            m_at = 0;
        }
        if (m_len < sizeof m_buffer && m_port.isOpen())
            m_len += m_port.readAvailable(std::span<std::uint8_t>(m_buffer + m_len, sizeof m_buffer - m_len));
        return sawCancel();
    }

    // Reads what has arrived into the buffer without taking it.
    void fill()
    {
        if (m_at < m_len || !m_port.isOpen())
            return;
        m_len = m_port.readAvailable(m_buffer);
        m_at = 0;
    }

    // True when something can be read without waiting (or the line is gone).
    bool poll()
    {
        if (hasPending() || m_at < m_len)
            return true;
        if (!m_port.isOpen())
            return true;
        m_len = m_port.readAvailable(m_buffer);
        m_at = 0;
        return m_len > 0 || !m_port.isOpen();
    }

protected:
    int next(std::uint32_t timeoutMs) override
    {
        if (m_at < m_len)
            return m_buffer[m_at++];
        Clock& clock = m_port.clock();
        const std::uint64_t deadline = clock.nowMs() + timeoutMs;
        for (;;) {
            if (!m_port.isOpen())
                return kGone;
            m_len = m_port.readBlock(m_buffer);
            m_at = 0;
            if (m_len > 0)
                return m_buffer[m_at++];
            if (!m_port.isOpen())
                return kGone;
            if (m_serve && m_serve())
                return kStopped;
            if (clock.nowMs() >= deadline)
                return kTimeout;
        }
    }

private:
    SerialPort& m_port;
    std::function<bool()> m_serve;
    std::uint8_t m_buffer[4096] {};
    std::size_t m_len = 0;
    std::size_t m_at = 0;
};

struct FileCloser
{
    void operator()(std::FILE* f) const
    {
        if (f)
            std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::string errnoText(int error)
{
    return std::strerror(error);
}

// Result codes as ints.
constexpr int kCanceled = toInt(TransferResult::Canceled);
constexpr int kPortNotOpen = toInt(TransferResult::PortNotOpen);
constexpr int kCantOpen = toInt(TransferResult::CantOpenFile);
constexpr int kCantCreate = toInt(TransferResult::CantCreateFile);

// What both directions share: the port, the encoder, the outcome.
class Session
{
public:
    Session(SerialPort& port, const FileTransferOptions& options, const FileProgressCallback& progress)
        : port(port)
        , options(options)
        , in(port)
        , m_progress(progress)
        , m_start(port.clock().nowMs())
    {
        in.setServe([this] { return serveDue(); });
    }

    SerialPort& port;
    const FileTransferOptions& options;
    PortSource in;
    Encoder encoder;
    FileTransferOutcome outcome;
    FileTransferProgress progress;
    bool crc32 = true;

    std::uint64_t now() { return port.clock().nowMs(); }

    // Sends buf and clears it; false when it could not, writeFailed() then
    // telling why. A line that takes nothing more (a receiver that canceled
    // or vanished while its end stays open) never holds it for longer than
    // the block time-out, and the caller is served meanwhile.
    bool flush(Bytes& buf)
    {
        m_writeFailure = WriteFailure::PortGone;
        std::size_t at = 0;
        std::uint64_t moved = now();
        while (at < buf.size() && port.isOpen()) {
            std::size_t taken = 0;
            const int rc = port.writeWithin(std::span<const std::uint8_t>(buf).subspan(at), kServeIntervalMs, taken);
            at += taken;
            if (rc == 0)
                break;
            if (rc != ETIMEDOUT || !port.isOpen())
                return false;
            if (taken > 0)
                moved = now();
            if (in.lookForCancel()) {
                m_writeFailure = WriteFailure::PeerCanceled;
                return false;
            }
            if (serveDue()) {
                m_writeFailure = WriteFailure::Stopped;
                return false;
            }
            if (now() - moved >= options.blockTimeoutMs) {
                m_writeFailure = WriteFailure::Stalled;
                return false;
            }
        }
        m_lastWrite = buf.size();
        buf.clear();
        return port.isOpen();
    }
    // What a failed flush means for the session.
    FileTransferOutcome writeFailed()
    {
        switch (m_writeFailure) {
        case WriteFailure::PeerCanceled:
            return canceledByPeer();
        case WriteFailure::Stopped:
            return cancel();
        case WriteFailure::Stalled:
            return finish(kFileTimeout, "the line took nothing for " + std::to_string(options.blockTimeoutMs / 1000)
                                            + " s: the other side stopped reading");
        case WriteFailure::PortGone:
            break;
        }
        // A receiver that cancels and hangs up: its CANs may still be here.
        if (in.sawCancel())
            return canceledByPeer();
        return portGone();
    }
    // The wait for an answer to what was just sent: the block time-out,
    // once the last write has had its time on the line.
    std::uint32_t replyWait() const { return options.blockTimeoutMs + lineTimeMs(port, m_lastWrite); }
    bool sendHex(const Header& h)
    {
        Bytes buf;
        encoder.hexHeader(buf, h);
        return flush(buf);
    }

    FileTransferOutcome finish(int result, std::string detail = {})
    {
        outcome.result = result;
        if (outcome.detail.empty())
            outcome.detail = std::move(detail);
        outcome.retries = progress.retries;
        outcome.elapsedMs = now() - m_start;
        return std::move(outcome);
    }
    FileTransferOutcome portGone()
    {
        return finish(kPortNotOpen, port.lastError().empty() ? "the port went away" : port.lastError());
    }
    FileTransferOutcome canceledByPeer() { return finish(kFileCanceledByPeer, "canceled by the other side"); }
    FileTransferOutcome cancel()
    {
        Bytes buf(8, kZdle);
        buf.insert(buf.end(), 8, 0x08);
        flush(buf);
        return finish(kCanceled);
    }

    // Reports progress; true when the user asked to cancel.
    bool report()
    {
        progress.elapsedMs = now() - m_start;
        m_reportedMs = now();
        if (!m_stopped && m_progress && m_progress(progress))
            m_stopped = true;
        return m_stopped;
    }
    // Reports again while a wait goes on, so the caller is served at least
    // every kServeIntervalMs; true once the user asked to cancel.
    bool serveDue()
    {
        if (!m_stopped && now() - m_reportedMs >= kServeIntervalMs - kServeMarginMs)
            report();
        return m_stopped;
    }
    bool retry()
    {
        ++progress.retries;
        return report();
    }

    // What a failed read means, for the reads that end the session.
    std::optional<FileTransferOutcome> fatal(ReadStatus status)
    {
        if (status == ReadStatus::Gone)
            return portGone();
        if (status == ReadStatus::Canceled)
            return canceledByPeer();
        if (status == ReadStatus::Stopped)
            return cancel();
        return std::nullopt;
    }

private:
    // Reads take about 2 ms; serving this much before the interval is up
    // keeps every gap within it.
    static constexpr std::uint32_t kServeMarginMs = 20;

    enum class WriteFailure { PortGone, PeerCanceled, Stopped, Stalled };

    const FileProgressCallback& m_progress;
    WriteFailure m_writeFailure = WriteFailure::PortGone;
    std::uint64_t m_start;
    std::uint64_t m_reportedMs = 0;
    bool m_stopped = false;
    std::size_t m_lastWrite = 0;
};

// The name a file from the wire may have in the receive folder: its last
// path component, never empty, "." or "..".
std::string baseName(std::string_view wire)
{
    std::string name(wire);
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::size_t slash = name.find_last_of('/');
    if (slash != std::string::npos)
        name.erase(0, slash + 1);
    for (char& c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == ':')
            c = '_';
    }
    if (name.empty() || name == "." || name == "..")
        return {};
    return name;
}

std::int64_t parseNumber(const char*& p, int base)
{
    while (*p == ' ')
        ++p;
    if (!*p)
        return -1;
    char* end = nullptr;
    errno = 0;
    const long long v = std::strtoll(p, &end, base);
    if (end == p || errno != 0 || v < 0)
        return -1;
    p = end;
    return v;
}

void setModificationTime(const std::string& path, std::int64_t unixSeconds)
{
    if (unixSeconds <= 0)
        return;
    using namespace std::chrono;
    std::error_code ec;
    const auto sys = sys_seconds(seconds(unixSeconds));
    fs::last_write_time(fs::path(path), file_clock::from_sys(sys), ec);
}

// ---------------------------------------------------------------- receive

class Receiver
{
public:
    Receiver(Session& s)
        : s(s)
    {
    }

    FileTransferOutcome run();

private:
    bool sendZrinit() { return s.sendHex(flagsHeader(ZRINIT, CANFDX | CANOVIO | CANFC32)); }
    bool sendPosition(std::uint8_t type) { return s.sendHex(positionHeader(type, static_cast<std::uint32_t>(m_offset))); }
    // ZFILE's subpacket: opens the file and answers. nullopt to go on.
    std::optional<FileTransferOutcome> startFile(const Header& h, const Bytes& info);
    std::optional<FileTransferOutcome> receiveData(const Header& h);
    std::optional<FileTransferOutcome> endFile();
    void closeFile() { m_file.reset(); m_inFile = false; }
    // A failure to keep in mind while the session goes on.
    void note(int result, std::string detail)
    {
        if (m_failure == 0) {
            m_failure = result;
            s.outcome.detail = std::move(detail);
        }
    }
    // Counts one more error in a row; the outcome when there were too many.
    std::optional<FileTransferOutcome> error(ReadStatus status, const std::string& where)
    {
        if (s.retry())
            return s.cancel();
        if (++m_errors > s.options.retries) {
            closeFile();
            if (status == ReadStatus::Timeout)
                return s.finish(kFileTimeout, "no answer " + where);
            return s.finish(kFileTooManyRetries, std::string(readStatusText(status)) + " " + where);
        }
        return std::nullopt;
    }

    Session& s;
    FilePtr m_file;
    bool m_inFile = false;
    std::string m_name, m_part, m_final;
    std::int64_t m_offset = 0;
    std::int64_t m_size = -1;
    std::int64_t m_mtime = 0;
    std::int64_t m_startOffset = 0;
    int m_errors = 0;
    int m_failure = 0;
    Bytes m_data;
};

FileTransferOutcome Receiver::run()
{
    const FileTransferOptions& o = s.options;
    if (!fs::is_directory(fs::path(o.receiveDir)))
        return s.finish(kCantCreate, o.receiveDir + ": not a folder");
    // The caller shows the transfer before the first byte goes out.
    if (s.report())
        return s.finish(kCanceled);
    const std::uint64_t startDeadline = s.now() + o.startTimeoutMs;
    bool started = false;
    if (!sendZrinit())
        return s.writeFailed();
    for (;;) {
        std::uint32_t wait = o.blockTimeoutMs;
        if (!started) {
            const std::uint64_t now = s.now();
            if (now >= startDeadline)
                return s.finish(kFileNoStart, "no ZMODEM sender within " + std::to_string(o.startTimeoutMs / 1000) + " s");
            wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(o.startIntervalMs, startDeadline - now));
        }
        Header h;
        const ReadStatus st = readHeader(s.in, wait, h, kGarbageLimit);
        if (auto end = s.fatal(st))
            return *end;
        if (st != ReadStatus::Ok) {
            if (!started) {
                if (st == ReadStatus::Timeout && s.now() < startDeadline && !sendZrinit())
                    return s.writeFailed();
                continue;
            }
            if (auto end = error(st, m_inFile ? "at " + std::to_string(m_offset) + " of " + m_name : "between files"))
                return *end;
            if (!(m_inFile ? sendPosition(ZRPOS) : sendZrinit()))
                return s.writeFailed();
            continue;
        }
        started = true;
        switch (h.type) {
        case ZRQINIT:
            if (!m_inFile && !sendZrinit())
                return s.writeFailed();
            break;
        case ZSINIT: {
            std::uint8_t end = 0;
            const ReadStatus ds = readSubpacket(s.in, o.blockTimeoutMs, h.crc32(), m_data, end, kMaxSubpacket);
            if (auto e = s.fatal(ds))
                return *e;
            if (ds == ReadStatus::Ok) {
                if (h.zf0() & TESCCTL)
                    s.encoder.escapeControl = true;
                if (!s.sendHex(positionHeader(ZACK, 1)))
                    return s.writeFailed();
            } else if (!s.sendHex(positionHeader(ZNAK, 0))) {
                return s.writeFailed();
            }
            break;
        }
        case ZFILE: {
            std::uint8_t end = 0;
            const ReadStatus ds = readSubpacket(s.in, o.blockTimeoutMs, h.crc32(), m_data, end, kMaxSubpacket);
            if (auto e = s.fatal(ds))
                return *e;
            if (ds != ReadStatus::Ok) {
                if (auto e = error(ds, "in a file header"))
                    return *e;
                if (!s.sendHex(positionHeader(ZNAK, 0)))
                    return s.writeFailed();
                break;
            }
            if (auto e = startFile(h, m_data))
                return *e;
            break;
        }
        case ZDATA:
            if (auto e = receiveData(h))
                return *e;
            break;
        case ZEOF:
            if (!m_inFile) {
                if (!sendZrinit())
                    return s.writeFailed();
            } else if (h.position() == m_offset) {
                if (auto e = endFile())
                    return *e;
            }
            // An end at another position raced a ZRPOS: the sender follows that.
            break;
        case ZFIN: {
            closeFile();
            if (!s.sendHex(positionHeader(ZFIN, 0)))
                return s.writeFailed();
            // "OO" ends the session; lrzsz may lose it as it exits, and what
            // follows it belongs to the terminal again.
            for (int i = 0; i < 2; ++i) {
                const int c = s.in.get(kOoWaitMs);
                if (c < 0)
                    break;
                if (c != 'O') {
                    s.in.unget(static_cast<std::uint8_t>(c));
                    break;
                }
            }
            s.outcome.trailing = s.in.takeRest();
            return s.finish(m_failure);
        }
        case ZFREECNT:
            if (!s.sendHex(positionHeader(ZACK, 0xFFFFFFFFu)))
                return s.writeFailed();
            break;
        case ZCOMMAND: {
            // Never runs the sender's commands.
            std::uint8_t end = 0;
            const ReadStatus ds = readSubpacket(s.in, o.blockTimeoutMs, h.crc32(), m_data, end, kMaxSubpacket);
            if (auto e = s.fatal(ds))
                return *e;
            if (!s.sendHex(positionHeader(ZCOMPL, 1)))
                return s.writeFailed();
            break;
        }
        case ZCAN:
        case ZABORT:
            closeFile();
            return s.canceledByPeer();
        default:
            break;
        }
    }
}

std::optional<FileTransferOutcome> Receiver::startFile(const Header& h, const Bytes& info)
{
    const auto nul = std::find(info.begin(), info.end(), std::uint8_t { 0 });
    if (nul == info.end())
        return s.finish(kFileProtocolError, "ZFILE: the name has no end");
    const std::string wire(info.begin(), nul);
    const std::string name = baseName(wire);
    if (m_inFile && name == m_name) {
        // Our answer got lost; the sender asks again.
        if (!sendPosition(ZRPOS))
            return s.writeFailed();
        return std::nullopt;
    }
    closeFile();
    if (name.empty()) {
        note(kFileProtocolError, "ZFILE: no usable name in \"" + wire + "\"");
        if (!s.sendHex(positionHeader(ZSKIP, 0)))
            return s.writeFailed();
        return std::nullopt;
    }
    const std::string rest(nul + 1, info.end());
    const char* p = rest.c_str();
    m_size = parseNumber(p, 10);
    m_mtime = parseNumber(p, 8);

    m_name = name;
    m_final = (fs::path(s.options.receiveDir) / name).string();
    m_part = m_final + ".part";
    std::int64_t have = 0;
    const bool resume = s.options.resume || h.zf0() == ZCRESUM;
    std::error_code ec;
    if (resume && fs::is_regular_file(m_part, ec)) {
        have = static_cast<std::int64_t>(fs::file_size(m_part, ec));
        if (ec || (m_size >= 0 && have > m_size))
            have = 0;
    }
    m_file.reset(std::fopen(m_part.c_str(), have > 0 ? "ab" : "wb"));
    if (!m_file) {
        note(kCantCreate, m_part + ": " + errnoText(errno));
        if (!s.sendHex(positionHeader(ZSKIP, 0)))
            return s.writeFailed();
        return std::nullopt;
    }
    std::setvbuf(m_file.get(), nullptr, _IOFBF, 64 * 1024);
    m_inFile = true;
    m_offset = have;
    m_startOffset = have;
    m_errors = 0;
    s.progress.fileName = name;
    s.progress.bytes = have;
    s.progress.total = m_size;
    if (s.report())
        return s.cancel();
    if (!sendPosition(ZRPOS))
        return s.writeFailed();
    return std::nullopt;
}

std::optional<FileTransferOutcome> Receiver::receiveData(const Header& h)
{
    const FileTransferOptions& o = s.options;
    if (!m_inFile)
        return std::nullopt;
    if (h.position() != m_offset) {
        if (auto e = error(ReadStatus::Garbage, "ZDATA at " + std::to_string(h.position()) + ", expected "
                               + std::to_string(m_offset) + " of " + m_name)) {
            e->result = kFileProtocolError;
            return e;
        }
        if (!sendPosition(ZRPOS))
            return s.writeFailed();
        return std::nullopt;
    }
    for (;;) {
        std::uint8_t end = 0;
        const ReadStatus ds = readSubpacket(s.in, o.blockTimeoutMs, h.crc32(), m_data, end, kMaxSubpacket);
        if (auto e = s.fatal(ds)) {
            closeFile();
            return e;
        }
        if (ds != ReadStatus::Ok) {
            if (auto e = error(ds, "at " + std::to_string(m_offset) + " of " + m_name))
                return e;
            if (!sendPosition(ZRPOS))
                return s.writeFailed();
            return std::nullopt;
        }
        if (!m_data.empty() && std::fwrite(m_data.data(), 1, m_data.size(), m_file.get()) != m_data.size()) {
            const std::string why = m_part + ": " + errnoText(errno);
            closeFile();
            s.cancel();
            return s.finish(kCantCreate, why);
        }
        m_offset += static_cast<std::int64_t>(m_data.size());
        m_errors = 0;
        s.progress.bytes = m_offset;
        if (s.report())
            return s.cancel();
        switch (end) {
        case ZCRCW:
            if (!sendPosition(ZACK))
                return s.writeFailed();
            return std::nullopt;
        case ZCRCQ:
            if (!sendPosition(ZACK))
                return s.writeFailed();
            break;
        case ZCRCE:
            return std::nullopt;
        default:
            break;
        }
    }
}

std::optional<FileTransferOutcome> Receiver::endFile()
{
    std::FILE* f = m_file.get();
    const bool flushed = std::fflush(f) == 0 && flushToDisk(f);
    const int flushError = errno;
    m_file.reset();
    m_inFile = false;
    if (!flushed) {
        note(kCantCreate, m_part + ": " + errnoText(flushError));
    } else {
        std::string reason;
        if (!renameOver(m_part, m_final, reason)) {
            note(kCantCreate, m_final + ": " + reason);
        } else {
            setModificationTime(m_final, m_mtime);
            s.outcome.files.push_back(m_final);
            s.outcome.bytes += m_offset - m_startOffset;
        }
    }
    ++s.progress.fileIndex;
    if (!sendZrinit())
        return s.writeFailed();
    return std::nullopt;
}

// ---------------------------------------------------------------- send

struct SendFile
{
    std::string path;
    std::string name;
    FilePtr file;
    std::int64_t size = 0;
    std::int64_t mtime = 0;
    unsigned mode = 0100644;
};

class Sender
{
public:
    Sender(Session& s)
        : s(s)
    {
    }

    FileTransferOutcome run(const std::vector<std::string>& paths);

private:
    // Sends one file; nullopt when it is done or skipped.
    std::optional<FileTransferOutcome> sendFile(SendFile& f, int left, std::int64_t bytesLeft);
    std::optional<FileTransferOutcome> tooMany(ReadStatus status, const std::string& where)
    {
        if (s.retry())
            return s.cancel();
        if (++m_errors > s.options.retries) {
            if (status == ReadStatus::Timeout)
                return s.finish(kFileTimeout, "no answer " + where);
            return s.finish(kFileTooManyRetries, std::string(readStatusText(status)) + " " + where);
        }
        return std::nullopt;
    }
    // The receiver refused the file; the others still go.
    std::optional<FileTransferOutcome> skipped(const SendFile& f)
    {
        if (m_failure == 0) {
            m_failure = kFileCanceledByPeer;
            s.outcome.detail = f.name + ": skipped by the receiver";
        }
        return std::nullopt;
    }
    void drainInput()
    {
        while (s.in.poll() && s.port.isOpen())
            s.in.get(0);
    }

    Session& s;
    std::uint8_t m_flags = 0;
    std::uint32_t m_window = 0; // receiver's buffer, 0: it takes a stream
    int m_errors = 0;
    int m_failure = 0;
    Bytes m_out;
    Bytes m_chunk;
};

FileTransferOutcome Sender::run(const std::vector<std::string>& paths)
{
    const FileTransferOptions& o = s.options;
    std::vector<SendFile> files;
    std::int64_t total = 0;
    for (const std::string& path : paths) {
        SendFile f;
        f.path = path;
        f.name = fs::path(path).filename().string();
        f.file.reset(std::fopen(path.c_str(), "rb"));
        if (!f.file)
            return s.finish(kCantOpen, path + ": " + errnoText(errno));
        std::error_code ec;
        if (fs::is_directory(path, ec))
            return s.finish(kCantOpen, path + ": " + errnoText(EISDIR));
        if (!fs::is_regular_file(path, ec))
            return s.finish(kCantOpen, path + ": not a file");
        f.size = static_cast<std::int64_t>(fs::file_size(path, ec));
        if (f.size > 0xFFFFFFFFll)
            return s.finish(kCantOpen, path + ": too big for ZMODEM (4 GB at most)");
        const auto t = fs::last_write_time(path, ec);
        if (!ec)
            f.mtime = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::file_clock::to_sys(t).time_since_epoch())
                          .count();
        const auto perms = fs::status(path, ec).permissions();
        if (!ec)
            f.mode = 0100000u | (static_cast<unsigned>(perms) & 07777u);
        total += f.size;
        files.push_back(std::move(f));
    }
    s.progress.fileCount = static_cast<int>(files.size());

    // The caller shows the transfer before the first byte goes out.
    if (s.report())
        return s.finish(kCanceled);
    // "rz\r" starts a receiver on a shell at the other end.
    m_out = { 'r', 'z', '\r' };
    s.encoder.hexHeader(m_out, positionHeader(ZRQINIT, 0));
    if (!s.flush(m_out))
        return s.writeFailed();
    const std::uint64_t deadline = s.now() + o.startTimeoutMs;
    for (;;) {
        const std::uint64_t now = s.now();
        if (now >= deadline)
            return s.finish(kFileNoStart, "no ZMODEM receiver within " + std::to_string(o.startTimeoutMs / 1000) + " s");
        Header h;
        const auto wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(o.startIntervalMs, deadline - now));
        const ReadStatus st = readHeader(s.in, wait, h, kGarbageLimit);
        if (auto e = s.fatal(st))
            return *e;
        if (st == ReadStatus::Timeout) {
            if (s.now() >= deadline)
                continue;
            if (!s.sendHex(positionHeader(ZRQINIT, 0)))
                return s.writeFailed();
            continue;
        }
        if (st != ReadStatus::Ok)
            continue;
        if (h.type == ZRINIT) {
            m_flags = h.zf0();
            m_window = static_cast<std::uint32_t>(h.p[0]) | static_cast<std::uint32_t>(h.p[1]) << 8;
            break;
        }
        if (h.type == ZCHALLENGE) {
            Header ack = h;
            ack.type = ZACK;
            if (!s.sendHex(ack))
                return s.writeFailed();
        } else if (h.type == ZCAN || h.type == ZABORT) {
            return s.canceledByPeer();
        }
    }
    s.crc32 = (m_flags & CANFC32) != 0;
    s.encoder.escapeControl = (m_flags & ESCCTL) != 0;
    if (!(m_flags & CANFDX) || !(m_flags & CANOVIO)) {
        // A receiver that cannot read while it writes gets one subpacket at a time.
        if (m_window == 0 || m_window > kSubpacket)
            m_window = kSubpacket;
    }

    std::int64_t left = total;
    for (std::size_t i = 0; i < files.size(); ++i) {
        s.progress.fileIndex = static_cast<int>(i);
        s.progress.fileName = files[i].name;
        s.progress.total = files[i].size;
        s.progress.bytes = 0;
        if (auto e = sendFile(files[i], static_cast<int>(files.size() - i), left))
            return *e;
        left -= files[i].size;
    }

    for (int attempt = 0; attempt < kFinTries; ++attempt) {
        if (!s.sendHex(positionHeader(ZFIN, 0)))
            return s.writeFailed();
        Header h;
        const ReadStatus st = readHeader(s.in, s.replyWait(), h, kGarbageLimit);
        if (auto e = s.fatal(st))
            return *e;
        if (st == ReadStatus::Ok && h.type == ZFIN)
            break;
    }
    m_out = { 'O', 'O' };
    s.flush(m_out);
    s.port.waitUntilSent();
    return s.finish(m_failure);
}

std::optional<FileTransferOutcome> Sender::sendFile(SendFile& f, int left, std::int64_t bytesLeft)
{
    const FileTransferOptions& o = s.options;
    const std::string where = "for " + f.name;
    char info[160];
    const int n = std::snprintf(info, sizeof info, "%lld %llo %o 0 %d %lld", static_cast<long long>(f.size),
                                static_cast<unsigned long long>(std::max<std::int64_t>(f.mtime, 0)), f.mode, left,
                                static_cast<long long>(bytesLeft));
    Bytes block(f.name.begin(), f.name.end());
    block.push_back(0);
    block.insert(block.end(), info, info + n);
    block.push_back(0);

    m_errors = 0;
    std::int64_t pos = -1;
    drainInput();
    // The header of the file, until the receiver says where to start.
    while (pos < 0) {
        m_out.clear();
        s.encoder.binaryHeader(m_out, flagsHeader(ZFILE, o.resume ? ZCRESUM : ZCBIN), s.crc32);
        s.encoder.subpacket(m_out, block, ZCRCW, s.crc32);
        if (!s.flush(m_out))
            return s.writeFailed();
        for (bool again = true; again && pos < 0;) {
            again = false;
            Header h;
            const ReadStatus st = readHeader(s.in, s.replyWait(), h, kGarbageLimit);
            if (auto e = s.fatal(st))
                return e;
            if (st != ReadStatus::Ok) {
                if (auto e = tooMany(st, where))
                    return e;
                break;
            }
            switch (h.type) {
            case ZRPOS:
                if (h.position() > f.size)
                    return s.finish(kFileProtocolError, "the receiver asked for position " + std::to_string(h.position())
                                        + " of " + f.name + ", " + std::to_string(f.size) + " bytes");
                pos = h.position();
                break;
            case ZSKIP:
                return skipped(f);
            case ZCRC: {
                // The receiver checks what it already has.
                std::uint32_t crc = 0xFFFFFFFFu;
                std::int64_t count = h.position() == 0 ? f.size : std::min<std::int64_t>(h.position(), f.size);
                std::fseek(f.file.get(), 0, SEEK_SET);
                m_chunk.resize(8192);
                while (count > 0) {
                    const std::size_t got =
                        std::fread(m_chunk.data(), 1, std::min<std::size_t>(m_chunk.size(), static_cast<std::size_t>(count)), f.file.get());
                    if (got == 0)
                        break;
                    crc = crc32Update(crc, std::span<const std::uint8_t>(m_chunk.data(), got));
                    count -= static_cast<std::int64_t>(got);
                }
                m_out.clear();
                s.encoder.hexHeader(m_out, positionHeader(ZCRC, ~crc));
                if (!s.flush(m_out))
                    return s.writeFailed();
                again = true;
                break;
            }
            case ZCAN:
            case ZABORT:
            case ZFIN:
                return s.canceledByPeer();
            case ZACK:
            case ZRQINIT:
            case ZRINIT:
                // A ZRINIT here is an echo of an earlier one (sent at its start and
                // again for our ZRQINIT); answering each would double every later
                // exchange. A receiver that lost the header asks by its time-out.
                again = true;
                break;
            default: // ZNAK: it did not get the header
                if (auto e = tooMany(ReadStatus::Garbage, where))
                    return e;
                break;
            }
        }
    }

    const std::int64_t firstPos = pos;
    m_chunk.resize(kSubpacket);
    bool atEnd = pos >= f.size;
    for (;;) {
        if (!atEnd) {
            // One frame of data from pos: to the end, to the receiver's window,
            // or until the receiver asks for another position.
            if (std::fseek(f.file.get(), static_cast<long>(pos), SEEK_SET) != 0)
                return s.finish(kCantOpen, f.path + ": " + errnoText(errno));
            m_out.clear();
            s.encoder.binaryHeader(m_out, positionHeader(ZDATA, static_cast<std::uint32_t>(pos)), s.crc32);
            std::uint32_t inWindow = 0;
            bool restart = false;
            for (;;) {
                s.in.fill();
                const std::size_t want = static_cast<std::size_t>(std::min<std::int64_t>(kSubpacket, f.size - pos));
                const std::size_t got = want ? std::fread(m_chunk.data(), 1, want, f.file.get()) : 0;
                if (got != want)
                    return s.finish(kCantOpen, f.path + ": " + (std::ferror(f.file.get()) ? errnoText(errno) : "shorter than it was"));
                pos += static_cast<std::int64_t>(got);
                inWindow += static_cast<std::uint32_t>(got);
                std::uint8_t end = ZCRCG;
                if (pos >= f.size)
                    end = ZCRCE;
                else if (m_window && inWindow + kSubpacket > m_window)
                    end = ZCRCW;
                s.encoder.subpacket(m_out, std::span<const std::uint8_t>(m_chunk.data(), got), end, s.crc32);
                if (!s.flush(m_out))
                    return s.writeFailed();
                s.progress.bytes = pos;
                if (s.report())
                    return s.cancel();
                if (end == ZCRCE) {
                    atEnd = true;
                    break;
                }
                if (end == ZCRCW) {
                    // Wait for the receiver to take the window.
                    Header h;
                    for (;;) {
                        const ReadStatus st = readHeader(s.in, s.replyWait(), h, kGarbageLimit);
                        if (auto e = s.fatal(st))
                            return e;
                        if (st != ReadStatus::Ok) {
                            if (auto e = tooMany(st, where))
                                return e;
                            pos -= inWindow;
                            break;
                        }
                        if (h.type == ZACK && h.position() == pos) {
                            m_errors = 0;
                            break;
                        }
                        if (h.type == ZRPOS) {
                            if (h.position() > f.size)
                                return s.finish(kFileProtocolError, "the receiver asked for position "
                                                    + std::to_string(h.position()) + " of " + f.name);
                            pos = h.position();
                            if (auto e = tooMany(ReadStatus::BadCrc, where))
                                return e;
                            break;
                        }
                        if (h.type == ZSKIP)
                            return skipped(f);
                        if (h.type == ZCAN || h.type == ZABORT)
                            return s.canceledByPeer();
                    }
                    restart = true;
                    break;
                }
                // What the receiver says while the data streams: a ZRPOS after an
                // error, or a cancel.
                while (s.in.poll()) {
                    const int c = s.in.get(o.blockTimeoutMs);
                    if (c == ByteSource::kGone)
                        return s.portGone();
                    if (c == ByteSource::kStopped)
                        return s.cancel();
                    if (c == kZdle) {
                        if (s.in.get(o.blockTimeoutMs) == kZdle)
                            return s.canceledByPeer();
                        continue;
                    }
                    if (c != kZpad)
                        continue;
                    s.in.unget(static_cast<std::uint8_t>(c));
                    Header h;
                    const ReadStatus st = readHeader(s.in, o.blockTimeoutMs, h, 64);
                    if (auto e = s.fatal(st))
                        return e;
                    if (st != ReadStatus::Ok)
                        continue;
                    if (h.type == ZRPOS) {
                        if (h.position() > f.size)
                            return s.finish(kFileProtocolError, "the receiver asked for position "
                                                + std::to_string(h.position()) + " of " + f.name);
                        pos = h.position();
                        if (auto e = tooMany(ReadStatus::BadCrc, where))
                            return e;
                        restart = true;
                        break;
                    }
                    if (h.type == ZSKIP)
                        return skipped(f);
                    if (h.type == ZCAN || h.type == ZABORT)
                        return s.canceledByPeer();
                }
                if (restart)
                    break;
            }
            if (restart)
                continue;
        }

        // The end of the file, until the receiver confirms it.
        m_out.clear();
        s.encoder.binaryHeader(m_out, positionHeader(ZEOF, static_cast<std::uint32_t>(f.size)), s.crc32);
        if (!s.flush(m_out))
            return s.writeFailed();
        for (;;) {
            Header h;
            const ReadStatus st = readHeader(s.in, s.replyWait(), h, kGarbageLimit);
            if (auto e = s.fatal(st))
                return e;
            if (st != ReadStatus::Ok) {
                if (auto e = tooMany(st, where))
                    return e;
                break; // ZEOF again
            }
            if (h.type == ZRINIT) {
                s.outcome.files.push_back(f.path);
                s.outcome.bytes += f.size - firstPos;
                return std::nullopt;
            }
            if (h.type == ZRPOS) {
                if (h.position() > f.size)
                    return s.finish(kFileProtocolError, "the receiver asked for position " + std::to_string(h.position())
                                        + " of " + f.name);
                pos = h.position();
                atEnd = pos >= f.size;
                if (auto e = tooMany(ReadStatus::BadCrc, where))
                    return e;
                break;
            }
            if (h.type == ZSKIP)
                return skipped(f);
            if (h.type == ZCAN || h.type == ZABORT)
                return s.canceledByPeer();
            // ZACK and the rest: keep waiting.
        }
    }
}

} // namespace

FileTransferOutcome zmodemSend(SerialPort& port, const std::vector<std::string>& paths,
                               const FileTransferOptions& options, const FileProgressCallback& progress)
{
    Session session(port, options, progress);
    if (!port.isOpen())
        return session.portGone();
    Sender sender(session);
    return sender.run(paths);
}

FileTransferOutcome zmodemReceive(SerialPort& port, const FileTransferOptions& options,
                                  const FileProgressCallback& progress)
{
    Session session(port, options, progress);
    if (!port.isOpen())
        return session.portGone();
    Receiver receiver(session);
    return receiver.run();
}

} // namespace merovan
