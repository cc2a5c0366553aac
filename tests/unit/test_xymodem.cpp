// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "transfer/file_transfer.h"
#include "transfer/xmodem.h"
#include "transfer/xymodem.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <filesystem>
#include <fstream>
#include <set>

using namespace merovan;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kSub = 0x1A;

Bytes pattern(std::size_t n, int seed = 0)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 256 + seed);
    return b;
}

Bytes frameOf(std::uint8_t number, Bytes data, bool crc = true)
{
    Bytes f { data.size() == 1024 ? kStx : kSoh, number, static_cast<std::uint8_t>(255 - number) };
    f.insert(f.end(), data.begin(), data.end());
    if (crc) {
        const std::uint16_t c = crc16Xmodem(data);
        f.push_back(static_cast<std::uint8_t>(c >> 8));
        f.push_back(static_cast<std::uint8_t>(c));
    } else {
        unsigned sum = 0;
        for (const auto b : data)
            sum += b;
        f.push_back(static_cast<std::uint8_t>(sum));
    }
    return f;
}

// The blocks of data, padded with SUB, 1024 or 128 bytes each.
std::vector<Bytes> blocksOf(const Bytes& data, std::size_t size, std::uint8_t first = 1, bool crc = true)
{
    std::vector<Bytes> frames;
    std::uint8_t number = first;
    for (std::size_t at = 0; at < data.size(); at += size) {
        Bytes block(data.begin() + static_cast<std::ptrdiff_t>(at),
                    data.begin() + static_cast<std::ptrdiff_t>(std::min(data.size(), at + size)));
        block.resize(size, kSub);
        frames.push_back(frameOf(number++, block, crc));
    }
    return frames;
}

// A receiving peer for the sender's tests: asks for the start, reads frames
// and answers them as scripted (ACK once the script is used up).
class ReceivingPeer : public devsim::DeviceModel
{
public:
    std::uint8_t startChar = 'C';
    int starts = 1;                   // start characters offered, 1 s apart
    std::uint64_t firstStartAt = 100; // ms after the first tick
    bool ymodem = false;              // "C" after block 0's ACK and after EOT's
    std::deque<Bytes> replies;        // to successive frames and EOTs
    bool silentAfterReplies = false;
    int vanishAfterFrames = -1;

    struct Frame
    {
        std::uint8_t number;
        Bytes data;
        bool valid;
    };
    std::vector<Frame> frames;
    int eots = 0;
    Bytes stray;

    void receive(std::uint8_t byte, std::uint64_t, devsim::DeviceOutput& out) override
    {
        if (m_frame.empty()) {
            if (byte == kEot) {
                ++eots;
                answer(out, true);
                return;
            }
            if (byte != kSoh && byte != kStx) {
                stray.push_back(byte);
                return;
            }
        }
        m_frame.push_back(byte);
        const std::size_t size = m_frame[0] == kStx ? 1024 : 128;
        const std::size_t total = 3 + size + (startChar == 'C' ? 2 : 1);
        if (m_frame.size() < total)
            return;
        Bytes data(m_frame.begin() + 3, m_frame.begin() + 3 + static_cast<std::ptrdiff_t>(size));
        const bool valid = frameOf(m_frame[1], data, startChar == 'C') == m_frame;
        frames.push_back({ m_frame[1], data, valid });
        m_frame.clear();
        if (vanishAfterFrames >= 0 && static_cast<int>(frames.size()) >= vanishAfterFrames) {
            out.dropLine = true;
            return;
        }
        answer(out, false);
    }

    void tick(std::uint64_t nowMs, devsim::DeviceOutput& out) override
    {
        if (!m_started) {
            m_started = true;
            m_next = nowMs + firstStartAt;
            return;
        }
        if (starts > 0 && frames.empty()) {
            out.bytes.push_back(startChar);
            --starts;
        }
        m_next = nowMs + 1000;
    }
    std::uint64_t nextDeadline() const override
    {
        return starts > 0 && frames.empty() ? m_next : devsim::kNoDeadline;
    }

private:
    void answer(devsim::DeviceOutput& out, bool eot)
    {
        if (!replies.empty()) {
            out.bytes = replies.front();
            replies.pop_front();
            return;
        }
        if (silentAfterReplies)
            return;
        out.bytes.push_back(kAck);
        if (ymodem && (eot || frames.back().number == 0))
            out.bytes.push_back('C');
    }

    Bytes m_frame;
    std::uint64_t m_next = 0;
    bool m_started = false;
};

