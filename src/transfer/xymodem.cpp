// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/xymodem.h"

#include "common/durable_file.h"
#include "serial/clock.h"
#include "serial/serial_port.h"
#include "transfer/file_transfer.h"
#include "transfer/xmodem.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <system_error>

// XMODEM (checksum, CRC-16, 1K) and YMODEM batch, both ways, as standard
// peers (lrzsz, U-Boot, MCU monitors) speak them.
//
// The receiver leads: it asks for the start ("C" for CRC-16, NAK for the
// checksum) every startIntervalMs for up to startTimeoutMs, answers each
// block with ACK or NAK, and NAKs again when the sender falls quiet. The
// sender follows what was asked for and repeats a block (or EOT) that got
// no answer. Either side gives up after blockTimeoutMs without a byte from
// the other, or after `retries` failed tries of one block.

namespace merovan {

namespace {

namespace fs = std::filesystem;

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kBs = 0x08;
constexpr std::uint8_t kSub = 0x1A;

constexpr int kSilent = -1;
constexpr int kGone = -2;
constexpr int kStopped = -3; // the user asked to stop while a byte was awaited

// Bytes inside a block follow each other closely; a gap this long ends it.
constexpr std::uint32_t kByteGapMs = 1000;
// After a bad block, input is dropped until the line stays quiet this long,
// so the NAK does not meet the rest of the block still under way.
constexpr std::uint32_t kPurgeQuietMs = 150;

int transferResult(TransferResult r)
{
    return toInt(r);
}

// The port as a byte stream with time-outs on the port's clock.
class Link
{
public:
    explicit Link(SerialPort& port)
        : m_port(port)
        , m_clock(port.clock())
    {
    }

    SerialPort& port() { return m_port; }
    std::uint64_t now() const { return m_clock.nowMs(); }

    // Called on every empty read of a wait; true ends the wait (kStopped).
    void setServe(std::function<bool()> serve) { m_serve = std::move(serve); }

    // The next byte, kSilent when none came within timeoutMs, kGone when
    // the port went away, kStopped when the user asked to stop.
    int get(std::uint32_t timeoutMs)
    {
        if (m_pos < m_len)
            return m_buffer[m_pos++];
        const std::uint64_t deadline = m_clock.nowMs() + timeoutMs;
        for (;;) {
            if (!m_port.isOpen())
                return kGone;
            const std::size_t n = m_port.readBlock(m_buffer);
            if (n > 0) {
                m_len = n;
                m_pos = 1;
                m_heardMs = m_clock.nowMs();
                return m_buffer[0];
            }
            if (!m_port.isOpen())
                return kGone;
            if (m_serve && m_serve())
                return kStopped;
            if (m_clock.nowMs() >= deadline)
                return kSilent;
        }
    }

    // Drops input until the line has been quiet for quietMs (at most
    // limitMs in all). False when the port went away or the user asked to
    // stop. canceled tells
    // whether what was dropped ended in a run of CANs: a sender that gave
    // up in the middle of a block.
    bool purge(std::uint32_t quietMs, std::uint32_t limitMs, bool& canceled)
    {
        m_pos = m_len = 0;
        canceled = false;
        int cans = 0;
        const std::uint64_t end = m_clock.nowMs() + limitMs;
        std::uint64_t quietSince = m_clock.nowMs();
        while (m_clock.nowMs() < end) {
            if (!m_port.isOpen())
                return false;
            if (const std::size_t n = m_port.readBlock(m_buffer); n > 0) {
                quietSince = m_clock.nowMs();
                m_heardMs = quietSince;
                for (std::size_t i = 0; i < n; ++i) {
                    // lrzsz follows its CANs with backspaces.
                    if (m_buffer[i] == kCan)
                        ++cans;
                    else if (m_buffer[i] != kBs)
                        cans = 0;
                }
            } else if (m_serve && m_serve()) {
                return false;
            } else if (m_clock.nowMs() - quietSince >= quietMs) {
                break;
            }
        }
        canceled = cans >= 2;
        return m_port.isOpen();
    }

    // Bytes read from the port and not yet taken: what a receiver sent right
    // after its last ACK (a boot monitor's summary and prompt).
    std::vector<std::uint8_t> takeUnread()
    {
        std::vector<std::uint8_t> rest(m_buffer.begin() + static_cast<std::ptrdiff_t>(m_pos),
                                       m_buffer.begin() + static_cast<std::ptrdiff_t>(m_len));
        m_pos = m_len = 0;
        return rest;
    }

    // What has already arrived, without waiting: for stale replies before a
    // block goes out. True when it held a CAN CAN.
    bool dropStale()
    {
        bool canceled = false;
        int cans = 0;
        auto look = [&](std::uint8_t b) {
            cans = b == kCan ? cans + 1 : 0;
            if (cans >= 2)
                canceled = true;
        };
        while (m_pos < m_len)
            look(m_buffer[m_pos++]);
        std::size_t n;
        while (m_port.isOpen() && (n = m_port.readAvailable(m_buffer)) > 0)
            for (std::size_t i = 0; i < n; ++i)
                look(m_buffer[i]);
        m_pos = m_len = 0;
        return canceled;
    }

