// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace merovan {

// Result of a conversion: 0 success, 20 failure.
inline constexpr int kHexConverted = 0;
inline constexpr int kHexFailed = 20;

// readHexRecord's results besides the record type.
inline constexpr int kHexBadRecord = -1; // checksum failure, or the text ended first
inline constexpr int kHexEndRecord = -2; // a record with a byte count of 0

// Reads Intel HEX text record by record, from memory.
class HexReader
{
public:
    explicit HexReader(std::span<const std::uint8_t> text)
        : m_text(text)
    {
    }

    // The next record: its type (0 to 255), kHexBadRecord or kHexEndRecord.
    // address is the 16-bit address field, or for an extended linear address
    // record (type 4) the upper address it carries. data receives up to 255
    // bytes, count their number.
    int readHexRecord(std::uint32_t& address, std::uint8_t (&data)[256], int& count);

    // After kHexBadRecord: what was wrong ("checksum 3A, expected 7C"), and
    // the line of the record (from 1; 0 when the text held no record).
    const std::string& error() const { return m_error; }
    int errorLine() const;

private:
    bool readByte(std::uint8_t& value, std::uint8_t& sum);
    int fail(std::string what);

    std::span<const std::uint8_t> m_text;
    std::size_t m_pos = 0;
    std::size_t m_recordStart = 0;
    bool m_seenRecord = false;
    std::string m_error;
};

// Data bytes that had no place in the image: how many, and the lowest and
// highest of their addresses.
struct HexSkipped
{
    std::uint64_t bytes = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

// Converts Intel HEX text into a flash image whose offset 0 is flashStart.
// Data bytes land at their address minus flashStart; records starting above
// flashStart + flashSize are skipped, as are bytes below flashStart or past
// the end of image. The caller fills image beforehand (erased flash is 0xFF)
// and owns it. outSize receives the image size: one more than the bytes
// from flashStart up to the highest byte stored. Returns kHexConverted, or
// kHexFailed for a bad record, text that ends without an end record, or no
// byte stored at all. why, when given, receives the reason for a failure:
// "17: checksum 3A, expected 7C" (the line first), or a reason alone.
// skipped, when given, receives the data bytes left out (configuration
// words outside the flash, say), which are no failure.
int convertHex(std::span<const std::uint8_t> text, std::uint32_t flashStart, std::uint32_t flashSize,
               std::span<std::uint8_t> image, std::int32_t& outSize, std::string* why = nullptr,
               HexSkipped* skipped = nullptr);

// The same on a file; kHexFailed when the file cannot be read. why names the
// file: "prog.hex:17: checksum 3A, expected 7C", "prog.hex: Permission denied".
int convertHexFile(const std::string& path, std::uint32_t flashStart, std::uint32_t flashSize,
                   std::span<std::uint8_t> image, std::int32_t& outSize, std::string* why = nullptr,
                   HexSkipped* skipped = nullptr);

} // namespace merovan