// A sending peer for the receiver's tests: starts on "C" or NAK and sends
// its items one after another on ACK, again on NAK. An empty item waits
// for a "C" (YMODEM's request for the data and for the next file).
class SendingPeer : public devsim::DeviceModel
{
public:
    std::vector<Bytes> items;
    std::set<std::size_t> corruptOnce; // items damaged the first time they go
    std::set<std::size_t> twice;       // items sent again after their ACK
    int vanishAfterItems = -1;
    std::size_t silentFrom = SIZE_MAX; // items from here are never sent
    std::size_t cancelAt = SIZE_MAX;   // CAN CAN instead of this item

    struct Heard
    {
        std::uint8_t byte;
        std::uint64_t ms;
    };
    std::vector<Heard> heard;

    void receive(std::uint8_t byte, std::uint64_t nowMs, devsim::DeviceOutput& out) override
    {
        heard.push_back({ byte, nowMs });
        if (!m_started) {
            if (byte == 'C' || byte == kNak) {
                m_started = true;
                send(out);
            }
            return;
        }
        if (byte == kAck) {
            if (m_next < items.size() && twice.erase(m_next)) {
                send(out);
                return;
            }
            ++m_next;
            if (m_next < items.size() && !items[m_next].empty())
                send(out);
        } else if (byte == kNak) {
            send(out);
        } else if (byte == 'C' && m_next < items.size() && items[m_next].empty()) {
            ++m_next;
            send(out);
        }
    }

    std::size_t sentItems() const { return m_next; }

private:
    void send(devsim::DeviceOutput& out)
    {
        if (m_next >= items.size() || m_next >= silentFrom)
            return;
        if (m_next == cancelAt) {
            out.bytes = { kCan, kCan, kCan, kCan, kCan, kCan, kCan, kCan };
            return;
        }
        if (vanishAfterItems >= 0 && static_cast<int>(m_next) >= vanishAfterItems) {
            out.dropLine = true;
            return;
        }
        out.bytes = items[m_next];
        if (corruptOnce.erase(m_next) && out.bytes.size() > 10)
            out.bytes[10] ^= 0x04;
    }

    bool m_started = false;
    std::size_t m_next = 0;
};

class FileTransferTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        dir = fs::temp_directory_path() / ("merovan-xymodem-" + std::to_string(::getpid()) + "-"
                                           + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "in");
        options.receiveDir = (dir / "in").string();
    }
    void TearDown() override { fs::remove_all(dir); }

    // Peers live as long as the test, so a port closed later still finds
    // its device.
    template <typename Peer>
    Peer& make()
    {
        peers.push_back(std::make_unique<Peer>());
        return static_cast<Peer&>(*peers.back());
    }

    void connect(devsim::DeviceModel& peer)
    {
        port = std::make_unique<SerialPort>(clock, std::make_unique<FakeBackend>(clock, log, &peer));
        ASSERT_EQ(port->openPort("/dev/fake", "115200,8,N,1"), 0);
    }

    std::string writeFile(const std::string& name, const Bytes& data)
    {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                 static_cast<std::streamsize>(data.size()));
        return p.string();
    }

    static Bytes readBytes(const fs::path& p)
    {
        std::ifstream in(p, std::ios::binary);
        return Bytes(std::istreambuf_iterator<char>(in), {});
    }

    FileTransferOutcome send(const std::vector<std::string>& paths, int cancelAtCall = -1)
    {
        return sendFiles(*port, paths, options, reporter(cancelAtCall));
    }
    FileTransferOutcome receive(int cancelAtCall = -1) { return receiveFiles(*port, options, reporter(cancelAtCall)); }

    FileProgressCallback reporter(int cancelAtCall)
    {
        return [this, cancelAtCall](const FileTransferProgress& p) {
            reports.push_back(p);
            return static_cast<int>(reports.size()) == cancelAtCall;
        };
    }

    bool endsWithCancel() const
    {
        const Bytes cancel { kCan, kCan, kCan, kCan, kCan, kCan, kCan, kCan, 8, 8, 8, 8, 8, 8, 8, 8 };
        return log.written.size() >= cancel.size()
            && std::equal(cancel.begin(), cancel.end(), log.written.end() - static_cast<std::ptrdiff_t>(cancel.size()));
    }

    fs::path dir;
    FileTransferOptions options;
    FakeClock clock;
    FakeLineLog log;
    std::vector<std::unique_ptr<devsim::DeviceModel>> peers;
    std::unique_ptr<SerialPort> port;
    std::vector<FileTransferProgress> reports;
};

} // namespace

// ------------------------------------------------------------ block 0