    bool send(std::span<const std::uint8_t> bytes) { return m_port.writeBlock(bytes) == 0 && m_port.isOpen(); }
    bool send(std::uint8_t byte) { return send(std::span<const std::uint8_t>(&byte, 1)); }

    void cancel()
    {
        std::array<std::uint8_t, 16> seq {};
        std::fill(seq.begin(), seq.begin() + 8, kCan);
        std::fill(seq.begin() + 8, seq.end(), kBs);
        m_port.writeBlock(seq);
    }

    // When a byte last came from the other side.
    std::uint64_t heardMs() const { return m_heardMs; }
    void heardNow() { m_heardMs = m_clock.nowMs(); }

    // How long bytes take on the line at its rate (8N1 and a little more).
    std::uint32_t airtimeMs(std::size_t bytes) const
    {
        const std::uint32_t baud = m_port.baudRate() > 0 ? m_port.baudRate() : 9600;
        return static_cast<std::uint32_t>(bytes * 10000 / baud) + 1;
    }

private:
    SerialPort& m_port;
    Clock& m_clock;
    std::function<bool()> m_serve;
    std::array<std::uint8_t, 4096> m_buffer {};
    std::size_t m_pos = 0;
    std::size_t m_len = 0;
    std::uint64_t m_heardMs = 0;
};

std::uint8_t checksum8(std::span<const std::uint8_t> data)
{
    unsigned sum = 0;
    for (const std::uint8_t b : data)
        sum += b;
    return static_cast<std::uint8_t>(sum);
}

std::vector<std::uint8_t> frame(std::uint8_t number, std::span<const std::uint8_t> data, bool crc)
{
    std::vector<std::uint8_t> f;
    f.reserve(data.size() + 5);
    f.push_back(data.size() == 1024 ? kStx : kSoh);
    f.push_back(number);
    f.push_back(static_cast<std::uint8_t>(255 - number));
    f.insert(f.end(), data.begin(), data.end());
    if (crc) {
        const std::uint16_t c = crc16Xmodem(data);
        f.push_back(static_cast<std::uint8_t>(c >> 8));
        f.push_back(static_cast<std::uint8_t>(c & 0xFF));
    } else {
        f.push_back(checksum8(data));
    }
    return f;
}

enum class Got { Block, Eot, Cancel, Silent, Gone, Bad, Stopped };

struct Packet
{
    std::uint8_t number = 0;
    std::vector<std::uint8_t> data;
};

// Waits up to timeoutMs for the start of a packet, then reads the rest.
// Noise before a packet is skipped; a lone CAN is too.
Got readPacket(Link& link, bool crc, std::uint32_t timeoutMs, Packet& packet)
{
    const std::uint64_t deadline = link.now() + timeoutMs;
    bool can = false;
    int c = 0;
    for (;;) {
        const std::uint64_t now = link.now();
        c = link.get(now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now));
        if (c == kGone)
            return Got::Gone;
        if (c == kStopped)
            return Got::Stopped;
        if (c == kSilent)
            return Got::Silent;
        if (c == kCan) {
            if (can)
                return Got::Cancel;
            can = true;
            // The second CAN follows at once when it is a cancel.
            c = link.get(kByteGapMs);
            if (c == kGone)
                return Got::Gone;
            if (c == kStopped)
                return Got::Stopped;
            if (c == kCan)
                return Got::Cancel;
            can = false;
            if (c == kSilent)
                continue;
        }
        if (c == kSoh || c == kStx || c == kEot)
            break;
    }
    if (c == kEot)
        return Got::Eot;
    const std::size_t size = c == kStx ? 1024 : 128;
    const std::size_t rest = 2 + size + (crc ? 2 : 1);
    std::vector<std::uint8_t> raw(rest);
    for (std::size_t i = 0; i < rest; ++i) {
        const int b = link.get(kByteGapMs);
        if (b == kGone)
            return Got::Gone;
        if (b == kStopped)
            return Got::Stopped;
        if (b == kSilent)
            return Got::Bad;
        raw[i] = static_cast<std::uint8_t>(b);
    }
    if (static_cast<std::uint8_t>(raw[0] + raw[1]) != 0xFF)
        return Got::Bad;
    const std::span<const std::uint8_t> data(raw.data() + 2, size);
    if (crc) {
        const std::uint16_t want = static_cast<std::uint16_t>(raw[2 + size] << 8 | raw[3 + size]);
        if (crc16Xmodem(data) != want)
            return Got::Bad;
    } else if (checksum8(data) != raw[2 + size]) {
        return Got::Bad;
    }
    packet.number = raw[0];
    packet.data.assign(data.begin(), data.end());
    return Got::Block;
}

std::string baseName(const std::string& path)
{
    return fs::path(path).filename().string();
}

std::string reason(int error)
{
    return std::strerror(error);
}

// What the two sides share: the outcome being built, progress and cancel.
struct Session
{
    Session(SerialPort& p, const FileTransferOptions& o, const FileProgressCallback& cb)
        : link(p)
        , options(o)
        , callback(cb)
        , startMs(p.clock().nowMs())
    {
        retryMs = std::max<std::uint32_t>(1, std::min(o.startIntervalMs, std::max<std::uint32_t>(1, o.blockTimeoutMs / 2)));
        link.setServe([this] { return serveDue(); });
    }

