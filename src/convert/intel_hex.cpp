// SPDX-License-Identifier: GPL-3.0-or-later
#include "convert/intel_hex.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>
#include <vector>

namespace merovan {

namespace {

constexpr std::uint8_t kColon = ':';
constexpr int kDataRecord = 0;
constexpr int kExtendedLinearAddress = 4;

// A digit's value as the device tools compute it: '0'..'9' by code, anything
// else with bit 5 cleared, minus 55. Characters that are not hex digits give
// meaningless values that the record checksum then catches.
constexpr std::array<std::uint8_t, 256> makeDigitTable()
{
    std::array<std::uint8_t, 256> t {};
    for (int c = 0; c < 256; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<std::uint8_t>(c <= '9' ? c - 48 : (c & ~0x20) - 55);
    return t;
}
constexpr std::array<std::uint8_t, 256> kDigit = makeDigitTable();

} // namespace

bool HexReader::readByte(std::uint8_t& value, std::uint8_t& sum)
{
    if (m_pos + 2 > m_text.size())
        return false;
    value = static_cast<std::uint8_t>(kDigit[m_text[m_pos]] * 16 + kDigit[m_text[m_pos + 1]]);
    m_pos += 2;
    sum = static_cast<std::uint8_t>(sum + value);
    return true;
}

int HexReader::fail(std::string what)
{
    m_error = std::move(what);
    return kHexBadRecord;
}

int HexReader::errorLine() const
{
    if (!m_seenRecord)
        return 0;
    const auto* begin = m_text.data();
    return 1 + static_cast<int>(std::count(begin, begin + std::min(m_recordStart, m_text.size()), '\n'));
}

namespace {
std::string checksumText(std::uint8_t found, std::uint8_t expected)
{
    char text[40];
    std::snprintf(text, sizeof text, "checksum %02X, expected %02X", found, expected);
    return text;
}
} // namespace

int HexReader::readHexRecord(std::uint32_t& address, std::uint8_t (&data)[256], int& count)
{
    const void* colon = m_pos < m_text.size() ? std::memchr(m_text.data() + m_pos, kColon, m_text.size() - m_pos)
                                              : nullptr;
    if (!colon) {
        // The error is placed after the last record, on the line the end
        // record should have been.
        if (m_seenRecord)
            m_recordStart = m_text.size();
        return fail(m_seenRecord ? "no end record" : "no records (no line starts with ':')");
    }
    m_pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(colon) - m_text.data()) + 1;
    m_recordStart = m_pos - 1;
    m_seenRecord = true;
    const auto cut = [this] { return fail("the record ends too soon"); };

    std::uint8_t sum = 0;
    std::uint8_t n = 0;
    if (!readByte(n, sum))
        return cut();
    count = n;
    if (n == 0)
        return kHexEndRecord;
    std::uint8_t hi = 0;
    std::uint8_t lo = 0;
    std::uint8_t type = 0;
    if (!readByte(hi, sum) || !readByte(lo, sum) || !readByte(type, sum))
        return cut();
    address = static_cast<std::uint32_t>(hi << 8 | lo);