TEST(YmodemHeader, ReadsNameSizeTimeAndMode)
{
    const Bytes data = buildYmodemHeader("report.csv", 12345, 014567123456, 0100644);
    ASSERT_EQ(data.size(), 128u);
    YmodemHeader h;
    std::string why;
    ASSERT_TRUE(parseYmodemHeader(data, h, why)) << why;
    EXPECT_FALSE(h.endOfBatch);
    EXPECT_EQ(h.name, "report.csv");
    EXPECT_EQ(h.size, 12345);
    EXPECT_EQ(h.mtime, 014567123456);
    EXPECT_EQ(h.mode, 0100644u);

    EXPECT_EQ(buildYmodemHeader(std::string(200, 'n'), 1, 0, 0).size(), 1024u) << "a long name takes a 1K block";
    ASSERT_TRUE(parseYmodemHeader(buildYmodemHeader("", 0, 0, 0), h, why));
    EXPECT_TRUE(h.endOfBatch);
}

TEST(YmodemHeader, ReducesDirectoriesAndRefusesWhatWouldEscape)
{
    const struct
    {
        std::string raw;
        std::string name;     // empty: refused
        std::string why;
    } rows[] = {
        { std::string("dir/sub/x.bin\0" "5", 15), "x.bin", "" },
        { std::string("C\\logs\\y.txt\0", 13), "y.txt", "" },
        { std::string("plain\0", 6), "plain", "" },
        { std::string("../x\0" "1", 6), "", "block 0: the name ../x holds a path" },
        { std::string("a/../../x\0", 10), "", "holds a path" },
        { std::string("/etc/passwd\0" "10", 14), "", "block 0: the name /etc/passwd holds a path" },
        { std::string("C:\\boot.ini\0", 12), "", "holds a path" },
        { std::string("d\\A:x\0", 6), "", "holds a path" },
        { std::string("dir/\0", 5), "", "names no file" },
        { std::string("a\x01" "b\0", 4), "", "control characters" },
        { std::string("x\0" "99999999999999999999", 22), "", "block 0: the size 99999999999999999999 is impossibly large" },
        { std::string("x\0" "2199023255553", 15), "", "impossibly large" },
        { std::string("x\0" "12ab", 6), "", "block 0: the size 12ab is not a number" },
        { std::string("x\0" "-5", 4), "", "is not a number" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.raw);
        Bytes data(row.raw.begin(), row.raw.end());
        data.resize(128, 0);
        YmodemHeader h;
        std::string why;
        const bool ok = parseYmodemHeader(data, h, why);
        EXPECT_EQ(ok, !row.name.empty());
        if (ok)
            EXPECT_EQ(h.name, row.name);
        else
            EXPECT_NE(why.find(row.why), std::string::npos) << why;
    }
    // A block 0 with no NUL anywhere.
    YmodemHeader h;
    std::string why;
    EXPECT_FALSE(parseYmodemHeader(Bytes(128, 'a'), h, why));
    EXPECT_EQ(why, "block 0: the name is not ended by a NUL");
    // Without a size the size is unknown; a broken date is left out.
    ASSERT_TRUE(parseYmodemHeader(Bytes { 'n', 0, 0 }, h, why));
    EXPECT_EQ(h.size, -1);
    const std::string odd("n\0" "7 89x", 7);
    ASSERT_TRUE(parseYmodemHeader(Bytes(odd.begin(), odd.end()), h, why));
    EXPECT_EQ(h.size, 7);
    EXPECT_EQ(h.mtime, 0);
}

// ------------------------------------------------------------ sending

TEST_F(FileTransferTest, SenderFollowsTheReceiversChoiceOfCrcOrChecksum)
{
    const Bytes data = pattern(2500);
    const std::string path = writeFile("a.bin", data);
    options.protocol = FileProtocol::Xmodem;
    options.oneK = true;
    {
        auto& peer = make<ReceivingPeer>();
        connect(peer);
        const auto out = send({ path });
        EXPECT_EQ(out.result, 0) << out.detail;
        ASSERT_EQ(peer.frames.size(), 3u);
        for (const auto& f : peer.frames) {
            EXPECT_TRUE(f.valid);
            EXPECT_EQ(f.data.size(), 1024u) << "CRC asked for: 1K blocks";
        }
        EXPECT_EQ(peer.frames[2].number, 3);
        EXPECT_EQ(peer.frames[2].data[2500 - 2048 - 1], data.back());
        EXPECT_EQ(peer.frames[2].data.back(), kSub);
        EXPECT_EQ(peer.eots, 1);
        EXPECT_EQ(out.bytes, 2500);
        EXPECT_EQ(out.files, std::vector<std::string> { path });
        EXPECT_EQ(reports.back().bytes, 2500);
        EXPECT_EQ(reports.back().total, 2500);
    }
    {
        auto& peer = make<ReceivingPeer>();
        peer.startChar = kNak;
        connect(peer);
        EXPECT_EQ(send({ path }).result, 0);
        ASSERT_EQ(peer.frames.size(), 20u) << "checksum: 128-byte blocks even with --1k";
        for (const auto& f : peer.frames)
            EXPECT_TRUE(f.valid);
    }
}