    Link link;
    const FileTransferOptions& options;
    const FileProgressCallback& callback;
    std::uint64_t startMs;
    std::uint32_t retryMs;
    FileTransferOutcome outcome;
    FileTransferProgress progress;
    bool stopped = false;            // the user canceled; the cancel went out
    std::uint64_t reportedMs = 0;

    // Reports progress; true when the user canceled (the cancel is sent).
    bool report()
    {
        progress.retries = outcome.retries;
        progress.elapsedMs = link.now() - startMs;
        reportedMs = link.now();
        if (!stopped && callback && callback(progress)) {
            stopped = true;
            link.cancel();
        }
        return stopped;
    }

    // Reports again while a wait goes on, so the caller is served at least
    // every kServeIntervalMs (reads take about 2 ms, hence the margin);
    // true once the user canceled.
    bool serveDue()
    {
        if (!stopped && link.now() - reportedMs >= kServeIntervalMs - 20)
            report();
        return stopped;
    }

    FileTransferOutcome& finish(int result, std::string detail = {})
    {
        outcome.result = result;
        if (detail.empty()) {
            auto secs = [](std::uint32_t ms) {
                char text[32];
                std::snprintf(text, sizeof text, "%.1f s", ms / 1000.0);
                return std::string(text);
            };
            const std::string file = progress.fileName.empty() ? "" : progress.fileName + ": ";
            if (result == kFileNoStart)
                detail = "nothing from the other side within " + secs(options.startTimeoutMs);
            else if (result == kFileTimeout)
                detail = file + "nothing from the other side for " + secs(options.blockTimeoutMs);
            else if (result == kFileTooManyRetries)
                detail = file + "a block failed " + std::to_string(options.retries) + " times";
        }
        if (outcome.detail.empty())
            outcome.detail = std::move(detail);
        outcome.elapsedMs = link.now() - startMs;
        return outcome;
    }

    FileTransferOutcome& gone()
    {
        return finish(transferResult(TransferResult::PortNotOpen), link.port().lastError());
    }

