// SPDX-License-Identifier: GPL-3.0-or-later
#include "serial/serial_port.h"
#include "support/fake_backend.h"
#include "transfer/xmodem.h"

#include <gtest/gtest.h>

#include <deque>
#include <string_view>

using namespace merovan;
using merovan::test::FakeBackend;
using merovan::test::FakeClock;
using merovan::test::FakeLineLog;

namespace {

using Bytes = std::vector<std::uint8_t>;

// An XMODEM receiver whose every answer the test decides.
class Receiver : public devsim::DeviceModel
{
public:
    int startSignals = 1000;          // how many "C"s it offers, one every 10 ms
    std::uint8_t startByte = 'C';
    std::deque<std::uint8_t> replies; // to successive blocks; ACK once used up
    bool silentAfterReplies = false;  // no answer once the script is used up

    struct Frame
    {
        std::uint8_t number, complement;
        Bytes data;
        std::uint16_t crc;
    };
    std::vector<Frame> frames;
    int eots = 0;
    Bytes stray; // bytes outside any frame

    void receive(std::uint8_t byte, std::uint64_t, devsim::DeviceOutput& out) override
    {
        if (m_frame.empty() && byte != kStx) {
            if (byte == kEot)
                ++eots;
            else
                stray.push_back(byte);
            return;
        }
        m_frame.push_back(byte);
        if (m_frame.size() < 1029)
            return;
        frames.push_back({ m_frame[1], m_frame[2], Bytes(m_frame.begin() + 3, m_frame.begin() + 1027),
                           static_cast<std::uint16_t>(m_frame[1027] << 8 | m_frame[1028]) });
        m_frame.clear();
        if (!replies.empty()) {
            out.bytes.push_back(replies.front());
            replies.pop_front();
        } else if (!silentAfterReplies) {
            out.bytes.push_back(kAck);
        }
    }
    void tick(std::uint64_t nowMs, devsim::DeviceOutput& out) override
    {
        // The first "C" comes a little after the sender starts listening.
        if (!m_started) {
            m_started = true;
            m_next = nowMs + 5;
            return;
        }
        if (startSignals > 0 && frames.empty()) {
            out.bytes.push_back(startByte);
            --startSignals;
        }
        m_next = nowMs + 10;
    }
    std::uint64_t nextDeadline() const override { return startSignals > 0 ? m_next : devsim::kNoDeadline; }

private:
    Bytes m_frame;
    std::uint64_t m_next = 0;
    bool m_started = false;
};

class Xmodem : public ::testing::Test
{
protected:
    void SetUp() override
    {
        port = std::make_unique<SerialPort>(clock, std::make_unique<FakeBackend>(clock, log, &rx));
        ASSERT_EQ(port->openPort("/dev/fake", "115200,8,N,1"), 0);
    }

    int send(const Bytes& image, int cancelAtCall = -1)
    {
        TransferRequest request(*port);
        request.actualFileSize = static_cast<std::int32_t>(image.size());
        request.divisor = 1;
        request.fileSize = request.actualFileSize;
        return xmodemSend(request, image, [&](std::int32_t, std::int32_t position) {
            positions.push_back(position);
            return static_cast<int>(positions.size()) == cancelAtCall ? 1 : 0;
        });
    }

    Receiver rx;
    FakeClock clock;
    FakeLineLog log;
    std::unique_ptr<SerialPort> port;
    std::vector<std::int32_t> positions;
};

Bytes pattern(std::size_t n)
{
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i)
        b[i] = static_cast<std::uint8_t>(i * 7 + i / 256);
    return b;
}

} // namespace

TEST(Crc16Xmodem, HasThePublishedCheckValue)
{
    const std::string_view digits = "123456789";
    EXPECT_EQ(crc16Xmodem(std::span(reinterpret_cast<const std::uint8_t*>(digits.data()), digits.size())), 0x31C3);
    EXPECT_EQ(makeCrc16Table()[1], 0x1021);
}