TEST_F(FileTransferTest, SenderEndsA1kFileWithAShortBlockWhenLittleIsLeft)
{
    const std::string path = writeFile("a.bin", pattern(1100));
    options.protocol = FileProtocol::Xmodem;
    options.oneK = true;
    auto& peer = make<ReceivingPeer>();
    connect(peer);
    EXPECT_EQ(send({ path }).result, 0);
    ASSERT_EQ(peer.frames.size(), 2u);
    EXPECT_EQ(peer.frames[0].data.size(), 1024u);
    EXPECT_EQ(peer.frames[1].data.size(), 128u);
}

TEST_F(FileTransferTest, SenderRepeatsANakedBlockAndGivesUpAfterItsRetries)
{
    const std::string path = writeFile("a.bin", pattern(300));
    options.protocol = FileProtocol::Xmodem;
    {
        auto& peer = make<ReceivingPeer>();
        peer.replies = { { kNak }, { kAck }, { kNak }, { kNak } };
        connect(peer);
        const auto out = send({ path });
        EXPECT_EQ(out.result, 0);
        ASSERT_EQ(peer.frames.size(), 6u);
        EXPECT_EQ(peer.frames[0].data, peer.frames[1].data);
        EXPECT_EQ(peer.frames[2].number, 2);
        EXPECT_EQ(peer.frames[4].number, 2);
        EXPECT_EQ(out.retries, 3);
    }
    {
        auto& peer = make<ReceivingPeer>();
        peer.replies = std::deque<Bytes>(50, Bytes { kNak });
        connect(peer);
        log.written.clear();
        const auto out = send({ path });
        EXPECT_EQ(out.result, kFileTooManyRetries);
        EXPECT_EQ(peer.frames.size(), 10u) << "10 tries of the block";
        EXPECT_TRUE(endsWithCancel());
        EXPECT_EQ(fileTransferMessage(out.result), "Too many errors, transfer given up");
    }
}

TEST_F(FileTransferTest, SenderWaitsSixtySecondsForTheStart)
{
    const std::string path = writeFile("a.bin", pattern(10));
    options.protocol = FileProtocol::Xmodem;
    auto& peer = make<ReceivingPeer>();
    peer.starts = 0;
    connect(peer);
    const auto before = clock.nowMs();
    const auto out = send({ path });
    EXPECT_EQ(out.result, kFileNoStart);
    EXPECT_GE(clock.nowMs() - before, 60000u);
    EXPECT_LT(clock.nowMs() - before, 61000u);
    EXPECT_TRUE(peer.frames.empty());
    EXPECT_NE(out.detail.find("60.0 s"), std::string::npos) << out.detail;

    // A start 50 s late is still taken, as lrzsz's slow "C" needs.
    auto& late = make<ReceivingPeer>();
    late.firstStartAt = 50000;
    connect(late);
    EXPECT_EQ(send({ path }).result, 0);
    EXPECT_EQ(late.frames.size(), 1u);
}

TEST_F(FileTransferTest, SenderStopsAtADoubleCanAndCancelsOnRequest)
{
    const std::string path = writeFile("a.bin", pattern(5000));
    options.protocol = FileProtocol::Xmodem;
    {
        auto& peer = make<ReceivingPeer>();
        peer.replies = { { kAck }, { kCan, kCan } };
        connect(peer);
        const auto out = send({ path });
        EXPECT_EQ(out.result, kFileCanceledByPeer);
        EXPECT_EQ(peer.frames.size(), 2u);
        EXPECT_EQ(peer.eots, 0);
    }
    {
        auto& peer = make<ReceivingPeer>();
        peer.replies = { { kCan, 'x', kAck } };
        connect(peer);
        EXPECT_EQ(send({ path }).result, 0) << "a lone CAN is noise";
    }
    {
        auto& peer = make<ReceivingPeer>();
        connect(peer);
        log.written.clear();
        reports.clear();
        // A cancel once the second block is reported (reports also come
        // while the receiver is awaited).
        const auto out = sendFiles(*port, { path }, options, [&](const FileTransferProgress& p) {
            reports.push_back(p);
            return p.bytes >= 2 * 128;
        });
        EXPECT_EQ(out.result, toInt(TransferResult::Canceled));
        EXPECT_EQ(peer.frames.size(), 2u);
        EXPECT_TRUE(endsWithCancel()) << "CAN x 8, then backspace x 8";
    }
}