    FileTransferOutcome& canceled() { return finish(transferResult(TransferResult::Canceled)); }
    FileTransferOutcome& canceledByPeer() { return finish(kFileCanceledByPeer); }
};

// ---------------------------------------------------------------- sending

enum class Reply { Ack, Nak, Start, Cancel, Silent, Gone, Stopped };

// Waits for the receiver's answer to what just went out. Bytes it does not
// know are skipped.
Reply awaitReply(Session& s, std::uint32_t timeoutMs)
{
    Link& link = s.link;
    const std::uint64_t deadline = link.now() + timeoutMs;
    bool can = false;
    for (;;) {
        const std::uint64_t now = link.now();
        const int c = link.get(now >= deadline ? 0 : static_cast<std::uint32_t>(deadline - now));
        if (c == kGone)
            return Reply::Gone;
        if (c == kStopped)
            return Reply::Stopped;
        if (c == kSilent)
            return Reply::Silent;
        if (c == kCan) {
            if (can)
                return Reply::Cancel;
            can = true;
            continue;
        }
        can = false;
        if (c == kAck)
            return Reply::Ack;
        if (c == kNak)
            return Reply::Nak;
        if (c == kCrcRequest)
            return Reply::Start;
    }
}

// Waits for the receiver to ask for the start: "C" means CRC-16, NAK the
// checksum. Sets crc. 0, or the result that ends the session.
int awaitStart(Session& s, std::uint32_t timeoutMs, bool& crc)
{
    const std::uint64_t deadline = s.link.now() + timeoutMs;
    for (;;) {
        const std::uint64_t now = s.link.now();
        if (now >= deadline)
            return kFileNoStart;
        const std::uint32_t slice = std::min<std::uint64_t>(deadline - now, 1000);
        switch (awaitReply(s, static_cast<std::uint32_t>(slice))) {
        case Reply::Start:
            crc = true;
            return 0;
        case Reply::Nak:
            crc = false;
            return 0;
        case Reply::Cancel:
            return kFileCanceledByPeer;
        case Reply::Gone:
            return transferResult(TransferResult::PortNotOpen);
        case Reply::Stopped:
            return transferResult(TransferResult::Canceled);
        case Reply::Ack:
        case Reply::Silent:
            // Let a cancel in while the receiver takes its time.
            if (s.report())
                return transferResult(TransferResult::Canceled);
            break;
        }
    }
}

// Sends a frame (a block, or EOT) until the receiver ACKs it, giving up
// after silenceMs without a byte from it (the block time-out when 0). 0, or
// the result that ends the session.
int sendUntilAcked(Session& s, std::span<const std::uint8_t> bytes, bool firstBlock, std::uint32_t silenceMs = 0)
{
    if (silenceMs == 0)
        silenceMs = s.options.blockTimeoutMs;
    Link& link = s.link;
    link.heardNow();
    int tries = 0;
    for (;;) {
        if (link.dropStale())
            return kFileCanceledByPeer;
        if (!link.send(bytes))
            return transferResult(TransferResult::PortNotOpen);
        ++tries;
        // The receiver answers once the frame is on the line.
        const std::uint32_t wait = s.retryMs + link.airtimeMs(bytes.size());
        for (;;) {
            const Reply r = awaitReply(s, wait);
            if (r == Reply::Ack)
                return 0;
            if (r == Reply::Cancel)
                return kFileCanceledByPeer;
            if (r == Reply::Gone)
                return transferResult(TransferResult::PortNotOpen);
            if (r == Reply::Stopped)
                return transferResult(TransferResult::Canceled);
            // A "C" repeated from before the first block arrived is a NAK
            // for it; later ones are leftovers.
            if (r == Reply::Start && !firstBlock)
                continue;
            break;
        }
        if (link.now() - link.heardMs() >= silenceMs + link.airtimeMs(bytes.size()))
            return kFileTimeout;
        if (tries >= s.options.retries)
            return kFileTooManyRetries;
        ++s.outcome.retries;
        if (s.report())
            return transferResult(TransferResult::Canceled);
    }
}

// Ends a failed send: a cancel to the receiver where it may still listen.
FileTransferOutcome& sendFailed(Session& s, int rc, std::string detail = {})
{
    if (rc == kFileTooManyRetries || rc == kFileTimeout)
        s.link.cancel();
    if (rc == transferResult(TransferResult::PortNotOpen))
        return s.gone();
    return s.finish(rc, std::move(detail));
}

std::int64_t unixTime(const fs::path& path)
{
    std::error_code ec;
    const auto t = fs::last_write_time(path, ec);
    if (ec)
        return 0;
    const auto sys = std::chrono::file_clock::to_sys(t);
    return std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count();
}

std::uint32_t unixMode(const fs::path& path)
{
    std::error_code ec;
    const auto st = fs::status(path, ec);
    if (ec)
        return 0;
    return 0100000u | (static_cast<std::uint32_t>(st.permissions()) & 0777u);
}

// The end of a send (XMODEM's EOT, YMODEM's closing block 0) that went
// unanswered after every data block was acknowledged: the data is there,
// so it is a success with a note. A cancel or a vanished port still fails.
int endOfSend(Session& s, int rc)
{
    if (rc != kFileTimeout && rc != kFileTooManyRetries)
        return rc;
    s.outcome.note = kEndNotAcknowledged;
    return 0;
}

// How long the session's last frame waits for its answer. A receiver that
// has every block and flushes its terminal as it exits can drop that ACK;
// the result is a success either way, so the user need not wait out a
// whole block time-out for it.
std::uint32_t endSilenceMs(const Session& s)
{
    constexpr std::uint32_t kEndSilenceMs = 3000;
    return std::min(s.options.blockTimeoutMs, kEndSilenceMs);
}

// Sends one file's data blocks and its EOT. lastEnd: the EOT ends the
// session (XMODEM), so a missing ACK of it is only a note.
int sendData(Session& s, std::FILE* file, std::int64_t size, bool crc, bool oneK, std::string& detail, bool lastEnd)
{
    std::vector<std::uint8_t> data(1024);
    std::uint8_t number = 1;
    std::int64_t sent = 0;
    bool first = true;
    for (;;) {
        const std::int64_t left = size >= 0 ? size - sent : 1024;
        if (left <= 0)
            break;
        const std::size_t blockSize = (oneK && crc && left > 128) ? 1024 : 128;
        const std::size_t n = std::fread(data.data(), 1, blockSize, file);
        if (n == 0) {
            if (std::ferror(file)) {
                detail = s.progress.fileName + ": " + reason(errno);
                return transferResult(TransferResult::CantOpenFile);
            }
            break;
        }
        std::fill(data.begin() + static_cast<std::ptrdiff_t>(n), data.begin() + static_cast<std::ptrdiff_t>(blockSize), kSub);
        const auto f = frame(number, std::span(data.data(), blockSize), crc);
        if (const int rc = sendUntilAcked(s, f, first); rc != 0)
            return rc;
        first = false;
        ++number;
        sent += static_cast<std::int64_t>(n);
        s.outcome.bytes += static_cast<std::int64_t>(n);
        s.progress.bytes = sent;
        if (s.report())
            return transferResult(TransferResult::Canceled);
        if (n < blockSize)
            break;
    }
    const std::uint8_t eot = kEot;
    if (!lastEnd)
        return sendUntilAcked(s, std::span(&eot, 1), false);
    return endOfSend(s, sendUntilAcked(s, std::span(&eot, 1), false, endSilenceMs(s)));
}

// ---------------------------------------------------------------- receiving

// One file being received: written beside its final name, renamed into
// place when whole.
struct Incoming
{
    std::string finalPath;
    std::string partPath;
    std::FILE* file = nullptr;
    std::int64_t size = -1;     // from block 0; -1 when not known
    std::int64_t written = 0;
    std::int64_t mtime = 0;
    std::vector<std::uint8_t> held; // the latest block, kept back for padding
    bool strip = false;

