// SPDX-License-Identifier: GPL-3.0-or-later
#include "terminal/hex_dump.h"

#include "terminal/line_stamp.h"

#include <algorithm>

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

void StampedHexDump::feed(std::span<const std::uint8_t> bytes, std::int64_t atMs, std::string& out)
{
    while (!bytes.empty()) {
        const std::size_t inRow = m_dumper.offset() % HexDumper::kRowBytes;
        if (inRow == 0)
            m_rowStartMs = atMs;
        const std::size_t take = std::min(bytes.size(), HexDumper::kRowBytes - inRow);
        if (take == HexDumper::kRowBytes - inRow && m_timestamps)
            out += formatTimestamp(m_rowStartMs);
        m_dumper.feed(bytes.first(take), out);
        bytes = bytes.subspan(take);
    }
}

std::string StampedHexDump::partialRow() const
{
    std::string row = m_dumper.partialRow();
    if (row.empty() || !m_timestamps)
        return row;
    return formatTimestamp(m_rowStartMs) + row;
}

} // namespace merovan