TEST_F(FileTransferTest, SenderEndsWhenTheReceiverFallsSilentOrThePortGoes)
{
    const std::string path = writeFile("a.bin", pattern(5000));
    options.protocol = FileProtocol::Xmodem;
    {
        auto& peer = make<ReceivingPeer>();
        peer.replies = { { kAck } };
        peer.silentAfterReplies = true;
        connect(peer);
        const std::uint64_t before = clock.nowMs();
        const auto out = send({ path });
        EXPECT_EQ(out.result, kFileTimeout);
        EXPECT_GE(peer.frames.size(), 3u) << "the block is repeated while waiting";
        EXPECT_LE(clock.nowMs() - before, 100u + options.blockTimeoutMs + 3000u + 100u);
        EXPECT_NE(out.detail.find("a.bin: nothing from the other side for 10.0 s"), std::string::npos) << out.detail;
    }
    {
        auto& peer = make<ReceivingPeer>();
        peer.vanishAfterFrames = 2;
        connect(peer);
        const auto out = send({ path });
        EXPECT_EQ(out.result, toInt(TransferResult::PortNotOpen));
        EXPECT_FALSE(out.detail.empty());
    }
    {
        auto& peer = make<ReceivingPeer>();
        connect(peer);
        log.written.clear();
        const auto out = send({ (dir / "none.bin").string() });
        EXPECT_EQ(out.result, toInt(TransferResult::CantOpenFile));
        EXPECT_NE(out.detail.find("none.bin: No such file or directory"), std::string::npos) << out.detail;
        EXPECT_TRUE(log.written.empty()) << "nothing goes out for a missing file";
    }
}

// The terminal took in the receiver's request just before Send: the send
// starts at once, with CRC for "C" and the checksum for NAK, without
// waiting for the next request.
TEST_F(FileTransferTest, SenderStartsAtOnceOnARequestTheTerminalSaw)
{
    const std::string path = writeFile("a.bin", pattern(200));
    for (const std::uint8_t seen : { kCrcRequest, kNak }) {
        SCOPED_TRACE(seen);
        options.protocol = FileProtocol::Xmodem;
        options.startSeen = seen;
        auto& peer = make<ReceivingPeer>();
        peer.startChar = seen;
        peer.starts = 0; // it asked before the send began
        connect(peer);
        const std::uint64_t before = clock.nowMs();
        const auto out = send({ path });
        EXPECT_EQ(out.result, 0) << out.detail;
        ASSERT_EQ(peer.frames.size(), 2u);
        EXPECT_TRUE(peer.frames[0].valid && peer.frames[1].valid) << "CRC or checksum as asked";
        EXPECT_LT(clock.nowMs() - before, 1000u) << "no wait for another request";
        EXPECT_EQ(out.retries, 0);
    }
}

// A receiver that exits as it acknowledges the end can lose that ACK (lrzsz
// flushes its line as it goes): with every data block acknowledged, the
// send is a success with a note. A data block without its ACK still fails.
TEST_F(FileTransferTest, SenderTakesAnUnacknowledgedEndAsSuccessWithANote)
{
    const std::string path = writeFile("a.bin", pattern(300));
    const Bytes ack { kAck };
    const Bytes ackC { kAck, 'C' };
    const struct
    {
        const char* what;
        FileProtocol protocol;
        std::deque<Bytes> replies;   // then silence
        int result;
        bool note;
    } rows[] = {
        { "XMODEM: the EOT unanswered", FileProtocol::Xmodem, { ack, ack, ack }, 0, true },
        { "XMODEM: the last block unanswered", FileProtocol::Xmodem, { ack, ack }, kFileTimeout, false },
        { "YMODEM: the closing block 0 unanswered", FileProtocol::Ymodem, { ackC, ack, ackC }, 0, true },
        { "YMODEM: the EOT unanswered", FileProtocol::Ymodem, { ackC, ack }, kFileTimeout, false },
        { "YMODEM: the data block unanswered", FileProtocol::Ymodem, { ackC }, kFileTimeout, false },
        { "YMODEM: block 0 unanswered", FileProtocol::Ymodem, {}, kFileTimeout, false },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        options.protocol = row.protocol;
        auto& peer = make<ReceivingPeer>();
        peer.ymodem = row.protocol == FileProtocol::Ymodem;
        peer.replies = row.replies;
        peer.silentAfterReplies = true;
        connect(peer);
        const auto before = clock.nowMs();
        const auto out = send({ path });
        EXPECT_EQ(out.result, row.result) << out.detail;
        EXPECT_EQ(out.note, row.note ? kEndNotAcknowledged : "");
        if (row.note)
            EXPECT_LT(clock.nowMs() - before, options.blockTimeoutMs) << "an unanswered end waits less than a block";
        else
            EXPECT_GE(clock.nowMs() - before, options.blockTimeoutMs) << "an unanswered block waits out its time-out";
        if (row.result == 0) {
            EXPECT_EQ(out.bytes, 300);
            EXPECT_EQ(out.files, std::vector<std::string> { path });
            EXPECT_TRUE(out.detail.empty()) << out.detail;
            EXPECT_FALSE(endsWithCancel()) << "a receiver that is gone is not canceled";
        } else {
            EXPECT_TRUE(out.files.empty());
        }
    }
}