    bool open(std::string& detail)
    {
        file = std::fopen(partPath.c_str(), "wb");
        if (!file) {
            detail = partPath + ": " + reason(errno);
            return false;
        }
        return true;
    }

    bool write(std::span<const std::uint8_t> bytes, std::string& detail)
    {
        if (bytes.empty())
            return true;
        if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size()) {
            detail = partPath + ": " + reason(errno);
            return false;
        }
        written += static_cast<std::int64_t>(bytes.size());
        return true;
    }

    // A block's data: cut to the size when known, else held back until
    // the next block shows it was not the last.
    bool add(const std::vector<std::uint8_t>& data, std::string& detail)
    {
        if (size >= 0) {
            const auto room = static_cast<std::size_t>(std::max<std::int64_t>(0, size - written));
            return write(std::span(data.data(), std::min(room, data.size())), detail);
        }
        if (!write(held, detail))
            return false;
        held = data;
        return true;
    }

    bool complete(std::string& detail)
    {
        if (size < 0) {
            std::size_t n = held.size();
            if (strip)
                while (n > 0 && held[n - 1] == kSub)
                    --n;
            if (!write(std::span(held.data(), n), detail))
                return false;
            held.clear();
        }
        const bool flushed = flushToDisk(file);
        const int error = errno;
        const bool closed = std::fclose(file) == 0;
        file = nullptr;
        if (!flushed || !closed) {
            detail = partPath + ": " + reason(flushed ? errno : error);
            return false;
        }
        std::string why;
        if (!renameOver(partPath, finalPath, why)) {
            detail = finalPath + ": " + why;
            return false;
        }
        if (mtime > 0) {
            std::error_code ec;
            const auto sys = std::chrono::sys_seconds(std::chrono::seconds(mtime));
            fs::last_write_time(finalPath, std::chrono::file_clock::from_sys(sys), ec);
        }
        return true;
    }

    void discard()
    {
        if (file) {
            std::fclose(file);
            file = nullptr;
            std::error_code ec;
            fs::remove(partPath, ec);
        }
    }
};

struct Receiver
{
    Session& s;
    bool crc;
    bool ymodem;

    // Waits for the first packet of a file (block 0 for YMODEM, block 1 or
    // EOT for XMODEM), asking for it every startIntervalMs. The first file
    // of a session waits up to startTimeoutMs, a later one blockTimeoutMs.
    int awaitFirst(Packet& packet, Got& got, bool firstFile)
    {
        const std::uint64_t begin = s.link.now();
        const std::uint32_t limit = firstFile ? s.options.startTimeoutMs : s.options.blockTimeoutMs;
        const std::uint32_t interval = std::max<std::uint32_t>(1, s.options.startIntervalMs);
        const std::uint8_t ask = crc ? kCrcRequest : kNak;
        for (;;) {
            const std::uint64_t now = s.link.now();
            if (now - begin >= limit)
                return firstFile ? kFileNoStart : kFileTimeout;
            if (!s.link.send(ask))
                return transferResult(TransferResult::PortNotOpen);
            const std::uint32_t wait = static_cast<std::uint32_t>(std::min<std::uint64_t>(interval, limit - (now - begin)));
            got = readPacket(s.link, crc, wait, packet);
            if (got == Got::Stopped)
                return transferResult(TransferResult::Canceled);
            if (got == Got::Silent) {
                if (s.report())
                    return transferResult(TransferResult::Canceled);
                continue;
            }
            return 0;
        }
    }

    // NAKs after a bad packet or silence; 0 while tries are left. Before
    // the first data block the start character asks again instead: a
    // YMODEM sender would take a NAK there for a switch to the checksum.
    int retry(Got got, int& tries, bool beforeFirst)
    {
        bool canceled = false;
        if (got == Got::Bad && !s.link.purge(kPurgeQuietMs, s.options.blockTimeoutMs, canceled))
            return transferResult(s.stopped ? TransferResult::Canceled : TransferResult::PortNotOpen);
        if (canceled)
            return kFileCanceledByPeer;
        if (got == Got::Silent && s.link.now() - s.link.heardMs() >= s.options.blockTimeoutMs)
            return kFileTimeout;
        if (++tries >= s.options.retries)
            return got == Got::Silent ? kFileTimeout : kFileTooManyRetries;
        ++s.outcome.retries;
        if (s.report())
            return transferResult(TransferResult::Canceled);
        if (!s.link.send(beforeFirst ? (crc ? kCrcRequest : kNak) : kNak))
            return transferResult(TransferResult::PortNotOpen);
        return 0;
    }

