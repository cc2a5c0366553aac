// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// A running hex dump of a byte stream, in the layout of "hexdump -C":
//   00000010  48 65 6c 6c 6f 0d 0a 00  ff 41 42 43 44 45 46 47  |Hello....ABCDEFG|
// 16 bytes a row: the offset of the row's first byte since the dump began,
// the bytes in two groups of eight, and the printable ones (20..7E) between
// bars, every other byte as '.'. Rows fill across chunks: a row is complete
// only once its 16 bytes came, whatever the reads were.
class HexDumper
{
public:
    static constexpr std::size_t kRowBytes = 16;
    // Characters of a complete row, without its line end.
    static constexpr std::size_t kRowLength = 78;

    // Appends every row completed by bytes to out, each ending in '\n'.
    void feed(std::span<const std::uint8_t> bytes, std::string& out);
    // The row under way, laid out as a complete row would be (padded where
    // bytes are still missing); empty when no row is under way.
    std::string partialRow() const;
    std::uint64_t offset() const { return m_offset + m_count; }
    void reset();

private:
    void appendRow(std::string& out) const;

    std::uint8_t m_row[kRowBytes] {};
    std::size_t m_count = 0;
    std::uint64_t m_offset = 0; // of the row under way
};

// The hex dump of received data as the terminal shows it: optionally each
// row stamped with the time its first byte was read.
class StampedHexDump
{
public:
    void setTimestamps(bool on) { m_timestamps = on; }
    // Appends the rows that bytes (read at atMs) complete, each ending '\n'.
    void feed(std::span<const std::uint8_t> bytes, std::int64_t atMs, std::string& out);
    // The row under way, stamped like the others; empty when none.
    std::string partialRow() const;
    void reset()
    {
        m_dumper.reset();
        m_rowStartMs = 0;
    }

private:
    HexDumper m_dumper;
    bool m_timestamps = false;
    std::int64_t m_rowStartMs = 0;
};

} // namespace merovan