TEST_F(FileTransferTest, YmodemSendsEachFileWithItsBlockZeroAndEndsTheBatch)
{
    const Bytes a = pattern(1500, 1);
    const Bytes b = pattern(0);
    const std::string pa = writeFile("a.bin", a);
    const std::string pb = writeFile("empty.txt", b);
    options.protocol = FileProtocol::Ymodem;
    auto& peer = make<ReceivingPeer>();
    peer.ymodem = true;
    connect(peer);
    const auto out = send({ pa, pb });
    EXPECT_EQ(out.result, 0) << out.detail;
    // a: block 0, 1K, 1K (476 bytes left), EOT; empty: block 0, EOT; end.
    ASSERT_EQ(peer.frames.size(), 5u);
    YmodemHeader h;
    std::string why;
    ASSERT_TRUE(parseYmodemHeader(peer.frames[0].data, h, why));
    EXPECT_EQ(h.name, "a.bin");
    EXPECT_EQ(h.size, 1500);
    EXPECT_GT(h.mtime, 1600000000);
    EXPECT_EQ(peer.frames[1].number, 1);
    EXPECT_EQ(peer.frames[2].data.size(), 1024u);
    ASSERT_TRUE(parseYmodemHeader(peer.frames[3].data, h, why));
    EXPECT_EQ(h.name, "empty.txt");
    EXPECT_EQ(h.size, 0);
    ASSERT_TRUE(parseYmodemHeader(peer.frames[4].data, h, why));
    EXPECT_TRUE(h.endOfBatch);
    EXPECT_EQ(peer.eots, 2);
    EXPECT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.bytes, 1500);
}

// ------------------------------------------------------------ receiving

TEST_F(FileTransferTest, ReceiverAsksEveryThreeSecondsForSixty)
{
    options.protocol = FileProtocol::Xmodem;
    options.xmodemFileName = (dir / "in" / "x.bin").string();
    auto& peer = make<SendingPeer>(); // never answers
    peer.items.clear();
    connect(peer);
    const std::uint64_t before = clock.nowMs();
    const auto out = receive();
    EXPECT_EQ(out.result, kFileNoStart);
    ASSERT_EQ(peer.heard.size(), 20u);
    for (std::size_t i = 0; i < peer.heard.size(); ++i) {
        EXPECT_EQ(peer.heard[i].byte, 'C');
        EXPECT_GE(peer.heard[i].ms - before, i * 3000);
        EXPECT_LT(peer.heard[i].ms - before, i * 3000 + 10);
    }
    EXPECT_GE(clock.nowMs() - before, 60000u);
    EXPECT_LT(clock.nowMs() - before, 60100u);
    EXPECT_FALSE(fs::exists(options.xmodemFileName));
    EXPECT_FALSE(fs::exists(options.xmodemFileName + ".part"));

    // Settable, and the checksum is asked for with NAK.
    auto& other = make<SendingPeer>();
    connect(other);
    options.checksum = true;
    options.startIntervalMs = 500;
    options.startTimeoutMs = 2000;
    EXPECT_EQ(receive().result, kFileNoStart);
    ASSERT_EQ(other.heard.size(), 4u);
    EXPECT_EQ(other.heard[1].byte, kNak);
    EXPECT_LT(other.heard[1].ms - other.heard[0].ms, 510u);
}