    std::uint8_t check = 0;
    if (type == kExtendedLinearAddress) {
        // The record is taken to carry two bytes, whatever its count says.
        if (!readByte(hi, sum) || !readByte(lo, sum) || !readByte(check, sum))
            return cut();
        address = static_cast<std::uint32_t>(hi << 8 | lo);
        if (sum != 0)
            return fail(checksumText(check, static_cast<std::uint8_t>(check - sum)));
        return kExtendedLinearAddress;
    }
    if (m_pos + 2 * static_cast<std::size_t>(n) + 2 > m_text.size())
        return cut();
    const std::uint8_t* p = m_text.data() + m_pos;
    for (int k = 0; k < n; ++k, p += 2) {
        const auto b = static_cast<std::uint8_t>(kDigit[p[0]] * 16 + kDigit[p[1]]);
        data[k] = b;
        sum = static_cast<std::uint8_t>(sum + b);
    }
    m_pos += 2 * static_cast<std::size_t>(n);
    if (!readByte(check, sum))
        return cut();
    if (sum != 0)
        return fail(checksumText(check, static_cast<std::uint8_t>(check - sum)));
    return type;
}

int convertHex(std::span<const std::uint8_t> text, std::uint32_t flashStart, std::uint32_t flashSize,
               std::span<std::uint8_t> image, std::int32_t& outSize, std::string* why, HexSkipped* skipped)
{
    outSize = 0;
    HexReader reader(text);
    std::uint32_t upper = 0;
    std::uint64_t highest = 0; // one past the highest byte stored
    bool stored = false;
    bool anyData = false;
    HexSkipped left;
    // Bytes [from, to) of a record that found no place.
    auto leaveOut = [&left](std::uint64_t from, std::uint64_t to) {
        if (from >= to)
            return;
        const auto first = static_cast<std::uint32_t>(from);
        const auto last = static_cast<std::uint32_t>(std::min<std::uint64_t>(to - 1, 0xFFFFFFFFu));
        left.first = left.bytes == 0 ? first : std::min(left.first, first);
        left.last = left.bytes == 0 ? last : std::max(left.last, last);
        left.bytes += to - from;
    };
    const std::uint64_t windowEnd = static_cast<std::uint64_t>(flashStart) + flashSize;
    const std::uint64_t imageEnd = static_cast<std::uint64_t>(flashStart) + image.size();

    std::uint8_t data[256];
    for (;;) {
        std::uint32_t field = 0;
        int count = 0;
        const int type = reader.readHexRecord(field, data, count);
        if (type == kHexEndRecord)
            break;
        if (type == kHexBadRecord) {
            if (why) {
                const int line = reader.errorLine();
                *why = line > 0 ? std::to_string(line) + ": " + reader.error() : reader.error();
            }
            return kHexFailed;
        }
        if (type == kExtendedLinearAddress) {
            upper = field << 16;
            continue;
        }
        if (type != kDataRecord)
            continue;
        const std::uint32_t address = upper + field; // wraps like the 32-bit address it is
        const std::uint64_t end = static_cast<std::uint64_t>(address) + static_cast<std::uint64_t>(count);
        anyData = true;
        if (address > windowEnd) {
            leaveOut(address, end);
            continue;
        }
        // Only the bytes that have a place in the image are stored.
        std::uint64_t first = address;
        std::uint64_t last = end;
        first = std::max<std::uint64_t>(first, flashStart);
        last = std::min(last, imageEnd);
        leaveOut(address, std::min<std::uint64_t>(end, flashStart));
        leaveOut(std::max<std::uint64_t>(address, imageEnd), end);
        if (first >= last)
            continue;
        std::memcpy(image.data() + (first - flashStart), data + (first - address), last - first);
        highest = std::max(highest, last);
        stored = true;
    }
    if (skipped)
        *skipped = left;
    if (!stored) {
        if (why && !anyData) {
            *why = "no data records";
        } else if (why) {
            char text[96];
            std::snprintf(text, sizeof text, "no data for the flash at 0x%08X to 0x%08llX", flashStart,
                          static_cast<unsigned long long>(windowEnd));
            *why = text;
        }
        return kHexFailed;
    }
    outSize = static_cast<std::int32_t>(highest - flashStart + 1);
    return kHexConverted;
}

int convertHexFile(const std::string& path, std::uint32_t flashStart, std::uint32_t flashSize,
                   std::span<std::uint8_t> image, std::int32_t& outSize, std::string* why, HexSkipped* skipped)
{
    outSize = 0;
    auto systemFailure = [&] {
        if (why)
            *why = path + ": " + std::strerror(errno);
        return kHexFailed;
    };
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        errno = EISDIR;
        return systemFailure();
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return systemFailure();
    std::vector<std::uint8_t> text;
    std::uint8_t buffer[1 << 16];
    std::size_t n = 0;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text.insert(text.end(), buffer, buffer + n);
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        errno = error;
        return systemFailure();
    }
    std::string reason;
    const int rc = convertHex(text, flashStart, flashSize, image, outSize, why ? &reason : nullptr, skipped);
    if (rc != kHexConverted && why)
        *why = path + ":" + (!reason.empty() && std::isdigit(static_cast<unsigned char>(reason.front())) ? "" : " ") + reason;
    return rc;
}

} // namespace merovan