    int finish(Incoming& in, std::string& detail)
    {
        // Whole means as long as block 0 said.
        if (in.size >= 0 && in.written < in.size) {
            detail = s.progress.fileName + ": " + std::to_string(in.written) + " of " + std::to_string(in.size)
                + " bytes came before the end";
            return kFileProtocolError;
        }
        if (!in.complete(detail))
            return transferResult(TransferResult::CantCreateFile);
        s.outcome.bytes += in.written;
        return 0;
    }

    // Receives blocks 1... and the EOT into in. first is the packet that
    // arrived already (XMODEM's block 1 or EOT), or none.
    int receiveData(Incoming& in, Got got, Packet packet, std::string& detail)
    {
        std::uint8_t expected = 1;
        int tries = 0;
        bool eotSeen = false;
        bool haveFirst = got != Got::Silent;
        for (;;) {
            if (!haveFirst) {
                const std::uint32_t wait = s.retryMs + s.link.airtimeMs(1029);
                got = readPacket(s.link, crc, wait, packet);
            }
            haveFirst = false;
            switch (got) {
            case Got::Gone:
                return transferResult(TransferResult::PortNotOpen);
            case Got::Stopped:
                return transferResult(TransferResult::Canceled);
            case Got::Cancel:
                return kFileCanceledByPeer;
            case Got::Eot:
                // The first EOT is NAKed and must come again, so that a
                // damaged byte is not taken for the end of the file.
                if (!eotSeen) {
                    eotSeen = true;
                    if (!s.link.send(kNak))
                        return transferResult(TransferResult::PortNotOpen);
                    continue;
                }
                if (!s.link.send(kAck))
                    return transferResult(TransferResult::PortNotOpen);
                return finish(in, detail);
            case Got::Silent:
                // An EOT that was not repeated still ended the file.
                if (eotSeen)
                    return finish(in, detail);
                [[fallthrough]];
            case Got::Bad:
                if (const int rc = retry(got, tries, expected == 1); rc != 0)
                    return rc;
                continue;
            case Got::Block:
                break;
            }
            eotSeen = false;
            if (packet.number == expected) {
                if (!in.add(packet.data, detail))
                    return transferResult(TransferResult::CantCreateFile);
                if (!s.link.send(kAck))
                    return transferResult(TransferResult::PortNotOpen);
                ++expected;
                tries = 0;
                s.progress.bytes = in.written + static_cast<std::int64_t>(in.held.size());
                if (s.report())
                    return transferResult(TransferResult::Canceled);
            } else if (packet.number == static_cast<std::uint8_t>(expected - 1)) {
                // Our ACK was lost: the block again. For YMODEM block 0
                // again, the "C" too.
                if (!s.link.send(kAck))
                    return transferResult(TransferResult::PortNotOpen);
                if (ymodem && packet.number == 0 && !s.link.send(kCrcRequest))
                    return transferResult(TransferResult::PortNotOpen);
            } else {
                detail = "block " + std::to_string(packet.number) + " where block " + std::to_string(expected)
                    + " was due";
                return kFileProtocolError;
            }
        }
    }
};

} // namespace

bool parseYmodemHeader(std::span<const std::uint8_t> data, YmodemHeader& header, std::string& why)
{
    header = YmodemHeader();
    if (data.empty() || data[0] == 0) {
        header.endOfBatch = true;
        return true;
    }
    const auto nul = std::find(data.begin(), data.end(), std::uint8_t(0));
    if (nul == data.end()) {
        why = "block 0: the name is not ended by a NUL";
        return false;
    }
    const std::string raw(data.begin(), nul);
    for (const unsigned char c : raw) {
        if (c < 0x20 || c == 0x7F) {
            why = "block 0: the name holds control characters";
            return false;
        }
    }
    // Directories are dropped, both kinds of separator; a name that starts
    // at the root or climbs out is not a name for the receive folder.
    std::string name = raw;
    std::replace(name.begin(), name.end(), '\\', '/');
    bool escapes = name.front() == '/' || (name.size() >= 2 && name[1] == ':');
    std::size_t start = 0;
    while (start <= name.size()) {
        const std::size_t slash = std::min(name.find('/', start), name.size());
        if (name.compare(start, slash - start, "..") == 0 && slash - start == 2)
            escapes = true;
        start = slash + 1;
    }
    if (escapes) {
        why = "block 0: the name " + raw + " holds a path";
        return false;
    }
    name = name.substr(name.rfind('/') == std::string::npos ? 0 : name.rfind('/') + 1);
    // "sub\A:x" leaves "A:x", a path on a drive for Windows.
    if (name.size() >= 2 && name[1] == ':') {
        why = "block 0: the name " + raw + " holds a path";
        return false;
    }
    if (name.empty() || name == ".") {
        why = "block 0: the name " + raw + " names no file";
        return false;
    }
    if (name.size() > 255) {
        why = "block 0: the name is longer than 255 bytes";
        return false;
    }
    header.name = name;

    // "size mtime mode ...": decimal, octal, octal. Only the size must make
    // sense; the rest is taken when it does.
    std::string fields(nul + 1, data.end());
    fields = fields.substr(0, fields.find('\0'));
    std::size_t at = 0;
    while (at < fields.size() && fields[at] == ' ')
        ++at;
    if (at == fields.size())
        return true;
    std::size_t end = fields.find(' ', at);
    end = end == std::string::npos ? fields.size() : end;
    const std::string size = fields.substr(at, end - at);
    if (size.find_first_not_of("0123456789") != std::string::npos) {
        why = "block 0: the size " + size.substr(0, 24) + " is not a number";
        return false;
    }
    if (size.size() > 13 || std::stoll(size) > kYmodemMaxSize) {
        why = "block 0: the size " + size.substr(0, 24) + " is impossibly large";
        return false;
    }
    header.size = std::stoll(size);
    auto octal = [&](std::size_t& from, std::uint64_t& value) {
        while (from < fields.size() && fields[from] == ' ')
            ++from;
        std::size_t to = from;
        value = 0;
        while (to < fields.size() && fields[to] >= '0' && fields[to] <= '7' && to - from < 21) {
            value = value * 8 + static_cast<std::uint64_t>(fields[to] - '0');
            ++to;
        }
        const bool ok = to > from && (to == fields.size() || fields[to] == ' ');
        from = to;
        return ok;
    };
    std::uint64_t mtime = 0;
    std::uint64_t mode = 0;
    at = end;
    if (octal(at, mtime) && mtime < (std::uint64_t(1) << 40)) {
        header.mtime = static_cast<std::int64_t>(mtime);
        if (octal(at, mode))
            header.mode = static_cast<std::uint32_t>(mode & 0xFFFFFFFFu);
    }
    return true;
}

