// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace merovan {

// What the Enter key puts on the line.
enum class EnterMap { Cr, Lf, CrLf };

// How received line ends are handed to the view. Devices disagree on line
// ends: some end lines with LF alone, which a terminal shows as a staircase,
// and some with CR alone, which a terminal shows as one line overwritten.
enum class IncomingMap {
    AsReceived,   // the bytes as they came
    LfAddsCr,     // an LF also returns the carriage: LF becomes CR LF
    LoneCrBreaks, // a CR that no LF follows starts a new line: an LF is added
};

// The bytes the Enter key sends under map. The span lives as long as the
// program.
std::span<const std::uint8_t> enterBytes(EnterMap map);

// The settings file's words for the maps ("CR", "LF", "CRLF"; "none",
// "LF-CRLF", "CR-CRLF"), and back. Parsing ignores case; an unknown word
// gives nothing, so the caller keeps its default.
std::string_view enterMapName(EnterMap map);
std::string_view incomingMapName(IncomingMap map);
std::optional<EnterMap> enterMapFromName(std::string_view name);
std::optional<IncomingMap> incomingMapFromName(std::string_view name);

// Applies an IncomingMap to received bytes, one read at a time. A CR LF pair
// stays one line end whichever map is on, also when the CR ends one read
// and the LF begins the next, so a split pair never shows a blank line.
// Nothing is held back: a CR goes out at once, and the LF that a lone CR
// needs goes out just before the next byte, the first moment it shows.
class IncomingLineMapper
{
public:
    explicit IncomingLineMapper(IncomingMap map = IncomingMap::AsReceived) : m_map(map) { }

    // Changing the map keeps the memory of a CR just read.
    void setMap(IncomingMap map) { m_map = map; }
    IncomingMap map() const { return m_map; }

    // Appends the mapped form of bytes to out: at most twice as many bytes.
    void apply(std::span<const std::uint8_t> bytes, std::vector<std::uint8_t>& out);
    std::vector<std::uint8_t> apply(std::span<const std::uint8_t> bytes);

    // Forgets the last read, as when the view is cleared or the port reopened.
    void reset() { m_afterCr = false; }

private:
    IncomingMap m_map;
    bool m_afterCr = false;
};

} // namespace merovan