TEST_F(Xmodem, OneByteGoesOutAsOneBlockAndTwoEots)
{
    EXPECT_EQ(send({ 0x42 }), 0);
    ASSERT_EQ(rx.frames.size(), 1u);
    EXPECT_EQ(rx.frames[0].number, 1);
    EXPECT_EQ(rx.frames[0].complement, 254);
    EXPECT_EQ(rx.frames[0].data[0], 0x42);
    EXPECT_EQ(rx.frames[0].data[1023], 0xFF) << "the tail is erased flash";
    EXPECT_EQ(rx.frames[0].crc, crc16Xmodem(rx.frames[0].data));
    EXPECT_EQ(rx.eots, 2);
    EXPECT_EQ(positions, (std::vector<std::int32_t> { 1024 }));
}

TEST_F(Xmodem, ExactlyTwoBlocks)
{
    const Bytes image = pattern(2048);
    EXPECT_EQ(send(image), 0);
    ASSERT_EQ(rx.frames.size(), 2u);
    EXPECT_EQ(rx.frames[1].number, 2);
    EXPECT_EQ(rx.frames[1].data, Bytes(image.begin() + 1024, image.end()));
}

TEST_F(Xmodem, NakResendsTheSameBlock)
{
    rx.replies = { kNak, kNak, kAck };
    EXPECT_EQ(send(pattern(100)), 0);
    ASSERT_EQ(rx.frames.size(), 3u);
    EXPECT_EQ(rx.frames[0].data, rx.frames[2].data);
    EXPECT_EQ(rx.frames[2].number, 1);
}

TEST_F(Xmodem, EndlessNaksEndAfterTenResends)
{
    rx.replies = std::deque<std::uint8_t>(50, kNak);
    EXPECT_EQ(send(pattern(100)), kXmodemNoAck);
    EXPECT_EQ(rx.frames.size(), 10u);
    EXPECT_EQ(rx.eots, 0);
}

TEST_F(Xmodem, ACancelBetweenResendsIsHonoured)
{
    rx.replies = std::deque<std::uint8_t>(50, kNak);
    EXPECT_EQ(send(pattern(100), 2), toInt(TransferResult::Canceled));
    EXPECT_EQ(rx.frames.size(), 2u);
}

TEST_F(Xmodem, CanWhileWaitingIsAnsweredAndEnds)
{
    rx.startByte = kCan;
    EXPECT_EQ(send(pattern(10)), kXmodemCanceledByTarget);
    EXPECT_EQ(rx.stray, (Bytes { kAck, kCan, kCan, kCan }));
    EXPECT_TRUE(rx.frames.empty());
}

TEST_F(Xmodem, ASingleStartSignalIsNotEnough)
{
    rx.startSignals = 1;
    const auto before = clock.nowMs();
    EXPECT_EQ(send(pattern(10)), kXmodemNoStart);
    EXPECT_TRUE(rx.frames.empty());
    EXPECT_GE(clock.nowMs() - before, 3000u) << "1000 attempts of a 2 ms read and a 1 ms pause";
}

TEST_F(Xmodem, SilenceAfterABlockTimesOut)
{
    rx.replies = { kAck };
    rx.silentAfterReplies = true;
    EXPECT_EQ(send(pattern(3000)), kXmodemTimeout);
    EXPECT_EQ(rx.frames.size(), 2u);
}

TEST_F(Xmodem, AnyOtherReplyEnds)
{
    rx.replies = { kAck, kCan };
    EXPECT_EQ(send(pattern(5000)), kXmodemNoAck);
    EXPECT_EQ(rx.frames.size(), 2u);
    EXPECT_TRUE(rx.stray.empty()) << "no answer to a CAN after a block";
}

TEST_F(Xmodem, Block256IsNumberedZero)
{
    EXPECT_EQ(send(pattern(257 * 1024)), 0);
    ASSERT_EQ(rx.frames.size(), 257u);
    EXPECT_EQ(rx.frames[254].number, 255);
    EXPECT_EQ(rx.frames[255].number, 0);
    EXPECT_EQ(rx.frames[255].complement, 255);
    EXPECT_EQ(rx.frames[256].number, 1);
}

TEST_F(Xmodem, ACancelAfterABlockStopsBeforeTheNext)
{
    EXPECT_EQ(send(pattern(5000), 1), toInt(TransferResult::Canceled));
    EXPECT_EQ(rx.frames.size(), 1u);
    EXPECT_EQ(rx.eots, 0);
}