std::vector<std::uint8_t> buildYmodemHeader(const std::string& name, std::int64_t size, std::int64_t mtime,
                                            std::uint32_t mode)
{
    std::vector<std::uint8_t> data(name.begin(), name.end());
    data.push_back(0);
    if (!name.empty()) {
        char fields[64];
        std::snprintf(fields, sizeof fields, "%lld %llo %o", static_cast<long long>(size),
                      static_cast<unsigned long long>(std::max<std::int64_t>(0, mtime)), mode);
        data.insert(data.end(), fields, fields + std::strlen(fields));
    }
    data.resize(data.size() + 1 <= 128 ? 128 : 1024, 0);
    return data;
}

FileTransferOutcome xymodemSend(SerialPort& port, const std::vector<std::string>& paths,
                                const FileTransferOptions& options, const FileProgressCallback& progress)
{
    Session s(port, options, progress);
    const bool ymodem = options.protocol == FileProtocol::Ymodem;
    if (paths.empty() || (!ymodem && paths.size() != 1))
        return s.finish(kFileProtocolError, ymodem ? "no file to send" : "XMODEM sends exactly one file");
    if (!port.isOpen())
        return s.gone();
    // Every file must be there before the session starts.
    for (const std::string& path : paths) {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f || fs::is_directory(path)) {
            const int error = f ? EISDIR : errno;
            if (f)
                std::fclose(f);
            return s.finish(transferResult(TransferResult::CantOpenFile), path + ": " + reason(error));
        }
        std::fclose(f);
    }
    s.progress.fileCount = static_cast<int>(paths.size());
    if (s.report())
        return s.canceled();

    bool crc = options.startSeen != kNak;
    if (options.startSeen == kCrcRequest || options.startSeen == kNak) {
        // The receiver asked already; its next request, when it comes, is
        // taken for a NAK of block 1 (or 0) and that block goes again.
    } else if (const int rc = awaitStart(s, options.startTimeoutMs, crc); rc != 0) {
        if (rc == transferResult(TransferResult::PortNotOpen))
            return s.gone();
        return s.finish(rc);
    }
    for (std::size_t i = 0; i < paths.size(); ++i) {
        const std::string& path = paths[i];
        File file(std::fopen(path.c_str(), "rb"));
        if (!file) {
            s.link.cancel();
            return s.finish(transferResult(TransferResult::CantOpenFile), path + ": " + reason(errno));
        }
        const std::int64_t size = fileLength(file.get());
        s.progress.fileName = baseName(path);
        s.progress.fileIndex = static_cast<int>(i);
        s.progress.bytes = 0;
        s.progress.total = size;
        if (s.report())
            return s.canceled();
        if (ymodem) {
            if (i > 0) {
                if (const int rc = awaitStart(s, options.blockTimeoutMs, crc); rc != 0)
                    return sendFailed(s, rc == kFileNoStart ? kFileTimeout : rc);
            }
            const auto header = buildYmodemHeader(s.progress.fileName, size, unixTime(path), unixMode(path));
            if (const int rc = sendUntilAcked(s, frame(0, header, crc), true); rc != 0)
                return sendFailed(s, rc);
            // The receiver asks again for the data.
            if (const int rc = awaitStart(s, options.blockTimeoutMs, crc); rc != 0)
                return sendFailed(s, rc == kFileNoStart ? kFileTimeout : rc);
        }
        std::string detail;
        if (const int rc = sendData(s, file.get(), size, crc, ymodem || options.oneK, detail, !ymodem); rc != 0) {
            if (rc == transferResult(TransferResult::CantOpenFile))
                s.link.cancel();
            return sendFailed(s, rc, detail);
        }
        s.outcome.files.push_back(path);
    }
    if (ymodem) {
        if (const int rc = awaitStart(s, options.blockTimeoutMs, crc); rc != 0)
            return sendFailed(s, rc == kFileNoStart ? kFileTimeout : rc);
        if (const int rc = endOfSend(s, sendUntilAcked(s, frame(0, buildYmodemHeader("", 0, 0, 0), crc), true, endSilenceMs(s))); rc != 0)
            return sendFailed(s, rc);
    }
    s.outcome.trailing = s.link.takeUnread();
    return s.finish(0);
}

