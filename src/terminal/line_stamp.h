// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace merovan {

// The wall-clock seam for timestamps. Monotonic time (Clock) measures waits;
// this tells the user when something happened.
class WallClock
{
public:
    virtual ~WallClock() = default;
    // Milliseconds since 1970-01-01 00:00 UTC.
    virtual std::int64_t epochMs() const = 0;
};

class SystemWallClock final : public WallClock
{
public:
    std::int64_t epochMs() const override;
};

// "2026-12-08 17:06:11.123 ": local time, a blank at the end.
inline constexpr std::size_t kTimestampLength = 24;
std::string formatTimestamp(std::int64_t epochMs);

// Puts a timestamp before the first byte of every line. CR, LF and CR LF
// each end a line (a CR LF split across chunks too); the stamp carries the
// time of the chunk in which the line's first byte came, so a line that ends
// later still shows when it began.
class LineStamper
{
public:
    // A stamper that is switched off copies text unchanged but still
    // follows where lines start.
    void setEnabled(bool on) { m_enabled = on; }
    bool enabled() const { return m_enabled; }
    // Appends text to out, stamping each line that starts in it with atMs.
    void stamp(std::string_view text, std::int64_t atMs, std::string& out);
    // True when the next byte would start a line.
    bool atLineStart() const { return m_lineStart; }
    // Ends a line that is under way with '\n', so that something else can
    // have a line of its own; nothing when at a line start.
    void breakLine(std::string& out);
    void reset()
    {
        m_lineStart = true;
        m_afterCr = false;
    }

private:
    void appendStamp(std::int64_t atMs, std::string& out);

    bool m_enabled = true;
    bool m_lineStart = true;
    bool m_afterCr = false;
    // The date and time up to the second change rarely; only the
    // milliseconds are formatted for every line.
    std::int64_t m_cachedSecond = -1;
    std::string m_cachedPrefix;
};

} // namespace merovan