TEST_F(FileTransferTest, ReceiverKeepsThePaddingUnlessToldToStripIt)
{
    options.protocol = FileProtocol::Xmodem;
    const Bytes data = pattern(1200);
    Bytes padded = data;
    padded.resize(2048, kSub);
    for (const bool strip : { false, true }) {
        SCOPED_TRACE(strip);
        auto& peer = make<SendingPeer>();
        peer.items = blocksOf(data, 1024);
        peer.items.push_back({ kEot });
        connect(peer);
        options.stripPadding = strip;
        options.xmodemFileName = (dir / "in" / (strip ? "s.bin" : "p.bin")).string();
        const auto out = receive();
        EXPECT_EQ(out.result, 0) << out.detail;
        EXPECT_EQ(readBytes(options.xmodemFileName), strip ? data : padded);
        EXPECT_EQ(out.files, std::vector<std::string> { options.xmodemFileName });
        EXPECT_FALSE(fs::exists(options.xmodemFileName + ".part"));
        // The first EOT is NAKed and must come again.
        ASSERT_GE(peer.heard.size(), 2u);
        EXPECT_EQ(peer.heard[peer.heard.size() - 2].byte, kNak);
        EXPECT_EQ(peer.heard.back().byte, kAck);
    }
}

TEST_F(FileTransferTest, ReceiverNaksADamagedBlockAndTakesItAgain)
{
    options.protocol = FileProtocol::Xmodem;
    options.xmodemFileName = (dir / "in" / "x.bin").string();
    const Bytes data = pattern(128 * 5);
    for (const bool checksum : { false, true }) {
        SCOPED_TRACE(checksum);
        options.checksum = checksum;
        auto& peer = make<SendingPeer>();
        peer.items = blocksOf(data, 128, 1, !checksum);
        peer.items.push_back({ kEot });
        peer.corruptOnce = { 2 };
        peer.twice = { 3 }; // as when an ACK is lost
        connect(peer);
        const auto out = receive();
        EXPECT_EQ(out.result, 0) << out.detail;
        EXPECT_EQ(readBytes(options.xmodemFileName), data) << "the repeated block is written once";
        EXPECT_EQ(out.retries, 1);
        EXPECT_EQ(out.bytes, 640);
    }
}

TEST_F(FileTransferTest, ReceiverEndsAtADoubleCanOrSilenceOrALostPort)
{
    options.protocol = FileProtocol::Xmodem;
    options.xmodemFileName = (dir / "in" / "x.bin").string();
    const Bytes data = pattern(1024 * 4);
    {
        auto& peer = make<SendingPeer>();
        peer.items = blocksOf(data, 1024);
        peer.cancelAt = 2;
        connect(peer);
        const auto out = receive();
        EXPECT_EQ(out.result, kFileCanceledByPeer);
        EXPECT_EQ(fileTransferMessage(out.result), "Transfer canceled by the other side");
    }
    {
        auto& peer = make<SendingPeer>();
        peer.items = blocksOf(data, 1024);
        peer.silentFrom = 2;
        connect(peer);
        const auto out = receive();
        EXPECT_EQ(out.result, kFileTimeout);
        // NAKs while waiting, then the end within the bound after the last
        // byte heard.
        std::size_t naks = 0;
        for (const auto& h : peer.heard)
            naks += h.byte == kNak;
        EXPECT_GE(naks, 2u);
        EXPECT_LE(clock.nowMs() - peer.heard[2].ms, options.blockTimeoutMs + 3100u);
    }
    {
        auto& peer = make<SendingPeer>();
        peer.items = blocksOf(data, 1024);
        peer.vanishAfterItems = 1;
        connect(peer);
        const auto out = receive();
        EXPECT_EQ(out.result, toInt(TransferResult::PortNotOpen));
    }
    EXPECT_FALSE(fs::exists(options.xmodemFileName));
    EXPECT_FALSE(fs::exists(options.xmodemFileName + ".part")) << "a broken file is not left behind";
}

TEST_F(FileTransferTest, ReceiverCancelsOnRequest)
{
    options.protocol = FileProtocol::Xmodem;
    options.xmodemFileName = (dir / "in" / "x.bin").string();
    auto& peer = make<SendingPeer>();
    peer.items = blocksOf(pattern(1024 * 4), 1024);
    connect(peer);
    const auto out = receive(2);
    EXPECT_EQ(out.result, toInt(TransferResult::Canceled));
    EXPECT_TRUE(endsWithCancel());
    EXPECT_FALSE(fs::exists(options.xmodemFileName));
}

