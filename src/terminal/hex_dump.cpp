#include "terminal/hex_dump.h"

namespace merovan {

namespace {

constexpr char kHex[] = "0123456789abcdef";

} // namespace

void HexDumper::appendRow(std::string& out) const
{
    char line[kRowLength];
    std::size_t n = 0;
    for (int shift = 28; shift >= 0; shift -= 4)
        line[n++] = kHex[(m_offset >> shift) & 0x0F];
    line[n++] = ' ';
    for (std::size_t i = 0; i < kRowBytes; ++i) {
        line[n++] = ' ';
        if (i == 8)
            line[n++] = ' ';
        if (i < m_count) {
            line[n++] = kHex[m_row[i] >> 4];
            line[n++] = kHex[m_row[i] & 0x0F];
        } else {
            line[n++] = ' ';
            line[n++] = ' ';
        }
    }
    line[n++] = ' ';
    line[n++] = ' ';
    line[n++] = '|';
    for (std::size_t i = 0; i < m_count; ++i)
        line[n++] = m_row[i] >= 0x20 && m_row[i] < 0x7F ? static_cast<char>(m_row[i]) : '.';
    line[n++] = '|';
    out.append(line, n);
}

void HexDumper::feed(std::span<const std::uint8_t> bytes, std::string& out)
{
    out.reserve(out.size() + (bytes.size() / kRowBytes + 1) * (kRowLength + 1));
    for (const std::uint8_t b : bytes) {
        m_row[m_count++] = b;
        if (m_count == kRowBytes) {
            appendRow(out);
            out.push_back('\n');
            m_offset += kRowBytes;
            m_count = 0;
        }
    }
}

std::string HexDumper::partialRow() const
{
    std::string out;
    if (m_count > 0)
        appendRow(out);
    return out;
}

void HexDumper::reset()
{
    m_count = 0;
    m_offset = 0;
}

} // namespace merovan
