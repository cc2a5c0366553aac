// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace merovan::zmodem {

// Framing characters.
inline constexpr std::uint8_t kZpad = '*';
inline constexpr std::uint8_t kZdle = 0x18;   // also CAN
inline constexpr std::uint8_t kZdlee = 0x58;  // ZDLE escaped
inline constexpr std::uint8_t kZbin = 'A';    // binary header, CRC-16
inline constexpr std::uint8_t kZhex = 'B';    // hex header, CRC-16
inline constexpr std::uint8_t kZbin32 = 'C';  // binary header, CRC-32
inline constexpr std::uint8_t kXon = 0x11;
inline constexpr std::uint8_t kXoff = 0x13;

// Frame types.
enum FrameType : std::uint8_t {
    ZRQINIT = 0,
    ZRINIT = 1,
    ZSINIT = 2,
    ZACK = 3,
    ZFILE = 4,
    ZSKIP = 5,
    ZNAK = 6,
    ZABORT = 7,
    ZFIN = 8,
    ZRPOS = 9,
    ZDATA = 10,
    ZEOF = 11,
    ZFERR = 12,
    ZCRC = 13,
    ZCHALLENGE = 14,
    ZCOMPL = 15,
    ZCAN = 16,
    ZFREECNT = 17,
    ZCOMMAND = 18,
    ZSTDERR = 19,
};

// Ends of a data subpacket.
inline constexpr std::uint8_t ZCRCE = 'h'; // end of frame, no answer wanted
inline constexpr std::uint8_t ZCRCG = 'i'; // more follows, no answer wanted
inline constexpr std::uint8_t ZCRCQ = 'j'; // more follows, ZACK wanted
inline constexpr std::uint8_t ZCRCW = 'k'; // end of frame, ZACK wanted
inline constexpr std::uint8_t ZRUB0 = 'l'; // 0x7F
inline constexpr std::uint8_t ZRUB1 = 'm'; // 0xFF

// ZRINIT flags (ZF0, in p[3]).
inline constexpr std::uint8_t CANFDX = 0x01;
inline constexpr std::uint8_t CANOVIO = 0x02;
inline constexpr std::uint8_t CANBRK = 0x04;
inline constexpr std::uint8_t CANFC32 = 0x20;
inline constexpr std::uint8_t ESCCTL = 0x40;
inline constexpr std::uint8_t ESC8 = 0x80;
// ZSINIT flags (ZF0).
inline constexpr std::uint8_t TESCCTL = 0x40;
// ZFILE conversion (ZF0).
inline constexpr std::uint8_t ZCBIN = 1;
inline constexpr std::uint8_t ZCNL = 2;
inline constexpr std::uint8_t ZCRESUM = 3;

// Header positions: p[0] is ZP0 (least significant) ... p[3] is ZP3; the
// flags ZF0..ZF3 are p[3]..p[0].
struct Header
{
    std::uint8_t type = 0;
    std::array<std::uint8_t, 4> p {};
    std::uint8_t format = kZhex; // kZbin, kZhex or kZbin32, as received

    std::uint32_t position() const
    {
        return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8
            | static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
    }
    std::uint8_t zf0() const { return p[3]; }
    std::uint8_t zf1() const { return p[2]; }
    bool crc32() const { return format == kZbin32; }
};

Header positionHeader(std::uint8_t type, std::uint32_t position);
Header flagsHeader(std::uint8_t type, std::uint8_t zf0, std::uint8_t zf1 = 0, std::uint8_t zf2 = 0,
                   std::uint8_t zf3 = 0);

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::uint8_t> data);
inline std::uint32_t crc32(std::span<const std::uint8_t> data)
{
    return ~crc32Update(0xFFFFFFFFu, data);
}
std::uint16_t crc16Update(std::uint16_t crc, std::span<const std::uint8_t> data);

// Builds what goes on the wire. Every byte that the line could eat (ZDLE,
// XON, XOFF with or without the high bit, CR after '@') is escaped; with
// escapeControl, every control character is.
class Encoder
{
public:
    bool escapeControl = false;

    void hexHeader(std::vector<std::uint8_t>& out, const Header& h) const;
    // CRC-32 (ZBIN32) or CRC-16 (ZBIN).
    void binaryHeader(std::vector<std::uint8_t>& out, const Header& h, bool crc32);
    void subpacket(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data, std::uint8_t end,
                   bool crc32);

private:
    void put(std::vector<std::uint8_t>& out, std::uint8_t c);
    std::uint8_t m_last = 0;
};

// Where the reader gets its bytes: next() is a byte, kTimeout when nothing
// came within timeoutMs, kGone when the line went away, kStopped when the
// user asked to stop while it waited.
class ByteSource
{
public:
    static constexpr int kTimeout = -1;
    static constexpr int kGone = -2;
    static constexpr int kStopped = -5;

    virtual ~ByteSource() = default;
    int get(std::uint32_t timeoutMs)
    {
        if (m_pending >= 0) {
            const int c = m_pending;
            m_pending = -1;
            return c;
        }
        return next(timeoutMs);
    }
    void unget(std::uint8_t c) { m_pending = c; }
    bool hasPending() const { return m_pending >= 0; }

protected:
    virtual int next(std::uint32_t timeoutMs) = 0;

private:
    int m_pending = -1;
};

// A source over a buffer, for tests and the fuzzer; the end reads as a time-out.
class BufferSource final : public ByteSource
{
public:
    explicit BufferSource(std::span<const std::uint8_t> bytes)
        : m_bytes(bytes)
    {
    }

    // Bytes taken so far (one given back with unget does not count).
    std::size_t consumed() const { return m_at - (hasPending() ? 1 : 0); }

protected:
    int next(std::uint32_t) override { return m_at < m_bytes.size() ? m_bytes[m_at++] : kTimeout; }

private:
    std::span<const std::uint8_t> m_bytes;
    std::size_t m_at = 0;
};

enum class ReadStatus {
    Ok,
    Timeout,
    Gone,
    Canceled, // CAN CAN from the peer
    BadCrc,
    Garbage,  // nothing that makes a header within the limit, or a bad escape
    TooLong,  // a data subpacket longer than the limit
    Stopped,  // the user asked to stop while a byte was awaited
};
const char* readStatusText(ReadStatus status);

// Hunts for a header, skipping up to garbageLimit bytes that do not start
// one. timeoutMs bounds the wait for each byte.
ReadStatus readHeader(ByteSource& in, std::uint32_t timeoutMs, Header& header, std::size_t garbageLimit = 4096);

// Reads one data subpacket (after ZFILE, ZDATA, ZSINIT, ZCOMMAND) into data,
// with its end (ZCRCE, ZCRCG, ZCRCQ, ZCRCW) in end.
ReadStatus readSubpacket(ByteSource& in, std::uint32_t timeoutMs, bool crc32, std::vector<std::uint8_t>& data,
                         std::uint8_t& end, std::size_t maxLength = 8192);

} // namespace merovan::zmodem