FileTransferOutcome xymodemReceive(SerialPort& port, const FileTransferOptions& options,
                                   const FileProgressCallback& progress)
{
    Session s(port, options, progress);
    if (!port.isOpen())
        return s.gone();
    Receiver r { s, !options.checksum, options.protocol == FileProtocol::Ymodem };
    std::string detail;
    // The caller shows the transfer before the first byte goes out.
    if (s.report())
        return s.canceled();
    auto fail = [&](Incoming& in, int rc) -> FileTransferOutcome& {
        in.discard();
        if (rc == kFileProtocolError || rc == kFileTooManyRetries || rc == kFileTimeout
            || rc == transferResult(TransferResult::CantCreateFile))
            s.link.cancel();
        if (rc == transferResult(TransferResult::PortNotOpen))
            return s.gone();
        return s.finish(rc, detail);
    };

    if (!r.ymodem) {
        Incoming in;
        in.finalPath = options.xmodemFileName;
        in.partPath = in.finalPath + ".part";
        in.strip = options.stripPadding;
        if (in.finalPath.empty())
            return s.finish(transferResult(TransferResult::CantCreateFile), "no file name to receive into");
        if (!in.open(detail))
            return s.finish(transferResult(TransferResult::CantCreateFile), detail);
        s.progress.fileName = baseName(in.finalPath);
        s.progress.fileCount = 1;
        Packet packet;
        Got got = Got::Silent;
        if (const int rc = r.awaitFirst(packet, got, true); rc != 0)
            return fail(in, rc);
        if (const int rc = r.receiveData(in, got, packet, detail); rc != 0)
            return fail(in, rc);
        s.outcome.files.push_back(in.finalPath);
        return s.finish(0);
    }

    for (int index = 0;; ++index) {
        Incoming none;
        Packet packet;
        Got got = Got::Silent;
        YmodemHeader header;
        int tries = 0;
        for (;;) {
            if (const int rc = r.awaitFirst(packet, got, index == 0); rc != 0)
                return fail(none, rc);
            if (got == Got::Gone)
                return s.gone();
            if (got == Got::Cancel)
                return s.canceledByPeer();
            if (got == Got::Block && packet.number == 0)
                break;
            if (got == Got::Eot) {
                // The previous file's EOT again: our ACK was lost.
                if (!s.link.send(kAck))
                    return s.gone();
                continue;
            }
            if (got == Got::Block) {
                detail = "block " + std::to_string(packet.number) + " where block 0 was due";
                return fail(none, kFileProtocolError);
            }
            bool canceled = false;
            if (got == Got::Bad && !s.link.purge(kPurgeQuietMs, options.blockTimeoutMs, canceled))
                return s.stopped ? s.canceled() : s.gone();
            if (canceled)
                return s.canceledByPeer();
            if (++tries >= options.retries)
                return fail(none, kFileTooManyRetries);
            ++s.outcome.retries;
        }
        if (!parseYmodemHeader(packet.data, header, detail))
            return fail(none, kFileProtocolError);
        if (!s.link.send(kAck))
            return s.gone();
        if (header.endOfBatch)
            return s.finish(0);

        Incoming in;
        in.finalPath = (fs::path(options.receiveDir) / header.name).string();
        in.partPath = in.finalPath + ".part";
        in.size = header.size;
        in.mtime = header.mtime;
        in.strip = options.stripPadding;
        if (!in.open(detail))
            return fail(in, transferResult(TransferResult::CantCreateFile));
        s.progress.fileName = header.name;
        s.progress.fileIndex = index;
        s.progress.bytes = 0;
        s.progress.total = header.size;
        if (s.report()) {
            in.discard();
            return s.canceled();
        }
        // Ask for the data; a "C" repeats on silence until block 1 comes.
        Got first = Got::Silent;
        if (const int rc = r.awaitFirst(packet, first, false); rc != 0)
            return fail(in, rc);
        if (first == Got::Block && packet.number == 0) {
            // Block 0 again (our ACK was lost): acknowledge and ask again.
            if (!s.link.send(kAck))
                return s.gone();
            first = Got::Silent;
        }
        if (const int rc = r.receiveData(in, first, packet, detail); rc != 0)
            return fail(in, rc);
        s.outcome.files.push_back(in.finalPath);
    }
}

} // namespace merovan