TEST_F(FileTransferTest, YmodemReceivesABatchByNameSizeAndDate)
{
    options.protocol = FileProtocol::Ymodem;
    const Bytes a = pattern(1500, 3);
    const Bytes b = pattern(100, 5);
    auto& peer = make<SendingPeer>();
    auto add = [&](const std::vector<Bytes>& frames) { peer.items.insert(peer.items.end(), frames.begin(), frames.end()); };
    peer.items.push_back(frameOf(0, buildYmodemHeader("sub/a.bin", 1500, 1700000000, 0100644)));
    peer.items.push_back({});
    add(blocksOf(a, 1024));
    peer.items.push_back({ kEot });
    peer.items.push_back({});
    peer.items.push_back(frameOf(0, buildYmodemHeader("b.txt", 100, 0, 0)));
    peer.items.push_back({});
    add(blocksOf(b, 128));
    peer.items.push_back({ kEot });
    peer.items.push_back({});
    peer.items.push_back(frameOf(0, buildYmodemHeader("", 0, 0, 0)));
    connect(peer);
    const auto out = receive();
    EXPECT_EQ(out.result, 0) << out.detail;
    EXPECT_EQ(readBytes(dir / "in" / "a.bin"), a) << "cut to the size from block 0";
    EXPECT_EQ(readBytes(dir / "in" / "b.txt"), b);
    EXPECT_EQ(out.files.size(), 2u);
    EXPECT_EQ(out.bytes, 1600);
    const auto t = std::chrono::file_clock::to_sys(fs::last_write_time(dir / "in" / "a.bin"));
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(t.time_since_epoch()).count(), 1700000000);
    EXPECT_EQ(peer.sentItems(), peer.items.size()) << "every item went and was acknowledged";
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().fileName, "b.txt");
    EXPECT_EQ(reports.back().fileIndex, 1);
    EXPECT_EQ(reports.back().total, 100);
}

TEST_F(FileTransferTest, YmodemRefusesABadBlockZeroAndWritesNothing)
{
    options.protocol = FileProtocol::Ymodem;
    const struct
    {
        Bytes block0;
        std::string detail;
    } rows[] = {
        { buildYmodemHeader("../x", 10, 0, 0), "block 0: the name ../x holds a path" },
        { buildYmodemHeader("/etc/passwd", 10, 0, 0), "block 0: the name /etc/passwd holds a path" },
        { [] {
              Bytes d = buildYmodemHeader("x", 0, 0, 0);
              const std::string huge("x\0" "123456789012345678", 20);
              std::copy(huge.begin(), huge.end(), d.begin());
              return d;
          }(),
          "impossibly large" },
        { Bytes(128, 'A'), "block 0: the name is not ended by a NUL" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.detail);
        auto& peer = make<SendingPeer>();
        peer.items = { frameOf(0, row.block0), {}, frameOf(1, Bytes(128, 'z')), { kEot } };
        connect(peer);
        log.written.clear();
        const auto out = receive();
        EXPECT_EQ(out.result, kFileProtocolError);
        EXPECT_NE(out.detail.find(row.detail), std::string::npos) << out.detail;
        EXPECT_EQ(fileTransferMessage(out.result) + ": " + out.detail,
                  "The other side sent something invalid: " + out.detail);
        EXPECT_TRUE(endsWithCancel());
        EXPECT_TRUE(fs::is_empty(dir / "in"));
        EXPECT_FALSE(fs::exists(dir / "x"));
    }
}

TEST_F(FileTransferTest, YmodemFileShorterThanItsBlockZeroIsNotWhole)
{
    options.protocol = FileProtocol::Ymodem;
    auto& peer = make<SendingPeer>();
    peer.items = { frameOf(0, buildYmodemHeader("short.bin", 300, 0, 0)), {}, frameOf(1, Bytes(128, 'z')), { kEot } };
    connect(peer);
    const auto out = receive();
    EXPECT_EQ(out.result, kFileProtocolError);
    EXPECT_EQ(out.detail, "short.bin: 128 of 300 bytes came before the end");
    EXPECT_TRUE(fs::is_empty(dir / "in"));
}

TEST_F(FileTransferTest, YmodemReceiverSaysWhenTheFolderCannotTakeTheFile)
{
    options.protocol = FileProtocol::Ymodem;
    options.receiveDir = (dir / "missing").string();
    auto& peer = make<SendingPeer>();
    peer.items = { frameOf(0, buildYmodemHeader("a", 1, 0, 0)), {}, frameOf(1, Bytes(128, 'z')), { kEot } };
    connect(peer);
    const auto out = receive();
    EXPECT_EQ(out.result, toInt(TransferResult::CantCreateFile));
    EXPECT_NE(out.detail.find("a.part: No such file or directory"), std::string::npos) << out.detail;
    EXPECT_TRUE(endsWithCancel());
}
