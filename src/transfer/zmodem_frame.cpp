// SPDX-License-Identifier: GPL-3.0-or-later
#include "transfer/zmodem_frame.h"

#include "transfer/xmodem.h"

namespace merovan::zmodem {

namespace {

constexpr std::array<std::uint32_t, 256> makeCrc32Table()
{
    std::array<std::uint32_t, 256> table {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        table[i] = c;
    }
    return table;
}

constexpr auto kCrc32Table = makeCrc32Table();
// CRC-16/XMODEM, the same as the XMODEM blocks use.
const auto kCrc16Table = makeCrc16Table();

// Results of readEscaped besides a byte (0..255) and a subpacket end
// (kEndFlag | end).
constexpr int kCanceled = -3;
constexpr int kBadEscape = -4;
constexpr int kEndFlag = 0x100;

ReadStatus statusOf(int c)
{
    switch (c) {
    case ByteSource::kTimeout: return ReadStatus::Timeout;
    case ByteSource::kGone: return ReadStatus::Gone;
    case ByteSource::kStopped: return ReadStatus::Stopped;
    case kCanceled: return ReadStatus::Canceled;
    default: return ReadStatus::Garbage;
    }
}

bool isFlowControl(int c)
{
    const int low = c & 0x7F;
    return low == kXon || low == kXoff;
}

// One byte of the escaped stream. XON and XOFF on their own are the line's
// flow control and are dropped; ZDLE ZDLE is a cancel.
int readEscaped(ByteSource& in, std::uint32_t timeoutMs)
{
    int c = 0;
    for (;;) {
        c = in.get(timeoutMs);
        if (c < 0)
            return c;
        if (c == kZdle)
            break;
        if (isFlowControl(c))
            continue;
        return c;
    }
    for (;;) {
        c = in.get(timeoutMs);
        if (c < 0)
            return c;
        if (c == kZdle)
            return kCanceled;
        switch (c) {
        case ZCRCE:
        case ZCRCG:
        case ZCRCQ:
        case ZCRCW: return kEndFlag | c;
        case ZRUB0: return 0x7F;
        case ZRUB1: return 0xFF;
        default: break;
        }
        if (isFlowControl(c))
            continue;
        if ((c & 0x60) == 0x40)
            return c ^ 0x40;
        return kBadEscape;
    }
}

int hexValue(int c)
{
    c &= 0x7F;
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

ReadStatus readHexHeader(ByteSource& in, std::uint32_t timeoutMs, Header& header)
{
    std::uint8_t raw[7] {};
    for (std::uint8_t& byte : raw) {
        int digits[2] {};
        for (int& d : digits) {
            const int c = in.get(timeoutMs);
            if (c < 0)
                return statusOf(c);
            d = hexValue(c);
            if (d < 0) {
                in.unget(static_cast<std::uint8_t>(c)); // a CAN may start here
                return ReadStatus::Garbage;
            }
        }
        byte = static_cast<std::uint8_t>(digits[0] << 4 | digits[1]);
    }
    const std::uint16_t crc = crc16Update(0, std::span<const std::uint8_t>(raw, 5));
    // The CR LF (and XON) after it; a sender that leaves them out loses nothing.
    const int c = in.get(timeoutMs);
    if (c >= 0) {
        if ((c & 0x7F) == '\r') {
            const int lf = in.get(timeoutMs);
            if (lf >= 0 && (lf & 0x7F) != '\n')
                in.unget(static_cast<std::uint8_t>(lf));
        } else {
            in.unget(static_cast<std::uint8_t>(c));
        }
    }
    if (crc != (raw[5] << 8 | raw[6]))
        return ReadStatus::BadCrc;
    header.type = raw[0];
    for (int i = 0; i < 4; ++i)
        header.p[static_cast<std::size_t>(i)] = raw[i + 1];
    header.format = kZhex;
    return ReadStatus::Ok;
}

ReadStatus readBinaryHeader(ByteSource& in, std::uint32_t timeoutMs, Header& header, bool crc32)
{
    std::uint8_t raw[9] {};
    const std::size_t count = crc32 ? 9 : 7;
    for (std::size_t i = 0; i < count; ++i) {
        const int c = readEscaped(in, timeoutMs);
        if (c < 0 || c > 0xFF)
            return statusOf(c);
        raw[i] = static_cast<std::uint8_t>(c);
    }
    const std::span<const std::uint8_t> body(raw, 5);
    if (crc32) {
        const std::uint32_t got = static_cast<std::uint32_t>(raw[5]) | static_cast<std::uint32_t>(raw[6]) << 8
            | static_cast<std::uint32_t>(raw[7]) << 16 | static_cast<std::uint32_t>(raw[8]) << 24;
        if (~crc32Update(0xFFFFFFFFu, body) != got)
            return ReadStatus::BadCrc;
    } else if (crc16Update(0, body) != (raw[5] << 8 | raw[6])) {
        return ReadStatus::BadCrc;
    }
    header.type = raw[0];
    for (int i = 0; i < 4; ++i)
        header.p[static_cast<std::size_t>(i)] = raw[i + 1];
    header.format = crc32 ? kZbin32 : kZbin;
    return ReadStatus::Ok;
}

} // namespace

Header positionHeader(std::uint8_t type, std::uint32_t position)
{
    Header h;
    h.type = type;
    for (int i = 0; i < 4; ++i)
        h.p[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(position >> (8 * i));
    return h;
}

Header flagsHeader(std::uint8_t type, std::uint8_t zf0, std::uint8_t zf1, std::uint8_t zf2, std::uint8_t zf3)
{
    Header h;
    h.type = type;
    h.p = { zf3, zf2, zf1, zf0 };
    return h;
}

std::uint32_t crc32Update(std::uint32_t crc, std::span<const std::uint8_t> data)
{
    for (const std::uint8_t b : data)
        crc = kCrc32Table[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc;
}

std::uint16_t crc16Update(std::uint16_t crc, std::span<const std::uint8_t> data)
{
    for (const std::uint8_t b : data)
        crc = static_cast<std::uint16_t>((crc << 8) ^ kCrc16Table[((crc >> 8) ^ b) & 0xFF]);
    return crc;
}

void Encoder::put(std::vector<std::uint8_t>& out, std::uint8_t c)
{
    const std::uint8_t low = c & 0x7F;
    const bool escape = c == kZdle || low == kXon || low == kXoff || (low == '\r' && (m_last & 0x7F) == '@')
        || (escapeControl && (c & 0x60) == 0);
    if (escape) {
        out.push_back(kZdle);
        c ^= 0x40;
    }
    out.push_back(c);
    m_last = c;
}

void Encoder::hexHeader(std::vector<std::uint8_t>& out, const Header& h) const
{
    static constexpr char kDigits[] = "0123456789abcdef";
    std::uint8_t raw[7] = { h.type, h.p[0], h.p[1], h.p[2], h.p[3], 0, 0 };
    const std::uint16_t crc = crc16Update(0, std::span<const std::uint8_t>(raw, 5));
    raw[5] = static_cast<std::uint8_t>(crc >> 8);
    raw[6] = static_cast<std::uint8_t>(crc);
    out.insert(out.end(), { kZpad, kZpad, kZdle, kZhex });
    for (const std::uint8_t b : raw) {
        out.push_back(static_cast<std::uint8_t>(kDigits[b >> 4]));
        out.push_back(static_cast<std::uint8_t>(kDigits[b & 0xF]));
    }
    out.push_back('\r');
    out.push_back('\n' | 0x80);
    if (h.type != ZFIN && h.type != ZACK)
        out.push_back(kXon);
}

void Encoder::binaryHeader(std::vector<std::uint8_t>& out, const Header& h, bool crc32)
{
    const std::uint8_t raw[5] = { h.type, h.p[0], h.p[1], h.p[2], h.p[3] };
    out.push_back(kZpad);
    out.push_back(kZdle);
    out.push_back(crc32 ? kZbin32 : kZbin);
    m_last = out.back();
    for (const std::uint8_t b : raw)
        put(out, b);
    if (crc32) {
        const std::uint32_t crc = ~crc32Update(0xFFFFFFFFu, raw);
        for (int i = 0; i < 4; ++i)
            put(out, static_cast<std::uint8_t>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = crc16Update(0, raw);
        put(out, static_cast<std::uint8_t>(crc >> 8));
        put(out, static_cast<std::uint8_t>(crc));
    }
}

void Encoder::subpacket(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> data, std::uint8_t end,
                        bool crc32)
{
    out.reserve(out.size() + data.size() + data.size() / 16 + 16);
    for (const std::uint8_t b : data)
        put(out, b);
    out.push_back(kZdle);
    out.push_back(end);
    m_last = end;
    const std::uint8_t endByte[1] = { end };
    if (crc32) {
        const std::uint32_t crc = ~crc32Update(crc32Update(0xFFFFFFFFu, data), endByte);
        for (int i = 0; i < 4; ++i)
            put(out, static_cast<std::uint8_t>(crc >> (8 * i)));
    } else {
        const std::uint16_t crc = crc16Update(crc16Update(0, data), endByte);
        put(out, static_cast<std::uint8_t>(crc >> 8));
        put(out, static_cast<std::uint8_t>(crc));
    }
    if (end == ZCRCW)
        out.push_back(kXon);
}

const char* readStatusText(ReadStatus status)
{
    switch (status) {
    case ReadStatus::Ok: return "ok";
    case ReadStatus::Timeout: return "time-out";
    case ReadStatus::Gone: return "line gone";
    case ReadStatus::Canceled: return "canceled";
    case ReadStatus::BadCrc: return "bad CRC";
    case ReadStatus::Garbage: return "garbled";
    case ReadStatus::TooLong: return "subpacket too long";
    case ReadStatus::Stopped: return "stopped";
    }
    return "?";
}

ReadStatus readHeader(ByteSource& in, std::uint32_t timeoutMs, Header& header, std::size_t garbageLimit)
{
    enum { Idle, Pad, PadZdle } state = Idle;
    bool lastWasCan = false;
    std::size_t skipped = 0;
    for (;;) {
        const int c = in.get(timeoutMs);
        if (c < 0)
            return statusOf(c);
        switch (state) {
        case Idle:
            if (c == kZpad || c == (kZpad | 0x80)) {
                state = Pad;
                lastWasCan = false;
                continue;
            }
            if (c == kZdle) {
                if (lastWasCan)
                    return ReadStatus::Canceled;
                lastWasCan = true;
            } else {
                lastWasCan = false;
            }
            break;
        case Pad:
            if (c == kZpad || c == (kZpad | 0x80))
                continue;
            if (c == kZdle) {
                state = PadZdle;
                continue;
            }
            state = Idle;
            break;
        case PadZdle:
            if (c == kZhex)
                return readHexHeader(in, timeoutMs, header);
            if (c == kZbin || c == kZbin32)
                return readBinaryHeader(in, timeoutMs, header, c == kZbin32);
            if (c == kZdle)
                return ReadStatus::Canceled;
            state = Idle;
            break;
        }
        if (++skipped > garbageLimit)
            return ReadStatus::Garbage;
    }
}

ReadStatus readSubpacket(ByteSource& in, std::uint32_t timeoutMs, bool crc32, std::vector<std::uint8_t>& data,
                         std::uint8_t& end, std::size_t maxLength)
{
    data.clear();
    for (;;) {
        const int c = readEscaped(in, timeoutMs);
        if (c < 0)
            return statusOf(c);
        if (c & kEndFlag) {
            end = static_cast<std::uint8_t>(c & 0xFF);
            std::uint8_t crc[4] {};
            const std::size_t count = crc32 ? 4 : 2;
            for (std::size_t i = 0; i < count; ++i) {
                const int b = readEscaped(in, timeoutMs);
                if (b < 0 || b > 0xFF)
                    return statusOf(b);
                crc[i] = static_cast<std::uint8_t>(b);
            }
            const std::uint8_t endByte[1] = { end };
            if (crc32) {
                const std::uint32_t got = static_cast<std::uint32_t>(crc[0]) | static_cast<std::uint32_t>(crc[1]) << 8
                    | static_cast<std::uint32_t>(crc[2]) << 16 | static_cast<std::uint32_t>(crc[3]) << 24;
                if (~crc32Update(crc32Update(0xFFFFFFFFu, data), endByte) != got)
                    return ReadStatus::BadCrc;
            } else if (crc16Update(crc16Update(0, data), endByte) != (crc[0] << 8 | crc[1])) {
                return ReadStatus::BadCrc;
            }
            return ReadStatus::Ok;
        }
        if (data.size() >= maxLength)
            return ReadStatus::TooLong;
        data.push_back(static_cast<std::uint8_t>(c));
    }
}

} // namespace merovan::zmodem
